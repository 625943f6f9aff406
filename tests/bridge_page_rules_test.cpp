// What a page allowed for good can do through kscapi-bridge to the user's registry, files
// and PFX passwords: each attack sent over the host's pipes and refused, or turned into
// a dialog the user answers (scripted here).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/bridge/origin_policy.h"
#include "host/bridge/page_guard.h"
#include "platform/registry/registry.h"
#include "tests/bridge_process.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using namespace bridge_test;
using testing_support::readFile;
using testing_support::runCommand;

constexpr const char* kEvil = "https://evil.example";
constexpr const char* kOther = "https://other.example";

bool keyExists(const std::string& path) {
    RegKeyHolder key;
    return RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

// One object of one origin in a running host; answers for its dialogs are appended to
// the answers file before the call that needs them.
class Page {
  public:
    Page(BridgeProcess& bridge, const TempDir& dir, std::string origin)
        : bridge_(bridge), dir_(dir), origin_(std::move(origin)) {
        renew();
    }
    // A new object, as a page makes after changing what objects read when made.
    void renew() {
        json reply = bridge_.request(
            {{"id", id_++}, {"type", "create"}, {"origin", origin_}, {"owner", "tab"}});
        object_ = reply.value("object", -1);
    }
    json call(const std::string& op, const json& args, const std::string& answer = "") {
        if (!answer.empty()) std::ofstream(dir_.file("answers"), std::ios::app) << answer << '\n';
        return bridge_.request({{"id", id_++},
                                {"type", "call"},
                                {"origin", origin_},
                                {"owner", "tab"},
                                {"object", object_},
                                {"op", op},
                                {"args", args}});
    }
    int64_t object() const { return object_; }

  private:
    BridgeProcess& bridge_;
    const TempDir& dir_;
    std::string origin_;
    int64_t object_ = -1;
    int id_ = 1;
};

// One call: what it does, its arguments, the dialog answer it needs (none: it must not
// open one), the error code it ends with and, when given, its result.
struct Step {
    const char* attack;
    const char* op;
    json args;
    std::string answer;
    int32_t lastError;
    json ret = nullptr;
};

void run(Page& page, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        json reply = page.call(step.op, step.args, step.answer);
        EXPECT_EQ(reply.value("lastError", -1), step.lastError) << step.attack << ": " << reply;
        if (!step.ret.is_null()) {
            EXPECT_EQ(reply["ret"], step.ret) << step.attack;
        }
    }
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at) ++n;
    return n;
}

class BridgePageRules : public BridgeHost {
  protected:
    void SetUp() override {
        BridgeHost::SetUp();
        for (const char* origin : {kEvil, kOther})
            ASSERT_EQ(bridge::rememberOrigin(origin), ERROR_SUCCESS);
    }
    std::string log() const { return readFile(dir_.file("log")); }
};

