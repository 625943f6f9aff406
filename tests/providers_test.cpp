// The provider list (built-in and registered for the user), key generation in a
// container, the consent asked before a protected key is used, and the step that gave the
// built-in providers one set of containers.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/wincrypt.h"
#include "platform/registry/registry.h"
#include "platform/store/user_database.h"
#include "tests/enrollment_support.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using namespace store_test;
using namespace enrollment_test;

struct Listed {
    std::string name;
    DWORD type;
    bool operator==(const Listed&) const = default;
};

// Every provider CryptEnumProvidersA gives, with the two-call size protocol.
std::vector<Listed> enumerate() {
    std::vector<Listed> out;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, size = 0;
        if (!CryptEnumProvidersA(i, nullptr, 0, &type, nullptr, &size)) break;
        std::string name(size, '\0');
        if (!CryptEnumProvidersA(i, nullptr, 0, &type, name.data(), &size)) break;
        name.resize(size - 1);
        out.push_back({name, type});
    }
    return out;
}

const std::vector<Listed> kBuiltIns = {
    {MS_DEF_PROV_A, PROV_RSA_FULL},
    {MS_ENHANCED_PROV_A, PROV_RSA_FULL},
    {MS_STRONG_PROV_A, PROV_RSA_FULL},
    {MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES},
};

class Providers : public ::testing::Test {
  protected:
    TempHome home_;
};

TEST_F(Providers, BuiltInOnesFirstThenTheUsableRegisteredOnesInNameOrder) {
    EXPECT_EQ(enumerate(), kBuiltIns);
    registerSoftwareProvider(kOtherProvider, PROV_RSA_FULL);
    registerProvider("Another Software CSP", 24, "SOFTWARE");
    registerProvider("Card CSP", PROV_RSA_FULL, "smartcard");
    registerProvider("No Backend", PROV_RSA_FULL, nullptr);
    registerProvider("No Type", kNoType, "software");
    registerProvider("Type 0", 0, "software");
    registerProvider("Type 1000", 1000, "software");
    registerProvider("Type As Binary", PROV_RSA_FULL, "software", REG_BINARY);
    registerProvider("microsoft strong cryptographic provider", PROV_RSA_FULL, "software");
    std::vector<Listed> expected = kBuiltIns;
    expected.push_back({"Another Software CSP", 24});
    expected.push_back({"Kestrune Software CSP", PROV_RSA_FULL});
    EXPECT_EQ(enumerate(), expected);
}

TEST_F(Providers, EnumerationRefusesWithThePlatformsCodes) {
    char name[256];
    DWORD reserved = 0, type = 0, size = sizeof name;
    struct Case {
        const char* what;
        DWORD index;
        DWORD* reserved;
        DWORD flags;
        char* buffer;
        DWORD* size;
        DWORD error;
    };
    const Case cases[] = {
        {"past the end", 4, nullptr, 0, name, &size, ERROR_NO_MORE_ITEMS},
        {"far past the end", 0xFFFFFFFF, nullptr, 0, name, &size, ERROR_NO_MORE_ITEMS},
        {"reserved given", 0, &reserved, 0, name, &size, ERROR_INVALID_PARAMETER},
        {"no size", 0, nullptr, 0, name, nullptr, ERROR_INVALID_PARAMETER},
        {"flags", 0, nullptr, 1, name, &size, NTE_BAD_FLAGS},
    };
    for (const Case& c : cases) {
        size = sizeof name;
        SetLastError(0);
        EXPECT_FALSE(CryptEnumProvidersA(c.index, c.reserved, c.flags, &type, c.buffer, c.size))
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    // A buffer one byte short of the terminator: ERROR_MORE_DATA with the size needed,
    // the type given all the same.
    const DWORD needed = std::strlen(MS_STRONG_PROV_A) + 1;
    size = needed - 1;
    type = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptEnumProvidersA(2, nullptr, 0, &type, name, &size));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(size, needed);
    size = needed;
    ASSERT_TRUE(CryptEnumProvidersA(2, nullptr, 0, nullptr, name, &size));
    EXPECT_STREQ(name, MS_STRONG_PROV_A);
}

