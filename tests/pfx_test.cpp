#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/wincrypt.h"
#include "platform/text/codepage.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"

namespace {

using namespace store_test;

TEST(PFXIsPFXBlob, TellsFilesFromOtherBytes) {
    for (const char* file : {"modern.pfx", "legacy.pfx", "two_keys.pfx", "no_password.pfx",
                             "empty_password.pfx", "certs_only.pfx", "key_only.pfx"}) {
        Blob blob(file);
        ASSERT_FALSE(blob.bytes.empty()) << file;
        EXPECT_TRUE(PFXIsPFXBlob(blob.get())) << file;
    }
    std::vector<BYTE> cut = Blob("modern.pfx").bytes;
    cut.resize(100);
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
        DWORD error;
    };
    const Case cases[] = {
        {"a certificate", readBytes(pfxFixture("ca.der")), CRYPT_E_ASN1_CORRUPT},
        {"nothing", {}, CRYPT_E_ASN1_EOD},
        {"an INTEGER", {0x02, 0x01, 0x00}, CRYPT_E_ASN1_BADTAG},
        {"cut", cut, CRYPT_E_ASN1_EOD},
    };
    for (const Case& c : cases) {
        Blob blob(c.bytes);
        SetLastError(0);
        EXPECT_FALSE(PFXIsPFXBlob(blob.get())) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
}

TEST(PFXVerifyPassword, EmptyPasswordAndNoPasswordAreDifferent) {
    struct Case {
        const char* file;
        std::optional<std::u16string> password;
        bool opens;
    };
    const Case cases[] = {
        {"modern.pfx", u"secret", true},
        {"modern.pfx", u"Secret", false},
        {"modern.pfx", u"", false},
        {"legacy.pfx", u"secret", true},
        {"legacy.pfx", u"wrong", false},
        {"two_keys.pfx", u"secret", true},
        {"empty_password.pfx", u"", true},
        {"empty_password.pfx", std::nullopt, false},
        {"no_password.pfx", std::nullopt, true},
        {"no_password.pfx", u"", false},
    };
    for (const Case& c : cases) {
        Blob blob(c.file);
        SetLastError(0);
        BOOL ok = PFXVerifyPassword(blob.get(), c.password ? c.password->c_str() : nullptr, 0);
        std::string what = std::string(c.file) + (c.password ? " with a password" : " without");
        EXPECT_EQ(ok, c.opens ? TRUE : FALSE) << what;
        if (!c.opens) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PASSWORD)) << what;
        }
    }
}

class PfxImport : public ::testing::Test {
  protected:
    std::vector<KeyContainerRecord> containers() {
        std::vector<KeyContainerRecord> all;
        EXPECT_TRUE(listKeyContainers(all));
        return all;
    }
    TempHome home_;
    std::map<std::string, std::string> sha1_ = fixtureThumbprints();
};

struct KeyedCert {
    const char* cert;
    const char* provider;
    DWORD keySpec;
};

struct ImportCase {
    const char* file;
    std::optional<std::u16string> password;
    std::vector<const char*> order;  // the certificates in the store, by fixture name
    std::vector<KeyedCert> keyed;
};

TEST_F(PfxImport, EveryCertificateInBagOrderAndEveryKeyInItsProviderAndSlot) {
    const ImportCase cases[] = {
        {"modern.pfx", u"secret", {"user1", "ca"}, {{"user1", MS_ENHANCED_PROV_A, AT_KEYEXCHANGE}}},
        // CSP name and key usage "signature" from the key bag.
        {"legacy.pfx", u"secret", {"user1", "ca"}, {{"user1", MS_DEF_PROV_A, AT_SIGNATURE}}},
        // user1's key found by localKeyId, user2's (no localKeyId) by its public key.
        {"two_keys.pfx",
         u"secret",
         {"user2", "ca", "user1"},
         {{"user1", MS_STRONG_PROV_A, AT_KEYEXCHANGE},
          {"user2", MS_ENHANCED_PROV_A, AT_SIGNATURE}}},
        {"empty_password.pfx", u"", {"user1"}, {{"user1", MS_ENHANCED_PROV_A, AT_KEYEXCHANGE}}},
        // The empty password and no password stand in for each other here.
        {"empty_password.pfx",
         std::nullopt,
         {"user1"},
         {{"user1", MS_ENHANCED_PROV_A, AT_KEYEXCHANGE}}},
        {"no_password.pfx", u"", {"user1"}, {{"user1", MS_ENHANCED_PROV_A, AT_KEYEXCHANGE}}},
        {"certs_only.pfx", u"secret", {"ca"}, {}},
        // A key without its certificate is not kept.
        {"key_only.pfx", u"secret", {}, {}},
    };
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    for (const ImportCase& c : cases) {
        Blob blob(c.file);
        StorePtr store(PFXImportCertStore(blob.get(), c.password ? c.password->c_str() : nullptr,
                                          CRYPT_EXPORTABLE));
        ASSERT_NE(store, nullptr) << c.file << " " << GetLastError();
        std::vector<std::string> expected;
        for (const char* name : c.order) expected.push_back(sha1_[name]);
        EXPECT_EQ(thumbprints(store.get()), expected) << c.file;
        std::vector<KeyContainerRecord> all = containers();
        ASSERT_EQ(all.size(), c.keyed.size()) << c.file;
        for (const KeyedCert& k : c.keyed) {
            CertContextHolder cert = findBySha1(store.get(), sha1_[k.cert]);
            ASSERT_TRUE(cert) << c.file << " " << k.cert;
            std::vector<uint64_t> buffer(64);
            DWORD size = DWORD(buffer.size() * 8);
            ASSERT_TRUE(CertGetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                          buffer.data(), &size));
            const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
            std::string container(info->pwszContainerName,
                                  info->pwszContainerName +
                                      std::char_traits<char16_t>::length(info->pwszContainerName));
            EXPECT_TRUE(std::regex_match(container, uuid)) << container;
            EXPECT_EQ(toUtf8(info->pwszProvName), k.provider) << c.file << " " << k.cert;
            EXPECT_EQ(info->dwKeySpec, k.keySpec) << c.file << " " << k.cert;
            EXPECT_EQ(info->dwProvType, PROV_RSA_FULL);
            // The key in the container is the certificate's.
            HCRYPTPROV prov = 0;
            DWORD slot = 0;
            BOOL callerFree = FALSE;
            EXPECT_TRUE(CryptAcquireCertificatePrivateKey(
                cert.get(), CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &prov, &slot, &callerFree))
                << c.file << " " << k.cert << " " << GetLastError();
            if (callerFree) CryptReleaseContext(prov, 0);
        }
        // Leave no container for the next file.
        for (const KeyContainerRecord& r : all) {
            HCRYPTPROV ignored = 0;
            CryptAcquireContextA(&ignored, r.container.c_str(), r.provider.c_str(), PROV_RSA_FULL,
                                 CRYPT_DELETEKEYSET);
        }
    }
}