TEST_F(BridgePageRules, RegistryOfAPageIsItsOriginsOwnKey) {
    const std::string provider = "Software\\Microsoft\\Cryptography\\Defaults\\Provider\\X\\";
    const std::string server =
        "Software\\Classes\\CLSID\\{0F6A1B2C-3D4E-5F60-7182-93A4B5C6D7E8}"
        "\\InprocServer32\\";
    BridgeProcess bridge(dir_);
    Page evil(bridge, dir_, kEvil), other(bridge, dir_, kOther);
    run(other,
        {{"the other site's value", "RegWriteHKCUInt", {"Software\\Demo\\Count", 7}, "", 0}});
    run(evil,
        {
            {"read the allowed sites",
             "RegReadHKCU",
             {std::string(bridge::kOriginsKey) + "\\" + kEvil},
             "",
             5906,
             ""},
            {"read another site's value", "RegReadHKCU", {"Software\\Demo\\Count"}, "", 5906, ""},
            {"climb into another site",
             "RegReadHKCU",
             {std::string(bridge::kSitesKey) + "\\" + kOther + "\\Software\\Demo\\Count"},
             "",
             5906,
             ""},
            {"provider backend", "RegWriteHKCUStr", {provider + "Backend", "pkcs11"}, "", 0},
            {"provider module", "RegWriteHKCUStr", {provider + "Module", "/tmp/evil.so"}, "", 0},
            {"class registration", "RegWriteHKCUStr", {server, "/tmp/evil.so"}, "", 0},
            {"leading backslash", "RegWriteHKCUStr", {"\\" + server, "/tmp/evil.so"}, "", 5906},
            {"doubled backslashes",
             "RegWriteHKCUInt",
             {"Software\\\\Kestrune\\\\Bridge\\\\\\DevelopmentMode", 1},
             "",
             0},
            {"other case, trailing backslashes",
             "RegWriteHKCUStr",
             {"SOFTWARE\\KESTRUNE\\BRIDGE\\ORIGINS\\\\\\https://evil2.example", "1"},
             "",
             0},
            {"round trip", "RegWriteHKCUInt", {"Software\\Demo\\Count", -1}, "", 0},
            {"read back", "RegReadHKCU", {"Software\\Demo\\Count"}, "", 0, "-1"},
            {"top of the hive", "RegWriteHKCUStr", {"\\Name", "v"}, "", 0},
            {"read the top", "RegReadHKCU", {"\\Name"}, "", 0, "v"},
            {"no backslash", "RegReadHKCU", {"Name"}, "", 5005, ""},
            {"256 bytes",
             "RegWriteHKCUStr",
             {"Software\\Demo\\Long", std::string(256, 'a')},
             "",
             0},
            {"read past 255 bytes", "RegReadHKCU", {"Software\\Demo\\Long"}, "", 0, ""},
            {"64 KiB", "RegWriteHKCUStr", {"Software\\Demo\\Big", std::string(65536, 'a')}, "", 0},
            {"64 KiB and one",
             "RegWriteHKCUStr",
             {"Software\\Demo\\Big", std::string(65537, 'a')},
             "",
             5906},
            {"12 MiB",
             "RegWriteHKCUStr",
             {"Software\\Demo\\Huge", std::string(12 << 20, 'a')},
             "",
             5906},
        });
    // The provider the page described is not one the control knows, even to a new object.
    evil.renew();
    run(evil, {{"use the provider", "SetProviderName", {"X"}, "", 5046}});
    run(other,
        {{"the other site's value stays", "RegReadHKCU", {"Software\\Demo\\Count"}, "", 0, "7"}});
    EXPECT_EQ(bridge.finish(), 0);

    EXPECT_FALSE(keyExists(provider + "X"));
    EXPECT_FALSE(keyExists("Software\\Classes\\CLSID\\{0F6A1B2C-3D4E-5F60-7182-93A4B5C6D7E8}"));
    EXPECT_FALSE(bridge::developmentMode());
    EXPECT_EQ(bridge::rememberedOrigins(), (std::vector<std::string>{kEvil, kOther}));
    EXPECT_TRUE(keyExists(std::string(bridge::kSitesKey) + "\\" + kEvil + "\\" + provider));
}

TEST_F(BridgePageRules, APagesHiveHoldsOneMebibyte) {
    BridgeProcess bridge(dir_);
    Page evil(bridge, dir_, kEvil);
    const std::string value(bridge::kMaxPageStringBytes, 'a');
    // 15 values of 64 KiB and their names fit; the 16th would pass 1 MiB.
    int stored = 0;
    for (; stored < 20; ++stored) {
        json reply = evil.call("RegWriteHKCUStr",
                               {"Software\\Flood\\v" + std::to_string(100 + stored), value});
        if (reply.value("lastError", -1) != 0) {
            EXPECT_EQ(reply.value("lastError", -1), 5906);
            break;
        }
    }
    EXPECT_EQ(stored, 15);
    run(evil,
        {{"replace a stored value", "RegWriteHKCUStr", {"Software\\Flood\\v100", value}, "", 0}});
}