TEST_F(Providers, ARegisteredProviderHasContainersOfItsOwn) {
    registerSoftwareProvider(kOtherProvider, PROV_RSA_FULL);
    CryptProvHolder builtIn, registered;
    ASSERT_TRUE(
        CryptAcquireContextA(builtIn.out(), "same name", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptAcquireContextA(registered.out(), "SAME NAME", "kestrune software csp",
                                     PROV_RSA_FULL, CRYPT_NEWKEYSET));
    DWORD size = 64;
    char name[64];
    ASSERT_TRUE(
        CryptGetProvParam(registered.get(), PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_STREQ(name, "Kestrune Software CSP");
    CryptProvHolder verify;
    ASSERT_TRUE(CryptAcquireContextA(verify.out(), nullptr, "Kestrune Software CSP", PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT));
    size = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name),
                                  &size, CRYPT_FIRST));
    EXPECT_STREQ(name, "SAME NAME");
    size = sizeof name;
    SetLastError(0);
    EXPECT_FALSE(CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name),
                                   &size, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    // Once its entry goes, the provider is unknown.
    ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, kRegisteredProvidersKey), ERROR_SUCCESS);
    CryptProvHolder gone;
    SetLastError(0);
    EXPECT_FALSE(
        CryptAcquireContextA(gone.out(), "SAME NAME", "Kestrune Software CSP", PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), NTE_KEYSET_NOT_DEF);
}

// ---- key generation

DWORD keyParam(HCRYPTKEY key, DWORD param) {
    DWORD value = 0, size = sizeof value;
    if (!CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&value), &size, 0)) return ~0u;
    return value;
}

// The public exponent and modulus length as openssl reads the key.
std::string opensslKeyText(HCRYPTKEY key, const std::string& folder) {
    openssl::EvpPkeyPtr pair = cryptKeyPair(key);
    std::string path = folder + "/key.pem";
    FILE* f = fopen(path.c_str(), "w");
    if (!f || !pair) return {};
    PEM_write_PrivateKey(f, pair.get(), nullptr, nullptr, 0, nullptr, nullptr);
    fclose(f);
    return testing_support::runCommand("openssl rsa -in " + path +
                                       " -noout -text | grep -E 'Private-Key|publicExponent'");
}

TEST_F(Providers, GenerateKeyPairsOfTheAskedLengthInTheirSlot) {
    struct Case {
        const char* provider;
        ALG_ID algorithm;
        DWORD flags;
        DWORD slot;
        DWORD bits;
    };
    const Case cases[] = {
        {MS_ENHANCED_PROV_A, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, AT_KEYEXCHANGE,
         1024},
        {MS_ENHANCED_PROV_A, CALG_RSA_SIGN, 2048u << 16, AT_SIGNATURE, 2048},
        {MS_DEF_PROV_A, CALG_RSA_KEYX, 0, AT_KEYEXCHANGE, 512},  // the base default
        {MS_STRONG_PROV_A, AT_SIGNATURE, CRYPT_USER_PROTECTED, AT_SIGNATURE, 1024},
        {MS_ENHANCED_PROV_A, AT_KEYEXCHANGE, (520u << 16), AT_KEYEXCHANGE, 520},  // steps of 8
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string container = "gen" + std::to_string(n++);
        DWORD type = PROV_RSA_FULL;
        CryptProvHolder prov;
        ASSERT_TRUE(
            CryptAcquireContextA(prov.out(), container.c_str(), c.provider, type, CRYPT_NEWKEYSET));
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptGenKey(prov.get(), c.algorithm, c.flags, &key)) << container;
        EXPECT_EQ(keyParam(key, KP_KEYLEN), c.bits) << container;
        EXPECT_EQ(keyParam(key, KP_ALGID), c.slot == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
        EXPECT_EQ((keyParam(key, KP_PERMISSIONS) & CRYPT_EXPORT) != 0,
                  (c.flags & CRYPT_EXPORTABLE) != 0);
        std::string text = opensslKeyText(key, home_.path());
        EXPECT_NE(text.find("(" + std::to_string(c.bits) + " bit"), std::string::npos) << text;
        EXPECT_NE(text.find("publicExponent: 65537"), std::string::npos) << text;
        CryptDestroyKey(key);
        // The pair is stored: the slot gives it back with its flags.
        ASSERT_TRUE(CryptGetUserKey(prov.get(), c.slot, &key));
        EXPECT_EQ(keyParam(key, KP_KEYLEN), c.bits);
        CryptDestroyKey(key);
        std::vector<KeyContainerRecord> all;
        ASSERT_TRUE(listKeyContainers(all));
        ASSERT_FALSE(all.empty());
        ASSERT_EQ(all.back().slots.size(), 1u);
        EXPECT_EQ(all.back().slots[0].flags, c.flags & 0xFFFF);
    }
}

