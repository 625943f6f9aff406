#include "platform/crypt/key_container.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_ids.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using namespace store_test;

class KeyContainers : public ::testing::Test {
  protected:
    TempHome home_;
};

TEST_F(KeyContainers, AcquireRefusesWithThePlatformsCodes) {
    CryptProvHolder existing;
    ASSERT_TRUE(
        CryptAcquireContextA(existing.out(), "present", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    struct Case {
        const char* what;
        const char* container;
        const char* provider;
        DWORD type;
        DWORD flags;
        DWORD error;
    };
    const Case cases[] = {
        {"no such container", "absent", nullptr, PROV_RSA_FULL, 0, NTE_BAD_KEYSET},
        {"deleting what is not there", "absent", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET,
         NTE_BAD_KEYSET},
        {"creating what is there", "PRESENT", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_EXISTS},
        {"unknown provider", "present", "Kestrune Smart Card CSP", PROV_RSA_FULL, 0,
         NTE_KEYSET_NOT_DEF},
        {"provider of another type", "present", MS_ENHANCED_PROV_A, PROV_RSA_AES, 0,
         NTE_PROV_TYPE_NO_MATCH},
        {"AES provider as RSA full", "present", MS_ENH_RSA_AES_PROV_A, PROV_RSA_FULL, 0,
         NTE_PROV_TYPE_NO_MATCH},
        {"type 0", "present", nullptr, 0, 0, NTE_BAD_PROV_TYPE},
        {"type 1000", "present", nullptr, 1000, 0, NTE_BAD_PROV_TYPE},
        {"no provider of the type", "present", nullptr, 13, 0, NTE_PROV_TYPE_NOT_DEF},
        {"verify context with a name", "present", nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT,
         NTE_BAD_FLAGS},
        {"machine keys", "present", nullptr, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET, NTE_BAD_FLAGS},
        {"new and delete", "present", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET,
         NTE_BAD_FLAGS},
        {"unknown flag", "present", nullptr, PROV_RSA_FULL, 0x100, NTE_BAD_FLAGS},
    };
    for (const Case& c : cases) {
        HCRYPTPROV h = 0x55;
        SetLastError(0);
        EXPECT_FALSE(CryptAcquireContextA(&h, c.container, c.provider, c.type, c.flags)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_EQ(h, 0u) << c.what;
    }
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireContextA(nullptr, "present", nullptr, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

std::string provParam(HCRYPTPROV h, DWORD param, DWORD flags = 0) {
    DWORD size = 0;
    if (!CryptGetProvParam(h, param, nullptr, &size, flags))
        return "<" + std::to_string(GetLastError()) + ">";
    std::string text(size, '\0');
    if (!CryptGetProvParam(h, param, reinterpret_cast<BYTE*>(text.data()), &size, flags))
        return "<" + std::to_string(GetLastError()) + ">";
    text.resize(size ? size - 1 : 0);
    return text;
}

TEST_F(KeyContainers, NamesProvidersAndTheDefaultContainer) {
    struct Case {
        const char* container;
        const char* provider;
        const char* expectedProvider;
    };
    const Case cases[] = {
        {"Mixed Case", nullptr, MS_ENHANCED_PROV_A},
        {"base", "microsoft base cryptographic provider v1.0", MS_DEF_PROV_A},
        {"strong", MS_STRONG_PROV_A, MS_STRONG_PROV_A},
    };
    for (const Case& c : cases) {
        CryptProvHolder created;
        ASSERT_TRUE(CryptAcquireContextA(created.out(), c.container, c.provider, PROV_RSA_FULL,
                                         CRYPT_NEWKEYSET))
            << c.container;
        EXPECT_EQ(provParam(created.get(), PP_CONTAINER), c.container);
        EXPECT_EQ(provParam(created.get(), PP_NAME), c.expectedProvider);
        DWORD type = 0, size = sizeof type;
        ASSERT_TRUE(CryptGetProvParam(created.get(), PP_PROVTYPE, reinterpret_cast<BYTE*>(&type),
                                      &size, 0));
        EXPECT_EQ(type, PROV_RSA_FULL);
    }
    // Container names compare without regard to case. The built-in providers share their
    // containers, whatever their type; each still names itself.
    CryptProvHolder upper;
    ASSERT_TRUE(CryptAcquireContextA(upper.out(), "MIXED CASE", nullptr, PROV_RSA_FULL, 0));
    EXPECT_EQ(provParam(upper.get(), PP_CONTAINER), "Mixed Case");
    CryptProvHolder aes;
    ASSERT_TRUE(
        CryptAcquireContextA(aes.out(), "mixed case", MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, 0));
    EXPECT_EQ(provParam(aes.get(), PP_CONTAINER), "Mixed Case");
    EXPECT_EQ(provParam(aes.get(), PP_NAME), MS_ENH_RSA_AES_PROV_A);
    CryptProvHolder again;
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireContextA(again.out(), "Mixed Case", MS_DEF_PROV_A, PROV_RSA_FULL,
                                      CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), NTE_EXISTS);

    // A null name is the user's default container, named after the login name.
    std::string user = testing_support::runCommand("id -un");
    user.erase(user.find_last_not_of('\n') + 1);
    CryptProvHolder byDefault;
    ASSERT_TRUE(
        CryptAcquireContextA(byDefault.out(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(provParam(byDefault.get(), PP_CONTAINER), user);
    CryptProvHolder verify;
    ASSERT_TRUE(CryptAcquireContextA(verify.out(), nullptr, nullptr, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT | CRYPT_SILENT));
    EXPECT_EQ(provParam(verify.get(), PP_CONTAINER), "<" + std::to_string(NTE_BAD_KEYSET) + ">");

    // The containers of the provider's set, oldest first, one per call.
    std::vector<std::string> names;
    DWORD flags = CRYPT_FIRST;
    for (std::string n; (n = provParam(verify.get(), PP_ENUMCONTAINERS, flags))[0] != '<';
         flags = CRYPT_NEXT)
        names.push_back(n);
    EXPECT_EQ(names, (std::vector<std::string>{"Mixed Case", "base", "strong", user}));
    EXPECT_EQ(provParam(verify.get(), PP_ENUMCONTAINERS, CRYPT_NEXT),
              "<" + std::to_string(ERROR_NO_MORE_ITEMS) + ">");
    char shortBuffer[3];
    DWORD size = sizeof shortBuffer;
    SetLastError(0);
    EXPECT_FALSE(CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS,
                                   reinterpret_cast<BYTE*>(shortBuffer), &size, CRYPT_FIRST));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(size, std::strlen("Mixed Case") + 1);
    EXPECT_EQ(provParam(verify.get(), 999), "<" + std::to_string(NTE_BAD_TYPE) + ">");
}

TEST_F(KeyContainers, KeyPairsLiveInTheirSlotsUntilTheContainerGoes) {
    openssl::EvpPkeyPtr rsa = fixtureKey("user1");
    ASSERT_NE(rsa, nullptr);
    CryptProvHolder prov;
    ASSERT_TRUE(CryptAcquireContextA(prov.out(), "slots", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptGetUserKey(prov.get(), AT_SIGNATURE, &key));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    ASSERT_TRUE(cryptStoreKeyPair(prov.get(), AT_SIGNATURE, rsa.get(), CRYPT_EXPORTABLE, nullptr));
    ASSERT_TRUE(cryptStoreKeyPair(prov.get(), AT_KEYEXCHANGE, rsa.get(), 0, nullptr));
    openssl::EvpPkeyPtr ec(EVP_EC_gen("P-256"));
    SetLastError(0);
    EXPECT_FALSE(cryptStoreKeyPair(prov.get(), AT_KEYEXCHANGE, ec.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);

    struct Case {
        DWORD slot;
        DWORD algorithm;
        DWORD permissions;
    };
    const DWORD basic = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC;
    const Case cases[] = {{AT_SIGNATURE, CALG_RSA_SIGN, basic | CRYPT_EXPORT},
                          {AT_KEYEXCHANGE, CALG_RSA_KEYX, basic}};
    for (const Case& c : cases) {
        ASSERT_TRUE(CryptGetUserKey(prov.get(), c.slot, &key)) << c.slot;
        DWORD value = 0, size = sizeof value;
        ASSERT_TRUE(CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0));
        EXPECT_EQ(value, c.algorithm);
        ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&value), &size, 0));
        EXPECT_EQ(value, 2048u);
        ASSERT_TRUE(
            CryptGetKeyParam(key, KP_PERMISSIONS, reinterpret_cast<BYTE*>(&value), &size, 0));
        EXPECT_EQ(value, c.permissions);
        openssl::EvpPkeyPtr pair = cryptKeyPair(key);
        EXPECT_EQ(EVP_PKEY_eq(pair.get(), rsa.get()), 1);
        ASSERT_TRUE(CryptDestroyKey(key));
        SetLastError(0);
        EXPECT_FALSE(CryptDestroyKey(key));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    }
    // Another process removing the container: the open handle notices.
    HCRYPTPROV gone = 0;
    ASSERT_TRUE(CryptAcquireContextA(&gone, "slots", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(gone, 0u);
    SetLastError(0);
    EXPECT_FALSE(CryptGetUserKey(prov.get(), AT_SIGNATURE, &key));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    std::vector<KeyContainerRecord> all;
    ASSERT_TRUE(listKeyContainers(all));
    EXPECT_TRUE(all.empty());
}

TEST_F(KeyContainers, StaleHandlesAndReferences) {
    HCRYPTPROV h = 0;
    ASSERT_TRUE(CryptAcquireContextA(&h, "refs", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptContextAddRef(h, nullptr, 0));
    ASSERT_TRUE(CryptReleaseContext(h, 0));
    EXPECT_EQ(provParam(h, PP_CONTAINER), "refs");  // one reference left
    SetLastError(0);
    EXPECT_FALSE(CryptReleaseContext(h, 1));  // flags are refused, the reference goes anyway
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    struct Case {
        const char* what;
        BOOL ok;
    };
    HCRYPTKEY key = 0;
    DWORD size = 0;
    const Case cases[] = {
        {"release", CryptReleaseContext(h, 0)},
        {"add a reference", CryptContextAddRef(h, nullptr, 0)},
        {"parameter", CryptGetProvParam(h, PP_NAME, nullptr, &size, 0)},
        {"user key", CryptGetUserKey(h, AT_KEYEXCHANGE, &key)},
        {"null handle", CryptReleaseContext(0, 0)},
    };
    for (const Case& c : cases) EXPECT_FALSE(c.ok) << c.what;
    SetLastError(0);
    EXPECT_FALSE(CryptReleaseContext(h, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_UID);
    SetLastError(0);
    EXPECT_FALSE(CryptGetKeyParam(12345, KP_ALGID, nullptr, &size, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

// The private key is in the database sealed, as another tool reads it: python's sqlite3
// takes it out and finds no PKCS#8 key; opened with the key file beside the database
// (AES-256-GCM by the cryptography package) it is the key that was stored, by openssl.
TEST_F(KeyContainers, PrivateKeysAreStoredSealed) {
    openssl::EvpPkeyPtr rsa = fixtureKey("user2");
    CryptProvHolder prov;
    ASSERT_TRUE(CryptAcquireContextA(prov.out(), "pkcs8", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(cryptStoreKeyPair(prov.get(), AT_KEYEXCHANGE, rsa.get(), 0, nullptr));
    int status = -1;
    std::string read = testing_support::runCommand("python3 " + std::string(KSCAPI_SOURCE_DIR) +
                                                       "/tests/sealed_keys.py " + home_.database() +
                                                       " " + home_.path() + "/kestrune.key",
                                                   &status);
    ASSERT_EQ(status, 0);
    nlohmann::json stored = nlohmann::json::parse(read)["keys"];
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["plain"], false);
    std::string modulus = testing_support::runCommand(
        "openssl rsa -in " + pfxFixture("user2.key.pem") + " -modulus -noout");
    std::string hex = stored[0]["modulus"];
    for (char& c : hex) c = static_cast<char>(std::toupper(c));
    EXPECT_EQ("Modulus=" + hex + "\n", modulus);
}

TEST_F(KeyContainers, CertificatePrivateKeyThroughTheKeyProviderProperty) {
    openssl::EvpPkeyPtr user1 = fixtureKey("user1"), user2 = fixtureKey("user2");
    CertContextHolder cert = parse(readBytes(pfxFixture("user1.der")));
    ASSERT_TRUE(cert);
    {
        CryptProvHolder prov;
        ASSERT_TRUE(
            CryptAcquireContextA(prov.out(), "right", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        ASSERT_TRUE(cryptStoreKeyPair(prov.get(), AT_SIGNATURE, user1.get(), 0, nullptr));
        CryptProvHolder wrong;
        ASSERT_TRUE(
            CryptAcquireContextA(wrong.out(), "wrong", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        ASSERT_TRUE(cryptStoreKeyPair(wrong.get(), AT_SIGNATURE, user2.get(), 0, nullptr));
    }
    auto point = [&](const char16_t* container, DWORD slot) {
        std::u16string provider = u"Microsoft Enhanced Cryptographic Provider v1.0";
        CRYPT_KEY_PROV_INFO info{
            const_cast<char16_t*>(container), provider.data(), PROV_RSA_FULL, 0, 0, nullptr, slot};
        return CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    };
    struct Case {
        const char* what;
        const char16_t* container;  // null: no key-provider property
        DWORD slot;
        DWORD flags;
        DWORD error;
    };
    const Case cases[] = {
        {"no property", nullptr, 0, 0, CRYPT_E_NO_KEY_PROPERTY},
        {"no container", u"missing", AT_SIGNATURE, 0, NTE_BAD_KEYSET},
        {"empty slot", u"right", AT_KEYEXCHANGE, 0, NTE_NO_KEY},
        {"another key", u"wrong", AT_SIGNATURE, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, NTE_BAD_PUBLIC_KEY},
    };
    for (const Case& c : cases) {
        if (c.container)
            ASSERT_TRUE(point(c.container, c.slot));
        else
            CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr);
        HCRYPTPROV h = 7;
        BOOL callerFree = 7;
        SetLastError(0);
        EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert.get(), c.flags, nullptr, &h, nullptr,
                                                       &callerFree))
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_EQ(h, 0u) << c.what;
    }
    ASSERT_TRUE(point(u"right", AT_SIGNATURE));
    HCRYPTPROV h = 0;
    DWORD slot = 0;
    BOOL callerFree = FALSE;
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &h, &slot, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
    // Without caching the caller frees the handle.
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.get(), CRYPT_ACQUIRE_COMPARE_KEY_FLAG,
                                                  nullptr, &h, &slot, &callerFree));
    EXPECT_EQ(slot, AT_SIGNATURE);
    EXPECT_TRUE(callerFree);
    EXPECT_EQ(provParam(h, PP_CONTAINER), "right");
    EXPECT_TRUE(CryptReleaseContext(h, 0));
    // Cached, the certificate keeps the handle, gives the same one again and releases it
    // when it goes.
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.get(), CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &h,
                                                  &slot, &callerFree));
    EXPECT_FALSE(callerFree);
    HCRYPTPROV again = 0;
    ASSERT_TRUE(
        CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &again, nullptr, &callerFree));
    EXPECT_EQ(again, h);
    EXPECT_FALSE(callerFree);
    cert.reset();
    SetLastError(0);
    EXPECT_EQ(provParam(h, PP_NAME), "<" + std::to_string(NTE_BAD_UID) + ">");
}

}  // namespace
