// Importing a PFX file again replaces its certificate in "MY" and leaves no key container
// behind that nothing names; a container some certificate still names stays.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pfx/pfx_import.h"
#include "platform/crypt/key_container.h"
#include "platform/crypt/wincrypt.h"
#include "tests/host_script.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

const std::string kFixtures = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/";

std::vector<std::string> containerNames() {
    std::vector<KeyContainerRecord> all;
    EXPECT_TRUE(listKeyContainers(all));
    std::vector<std::string> names;
    for (const KeyContainerRecord& r : all) names.push_back(r.container);
    return names;
}

ErrorCode importModern() {
    ErrorPair status;
    return importPfxToMy(kFixtures + "pfx", "modern.pfx", SecretString("secret"), 1, 0,
                         ui::DialogSettings{}, status);
}

void nameContainerFrom(const char* store, const std::string& container) {
    store_test::addNamingContainer(store, kFixtures + "pfx/user1.der", container);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(PfxReimport, TheReplacedCertificatesContainerGoesUnlessNamed) {
    struct Case {
        const char* what;
        // Runs between the two imports with the first import's container.
        void (*between)(const std::string& first);
        bool firstKept;
    } cases[] = {
        {"nothing else names it", [](const std::string&) {}, false},
        {"a CA certificate names it",
         [](const std::string& first) { nameContainerFrom("CA", first); }, true},
        {"a ROOT certificate names it in lower case",
         [](const std::string& first) { nameContainerFrom("ROOT", lower(first)); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        ASSERT_EQ(importModern(), 0);
        std::vector<std::string> first = containerNames();
        ASSERT_EQ(first.size(), 1u);
        c.between(first[0]);
        ASSERT_EQ(importModern(), 0);
        std::vector<std::string> after = containerNames();
        ASSERT_EQ(after.size(), c.firstKept ? 2u : 1u);
        EXPECT_EQ(after[0] == first[0], c.firstKept);
        EXPECT_NE(after.back(), first[0]);
    }
}

class PfxReimportHost : public host_script::HostScript {};

TEST_F(PfxReimportHost, RepeatedImportsKeepOneContainerAndTheKeySigns) {
    // Through the control and through the host's own import tool, three times each.
    std::string script;
    for (int i = 0; i < 3; ++i)
        script += "ImportPfxToIE \"" + kFixtures + "sign\" good.pfx secret 1 0\n";
    host_script::Lines lines = run(script);
    for (const auto& l : calls(lines, "ImportPfxToIE")) EXPECT_EQ(l["lastError"], 0);
    EXPECT_EQ(containers(), 1u);
    for (int i = 0; i < 3; ++i) importIntoMy(kFixtures + "sign/good.pfx");
    EXPECT_EQ(containers(), 1u);

    lines =
        run("SelectSigner \"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good\" 0 0\n"
            "SignPkcs7 \"after three imports\" 0\n");
    nlohmann::json signed7 = call(lines, "SignPkcs7");
    ASSERT_EQ(signed7["lastError"], 0);
    testing_support::writeFile(dir_.file("sig.b64"), signed7["ret"].get<std::string>());
    int status = -1;
    testing_support::runCommand("openssl base64 -d -A -in " + dir_.file("sig.b64") +
                                    " | openssl cms -verify -noverify -inform DER -out /dev/null "
                                    "2>/dev/null",
                                &status);
    EXPECT_EQ(status, 0);
}

}  // namespace
