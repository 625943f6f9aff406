// PKCS#12 files a hostile sender hands the user: someone's certificate beside another key
// under its localKeyId, and iteration counts that would keep a core busy for minutes.
// Each is made at run time by tests/hostile_pfx.sh (the openssl command line and DER
// pieces); the command is in each case.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/wincrypt.h"
#include "platform/system/last_error.h"
#include "store/cert_store.h"
#include "tests/host_script.h"
#include "tests/openssl_cli.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using namespace store_test;
using Clock = std::chrono::steady_clock;

const std::string kScript = std::string(KSCAPI_SOURCE_DIR) + "/tests/hostile_pfx.sh";
constexpr const char* kMax = "2147483647";  // 2^31-1

// `hostile_pfx.sh COMMAND PATH ARGS`; PATH.
std::string makeHostile(const std::string& path, const std::string& command,
                        const std::string& args) {
    int status = -1;
    testing_support::runCommand("bash " + kScript + " " + command + " '" + path + "' " + args,
                                &status);
    EXPECT_EQ(status, 0) << command << " " << args;
    return path;
}

size_t containerCount() {
    std::vector<KeyContainerRecord> all;
    EXPECT_TRUE(listKeyContainers(all));
    return all.size();
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(PfxIterationLimit, CountsAbove1000000InAllAreRefusedBeforeAnyDerivation) {
    TempHome home;
    testing_support::TempDir dir;
    struct Case {
        const char* what;
        std::string command, args;
        DWORD blobError;    // PFXIsPFXBlob's, 0 when it is a PFX
        DWORD importError;  // PFXVerifyPassword's and PFXImportCertStore's
    } cases[] = {
        {"a MAC of 2^31-1", "counts", std::string(kMax) + " 2048 2048", ERROR_INVALID_DATA,
         ERROR_INVALID_DATA},
        {"an encrypted safe of 2^31-1, no MAC", "counts", std::string("- ") + kMax + " -",
         ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {"a key bag of 2^31-1 in a safeContents bag", "counts",
         std::string("- - ") + kMax + " nested", ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {"MAC, safe and key bag adding up to 1,000,001", "counts", "500000 499999 2",
         ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {"a MAC of 0", "counts", "0 2048 -", ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {"a key bag of -1", "counts", "- - -1", ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        // Seen only once the safe is decrypted, and refused before the bag is.
        {"a key bag of 2^31-1 inside an encrypted safe", "hidden", std::string("secret ") + kMax, 0,
         ERROR_INVALID_DATA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Blob blob(readBytes(makeHostile(dir.file("counts.pfx"), c.command, c.args)));
        Clock::time_point start = Clock::now();
        SetLastError(0);
        EXPECT_EQ(PFXIsPFXBlob(blob.get()), c.blobError ? FALSE : TRUE);
        EXPECT_EQ(GetLastError(), c.blobError);
        EXPECT_FALSE(PFXVerifyPassword(blob.get(), u"secret", 0));
        EXPECT_EQ(GetLastError(), c.importError);
        EXPECT_EQ(PFXImportCertStore(blob.get(), u"secret", 0), nullptr);
        EXPECT_EQ(GetLastError(), c.importError);
        EXPECT_LT(secondsSince(start), 1.0);
        EXPECT_EQ(containerCount(), 0u);
    }
    // Exactly at the limit the file is read: its MAC of zeros is then wrong.
    Blob atLimit(readBytes(makeHostile(dir.file("limit.pfx"), "counts", "999000 - 1000")));
    EXPECT_TRUE(PFXIsPFXBlob(atLimit.get()));
    EXPECT_EQ(PFXImportCertStore(atLimit.get(), u"secret", 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PASSWORD));
}

TEST(PfxKeyBinding, AKeyIsBoundOnlyToTheCertificateItBelongsTo) {
    std::map<std::string, std::string> sha1 = fixtureThumbprints();
    struct Case {
        const char* what;
        std::string args;     // hostile_pfx.sh swapped-key
        const char* keyed;    // the one certificate that gets the key, or none
        const char* unkeyed;  // the certificate under the key's localKeyId
    } cases[] = {
        {"user1's certificate, user2's key under its localKeyId",
         pfxFixture("user1.der") + " " + pfxFixture("user2.key.pem") + " secret", nullptr, "user1"},
        {"the same, with user2's certificate after it without a localKeyId",
         pfxFixture("user1.der") + " " + pfxFixture("user2.key.pem") + " secret " +
             pfxFixture("user2.der"),
         "user2", "user1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        testing_support::TempDir dir;
        std::string file = makeHostile(dir.file("swapped.pfx"), "swapped-key", c.args);
        // openssl takes the file as well-formed, with its one key.
        EXPECT_EQ(openssl_cli::pkcs12Counts(file, "secret"), c.keyed ? "1/2" : "1/1");
        Blob blob(readBytes(file));
        StorePtr store(PFXImportCertStore(blob.get(), u"secret", 0));
        ASSERT_NE(store, nullptr) << GetLastError();
        CertContextHolder unkeyed = findBySha1(store.get(), sha1[c.unkeyed]);
        ASSERT_TRUE(unkeyed);
        DWORD size = 0;
        EXPECT_FALSE(CertGetCertificateContextProperty(unkeyed.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                       nullptr, &size));
        EXPECT_EQ(containerCount(), c.keyed ? 1u : 0u);
        if (!c.keyed) continue;
        CertContextHolder keyed = findBySha1(store.get(), sha1[c.keyed]);
        HCRYPTPROV prov = 0;
        BOOL callerFree = FALSE;
        EXPECT_TRUE(CryptAcquireCertificatePrivateKey(keyed.get(), CRYPT_ACQUIRE_COMPARE_KEY_FLAG,
                                                      nullptr, &prov, nullptr, &callerFree))
            << GetLastError();
        if (callerFree) CryptReleaseContext(prov, 0);
    }
}

// Whatever names the key, a certificate of "MY" keeps its binding unless its own key
// comes: here user1's certificate arrives naming the container of user2's key.
TEST(PfxKeyBinding, MyKeepsABindingAgainstAnotherKey) {
    TempHome home;
    std::map<std::string, std::string> sha1 = fixtureThumbprints();
    Blob blob("two_keys.pfx");
    StorePtr loaded(PFXImportCertStore(blob.get(), u"secret", 0));
    ASSERT_NE(loaded, nullptr);
    CertContextHolder user1 = findBySha1(loaded.get(), sha1["user1"]);
    CertContextHolder user2 = findBySha1(loaded.get(), sha1["user2"]);
    std::vector<uint64_t> own(64), other(64);
    DWORD ownSize = DWORD(own.size() * 8), otherSize = ownSize;
    ASSERT_TRUE(CertGetCertificateContextProperty(user1.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                  own.data(), &ownSize));
    ASSERT_TRUE(CertGetCertificateContextProperty(user2.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                  other.data(), &otherSize));
    CertStore my;
    ASSERT_EQ(my.OpenMy(), 0);
    ASSERT_TRUE(my.AddKeyedCertificate(user1.get(), nullptr));
    ASSERT_TRUE(CertSetCertificateContextProperty(user1.get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                                  other.data()));
    EXPECT_FALSE(my.AddKeyedCertificate(user1.get(), nullptr));
    EXPECT_EQ(my.platformError(), DWORD(NTE_BAD_PUBLIC_KEY));
    StorePtr reopened = openSystem("MY");
    CertContextHolder inMy = findBySha1(reopened.get(), sha1["user1"]);
    std::vector<uint64_t> now(64);
    DWORD nowSize = DWORD(now.size() * 8);
    ASSERT_TRUE(CertGetCertificateContextProperty(inMy.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                  now.data(), &nowSize));
    const auto* kept = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(now.data());
    const auto* first = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(own.data());
    EXPECT_EQ(std::u16string(kept->pwszContainerName), std::u16string(first->pwszContainerName));
}

class PfxHostile : public host_script::HostScript {
  protected:
    const std::string sign_ = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/sign";
};

TEST_F(PfxHostile, ImportAnswersAtOnceThatTheFileIsBad) {
    struct Case {
        const char* what;
        std::string command, args;
    } cases[] = {
        {"a MAC of 2^31-1", "counts", std::string(kMax) + " 2048 2048"},
        {"a key bag of 2^31-1 inside an encrypted safe", "hidden", std::string("secret ") + kMax},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        makeHostile(dir_.file("bad.pfx"), c.command, c.args);
        Clock::time_point start = Clock::now();
        nlohmann::json line = call(
            run("ImportPfxToIE \"" + dir_.path() + "\" bad.pfx secret 0 0\n"), "ImportPfxToIE");
        EXPECT_LT(secondsSince(start), 1.0);
        EXPECT_EQ(line["ret"], 5207);
        EXPECT_EQ(line["capiError"], ERROR_INVALID_DATA);
    }
}

TEST_F(PfxHostile, SomeonesCertificateWithAnotherKeyLeavesTheirBindingAndSignatures) {
    // The user's certificate and key in "MY"; a page reads the certificate.
    host_script::Lines lines =
        run("ImportPfxToIE \"" + sign_ +
            "\" good.pfx secret 0 0\n"
            "SelectSigner \"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good\" 0 0\nGetCertB64\n");
    ASSERT_EQ(call(lines, "ImportPfxToIE")["ret"], 0);
    testing_support::writeFile(dir_.file("cert.b64"),
                               call(lines, "GetCertB64")["ret"].get<std::string>());
    testing_support::runCommand("openssl base64 -d -A -in " + dir_.file("cert.b64") + " -out " +
                                dir_.file("cert.der"));
    std::string before = testing_support::runCommand(host() + "store list MY");
    size_t containersBefore = containers();
    // Command: hostile_pfx.sh swapped-key hostile.pfx cert.der <another key> secret
    makeHostile(dir_.file("hostile.pfx"), "swapped-key",
                dir_.file("cert.der") + " " + pfxFixture("user2.key.pem") + " secret");
    std::string hostileBytes = testing_support::readFile(dir_.file("hostile.pfx"));

    struct Case {
        const char* what;
        std::string script;
        const char* op;
        nlohmann::json ret;
        int lastError;
    } cases[] = {
        {"import", "ImportPfxToIE \"" + dir_.path() + "\" hostile.pfx secret 1 0\n",
         "ImportPfxToIE", 5204, 5204},
        {"password change, which would lose the key",
         "ChangePfxPasswd \"" + dir_.path() + "\" hostile.pfx secret Other1 0\n", "ChangePfxPasswd",
         5205, 5205},
        {"mobile export", "ExportMobileFromPfx \"" + dir_.path() + "\" hostile.pfx secret 0 0\n",
         "ExportMobileFromPfx", "", 5010},
        {"signing with it as the signer's file",
         "!dialog CertListDialog cancel\n!dialog PfxFileDialog ok {\"browse\":\"" +
             dir_.file("hostile.pfx") +
             "\",\"password\":\"secret\"}\nSelectSigner \"\" 1 0\nSignPkcs7 text 0\n",
         "SignPkcs7", "", 5061},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        nlohmann::json line = call(run(c.script), c.op);
        EXPECT_EQ(line["ret"], c.ret);
        EXPECT_EQ(line["lastError"], c.lastError);
    }
    EXPECT_EQ(testing_support::readFile(dir_.file("hostile.pfx")), hostileBytes);
    EXPECT_EQ(testing_support::runCommand(host() + "store list MY"), before);
    EXPECT_EQ(containers(), containersBefore);

    // The user's key still signs for the certificate, as openssl sees it.
    nlohmann::json signed7 = call(run("SelectSigner \"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good\" 0 "
                                      "0\nSignPkcs7 \"still mine\" 0\n"),
                                  "SignPkcs7");
    ASSERT_EQ(signed7["lastError"], 0);
    testing_support::writeFile(dir_.file("sig.b64"), signed7["ret"].get<std::string>());
    int status = -1;
    testing_support::runCommand("openssl base64 -d -A -in " + dir_.file("sig.b64") +
                                    " | openssl cms -verify -noverify -inform DER -certfile " +
                                    dir_.file("cert.der") + " -out /dev/null 2>/dev/null",
                                &status);
    EXPECT_EQ(status, 0);
}

}  // namespace
