// The certificate list dialog model: its rows, the highlighted-row rule and the view file.
#include "ui/cert_list_dialog.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "cert_fixtures.h"
#include "dialog_fakes.h"
#include "platform/system/files.h"
#include "test_support.h"

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// Sets or unsets an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) saved_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_)
            setenv(name_, saved_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> saved_;
};

std::string viewFile() {
    return std::string(getenv("KSCAPI_HOME")) + "/view/temp.cer";
}

}  // namespace

TEST(CertListDialog, RowsAndColumns) {
    ScopedCodePage cp(950);
    ScopedTimeZone utc("UTC");
    FixtureContexts certs({"signer", "no_cn", "big5_bmp"});
    RecordingOpener opener;
    ui::CertListDialog dialog(certs.list(), opener);
    EXPECT_EQ(dialog.caption(), toAnsi(u"選擇憑證匯出至憑證交換檔"));
    const char16_t* headings[] = {u"憑證持有人", u"憑證序號", u"起始日", u"截止日", u"憑證發行者"};
    const int widths[] = {150, 110, 110, 110, 180};
    ASSERT_EQ(ui::CertListDialog::columns().size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(ui::CertListDialog::columns()[i].ansiHeading(), toAnsi(headings[i]));
        EXPECT_EQ(ui::CertListDialog::columns()[i].width, widths[i]);
    }
    // Serials and dates as openssl reports them (make_certs.sh, make_no_cn_cert.sh); the
    // subject of no_cn is openssl's -nameopt sep_comma_plus_space form.
    std::vector<ui::CertListDialog::Row> expected = {
        {"Say \"hi\"", "0123456789ABCDEF0123456789ABCDEF01234567", "2024/01/01", "2034/01/01",
         "Kestrune Test Root"},
        {"C=TW, O=No Name Org, OU=Unit", "12", "2024/01/01", "2034/01/01",
         "C=TW, O=No Name Org, OU=Unit"},
        {toAnsi(u"王小明"), "0C", "2024/01/01", "2034/01/01", "Kestrune Test Root"},
    };
    EXPECT_EQ(dialog.rows(), expected);
}

TEST(CertListDialog, HighlightedRowDecidesTheChoice) {
    FixtureContexts certs({"signer", "root", "crlsign"});
    RecordingOpener opener;
    struct Case {
        const char* what;
        std::vector<int32_t> selections;  // -1 clears
        int32_t chosen;
    } cases[] = {
        {"untouched", {}, 0},
        {"cleared", {-1}, 0},
        {"second row", {1}, 1},
        {"third, then cleared", {2, -1}, 0},
        {"a row that does not exist keeps the selection", {2, 3}, 2},
    };
    for (const Case& c : cases) {
        ui::CertListDialog dialog(certs.list(), opener);
        EXPECT_EQ(dialog.selectedIndex(), 0);
        for (int32_t s : c.selections) {
            if (s < 0)
                dialog.clearSelection();
            else
                dialog.select(s);
        }
        dialog.pressOk();
        EXPECT_EQ(dialog.selectedIndex(), c.chosen) << c.what;
        EXPECT_EQ(dialog.selected(), certs.list()[static_cast<size_t>(c.chosen)]) << c.what;
    }
    EXPECT_TRUE(opener.opened.empty());
}

TEST(CertListDialog, ViewWritesThePrivateFileAndOpensIt) {
    FixtureContexts certs({"signer", "root"});
    RecordingOpener opener;
    ui::CertListDialog dialog(certs.list(), opener);
    dialog.select(1);
    dialog.pressView();
    EXPECT_EQ(dialog.selectedIndex(), 1);
    ASSERT_EQ(opener.opened.size(), 1u);
    EXPECT_EQ(opener.opened[0], viewFile());
    EXPECT_EQ(readFile(viewFile()), certs.der(1));
    // The openssl command line reads it as the certificate it is.
    std::string subject =
        testing_support::runCommand("openssl x509 -inform DER -noout -subject -in " + viewFile());
    EXPECT_NE(subject.find("Kestrune Test Root"), std::string::npos) << subject;

    // The next view of another row overwrites the same file.
    dialog.clearSelection();
    dialog.pressView();
    ASSERT_EQ(opener.opened.size(), 2u);
    EXPECT_EQ(opener.opened[1], viewFile());
    EXPECT_EQ(readFile(viewFile()), certs.der(0));
    struct stat st {};
    ASSERT_EQ(stat((std::string(getenv("KSCAPI_HOME")) + "/view").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(viewFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(CertListDialog, ViewRefusesPlantedLinks) {
    FixtureContexts certs({"signer"});
    TempDir home;
    ScopedEnv env("KSCAPI_HOME", home.path().c_str());
    writeFile(home.file("victim"), "victim");
    struct Case {
        const char* what;
        std::function<void()> plant;
    } cases[] = {
        {"the file is a link",
         [&] {
             mkdir(home.file("view").c_str(), 0700);
             ASSERT_EQ(symlink(home.file("victim").c_str(), home.file("view/temp.cer").c_str()), 0);
         }},
        {"the folder is a link",
         [&] {
             mkdir(home.file("elsewhere").c_str(), 0700);
             ASSERT_EQ(symlink(home.file("elsewhere").c_str(), home.file("view").c_str()), 0);
         }},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(home.file("view"));
        c.plant();
        RecordingOpener opener;
        ui::CertListDialog dialog(certs.list(), opener);
        dialog.pressView();
        EXPECT_TRUE(opener.opened.empty()) << c.what;
        EXPECT_EQ(readFile(home.file("victim")), "victim") << c.what;
        EXPECT_FALSE(PathFileExistsA(home.file("elsewhere/temp.cer").c_str())) << c.what;
    }
}

TEST(CertListDialog, ViewFolderBase) {
    FixtureContexts certs({"root"});
    TempDir runtime, data;
    chmod(runtime.path().c_str(), 0700);
    ScopedEnv dataHome("XDG_DATA_HOME", data.path().c_str());
    struct Case {
        const char* what;
        const char* runtime;
        std::string file;
    } cases[] = {
        {"the runtime folder", runtime.path().c_str(), runtime.file("kestrune/view/temp.cer")},
        {"a relative runtime folder is not used", "relative", data.file("kestrune/view/temp.cer")},
        {"no runtime folder", nullptr, data.file("kestrune/view/temp.cer")},
    };
    for (const Case& c : cases) {
        ScopedEnv home("KSCAPI_HOME", nullptr);
        ScopedEnv xdg("XDG_RUNTIME_DIR", c.runtime);
        RecordingOpener opener;
        ui::CertListDialog dialog(certs.list(), opener);
        dialog.pressView();
        ASSERT_EQ(opener.opened.size(), 1u) << c.what;
        EXPECT_EQ(opener.opened[0], c.file) << c.what;
        EXPECT_EQ(readFile(c.file), certs.der(0)) << c.what;
    }
    struct stat st {};
    ASSERT_EQ(stat(runtime.file("kestrune").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST(CertListDialog, EmptyListHasNothingToView) {
    RecordingOpener opener;
    ui::CertListDialog dialog({}, opener);
    EXPECT_TRUE(dialog.rows().empty());
    EXPECT_EQ(dialog.selectedRow(), -1);
    EXPECT_FALSE(dialog.select(0));
    dialog.pressView();
    dialog.pressOk();
    EXPECT_EQ(dialog.selected(), nullptr);
    EXPECT_TRUE(opener.opened.empty());
}
