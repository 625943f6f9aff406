// Two host processes on one home importing, signing and exporting at the same time:
// every call succeeds (no "database is locked") and neither certificate is lost.
#include <gtest/gtest.h>

#include <future>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/openssl_cli.h"
#include "tests/test_support.h"

namespace {

using nlohmann::json;
using testing_support::runCommand;
using testing_support::TempDir;

const std::string kFixtures = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/";
constexpr int kRounds = 200;

struct Worker {
    std::string folder, file, filter;
};

std::string q(const std::string& s) {
    return "\"" + s + "\"";
}

std::string scriptFor(const Worker& w) {
    std::string s;
    for (int round = 0; round < kRounds; ++round) {
        s += "ImportPfxToIE " + q(w.folder) + " " + w.file + " secret 1 0\n";
        s += "SelectSigner " + q(w.filter) + " 0 0\n";
        s += "SignPkcs7 " + q("round " + std::to_string(round)) + " 0\n";
        s += "ExportMobileFromIE " + q(w.filter) + " secret 0 0\n";
    }
    return s;
}

TEST(Concurrency, TwoHostsImportSignAndExportOnOneHome) {
    TempDir dir;
    const std::string home = dir.file("home");
    const Worker workers[] = {
        {kFixtures + "pfx", "modern.pfx", "S_C=TW,S_O=Kestrune Test,S_CN=PFX User One"},
        {kFixtures + "sign", "good.pfx", "S_C=TW,S_O=Kestrune Test,S_CN=Sign Good"},
    };
    std::vector<std::future<std::string>> runs;
    for (size_t i = 0; i < 2; ++i) {
        const std::string script = dir.file("script" + std::to_string(i));
        testing_support::writeFile(script, scriptFor(workers[i]));
        runs.push_back(std::async(std::launch::async, [=] {
            return runCommand(std::string(KSCAPI_HOST_PATH) + " --home " + home +
                              " --ui none run " + script + " 2>&1");
        }));
    }
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(workers[i].file);
        std::istringstream out(runs[i].get());
        size_t calls = 0;
        std::string lastSignature;
        for (std::string line; std::getline(out, line);) {
            json l = json::parse(line, nullptr, false);
            ASSERT_FALSE(l.is_discarded()) << line;
            if (!l.contains("op")) continue;
            ++calls;
            EXPECT_EQ(l["lastError"], 0) << line;
            const std::string op = l["op"];
            if (op == "SignPkcs7" || op == "ExportMobileFromIE") {
                EXPECT_NE(l["ret"], "") << line;
            }
            if (op == "SignPkcs7") lastSignature = l["ret"];
        }
        EXPECT_EQ(calls, size_t(4 * kRounds));
        // The last signature verifies and carries the last round's text (UTF-16LE).
        const std::string b64 = dir.file("sig" + std::to_string(i) + ".b64");
        const std::string content = dir.file("content" + std::to_string(i));
        testing_support::writeFile(b64, lastSignature);
        int status = -1;
        runCommand("openssl base64 -d -A -in " + b64 +
                       " | openssl cms -verify -noverify -inform DER -out " + content +
                       " 2>/dev/null",
                   &status);
        EXPECT_EQ(status, 0);
        std::string expected;
        for (char c : "round " + std::to_string(kRounds - 1)) expected += std::string{c, '\0'};
        EXPECT_EQ(testing_support::readFile(content), expected);
    }
    const std::string listed =
        runCommand(std::string(KSCAPI_HOST_PATH) + " --home " + home + " store list MY");
    for (const std::string& der : {kFixtures + "pfx/user1.der", kFixtures + "sign/good.leaf.der"})
        EXPECT_NE(listed.find(openssl_cli::certFields(der, "UTC").sha1), std::string::npos)
            << der << "\n"
            << listed;
}

}  // namespace