// A copy of a fixture PFX ("secret") in a folder of the user's.
std::string userPfx(const TempDir& dir, const std::string& name) {
    std::filesystem::create_directories(dir.file("user"));
    std::string path = dir.file("user/" + name);
    std::filesystem::copy_file(store_test::pfxFixture("modern.pfx"), path);
    return path;
}

std::string pfxDialog(const std::string& kind, const json& answer) {
    return kind + " ok " + answer.dump();
}

// Started by a browser in its own folder, the host still opens a page's choosers in the
// user's home, as the path box shows it, never where it was started.
TEST_F(BridgePageRules, ChoosersStartInTheUsersFolders) {
    const std::string signerPfx = userPfx(dir_, "signer.pfx");
    const std::string home = dir_.file("home"), started = dir_.file("usr-lib");
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(started);
    BridgeProcess bridge(dir_, "", {"HOME=" + home}, started);
    Page page(bridge, dir_, kEvil);
    run(page, {
                  {"a file to hash", "HashFile", {"", 3}, "FileChooser cancel", 5070},
                  {"a PFX file to import",
                   "ImportPfxToIE",
                   {"", "", "", 1, 0},
                   pfxDialog("PfxFileDialog", {{"browse", signerPfx}, {"password", "secret"}}),
                   0},
              });
    EXPECT_EQ(bridge.finish(), 0);
    std::string shown = log();
    EXPECT_EQ(count(shown, "\"startFolder\":\"" + home + "\""), 2u) << shown;
    EXPECT_EQ(count(shown, "\"path\":\"" + home + "/*.pfx\""), 1u) << shown;
    EXPECT_EQ(count(shown, started), 0u) << shown;
}

