// Failing paths of the operations that load private keys leave no key container behind,
// and the per-user database keeps its owner-only permissions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "control/capi_engine_internal.h"
#include "platform/crypt/key_container.h"
#include "tests/dialog_fakes.h"
#include "tests/temp_home.h"

namespace {

using ui::DialogOutcome;

const std::string kSign = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/sign/";
const std::string kPfx = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/pfx/";

std::u16string u16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

size_t containerCount() {
    std::vector<KeyContainerRecord> all;
    EXPECT_TRUE(listKeyContainers(all));
    return all.size();
}

mode_t permissions(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 0777;
}

struct Step {
    const char* what;
    // Queues the dialogs the step answers, then runs it; returns nothing, the engine
    // keeps the code.
    std::function<void(CapiEngine&, ScriptedDialogs&, const std::string& folder)> run;
    int32_t code;
};

class KeyHygiene : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = home_.path() + "/pfx";
        std::filesystem::create_directories(folder_);
        std::filesystem::copy_file(kSign + "good.pfx", folder_ + "/mine.pfx");
        std::filesystem::copy_file(kSign + "inter.der", folder_ + "/inter.der");
    }
    TempHome home_;
    std::string folder_;
};

TEST_F(KeyHygiene, FailingPathsLeaveNoContainer) {
    auto pfxDialog = [](ScriptedDialogs& d, const std::string& path, const std::string& pw) {
        d.queue("PfxFileDialog", DialogOutcome::Ok, {{"browse", path}, {"password", pw}});
    };
    // Selects mine.pfx as the signer, then replaces the file with `replacement` (a
    // fixture name) or removes it (empty).
    auto selectFromFile = [&](CapiEngine& e, ScriptedDialogs& d, const std::string& f,
                              const std::string& replacement) {
        pfxDialog(d, f + "/mine.pfx", "secret");
        ASSERT_EQ(e.SelectSigner(u"", 0, 0), 0);
        if (replacement.empty())
            std::filesystem::remove(f + "/mine.pfx");
        else
            std::filesystem::copy_file(kSign + replacement, f + "/mine.pfx",
                                       std::filesystem::copy_options::overwrite_existing);
    };
    const Step steps[] = {
        {"signer from a file, wrong password",
         [&](CapiEngine& e, ScriptedDialogs& d, const std::string& f) {
             pfxDialog(d, f + "/mine.pfx", "guess");
             e.SelectSigner(u"", 0, 0);
         },
         5208},
        {"signer from a file that is no PFX",
         [&](CapiEngine& e, ScriptedDialogs& d, const std::string& f) {
             pfxDialog(d, f + "/inter.der", "secret");
             e.SelectSigner(u"", 0, 0);
         },
         5207},
        {"signer dialog cancelled",
         [&](CapiEngine& e, ScriptedDialogs& d, const std::string&) {
             d.queue("PfxFileDialog", DialogOutcome::Cancel);
             e.SelectSigner(u"", 0, 0);
         },
         5070},
        {"SignPkcs1 after the signer's file was replaced",
         [&](CapiEngine& e, ScriptedDialogs& d, const std::string& f) {
             selectFromFile(e, d, f, "expired.pfx");
             EXPECT_EQ(e.SignPkcs1(u"abc", 0), "");
         },
         5067},
        {"SignPkcs7 after the signer's file was replaced",
         [&](CapiEngine& e, ScriptedDialogs& d, const std::string& f) {
             selectFromFile(e, d, f, "expired.pfx");
             EXPECT_EQ(e.SignPkcs7(u"abc", 0), "");
         },
         5067},
        {"SignPkcs7 after the signer's file was removed",
         [&](CapiEngine& e, ScriptedDialogs& d, const std::string& f) {
             selectFromFile(e, d, f, "");
             EXPECT_EQ(e.SignPkcs7(u"abc", 0), "");
         },
         1102},
        {"import, wrong password",
         [&](CapiEngine& e, ScriptedDialogs&, const std::string& f) {
             e.ImportPfxToIE(u16(f), u"mine.pfx", u"guess", 1, 0);
         },
         5208},
        {"import of a file that is no PFX",
         [&](CapiEngine& e, ScriptedDialogs&, const std::string& f) {
             e.ImportPfxToIE(u16(f), u"inter.der", u"secret", 1, 0);
         },
         5207},
        {"import dialog cancelled",
         [&](CapiEngine& e, ScriptedDialogs& d, const std::string&) {
             d.queue("PfxFileDialog", DialogOutcome::Cancel);
             e.ImportPfxToIE(u"", u"", u"", 0, 0);
         },
         5070},
        {"password change, wrong old password",
         [&](CapiEngine& e, ScriptedDialogs&, const std::string& f) {
             e.ChangePfxPasswd(u16(f), u"mine.pfx", u"guess", u"NewSecret1", 0);
         },
         5208},
        {"password change of a file that is no PFX",
         [&](CapiEngine& e, ScriptedDialogs&, const std::string& f) {
             e.ChangePfxPasswd(u16(f), u"inter.der", u"secret", u"NewSecret1", 0);
         },
         5207},
        {"mobile export, wrong password",
         [&](CapiEngine& e, ScriptedDialogs&, const std::string& f) {
             EXPECT_EQ(e.ExportMobileFromPfx(u16(f), u"mine.pfx", u"guess", 0, 0), "");
         },
         5208},
        {"mobile export of a file that is no PFX",
         [&](CapiEngine& e, ScriptedDialogs&, const std::string& f) {
             EXPECT_EQ(e.ExportMobileFromPfx(u16(f), u"inter.der", u"secret", 0, 0), "");
         },
         5207},
        {"mobile export dialog cancelled",
         [&](CapiEngine& e, ScriptedDialogs& d, const std::string&) {
             d.queue("PfxFileDialog", DialogOutcome::Cancel);
             EXPECT_EQ(e.ExportMobileFromPfx(u"", u"", u"", 0, 0), "");
         },
         5070},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        std::filesystem::copy_file(kSign + "good.pfx", folder_ + "/mine.pfx",
                                   std::filesystem::copy_options::overwrite_existing);
        size_t before = containerCount();
        {
            ScriptedDialogs dialogs;
            CapiEngine engine;
            step.run(engine, dialogs, folder_);
            EXPECT_EQ(engine.lastError, step.code);
        }
        EXPECT_EQ(containerCount(), before);
        EXPECT_EQ(permissions(home_.database()), 0600u);
        EXPECT_EQ(permissions(home_.path()), 0700u);
    }
}

}  // namespace
