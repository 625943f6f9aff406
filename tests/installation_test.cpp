// What an installation relies on: the machine-wide registry files (what the reader
// accepts, class lookup through the installed registration with the user's overriding it,
// the installed file against what registerServer writes, providers dropped into the
// folder), the installed host manifests against the bridge's own, kscapi doctor's checks
// and kscapi reset.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "control/guids.h"
#include "control/registration.h"
#include "host/bridge/bridge_command.h"
#include "host/doctor.h"
#include "host/reset.h"
#include "host/store_command.h"
#include "platform/com/com_runtime.h"
#include "platform/crypt/key_container.h"
#include "platform/registry/machine_hive.h"
#include "platform/registry/registry.h"
#include "tests/scoped_state.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using testing_support::readFile;
using testing_support::writeFile;

TEST(MachineHive, ReadsOnlyWellFormedFiles) {
    struct Case {
        const char* text;
        const char* error;  // null: accepted
    };
    const Case cases[] = {
        {"\xEF\xBB\xBFREGEDIT4\r\n\r\n; note\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n@=\"x \\\"q\\\" "
         "\\\\\"\r\n"
         "\"N\"=dword:0000001F\r\n",
         nullptr},
        {"Windows Registry Editor Version 5.00\n[hkey_local_machine\\A]\n\"T\" = \"v\"\n", nullptr},
        {"@=\"x\"\n", "line 1: a value before any key"},
        {"[HKEY_CURRENT_USER\\A]\n", "line 1: keys must be below HKEY_LOCAL_MACHINE"},
        {"[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "line 1: an empty key name"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"N\"=dword:1F\n", "line 2: not a value line"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"N\"=\"open\n", "line 2: not a value line"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"N\"=hex:00\n", "line 2: not a value line"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"N\"=\"a\\q\"\n", "line 2: not a value line"},
        {"[HKEY_LOCAL_MACHINE\\A\n", "line 1: a key line ends with ]"},
    };
    for (const Case& c : cases) {
        std::vector<machine::Key> keys = {machine::Key{"before", "", {}}};
        std::string error;
        bool ok = machine::parseRegText(c.text, "f.reg", keys, &error);
        EXPECT_EQ(ok, c.error == nullptr) << c.text;
        if (c.error) {
            EXPECT_EQ(error, c.error) << c.text;
            EXPECT_EQ(keys.size(), 1u) << "a refused file adds nothing";
        }
    }
    std::vector<machine::Key> keys;
    ASSERT_TRUE(machine::parseRegText(cases[0].text, "f.reg", keys));
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].path, "A\\B");
    EXPECT_EQ(keys[0].source, "f.reg");
    const machine::Value* def = machine::findValue(keys[0], "");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->text, "x \"q\" \\");
    const machine::Value* n = machine::findValue(keys[0], "n");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->type, REG_DWORD);
    EXPECT_EQ(n->number, 0x1Fu);
}

// The registration file the build installs, pointed at this build's module.
std::string buildRegistration(const std::string& folder) {
    std::string text = readFile(std::string(KSCAPI_BINARY_DIR) + "/packaging/machine.reg");
    const std::string installed = "/kestrune/libKestruneATL.so\"";
    size_t end = text.find(installed);
    size_t begin = text.rfind('"', end);
    std::string file = folder + "/machine.reg";
    writeFile(file, text.substr(0, begin + 1) + KSCAPI_BINARY_DIR + "/libKestruneATL.so\"" +
                        text.substr(end + installed.size()));
    return file;
}

