// Choosing the signer from "MY" or a PFX file, driven through the host as a page would.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host_script.h"
#include "test_support.h"

using testing_support::runCommand;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

const std::string kFixtures = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/pfx/";
const std::string kUserOne = "S_C=TW,S_O=Kestrune Test,S_CN=PFX User One";

class SignerSelection : public host_script::HostScript {
  protected:
    void importIntoMy(const std::string& pfx) { HostScript::importIntoMy(kFixtures + pfx); }
};

}  // namespace

TEST_F(SignerSelection, OneMatchInMyIsTakenWithoutAsking) {
    importIntoMy("modern.pfx");
    auto lines = run("SelectSigner \"" + kUserOne +
                     "\" 0 0\nGetCertSubjectCN\nGetCertFinger\nGetSignerPfxFilePath\n");
    EXPECT_EQ(call(lines, "SelectSigner")["ret"], 0);
    EXPECT_EQ(call(lines, "GetCertSubjectCN")["ret"], "PFX User One");
    EXPECT_EQ(call(lines, "GetCertFinger")["ret"], "1DDB29FCC3083FB059A6AA4D55F9CAF2FDCBBA26");
    EXPECT_EQ(call(lines, "GetSignerPfxFilePath")["ret"], "");
    EXPECT_EQ(dialogs(lines, "CertListDialog") + dialogs(lines, "PfxFileDialog"), 0);
}

TEST_F(SignerSelection, ModeOneAlwaysShowsTheList) {
    importIntoMy("modern.pfx");
    auto lines =
        run("!dialog CertListDialog ok {\"index\":0}\nSelectSigner \"" + kUserOne + "\" 1 0\n");
    EXPECT_EQ(dialogs(lines, "CertListDialog"), 1);
    EXPECT_EQ(call(lines, "SelectSigner")["ret"], 0);
}

TEST_F(SignerSelection, CancelledListFallsBackToThePfxFile) {
    importIntoMy("modern.pfx");
    size_t before = containers();
    std::string script =
        "!dialog CertListDialog cancel\n"
        "!dialog PfxFileDialog ok {\"browse\":\"" +
        kFixtures +
        "two_keys.pfx\",\"password\":\"secret\"}\n"
        "SelectSigner \"\" 1 0\n"
        "GetSignerPfxFilePath\nGetSignerPfxFileName\nGetCertFinger\n";
    auto lines = run(script);
    EXPECT_EQ(call(lines, "SelectSigner")["ret"], 0);
    EXPECT_EQ(call(lines, "GetSignerPfxFileName")["ret"], "two_keys.pfx");
    std::string folder = call(lines, "GetSignerPfxFilePath")["ret"];
    EXPECT_EQ(folder + "/", kFixtures);
    EXPECT_EQ(call(lines, "GetCertFinger")["ret"].get<std::string>().size(), 40u);
    // The keys the PFX load made are gone again.
    EXPECT_EQ(containers(), before);
}

TEST_F(SignerSelection, FailuresLeaveNoSigner) {
    importIntoMy("modern.pfx");
    std::string script = "SelectSigner \"" + kUserOne +
                         "\" 0 0\n"
                         // Nothing matches in "MY" and the PFX dialog is cancelled.
                         "!dialog PfxFileDialog cancel\n"
                         "SelectSigner \"S_CN=Nobody\" 0 0\n"
                         "GetCertFinger\n"
                         // A wrong password.
                         "!dialog PfxFileDialog ok {\"browse\":\"" +
                         kFixtures +
                         "modern.pfx\",\"password\":\"wrong\"}\n"
                         "SelectSigner \"S_CN=Nobody\" 0 0\n"
                         // The file holds nothing the filter accepts.
                         "!dialog PfxFileDialog ok {\"browse\":\"" +
                         kFixtures +
                         "modern.pfx\",\"password\":\"secret\"}\n"
                         "SelectSigner \"S_CN=Nobody\" 0 0\n";
    auto lines = run(script);
    EXPECT_EQ(call(lines, "SelectSigner", 0)["ret"], 0);
    EXPECT_EQ(call(lines, "SelectSigner", 1)["ret"], 5070);
    EXPECT_EQ(call(lines, "GetCertFinger")["ret"], "");
    EXPECT_EQ(call(lines, "SelectSigner", 2)["ret"], 5208);
    EXPECT_EQ(call(lines, "SelectSigner", 2)["capiError"], 86);
    EXPECT_EQ(call(lines, "SelectSigner", 3)["ret"], 5010);
    EXPECT_EQ(containers(), 1u);
}
