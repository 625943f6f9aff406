// PFXExportCertStore: what it writes is read back by the openssl command line (its
// algorithms, bags and attributes) and by our own import.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/wincrypt.h"
#include "platform/text/codepage.h"
#include "tests/openssl_cli.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using namespace store_test;
using testing_support::runCommand;
using testing_support::TempDir;

constexpr DWORD kExportFlags = EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY;

StorePtr importFixture(const std::string& file, DWORD flags) {
    Blob blob(file);
    return StorePtr(PFXImportCertStore(blob.get(), u"secret", flags));
}

// The store as a PFX through the two-call protocol; empty with *error on failure.
std::vector<BYTE> exportStore(HCERTSTORE store, LPCWSTR password, DWORD flags, DWORD* error) {
    CRYPT_DATA_BLOB blob{0, nullptr};
    SetLastError(0);
    if (!PFXExportCertStore(store, &blob, password, flags)) {
        *error = GetLastError();
        return {};
    }
    std::vector<BYTE> out(blob.cbData);
    blob.pbData = out.data();
    if (!PFXExportCertStore(store, &blob, password, flags)) {
        *error = GetLastError();
        return {};
    }
    out.resize(blob.cbData);
    *error = 0;
    return out;
}

// openssl's view of the bytes.
openssl_cli::Pkcs12Dump opensslInfo(const std::vector<BYTE>& pfx, const std::string& password) {
    TempDir dir;
    testing_support::writeFile(dir.file("out.pfx"), std::string(pfx.begin(), pfx.end()));
    return openssl_cli::pkcs12Dump(dir.file("out.pfx"), password);
}

// Whether `lines` occur in `text` in this order.
::testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
        size_t found = text.find(line, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "no \"" << line << "\" in order in\n" << text;
        at = found + line.size();
    }
    return ::testing::AssertionSuccess();
}

// The key-provider property of the store's certificate with that thumbprint.
struct ProvInfo {
    std::vector<uint64_t> storage = std::vector<uint64_t>(128);
    const CRYPT_KEY_PROV_INFO* get() const {
        return reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(storage.data());
    }
};
std::optional<ProvInfo> provInfo(PCCERT_CONTEXT cert) {
    ProvInfo info;
    DWORD size = DWORD(info.storage.size() * 8);
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info.storage.data(),
                                           &size))
        return std::nullopt;
    return info;
}

class PfxExport : public ::testing::Test {
  protected:
    TempHome home_;
    std::map<std::string, std::string> sha1_ = fixtureThumbprints();
};

TEST_F(PfxExport, AlgorithmsBagsAndAttributesAsOpenSslReadsThem) {
    StorePtr store = importFixture("modern.pfx", CRYPT_EXPORTABLE);
    ASSERT_NE(store, nullptr);
    DWORD error = 0;
    std::vector<BYTE> pfx = exportStore(store.get(), u"secret", kExportFlags, &error);
    ASSERT_FALSE(pfx.empty()) << error;
    openssl_cli::Pkcs12Dump dump = opensslInfo(pfx, "secret");
    // Keys first, in a plain safe, then the certificates in an encrypted one.
    EXPECT_TRUE(inOrder(dump.notes,
                        {"MAC: sha1, Iteration 2000", "PKCS7 Data",
                         "Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2000",
                         "PKCS7 Encrypted data: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2000",
                         "Certificate bag", "Certificate bag"}));
    EXPECT_EQ(openssl_cli::occurrences(dump.notes, "bag"), 3u) << dump.notes;
    EXPECT_TRUE(inOrder(
        dump.pem,
        {"localKeyID: 01 00 00 00",
         "Microsoft CSP Name: Microsoft Enhanced Cryptographic Provider v1.0", "BEGIN PRIVATE KEY",
         "localKeyID: 01 00 00 00", "friendlyName: PFX User One",
         "subject=C = TW, O = Kestrune Test, CN = PFX User One", "Bag Attributes: <No Attributes>",
         "subject=C = TW, O = Kestrune Test, CN = Kestrune PFX CA"}));
    EXPECT_EQ(openssl_cli::occurrences(dump.pem, "localKeyID"), 2u) << dump.pem;

    // The key openssl decrypts is the fixture's.
    TempDir dir;
    testing_support::writeFile(dir.file("out.pfx"), std::string(pfx.begin(), pfx.end()));
    std::string exported = runCommand("openssl pkcs12 -in " + dir.file("out.pfx") +
                                      " -nocerts -nodes -passin pass:secret 2>/dev/null | "
                                      "openssl rsa -noout -modulus");
    std::string fixture =
        runCommand("openssl rsa -noout -modulus -in " + pfxFixture("user1.key.pem"));
    EXPECT_FALSE(fixture.empty());
    EXPECT_EQ(exported, fixture);
}

