// The kscapi host, run as a program the way scripts and people run it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "test_support.h"

using testing_support::runCommand;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct HostRun {
    std::vector<nlohmann::json> lines;
    int status = -1;
};

// Runs `kscapi ARGS` with a fresh home and the script on standard input.
HostRun kscapi(const std::string& args, const std::string& script = "") {
    TempDir dir;
    writeFile(dir.file("script"), script);
    HostRun run;
    std::string out = runCommand(std::string(KSCAPI_HOST_PATH) + " --home " + dir.file("home") +
                                     " " + args + " < " + dir.file("script") + " 2>/dev/null",
                                 &run.status);
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        // Lines that are not JSON (help, version) are kept as strings.
        auto parsed = nlohmann::json::parse(line, nullptr, false);
        run.lines.push_back(parsed.is_discarded() ? nlohmann::json(line) : parsed);
    }
    return run;
}

}  // namespace

TEST(Host, CallPrintsOneResultLine) {
    HostRun r = kscapi("call GetErrorMsg");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 1u);
    const std::string expected =
        "{\"op\":\"GetErrorMsg\",\"ret\":\"\u6210\u529f(0)\",\"lastError\":0,\"capiError\":0}";
    EXPECT_EQ(r.lines[0], nlohmann::json::parse(expected));
}

TEST(Host, HashOfAbc) {
    HostRun r = kscapi("call Hash abc 16");
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_EQ(r.lines[0]["ret"], "A9993E364706816ABA3E25717850C26C9CD0D89D");
    // The text ends at its first zero character.
    HostRun cut = kscapi("call Hash '\"abc\\u0000def\"' 16");
    ASSERT_EQ(cut.lines.size(), 1u);
    EXPECT_EQ(cut.lines[0]["ret"], "A9993E364706816ABA3E25717850C26C9CD0D89D");
}

TEST(Host, OperationsTableHasEveryOperation) {
    HostRun r = kscapi("ops");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 37u);
    EXPECT_EQ(r.lines[0]["name"], "GetVersion");
    EXPECT_EQ(r.lines[10]["name"], "Hash");
    EXPECT_EQ(r.lines[10]["dispid"], 30);
    EXPECT_EQ(r.lines[16]["params"][4]["name"], "dwKeyUsage");
    EXPECT_EQ(r.lines[36]["dispid"], 87);
}

TEST(Host, ScriptStatementsAndErrors) {
    HostRun r = kscapi("--ui none run -",
                       "# a comment\n"
                       "\n"
                       "getversion\n"
                       "PresetPasswdLengthRange 8 0\n"
                       "Hash\n"
                       "NoSuchOp\n"
                       "PresetPasswdLengthRange \"8\" 0\n"
                       "@new second\n"
                       "SelectSigner \"\" 0 0\n"
                       "GetErrorCode\n"
                       "@use main\n"
                       "GetErrorCode\n"
                       "@use nobody\n"
                       "!dialog FileChooser cancel\n");
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(r.lines.size(), 10u);
    EXPECT_EQ(r.lines[0]["op"], "GetVersion");
    EXPECT_EQ(r.lines[1]["ret"], 0);
    EXPECT_EQ(r.lines[2]["line"], 5);
    EXPECT_EQ(r.lines[3]["line"], 6);
    EXPECT_EQ(r.lines[4]["line"], 7);
    // Objects keep their own error state.
    int selectError = r.lines[5]["lastError"];
    EXPECT_NE(selectError, 0);
    EXPECT_EQ(r.lines[6]["ret"], selectError);
    EXPECT_EQ(r.lines[7]["ret"], 0);
    EXPECT_EQ(r.lines[8]["line"], 13);
    EXPECT_EQ(r.lines[9]["line"], 14);  // !dialog needs --ui script
}

TEST(Host, UsageErrors) {
    for (const char* args : {"", "frobnicate", "--acp 12345 call GetVersion",
                             "--ui windows call GetVersion", "--home", "run a b"}) {
        HostRun r = kscapi(args);
        EXPECT_EQ(r.status, 2) << args;
    }
    HostRun version = kscapi("--version");
    EXPECT_EQ(version.status, 0);
    ASSERT_EQ(version.lines.size(), 1u);
    EXPECT_EQ(version.lines[0], "kscapi 4.0.1.2");
}

TEST(Host, CodePageOption) {
    // The same message, handed out in the ANSI code page and printed as UTF-8 either way.
    HostRun big5 = kscapi("--acp 950 call GetErrorMsg");
    HostRun utf8 = kscapi("--acp 65001 call GetErrorMsg");
    ASSERT_EQ(big5.lines.size(), 1u);
    ASSERT_EQ(utf8.lines.size(), 1u);
    EXPECT_EQ(big5.lines[0]["ret"], utf8.lines[0]["ret"]);
}