TEST(MachineHive, InstalledRegistrationServesEveryUserAndTheUsersOwnWins) {
    TempHome home;
    ScopedEnvVar hive("KSCAPI_MACHINE_HIVE", buildRegistration(home.path()));
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID("KestruneATL.KSCapi", &clsid), S_OK);
    EXPECT_TRUE(clsid == CLSID_KSCapi);
    std::string path;
    bool fromMachine = false;
    ASSERT_TRUE(registeredServerPath(CLSID_KSCapi, path, &fromMachine));
    EXPECT_TRUE(fromMachine);
    IDispatch* object = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_KSCapi, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    object->Release();
    CoFreeUnusedLibraries();

    // A developer's registration of another module overrides the machine's.
    ASSERT_EQ(registerServer("/nonexistent/libKestruneATL.so"), S_OK);
    void* p = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_KSCapi, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              CO_E_DLLNOTFOUND);
    ASSERT_TRUE(registeredServerPath(CLSID_KSCapi, path, &fromMachine));
    EXPECT_FALSE(fromMachine);
    ASSERT_EQ(unregisterServer(), S_OK);
    ASSERT_TRUE(registeredServerPath(CLSID_KSCapi, path, &fromMachine));
    EXPECT_TRUE(fromMachine);
}

// Every key and value the installed file holds is what a per-user registration of the
// same module writes, so the two cannot drift apart.
TEST(MachineHive, InstalledFileMatchesWhatRegistrationWrites) {
    TempHome home;
    std::vector<machine::Key> keys;
    std::string error;
    ASSERT_TRUE(
        machine::parseRegText(readFile(std::string(KSCAPI_BINARY_DIR) + "/packaging/machine.reg"),
                              "machine.reg", keys, &error))
        << error;
    ASSERT_GE(keys.size(), 7u);
    std::string module;
    for (const machine::Key& k : keys)
        if (const machine::Value* v = machine::findValue(k, ""); k.path.ends_with("InprocServer32"))
            module = v->text;
    ASSERT_EQ(registerServer(module), S_OK);
    for (const machine::Key& k : keys) {
        const std::string prefix = "Software\\Classes\\";
        ASSERT_EQ(k.path.rfind(prefix, 0), 0u) << k.path;
        RegKeyHolder key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, k.path.substr(prefix.size()).c_str(), 0,
                                KEY_READ, key.out()),
                  ERROR_SUCCESS)
            << k.path;
        for (const machine::Value& v : k.values) {
            char data[512] = {};
            DWORD size = sizeof data, type = 0;
            ASSERT_EQ(RegQueryValueExA(key.get(), v.name.empty() ? nullptr : v.name.c_str(),
                                       nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
                      ERROR_SUCCESS)
                << k.path << " " << v.name;
            EXPECT_EQ(type, REG_SZ);
            EXPECT_EQ(std::string(data), v.text) << k.path << " " << v.name;
        }
    }
}

TEST(MachineHive, ProvidersFromTheFolderAreListedAndBelongToTheMachine) {
    TempHome home;
    std::string folder = home.path() + "/providers.d";
    std::filesystem::create_directory(folder);
    ScopedEnvVar providers("KSCAPI_PROVIDERS_DIR", folder);
    const std::string key =
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Cryptography\\Defaults\\Provider\\";
    writeFile(folder + "/10-card.reg",
              key +
                  "Vendor Card]\n\"Type\"=dword:00000001\n"
                  "\"Backend\"=\"pkcs11\"\n\"Module\"=\"" KSCAPI_TEST_PKCS11 "\"\n" +
                  key + "Shared]\n\"Type\"=dword:00000001\n\"Backend\"=\"software\"\n");
    writeFile(folder + "/20-broken.reg", key + "Broken]\n\"Type\"=dword:1\n");
    writeFile(folder + "/30-ignored.txt",
              key + "Ignored]\n\"Type\"=dword:00000001\n\"Backend\"=\"software\"\n");
    HKEY shared = nullptr;
    // The user's provider of the same name wins over the machine's.
    ASSERT_EQ(
        RegCreateKeyA(HKEY_CURRENT_USER,
                      "Software\\Microsoft\\Cryptography\\Defaults\\Provider\\Shared", &shared),
        ERROR_SUCCESS);
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(shared, "Type", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExA(shared, "Backend", 0, REG_SZ, reinterpret_cast<const BYTE*>("software"), 9),
        ERROR_SUCCESS);
    RegCloseKey(shared);

    std::vector<std::pair<std::string, std::string>> listed;
    for (const CryptProviderInfo& p : cryptProviders())
        if (!p.builtIn) listed.emplace_back(p.name, p.source);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Shared", "user"}, {"Vendor Card", folder + "/10-card.reg"}};
    EXPECT_EQ(listed, expected);

    std::ostringstream out, err;
    EXPECT_EQ(runProvidersCommand({"remove", "Vendor Card"}, out, err), 1);
    EXPECT_NE(err.str().find("\"code\":5"), std::string::npos) << err.str();
    EXPECT_EQ(findCryptProvider("Vendor Card")->source, folder + "/10-card.reg");
    std::vector<machine::FileProblem> problems;
    machine::keys(&problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].file, folder + "/20-broken.reg");
    EXPECT_EQ(problems[0].reason, "line 2: not a value line");
}