TEST_F(BridgePageRules, FilesOnlyWhereTheUserPointed) {
    const std::string signerPfx = userPfx(dir_, "signer.pfx");
    const std::string folder = dir_.file("user");
    const std::string backup = folder + "/old-backup.pfx";
    testing_support::writeFile(backup, "the user's backup");
    testing_support::writeFile(folder + "/notes.pfx.txt", "the user's notes");
    const std::string picked = folder + "/picked.txt";
    testing_support::writeFile(picked, "a file the user picks");
    std::string sha256 = runCommand("openssl dgst -sha256 -r " + picked).substr(0, 64);
    for (char& c : sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    // The user lets the key go whenever an export reaches that question: the file rules
    // alone decide here.
    std::string consents;
    for (int i = 0; i < 8; ++i) consents += "KeyExportConsent ok {}\n";
    BridgeProcess bridge(dir_, consents);
    Page evil(bridge, dir_, kEvil);
    run(evil,
        {
            // Probing the disk: every path not handed asks the user, whatever is there.
            {"hash a file", "HashFile", {"/etc/passwd", 3}, "FileChooser cancel", 5070, ""},
            {"probe a folder", "HashFile", {"/etc", 3}, "FileChooser cancel", 5070, ""},
            {"probe a missing path",
             "HashFile",
             {"/nonexistent/x", 3},
             "FileChooser cancel",
             5070,
             ""},
            {"the user picks the file",
             "HashFile",
             {"/etc/passwd", 3},
             "FileChooser ok " + json({{"path", picked}}).dump(),
             0,
             sha256},
            {"the picked file again, unasked", "HashFile", {picked, 3}, "", 0, sha256},
            // A PFX file the page names is opened only after the user confirms it.
            {"import a file not handed",
             "ImportPfxToIE",
             {folder, "signer.pfx", "secret", 1, 0},
             "PfxFileDialog cancel",
             5070},
            {"the user imports it",
             "ImportPfxToIE",
             {folder, "signer.pfx", "secret", 1, 0},
             pfxDialog("PfxFileDialog", {{"browse", signerPfx}, {"password", "secret"}}),
             0},
            // Exports land only in new .pfx/.p12 files of handed folders, or where the user says.
            {"replace the user's backup", "SetDefaultPfxFileName", {"old-backup.pfx"}, "", 0},
            {"", "ExportPfxFromIE", {"", folder, "pw", 0, 0}, "PfxSaveDialog cancel", 5070},
            {"a name that is not a PFX file", "SetDefaultPfxFileName", {"notes.pfx.txt"}, "", 0},
            {"", "ExportPfxFromIE", {"", folder, "pw", 0, 0}, "PfxSaveDialog cancel", 5070},
            {"a folder not handed", "SetDefaultPfxFileName", {"fresh.pfx"}, "", 0},
            {"", "ExportPfxFromIE", {"", "/tmp", "pw", 0, 0}, "PfxSaveDialog cancel", 5070},
            {"a new file in a handed folder", "ExportPfxFromIE", {"", folder, "pw", 0, 0}, "", 0},
            {"and replacing it",
             "ExportPfxFromIE",
             {"", folder, "pw", 0, 0},
             "PfxSaveDialog cancel",
             5070},
            {"rewrite the signer's file",
             "ChangePfxPasswd",
             {folder, "signer.pfx", "secret", "x", 0},
             "ChangePasswordDialog cancel",
             5070},
            // What the user chose in the save dialog may be written again.
            {"the user replaces the backup", "SetDefaultPfxFileName", {"old-backup.pfx"}, "", 0},
            {"",
             "ExportPfxFromIE",
             {"", folder, "pw", 0, 0},
             pfxDialog("PfxSaveDialog", {{"password", "pw"}}),
             0},
            {"again, unasked", "ExportPfxFromIE", {"", folder, "pw", 0, 0}, "", 0},
        });
    EXPECT_EQ(bridge.finish(), 0);
    EXPECT_EQ(readFile(folder + "/notes.pfx.txt"), "the user's notes");
    // Dialogs opened with the page's path filled in.
    std::string shown = log();
    EXPECT_EQ(count(shown, "\"initialFile\":\"/etc/passwd\""), 2u) << shown;
    EXPECT_EQ(count(shown, "\"path\":\"" + folder + "/notes.pfx.txt\""), 1u) << shown;
    // The files written are PFX files under the page's password.
    for (const char* written : {"fresh.pfx", "old-backup.pfx"}) {
        int status = -1;
        runCommand("openssl pkcs12 -in " + folder + "/" + written +
                       " -passin pass:pw -nokeys >/dev/null 2>&1",
                   &status);
        EXPECT_EQ(status, 0) << written;
    }
}

TEST_F(BridgePageRules, ThreeGuessesPerFileThenTheUserTypes) {
    const std::string signerPfx = userPfx(dir_, "signer.pfx");
    BridgeProcess bridge(dir_);
    Page evil(bridge, dir_, kEvil);
    // The signer comes from the user's PFX dialog; its getters hand the path to the page.
    run(evil, {{"choose the signer",
                "SelectSigner",
                {"", 0, 0},
                pfxDialog("PfxFileDialog", {{"browse", signerPfx}, {"password", "secret"}}),
                0}});
    std::string folder = evil.call("GetSignerPfxFilePath", json::array())["ret"];
    std::string name = evil.call("GetSignerPfxFileName", json::array())["ret"];
    ASSERT_EQ(folder + "/" + name, signerPfx);
    run(evil, {
                  {"guess 1", "ExportMobileFromPfx", {folder, name, "guess1", 0, 0}, "", 5208, ""},
                  {"guess 2", "ExportMobileFromPfx", {folder, name, "guess2", 0, 0}, "", 5208, ""},
                  {"guess 3", "ExportMobileFromPfx", {folder, name, "guess3", 0, 0}, "", 5208, ""},
                  {"the right one, no longer tried",
                   "ExportMobileFromPfx",
                   {folder, name, "secret", 0, 0},
                   "PfxSaveDialog cancel",
                   5070,
                   ""},
                  {"through another operation",
                   "ImportPfxToIE",
                   {folder, name, "secret", 0, 0},
                   "PfxFileDialog cancel",
                   5070},
              });
    // A wrong password typed in the dialog is answered a second later, the next two.
    const Step typedWrong{"typed wrong",
                          "ExportMobileFromPfx",
                          {folder, name, "secret", 0, 0},
                          pfxDialog("PfxSaveDialog", {{"browse", signerPfx}, {"password", "nope"}}),
                          5208,
                          ""};
    auto start = std::chrono::steady_clock::now();
    run(evil, {typedWrong});
    auto first = std::chrono::steady_clock::now() - start;
    run(evil, {typedWrong});
    auto both = std::chrono::steady_clock::now() - start;
    EXPECT_GE(first, std::chrono::seconds(1));
    EXPECT_LT(first, std::chrono::seconds(2));
    EXPECT_GE(both, std::chrono::seconds(3));
    json typed =
        evil.call("ExportMobileFromPfx", {folder, name, "", 0, 0},
                  pfxDialog("PfxSaveDialog", {{"browse", signerPfx}, {"password", "secret"}}) +
                      "\nKeyExportConsent ok {}");
    EXPECT_EQ(typed.value("lastError", -1), 0) << typed;
    EXPECT_FALSE(typed["ret"].get<std::string>().empty());
    EXPECT_EQ(bridge.finish(), 0);
}

// What `kscapi ARGS` lists in the bridge's home: one line per key container or
// certificate.
size_t listed(const std::string& args) {
    std::string out = runCommand(std::string(KSCAPI_HOST_PATH) + " " + args);
    return static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
}

// The page's count `value` as the bridge keeps it.
DWORD usageCount(const char* value) {
    RegKeyHolder key;
    DWORD count = 0, size = sizeof count;
    std::string path = std::string(bridge::kUsageKey) + "\\" + kEvil;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS ||
        RegQueryValueExA(key.get(), value, nullptr, nullptr, reinterpret_cast<BYTE*>(&count),
                         &size) != ERROR_SUCCESS)
        return 0;
    return count;
}