TEST_F(PfxExport, PasswordsAsBmpStrings) {
    struct Case {
        const char* what;
        std::optional<std::u16string> password;
        std::string opensslPass;  // UTF-8 for -passin
        std::optional<std::u16string> wrong;
    } cases[] = {
        {"ASCII", u"secret", "secret", u"Secret"},
        {"beyond ASCII", u"許可證", "許可證", u"許"},
        {"the empty password", u"", "", std::nullopt},
        {"no password", std::nullopt, "", u""},
    };
    StorePtr store = importFixture("modern.pfx", CRYPT_EXPORTABLE);
    ASSERT_NE(store, nullptr);
    for (const Case& c : cases) {
        LPCWSTR password = c.password ? c.password->c_str() : nullptr;
        DWORD error = 0;
        std::vector<BYTE> pfx = exportStore(store.get(), password, kExportFlags, &error);
        ASSERT_FALSE(pfx.empty()) << c.what << " " << error;
        EXPECT_EQ(
            openssl_cli::occurrences(opensslInfo(pfx, c.opensslPass).pem, "BEGIN PRIVATE KEY"), 1u)
            << c.what;
        Blob blob(pfx);
        EXPECT_TRUE(PFXVerifyPassword(blob.get(), password, 0)) << c.what;
        SetLastError(0);
        EXPECT_FALSE(PFXVerifyPassword(blob.get(), c.wrong ? c.wrong->c_str() : nullptr, 0))
            << c.what;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PASSWORD)) << c.what;
    }
}

TEST_F(PfxExport, KeysByFlagsAndByWhatTheContainersHold) {
    struct Case {
        const char* what;
        const char* file;
        DWORD importFlags;
        bool dropContainer;  // the keyed certificate's container removed before the export
        DWORD flags;
        DWORD error;  // 0: exported
        size_t keys, certs;
    } cases[] = {
        {"exportable key", "modern.pfx", CRYPT_EXPORTABLE, false, kExportFlags, 0, 1, 2},
        {"not exportable, reported", "modern.pfx", 0, false, kExportFlags, NTE_BAD_KEY, 0, 0},
        {"not exportable, not reported", "modern.pfx", 0, false, EXPORT_PRIVATE_KEYS, 0, 0, 2},
        {"keys not asked for", "modern.pfx", CRYPT_EXPORTABLE, false, 0, 0, 0, 2},
        {"the CA has no key, reported", "modern.pfx", CRYPT_EXPORTABLE, false,
         EXPORT_PRIVATE_KEYS | REPORT_NO_PRIVATE_KEY, CRYPT_E_NOT_FOUND, 0, 0},
        {"container gone", "modern.pfx", CRYPT_EXPORTABLE, true, kExportFlags, NTE_NO_KEY, 0, 0},
        {"container gone, keys not asked for", "modern.pfx", CRYPT_EXPORTABLE, true, 0, 0, 0, 2},
        {"two keys, three certificates", "two_keys.pfx", CRYPT_EXPORTABLE, false, kExportFlags, 0,
         2, 3},
        {"no key at all", "certs_only.pfx", 0, false, kExportFlags, 0, 0, 1},
        {"unknown flag", "modern.pfx", CRYPT_EXPORTABLE, false, kExportFlags | 0x100,
         DWORD(E_INVALIDARG), 0, 0},
    };
    for (const Case& c : cases) {
        StorePtr store = importFixture(c.file, c.importFlags);
        ASSERT_NE(store, nullptr) << c.what;
        if (c.dropContainer) {
            CertContextHolder cert = findBySha1(store.get(), sha1_["user1"]);
            std::optional<ProvInfo> info = provInfo(cert.get());
            ASSERT_TRUE(info) << c.what;
            HCRYPTPROV ignored = 0;
            ASSERT_TRUE(CryptAcquireContextW(&ignored, info->get()->pwszContainerName,
                                             info->get()->pwszProvName, PROV_RSA_FULL,
                                             CRYPT_DELETEKEYSET));
        }
        DWORD error = 0;
        std::vector<BYTE> pfx = exportStore(store.get(), u"pw", c.flags, &error);
        EXPECT_EQ(error, c.error) << c.what;
        if (c.error) {
            EXPECT_TRUE(pfx.empty()) << c.what;
            continue;
        }
        std::string pem = opensslInfo(pfx, "pw").pem;
        EXPECT_EQ(openssl_cli::occurrences(pem, "BEGIN PRIVATE KEY"), c.keys) << c.what << "\n"
                                                                              << pem;
        EXPECT_EQ(openssl_cli::occurrences(pem, "BEGIN CERTIFICATE"), c.certs) << c.what << "\n"
                                                                               << pem;
    }
}