TEST(HostModule, RegisterCreateByProgIdUnregister) {
    TempDir dir;
    std::string host = std::string(KSCAPI_HOST_PATH) + " --home " + dir.path() + " ";
    int status = -1;
    runCommand(host + "register", &status);
    ASSERT_EQ(status, 0);
    for (const char* progId : {"KestruneATL.KSCapi", "KestruneATL.KSCapi.1"}) {
        auto out = nlohmann::json::parse(
            runCommand(host + "--progid " + progId + " call GetVersion", &status));
        EXPECT_EQ(status, 0) << progId;
        EXPECT_EQ(out["ret"], "4.0.1.2") << progId;
    }
    // The registration as the class registry holds it.
    std::string clsid =
        runCommand(host + "reg get 'Software\\Classes\\KestruneATL.KSCapi\\CLSID\\'");
    EXPECT_NE(clsid.find("{12A68E1B-90F9-4181-A48A-04DB481817BE}"), std::string::npos) << clsid;
    std::string model = runCommand(host +
                                   "reg get "
                                   "'Software\\Classes\\CLSID\\{12A68E1B-90F9-4181-A48A-"
                                   "04DB481817BE}\\InprocServer32\\ThreadingModel'");
    EXPECT_NE(model.find("Apartment"), std::string::npos) << model;

    runCommand(host + "unregister", &status);
    ASSERT_EQ(status, 0);
    auto gone = nlohmann::json::parse(
        runCommand(host + "--progid KestruneATL.KSCapi call GetVersion", &status));
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(gone.contains("error"));
    std::string keys = runCommand(host + "reg list 'Software\\Classes'");
    EXPECT_NE(keys.find("\"CLSID\""), std::string::npos) << keys;  // the CLSID key itself stays
    std::string classes = runCommand(host + "reg list 'Software\\Classes\\CLSID'");
    EXPECT_EQ(classes.find("12A68E1B"), std::string::npos) << classes;
}

TEST(HostModule, LateBoundCallsGiveTheSameOutput) {
    TempDir dir;
    std::string host = std::string(KSCAPI_HOST_PATH) + " --home " + dir.path() + " --ui script ";
    runCommand(host + "register");
    std::string script =
        "GetVersion\n"
        "RegWriteHKCUStr \"Software\\\\Demo\\\\Name\" \"\\u8a31\\u53ef\"\n"
        "RegReadHKCU \"Software\\\\Demo\\\\Name\"\n"
        "RegReadHKCU Name\n"
        "PresetPasswdLengthRange 20 10\n"
        "SetDefaultPfxFileName null\n"
        "@new second\n"
        "SelectSigner \"CN=x\" 0 0\n"
        "GetErrorMsg\n"
        "@use main\n"
        "GetErrorMsg\n"
        "GetCapiErrorMsg\n"
        "!dialog FileChooser ok {\"path\":\"" +
        dir.file("script") +
        "\"}\n"
        "HashFile \"\" 3\n"
        "HashFile \"\" 3\n"
        "Hash \"\u8a31\" 0x14\n";
    writeFile(dir.file("script"), script);
    int direct = -1, late = -1;
    std::string a = runCommand(host + "run " + dir.file("script"), &direct);
    std::string b =
        runCommand(host + "--progid KestruneATL.KSCapi run " + dir.file("script"), &late);
    EXPECT_EQ(direct, 0);
    EXPECT_EQ(late, 0);
    EXPECT_EQ(a, b);
    EXPECT_NE(a.find("\"ret\":\"\xE8\xA8\xB1\xE5\x8F\xAF\""), std::string::npos) << a;
}

// SQLite and p11-kit are opened when first needed. With neither usable (stand-ins that
// lack their functions come first on the library path), what needs no database still
// works, a store fails with its code, and no token module is listed.
TEST(Host, WithoutSqliteOrP11Kit) {
    TempDir dir;
    for (const char* soname : {"libsqlite3.so.0", "libp11-kit.so.0"})
        runCommand("cp '" + std::string(KSCAPI_TEST_PKCS11) + "' " + dir.file(soname));
    const std::string host = "LD_LIBRARY_PATH=" + dir.path() + " " + KSCAPI_HOST_PATH + " --home " +
                             dir.file("home") + " ";
    int status = -1;
    EXPECT_EQ(runCommand(host + "call Hash abc 16", &status),
              "{\"op\":\"Hash\",\"ret\":\"A9993E364706816ABA3E25717850C26C9CD0D89D\","
              "\"lastError\":0,\"capiError\":0}\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(runCommand(host + "store list MY 2>&1", &status),
              "{\"error\":\"the store cannot be opened\",\"code\":1016}\n");
    EXPECT_NE(status, 0);
    EXPECT_EQ(runCommand(host + "providers list-pkcs11", &status), "");
    EXPECT_EQ(status, 0);
}