TEST_F(BridgePageRules, StoresGrowOnlyAsFarAsTheUserLets) {
    const std::string ca = dir_.file("ca");
    std::filesystem::create_directories(ca);
    const std::string kCa = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/enroll_ca.sh";
    int status = -1;
    runCommand(kCa + " init " + ca, &status);
    ASSERT_EQ(status, 0);
    const json provider = {"Microsoft Enhanced Cryptographic Provider v1.0"};
    const json request = {"Page", 512, 1};
    const size_t before = listed("keys list");
    {
        BridgeProcess bridge(dir_);
        Page evil(bridge, dir_, kEvil);
        run(evil, {{"choose the provider", "SetProviderName", provider, "", 0}});
        for (uint32_t i = 0; i < bridge::kFreePageKeys; ++i)
            run(evil, {{"a key within the allowance", "CreatePKCS10", request, "", 0}});
        ASSERT_EQ(listed("keys list"), before + bridge::kFreePageKeys);
        json refused = evil.call("CreatePKCS10", request, "StoreGrowthConsent cancel");
        EXPECT_EQ(refused.value("lastError", -1), 5070) << refused;
        EXPECT_EQ(refused.value("capiError", -1), 1223) << refused;
        // The page's registry calls cannot reach its counts, however it spells the path.
        const std::string own = std::string(bridge::kUsageKey) + "\\" + kEvil + "\\";
        std::string upper = own;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::string slashes = own;
        std::replace(slashes.begin(), slashes.end(), '\\', '/');
        run(evil,
            {
                {"the counts' own path", "RegWriteHKCUInt", {own + "KeysCreated", 0}, "", 0},
                {"from the top", "RegWriteHKCUInt", {"\\" + own + "KeysCreated", 0}, "", 5906},
                {"climbing out",
                 "RegWriteHKCUInt",
                 {"..\\..\\Usage\\" + std::string(kEvil) + "\\KeysCreated", 0},
                 "",
                 0},
                {"upper case", "RegWriteHKCUInt", {upper + "KEYSCREATED", 0}, "", 0},
                {"slashes", "RegWriteHKCUInt", {slashes + "KeysCreated", 0}, "", 5005},
                {"a value of the page's top", "RegWriteHKCUInt", {"\\KeysCreated", 0}, "", 0},
                {"still asked", "CreatePKCS10", request, "StoreGrowthConsent cancel", 5070},
            });
        EXPECT_EQ(listed("keys list"), before + bridge::kFreePageKeys);
        EXPECT_EQ(bridge.finish(), 0);
    }
    EXPECT_EQ(usageCount(bridge::kKeysCreatedValue), bridge::kFreePageKeys);
    // As if the page had added 62 certificates before.
    RegKeyHolder usage;
    const DWORD added = bridge::kFreePageCertificates - 2;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(bridge::kUsageKey) + "\\" + kEvil).c_str(),
                        0, nullptr, 0, KEY_WRITE, nullptr, usage.out(), nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(usage.get(), bridge::kCertificatesAddedValue, 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&added), sizeof added),
              ERROR_SUCCESS);
    usage.close();
    // The page reloads in a new host: still asked; the user allows one key.
    {
        BridgeProcess bridge(dir_);
        Page evil(bridge, dir_, kEvil);
        run(evil, {{"choose the provider", "SetProviderName", provider, "", 0}});
        json made = evil.call("CreatePKCS10", request, "StoreGrowthConsent ok {}");
        ASSERT_EQ(made.value("lastError", -1), 0) << made;
        EXPECT_EQ(listed("keys list"), before + bridge::kFreePageKeys + 1);
        testing_support::writeFile(dir_.file("req.b64"), made["ret"].get<std::string>());
        runCommand("openssl base64 -d -A -in " + dir_.file("req.b64") + " -out " +
                       dir_.file("req.der") + " && " + kCa + " issue " + ca + " " +
                       dir_.file("req.der"),
                   &status);
        ASSERT_EQ(status, 0);
        const json answer = {runCommand("openssl base64 -A -in " + ca + "/answer.p7b")};
        // The reply's root, issuing authority and certificate, beyond the page's allowance.
        const size_t my = listed("store list MY"), cas = listed("store list CA");
        const size_t roots = listed("store list ROOT");
        run(evil, {{"three certificates, refused", "AcceptPKCS7", answer,
                    "StoreGrowthConsent cancel", 5070}});
        EXPECT_EQ(listed("store list MY"), my);
        EXPECT_EQ(listed("store list CA"), cas);
        EXPECT_EQ(listed("store list ROOT"), roots);
        run(evil, {{"allowed; the root asks on its own", "AcceptPKCS7", answer,
                    "StoreGrowthConsent ok {}\nRootInstallDialog cancel", 0}});
        EXPECT_EQ(listed("store list MY"), my + 1);
        EXPECT_EQ(listed("store list CA"), cas + 1);
        EXPECT_EQ(bridge.finish(), 0);
    }
    EXPECT_EQ(usageCount(bridge::kCertificatesAddedValue), bridge::kFreePageCertificates + 1);
    std::string shown = log();
    EXPECT_EQ(count(shown, "\"dialog\":\"StoreGrowthConsent\""), 5u) << shown;
    EXPECT_EQ(count(shown, "\"what\":\"keys\",\"already\":8,\"adding\":1"), 3u) << shown;
    EXPECT_EQ(count(shown, "\"what\":\"certificates\",\"already\":62,\"adding\":3"), 2u) << shown;
    // The user's own scripts are never asked, whatever pages did.
    testing_support::writeFile(dir_.file("script"), "SetProviderName " + provider[0].dump() +
                                                        "\nCreatePKCS10 \"User\" 512 1\n");
    std::string user =
        runCommand(std::string(KSCAPI_HOST_PATH) + " --ui script run " + dir_.file("script"));
    EXPECT_EQ(count(user, "\"dialog\""), 0u) << user;
    EXPECT_EQ(count(user, "\"lastError\":0"), 2u) << user;
    // Revoking the site starts it afresh.
    runCommand(std::string(KSCAPI_HOST_PATH) + " bridge origins revoke " + kEvil, &status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(keyExists(std::string(bridge::kUsageKey) + "\\" + kEvil));
}

}  // namespace