TEST_F(PfxExport, OurImportGetsBackOrderKeysSlotsAndProviders) {
    struct Keyed {
        const char* cert;
        const char* provider;
        DWORD keySpec;
    };
    struct Case {
        const char* file;
        std::vector<const char*> order;
        std::vector<Keyed> keyed;
    } cases[] = {
        {"two_keys.pfx",
         {"user2", "ca", "user1"},
         {{"user1", MS_STRONG_PROV_A, AT_KEYEXCHANGE},
          {"user2", MS_ENHANCED_PROV_A, AT_SIGNATURE}}},
        {"legacy.pfx", {"user1", "ca"}, {{"user1", MS_DEF_PROV_A, AT_SIGNATURE}}},
    };
    for (const Case& c : cases) {
        StorePtr source = importFixture(c.file, CRYPT_EXPORTABLE);
        ASSERT_NE(source, nullptr) << c.file;
        DWORD error = 0;
        Blob blob(exportStore(source.get(), u"again", kExportFlags, &error));
        ASSERT_FALSE(blob.bytes.empty()) << c.file << " " << error;
        StorePtr back(PFXImportCertStore(blob.get(), u"again", 0));
        ASSERT_NE(back, nullptr) << c.file << " " << GetLastError();
        std::vector<std::string> expected;
        for (const char* name : c.order) expected.push_back(sha1_[name]);
        EXPECT_EQ(thumbprints(back.get()), expected) << c.file;
        for (const Keyed& k : c.keyed) {
            CertContextHolder cert = findBySha1(back.get(), sha1_[k.cert]);
            ASSERT_TRUE(cert) << c.file << " " << k.cert;
            std::optional<ProvInfo> info = provInfo(cert.get());
            ASSERT_TRUE(info) << c.file << " " << k.cert;
            EXPECT_EQ(toUtf8(info->get()->pwszProvName), k.provider) << c.file << " " << k.cert;
            EXPECT_EQ(info->get()->dwKeySpec, k.keySpec) << c.file << " " << k.cert;
            HCRYPTPROV prov = 0;
            DWORD slot = 0;
            BOOL callerFree = FALSE;
            ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &prov, &slot,
                                                          &callerFree));
            openssl::EvpPkeyPtr key = cryptUsePrivateKey(prov, slot, "test");
            openssl::EvpPkeyPtr fixture = fixtureKey(k.cert);
            ASSERT_TRUE(key && fixture);
            EXPECT_EQ(EVP_PKEY_eq(key.get(), fixture.get()), 1) << c.file << " " << k.cert;
            if (callerFree) CryptReleaseContext(prov, 0);
        }
    }
}

TEST_F(PfxExport, SizeProtocolAndArguments) {
    StorePtr store = importFixture("modern.pfx", CRYPT_EXPORTABLE);
    ASSERT_NE(store, nullptr);
    CRYPT_DATA_BLOB blob{0, nullptr};
    ASSERT_TRUE(PFXExportCertStore(store.get(), &blob, u"pw", kExportFlags));
    const DWORD size = blob.cbData;
    ASSERT_GT(size, 1000u);
    std::vector<BYTE> buffer(size + 10, 0xAA);
    struct Case {
        const char* what;
        DWORD given;
        BOOL ok;
        DWORD error;
        DWORD after;
    } cases[] = {
        {"one byte short", size - 1, FALSE, ERROR_MORE_DATA, size},
        {"exact", size, TRUE, 0, size},
        {"larger", size + 10, TRUE, 0, size},
    };
    for (const Case& c : cases) {
        blob = {c.given, buffer.data()};
        SetLastError(0);
        EXPECT_EQ(PFXExportCertStore(store.get(), &blob, u"pw", kExportFlags), c.ok) << c.what;
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
        EXPECT_EQ(blob.cbData, c.after) << c.what;
    }
    // What was written is a whole file.
    Blob written(std::vector<BYTE>(buffer.begin(), buffer.begin() + size));
    EXPECT_TRUE(PFXVerifyPassword(written.get(), u"pw", 0));

    int reserved = 0;
    struct Bad {
        const char* what;
        HCERTSTORE store;
        CRYPT_DATA_BLOB* blob;
        void* reserved;
        DWORD error;
    } bad[] = {
        {"no store", nullptr, &blob, nullptr, DWORD(E_INVALIDARG)},
        {"no blob", store.get(), nullptr, nullptr, DWORD(E_INVALIDARG)},
        {"reserved", store.get(), &blob, &reserved, DWORD(E_INVALIDARG)},
        {"stale store", reinterpret_cast<HCERTSTORE>(0x7FFFFF), &blob, nullptr,
         ERROR_INVALID_HANDLE},
    };
    for (const Bad& b : bad) {
        blob = {0, nullptr};
        SetLastError(0);
        EXPECT_FALSE(PFXExportCertStoreEx(b.store, b.blob, u"pw", b.reserved, kExportFlags))
            << b.what;
        EXPECT_EQ(GetLastError(), b.error) << b.what;
    }
}

}  // namespace