TEST_F(PfxImport, FriendlyNameTravelsWithTheCertificate) {
    Blob blob("modern.pfx");
    StorePtr store(PFXImportCertStore(blob.get(), u"secret", 0));
    ASSERT_NE(store, nullptr);
    CertContextHolder first(CertEnumCertificatesInStore(store.get(), nullptr));
    std::vector<char16_t> text(64);
    DWORD size = DWORD(text.size() * 2);
    ASSERT_TRUE(CertGetCertificateContextProperty(first.get(), CERT_FRIENDLY_NAME_PROP_ID,
                                                  text.data(), &size));
    EXPECT_EQ(std::u16string(text.data()), u"PFX User One");
    EXPECT_EQ(size, (std::u16string(u"PFX User One").size() + 1) * 2);
}

TEST_F(PfxImport, KeyFlagsComeFromTheImportFlags) {
    struct Case {
        DWORD flags;
        DWORD stored;
        bool exportable;
    };
    const Case cases[] = {{0, 0, false},
                          {CRYPT_EXPORTABLE, CRYPT_EXPORTABLE, true},
                          {CRYPT_USER_PROTECTED, CRYPT_USER_PROTECTED, false},
                          {CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_USER_KEYSET,
                           CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED, true}};
    for (const Case& c : cases) {
        Blob blob("modern.pfx");
        StorePtr store(PFXImportCertStore(blob.get(), u"secret", c.flags));
        ASSERT_NE(store, nullptr) << c.flags;
        std::vector<KeyContainerRecord> all = containers();
        ASSERT_EQ(all.size(), 1u);
        ASSERT_EQ(all[0].slots.size(), 1u);
        EXPECT_EQ(all[0].slots[0].flags, c.stored) << c.flags;
        CryptProvHolder prov;
        ASSERT_TRUE(CryptAcquireContextA(prov.out(), all[0].container.c_str(),
                                         all[0].provider.c_str(), PROV_RSA_FULL, 0));
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, &key));
        DWORD permissions = 0, size = sizeof permissions;
        ASSERT_TRUE(
            CryptGetKeyParam(key, KP_PERMISSIONS, reinterpret_cast<BYTE*>(&permissions), &size, 0));
        EXPECT_EQ((permissions & CRYPT_EXPORT) != 0, c.exportable) << c.flags;
        CryptDestroyKey(key);
        HCRYPTPROV ignored = 0;
        ASSERT_TRUE(CryptAcquireContextA(&ignored, all[0].container.c_str(),
                                         all[0].provider.c_str(), PROV_RSA_FULL,
                                         CRYPT_DELETEKEYSET));
    }
}

TEST_F(PfxImport, FailuresLeaveNoContainer) {
    struct Case {
        const char* what;
        const char* file;
        const char16_t* password;
        DWORD flags;
        DWORD error;
    };
    const Case cases[] = {
        {"wrong password", "two_keys.pfx", u"guess", 0, ERROR_INVALID_PASSWORD},
        {"wrong password, legacy", "legacy.pfx", u"guess", 0, ERROR_INVALID_PASSWORD},
        {"no password for a protected file", "modern.pfx", nullptr, 0, ERROR_INVALID_PASSWORD},
        {"machine keys", "modern.pfx", u"secret", CRYPT_MACHINE_KEYSET, DWORD(E_INVALIDARG)},
        {"not a PFX", "ca.der", u"secret", 0, CRYPT_E_ASN1_CORRUPT},
    };
    for (const Case& c : cases) {
        Blob blob(c.file);
        SetLastError(0);
        EXPECT_EQ(PFXImportCertStore(blob.get(), c.password, c.flags), nullptr) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_TRUE(containers().empty()) << c.what;
    }
}

}  // namespace