TEST_F(Providers, GenerateKeyRefusesWithThePlatformsCodesAndKeepsTheSlot) {
    CryptProvHolder prov, verify;
    ASSERT_TRUE(
        CryptAcquireContextA(prov.out(), "refusals", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(
        CryptAcquireContextA(verify.out(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    openssl::EvpPkeyPtr kept = fixtureKey("user1");
    ASSERT_TRUE(cryptStoreKeyPair(prov.get(), AT_KEYEXCHANGE, kept.get(), 0, nullptr));
    struct Case {
        const char* what;
        HCRYPTPROV prov;
        ALG_ID algorithm;
        DWORD flags;
        DWORD error;
    };
    const Case cases[] = {
        {"another algorithm", prov.get(), CALG_3DES, 1024u << 16, NTE_BAD_ALGID},
        {"slot 3", prov.get(), 3, 1024u << 16, NTE_BAD_ALGID},
        {"an unknown key flag", prov.get(), AT_KEYEXCHANGE, (1024u << 16) | 0x4, NTE_BAD_FLAGS},
        {"not a multiple of 8", prov.get(), AT_KEYEXCHANGE, 1028u << 16, NTE_BAD_FLAGS},
        {"shorter than 512", prov.get(), AT_KEYEXCHANGE, 384u << 16, ERROR_INVALID_PARAMETER},
        {"longer than 16384", prov.get(), AT_KEYEXCHANGE, 16392u << 16, ERROR_INVALID_PARAMETER},
        {"verify context", verify.get(), AT_KEYEXCHANGE, 1024u << 16, NTE_BAD_KEYSET},
        {"stale handle", 0x1234, AT_KEYEXCHANGE, 1024u << 16, NTE_BAD_UID},
    };
    for (const Case& c : cases) {
        HCRYPTKEY key = 7;
        SetLastError(0);
        EXPECT_FALSE(CryptGenKey(c.prov, c.algorithm, c.flags, &key)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_EQ(key, 0u) << c.what;
    }
    SetLastError(0);
    EXPECT_FALSE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, &key));
    openssl::EvpPkeyPtr stillThere = cryptKeyPair(key);
    EXPECT_EQ(EVP_PKEY_eq(stillThere.get(), kept.get()), 1);
    CryptDestroyKey(key);
}

// ---- consent for protected keys

class ScopedConsent {
  public:
    explicit ScopedConsent(KeyConsentHook hook) : previous_(setKeyConsentHook(std::move(hook))) {}
    ~ScopedConsent() { setKeyConsentHook(std::move(previous_)); }
    ScopedConsent(const ScopedConsent&) = delete;
    ScopedConsent& operator=(const ScopedConsent&) = delete;

  private:
    KeyConsentHook previous_;
};

TEST_F(Providers, ProtectedKeysAreUsedOnlyWithTheUsersConsent) {
    openssl::EvpPkeyPtr rsa = fixtureKey("user2");
    {
        CryptProvHolder prov;
        ASSERT_TRUE(
            CryptAcquireContextA(prov.out(), "Consent", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        ASSERT_TRUE(
            cryptStoreKeyPair(prov.get(), AT_SIGNATURE, rsa.get(), CRYPT_USER_PROTECTED, nullptr));
        ASSERT_TRUE(
            cryptStoreKeyPair(prov.get(), AT_KEYEXCHANGE, rsa.get(), CRYPT_EXPORTABLE, nullptr));
    }
    enum class Hook { None, Allows, Refuses, Throws };
    struct Case {
        const char* what;
        DWORD slot;
        DWORD acquireFlags;
        Hook hook;
        bool used;
        DWORD error;
        int asked;
    };
    const Case cases[] = {
        {"unprotected: never asked", AT_KEYEXCHANGE, 0, Hook::Refuses, true, 0, 0},
        {"allowed", AT_SIGNATURE, 0, Hook::Allows, true, 0, 1},
        {"refused", AT_SIGNATURE, 0, Hook::Refuses, false, ERROR_CANCELLED, 1},
        {"nobody to ask", AT_SIGNATURE, 0, Hook::None, false, ERROR_CANCELLED, 0},
        {"asking failed", AT_SIGNATURE, 0, Hook::Throws, false, ERROR_CANCELLED, 1},
        {"silent context", AT_SIGNATURE, CRYPT_SILENT, Hook::Allows, false, NTE_SILENT_CONTEXT, 0},
    };
    for (const Case& c : cases) {
        std::vector<KeyUseRequest> asked;
        KeyConsentHook hook;
        if (c.hook != Hook::None)
            hook = [&asked, &c](const KeyUseRequest& r) {
                asked.push_back(r);
                if (c.hook == Hook::Throws) throw std::runtime_error("no terminal");
                return c.hook == Hook::Allows;
            };
        ScopedConsent consent(std::move(hook));
        CryptProvHolder prov;
        ASSERT_TRUE(CryptAcquireContextA(prov.out(), "consent", MS_STRONG_PROV_A, PROV_RSA_FULL,
                                         c.acquireFlags));
        SetLastError(0);
        openssl::EvpPkeyPtr key = cryptUsePrivateKey(prov.get(), c.slot, "CryptSignHash");
        EXPECT_EQ(key != nullptr, c.used) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        if (key) {
            EXPECT_EQ(EVP_PKEY_eq(key.get(), rsa.get()), 1) << c.what;
        }
        ASSERT_EQ(static_cast<int>(asked.size()), c.asked) << c.what;
        if (!asked.empty()) {
            EXPECT_EQ(asked[0].container, "Consent");
            EXPECT_EQ(asked[0].provider, MS_STRONG_PROV_A);
            EXPECT_EQ(asked[0].keySpec, AT_SIGNATURE);
            EXPECT_EQ(asked[0].operation, "CryptSignHash");
        }
    }
    // Exporting the private key is a use as well; its size is not.
    {
        int asked = 0;
        bool allow = false;
        ScopedConsent consent([&](const KeyUseRequest& r) {
            ++asked;
            EXPECT_EQ(r.operation, "export a private key");
            return allow;
        });
        CryptProvHolder prov;
        ASSERT_TRUE(
            CryptAcquireContextA(prov.out(), "exported", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE,
                                (512u << 16) | CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED, &key));
        DWORD size = 0;
        ASSERT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &size));
        EXPECT_EQ(asked, 0);
        std::vector<BYTE> blob(size);
        SetLastError(0);
        EXPECT_FALSE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &size));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_CANCELLED));
        allow = true;
        EXPECT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &size));
        EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
        EXPECT_EQ(asked, 2);
        CryptDestroyKey(key);
    }
    // An empty slot fails before anybody is asked.
    int asked = 0;
    ScopedConsent counting([&](const KeyUseRequest&) { return ++asked, true; });
    CryptProvHolder empty;
    ASSERT_TRUE(
        CryptAcquireContextA(empty.out(), "empty", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    SetLastError(0);
    EXPECT_EQ(cryptUsePrivateKey(empty.get(), AT_SIGNATURE, "CryptSignHash"), nullptr);
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    EXPECT_EQ(asked, 0);
}

// ---- the shared set of containers in databases made before it

TEST(SharedKeyset, OlderDatabasesKeepEveryContainer) {
    TempHome home;
    {
        DbConnection db;
        ASSERT_EQ(db.open(home.database(), userDatabaseMigrations().first(3)), SQLITE_OK);
        ASSERT_EQ(db.exec("INSERT INTO key_containers(id, provider, name, fold) VALUES "
                          "(1, 'Microsoft Strong Cryptographic Provider', 'Dup', 'DUP'),"
                          "(2, 'Microsoft Base Cryptographic Provider v1.0', 'dup', 'DUP'),"
                          "(3, 'Microsoft Enhanced Cryptographic Provider v1.0', 'Only', 'ONLY')"),
                  SQLITE_OK);
    }
    struct Case {
        const char* container;
        const char* provider;
        const char* opened;  // null: not found
    };
    const Case cases[] = {
        {"dup", MS_ENHANCED_PROV_A, "Dup"},  // the oldest of the name
        {"DUP", MS_DEF_PROV_A, "Dup"},
        {"only", MS_STRONG_PROV_A, "Only"},
        {"only", MS_ENH_RSA_AES_PROV_A, "Only"},
    };
    for (const Case& c : cases) {
        CryptProvHolder prov;
        DWORD type =
            std::string(c.provider) == MS_ENH_RSA_AES_PROV_A ? PROV_RSA_AES : PROV_RSA_FULL;
        ASSERT_TRUE(CryptAcquireContextA(prov.out(), c.container, c.provider, type, 0))
            << c.container << " " << c.provider;
        char name[16];
        DWORD size = sizeof name;
        ASSERT_TRUE(
            CryptGetProvParam(prov.get(), PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0));
        EXPECT_STREQ(name, c.opened);
    }
    // The younger duplicate is still listed, under the provider that made it.
    std::vector<KeyContainerRecord> all;
    ASSERT_TRUE(listKeyContainers(all));
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].container, "dup");
    EXPECT_EQ(all[1].provider, MS_DEF_PROV_A);
}

}  // namespace