TEST(Installation, InstalledHostManifestsAreTheBridgesOwn) {
    for (const char* browser : {"chromium", "firefox"}) {
        auto installed = nlohmann::json::parse(
            readFile(std::string(KSCAPI_BINARY_DIR) + "/packaging/" + browser + "-host.json"));
        auto own = nlohmann::json::parse(bridge::manifestText(browser, installed["path"]));
        EXPECT_EQ(installed, own) << browser;
    }
}

class Doctor : public ::testing::Test {
  protected:
    TempHome home_;
    ScopedEnvVar userHome_{"HOME", home_.path()};
    ScopedEnvVar config_{"XDG_CONFIG_HOME", std::nullopt};
    ScopedEnvVar hive_{"KSCAPI_MACHINE_HIVE", buildRegistration(home_.path())};
    host::DoctorPlaces places_{{{"chromium", home_.path() + "/chromium.json"}},
                               home_.path() + "/extension",
                               home_.path() + "/policies.json"};

    std::map<std::string, host::DoctorCheck> run() {
        std::map<std::string, host::DoctorCheck> out;
        for (host::DoctorCheck& c : host::runDoctorChecks(places_, "gtk")) out[c.name] = c;
        return out;
    }
};

TEST_F(Doctor, EachBrokenPieceFailsItsOwnLineWithItsFix) {
    const std::string reinstall = "sudo apt-get install --reinstall kestrune";
    const std::string good = bridge::manifestText("chromium", KSCAPI_BRIDGE_PATH);
    std::filesystem::create_directory(places_.chromiumExtension);
    writeFile(places_.chromiumExtension + "/manifest.json",
              readFile(std::string(KSCAPI_SOURCE_DIR) + "/browser/extension/manifest.json"));
    writeFile(home_.path() + "/kscapi.xpi", "");
    writeFile(places_.firefoxPolicies,
              nlohmann::json{{"policies",
                              {{"ExtensionSettings",
                                {{bridge::kFirefoxExtensionId,
                                  {{"installation_mode", "force_installed"},
                                   {"install_url", "file://" + home_.path() + "/kscapi.xpi"}}}}}}}}
                  .dump());
    struct Case {
        const char* what;
        std::string systemText;  // empty: no file
        std::string userText;    // the user's own manifest; empty: none
        std::string detail;      // a part of the failure's detail; empty: ok
        std::string fix;
    };
    std::string other = good;
    other.replace(other.find(bridge::kChromiumExtensionId), 32, std::string(32, 'a'));
    std::string noHost = bridge::manifestText("chromium", "/nonexistent/kscapi-bridge");
    const Case cases[] = {
        {"installed", good, "", "", ""},
        {"deleted", "", "", "missing: ", reinstall},
        {"not JSON", "{", "", "not a JSON object", reinstall},
        {"another extension", other, "",
         "does not allow chrome-extension://" + std::string(bridge::kChromiumExtensionId),
         reinstall},
        {"no executable", noHost, "", "/nonexistent/kscapi-bridge, which is no executable",
         reinstall},
        {"a user's stale manifest hides the system's", good, noHost, "which is no executable",
         "kscapi bridge install --browser chromium"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(places_.browsers[0].systemManifest);
        std::filesystem::remove_all(home_.path() + "/.config");
        if (!c.systemText.empty()) writeFile(places_.browsers[0].systemManifest, c.systemText);
        if (!c.userText.empty()) {
            std::filesystem::create_directories(home_.path() +
                                                "/.config/chromium/NativeMessagingHosts");
            writeFile(bridge::manifestPath("chromium"), c.userText);
        }
        auto checks = run();
        const host::DoctorCheck& m = checks.at("manifest chromium");
        EXPECT_EQ(m.ok, c.detail.empty()) << c.what << ": " << m.detail;
        EXPECT_NE(m.detail.find(c.detail), std::string::npos) << c.what << ": " << m.detail;
        EXPECT_EQ(m.fix, c.fix) << c.what;
        for (const char* other :
             {"registration", "extension chromium", "extension firefox", "database", "dialogs"})
            EXPECT_TRUE(checks.at(other).ok)
                << c.what << ": " << other << " " << checks.at(other).detail;
    }
}

TEST_F(Doctor, StateOthersCouldReadAndMissingPiecesFail) {
    ASSERT_TRUE(run().at("database").ok);
    chmod(home_.database().c_str(), 0644);
    host::DoctorCheck db = run().at("database");
    EXPECT_FALSE(db.ok);
    EXPECT_EQ(db.fix, "chmod 600 " + home_.database() + " && chmod 700 " + home_.path());
    EXPECT_EQ(host::runDoctorChecks(places_, "none").back().ok, false);
    ScopedEnvVar noHive("KSCAPI_MACHINE_HIVE", home_.path() + "/none.reg");
    auto checks = run();
    EXPECT_FALSE(checks.at("registration").ok);
    EXPECT_FALSE(checks.at("extension chromium").ok);
    EXPECT_FALSE(checks.at("extension firefox").ok);
    // The extension folder holds a manifest whose key gives another ID.
    std::filesystem::create_directory(places_.chromiumExtension);
    writeFile(places_.chromiumExtension + "/manifest.json", R"({"key":"AAAA"})");
    EXPECT_NE(run().at("extension chromium").detail.find("not the one the manifests allow"),
              std::string::npos);
}

TEST(Installation, ResetSaysWhatGoesAndRemovesOnlyOurFiles) {
    TempHome home;
    std::ostringstream out, err;
    ASSERT_EQ(runStoreCommand(
                  {"import-pfx", std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/sign/good.pfx",
                   "secret"},
                  out, err),
              0)
        << err.str();
    writeFile(home.path() + "/keep.txt", "not ours");
    for (const char* answer : {"", "n\n", "no\n"}) {
        std::istringstream in(answer);
        std::ostringstream said, refused;
        EXPECT_EQ(host::runReset({}, in, said, refused), 1) << answer;
        EXPECT_NE(said.str().find("This removes 1 key pair(s) in 1 container(s), 1 certificate(s)"),
                  std::string::npos)
            << said.str();
        EXPECT_TRUE(std::filesystem::exists(home.database()));
    }
    std::istringstream yes("y\n");
    std::ostringstream said, none;
    EXPECT_EQ(host::runReset({}, yes, said, none), 0) << none.str();
    EXPECT_NE(said.str().find(R"({"folder":")" + home.path() +
                              R"(","keys":1,"containers":1,"certificates":1,"removed":true})"),
              std::string::npos)
        << said.str();
    for (const char* suffix : {"", "-wal", "-shm"})
        EXPECT_FALSE(std::filesystem::exists(home.database() + suffix)) << suffix;
    EXPECT_EQ(readFile(home.path() + "/keep.txt"), "not ours");
    std::istringstream unused;
    std::ostringstream again;
    EXPECT_EQ(host::runReset({"--yes"}, unused, again, none), 0);
    EXPECT_EQ(host::runReset({"--all"}, unused, again, none), 2);
}

}  // namespace
