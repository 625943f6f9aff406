#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"
#include "store/cert_store.h"
#include "tests/scoped_state.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using namespace store_test;

class StoreHolders : public ::testing::Test {
  protected:
    size_t containers() {
        std::vector<KeyContainerRecord> all;
        EXPECT_TRUE(listKeyContainers(all));
        return all.size();
    }
    size_t certificates(HCERTSTORE store) { return thumbprints(store).size(); }
    TempHome home_;
};

TEST_F(StoreHolders, PfxLoadFailuresGiveTheirCodeAndLeaveNothingOpen) {
    std::string empty = home_.path() + "/empty.pfx";
    testing_support::writeFile(empty, "");
    struct Case {
        const char* what;
        std::string path;
        const char* password;
        ErrorCode code;
        DWORD platformError;
    };
    const Case cases[] = {
        {"empty path", "", "secret", err::kBadParameter, 0},
        {"missing file", home_.path() + "/missing.pfx", "secret", err::kExchangeFileRead,
         ERROR_FILE_NOT_FOUND},
        {"missing folder", home_.path() + "/no/such.pfx", "secret", err::kExchangeFileRead,
         ERROR_PATH_NOT_FOUND},
        {"empty file", empty, "secret", err::kExchangeFileRead, ERROR_HANDLE_EOF},
        {"a folder", home_.path(), "secret", err::kExchangeFileRead, ERROR_ACCESS_DENIED},
        {"a certificate", pfxFixture("ca.der"), "secret", err::kPkcs12Format, CRYPT_E_ASN1_CORRUPT},
        {"wrong password", pfxFixture("two_keys.pfx"), "guess", err::kPkcs12Password,
         ERROR_INVALID_PASSWORD},
        {"empty password for a protected file", pfxFixture("modern.pfx"), "", err::kPkcs12Password,
         ERROR_INVALID_PASSWORD},
    };
    for (const Case& c : cases) {
        PfxStore pfx;
        EXPECT_EQ(pfx.Load(c.path, c.password, 1), c.code) << c.what;
        EXPECT_EQ(pfx.platformError(), c.platformError) << c.what;
        EXPECT_EQ(pfx.handle(), nullptr) << c.what;
        EXPECT_EQ(containers(), 0u) << c.what;
    }
}

TEST_F(StoreHolders, AnEmptyPasswordOpensFilesProtectedEitherWay) {
    for (const char* file : {"empty_password.pfx", "no_password.pfx"}) {
        PfxStore pfx;
        ASSERT_EQ(pfx.Load(pfxFixture(file), "", 0), 0) << file;
        EXPECT_EQ(certificates(pfx.handle()), 1u) << file;
        EXPECT_EQ(containers(), 1u) << file;
        pfx.Close();
        EXPECT_EQ(containers(), 0u) << file;
    }
}

TEST_F(StoreHolders, ClosingALoadedFileRemovesItsKeyContainers) {
    {
        PfxStore pfx;
        ASSERT_EQ(pfx.Load(pfxFixture("two_keys.pfx"), "secret", 1), 0);
        EXPECT_EQ(certificates(pfx.handle()), 3u);
        EXPECT_EQ(containers(), 2u);
        pfx.Close();
        EXPECT_EQ(pfx.handle(), nullptr);
        EXPECT_EQ(pfx.platformError(), 0u);
        EXPECT_EQ(containers(), 0u);
        pfx.Close();  // harmless
        ASSERT_EQ(pfx.Load(pfxFixture("modern.pfx"), "secret", 1), 0);
    }
    EXPECT_EQ(containers(), 0u);  // the destructor closes too
}

TEST_F(StoreHolders, ASecondLoadRemovesTheFirstLoadsKeysEvenWhenItFails) {
    PfxStore pfx;
    ASSERT_EQ(pfx.Load(pfxFixture("two_keys.pfx"), "secret", 1), 0);
    ASSERT_EQ(containers(), 2u);
    EXPECT_EQ(pfx.Load(home_.path() + "/missing.pfx", "secret", 1), err::kExchangeFileRead);
    EXPECT_EQ(containers(), 0u);
}

TEST_F(StoreHolders, KeysOfAnInstalledFileStay) {
    PfxStore pfx;
    ASSERT_EQ(pfx.Load(pfxFixture("modern.pfx"), "secret", 0), 0);
    pfx.setDeleteKeysOnClose(false);
    pfx.Close();
    EXPECT_EQ(containers(), 1u);
}

TEST_F(StoreHolders, CloseForgetsFailedDeletions) {
    PfxStore pfx;
    ASSERT_EQ(pfx.Load(pfxFixture("empty_password.pfx"), "", 0), 0);  // one keyed certificate
    std::vector<KeyContainerRecord> all;
    ASSERT_TRUE(listKeyContainers(all));
    ASSERT_EQ(all.size(), 1u);
    HCRYPTPROV ignored = 0;
    ASSERT_TRUE(CryptAcquireContextA(&ignored, all[0].container.c_str(), all[0].provider.c_str(),
                                     PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    pfx.DeleteKeyContainers();
    EXPECT_EQ(pfx.platformError(), NTE_BAD_KEYSET);
    pfx.Close();
    EXPECT_EQ(pfx.platformError(), 0u);
}

TEST_F(StoreHolders, LoadFlagsMakeKeysExportableAndUserProtected) {
    struct Case {
        int32_t flags;
        DWORD keyFlags;
    };
    const Case cases[] = {{0, 0},
                          {1, CRYPT_EXPORTABLE},
                          {2, CRYPT_USER_PROTECTED},
                          {3, CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED},
                          {static_cast<int32_t>(0xFFFFFFFC), 0}};
    for (const Case& c : cases) {
        PfxStore pfx;
        ASSERT_EQ(pfx.Load(pfxFixture("legacy.pfx"), "secret", c.flags), 0) << c.flags;
        std::vector<KeyContainerRecord> all;
        ASSERT_TRUE(listKeyContainers(all));
        ASSERT_EQ(all.size(), 1u);
        ASSERT_EQ(all[0].slots.size(), 1u);
        EXPECT_EQ(all[0].slots[0].flags, c.keyFlags) << c.flags;
    }
}

TEST_F(StoreHolders, KeyProviderInformationIsAnOwnedCopy) {
    PfxStore pfx;
    ASSERT_EQ(pfx.Load(pfxFixture("legacy.pfx"), "secret", 0), 0);
    CertContextHolder user(CertEnumCertificatesInStore(pfx.handle(), nullptr));
    CertContextHolder ca(
        CertEnumCertificatesInStore(pfx.handle(), CertDuplicateCertificateContext(user.get())));
    ASSERT_TRUE(ca);
    KeyProvInfo info = pfx.GetKeyProvInfo(user.get());
    ASSERT_TRUE(info);
    user.reset();
    pfx.Close();  // the copy outlives the certificate and its store
    EXPECT_EQ(toUtf8(info->pwszProvName), MS_DEF_PROV_A);
    EXPECT_EQ(info->dwKeySpec, AT_SIGNATURE);
    EXPECT_EQ(std::char_traits<char16_t>::length(info->pwszContainerName), 36u);

    CertStore memory;
    ASSERT_EQ(memory.OpenMemory(), 0);
    EXPECT_FALSE(memory.GetKeyProvInfo(ca.get()));
    EXPECT_EQ(memory.platformError(), CRYPT_E_NOT_FOUND);
    SetLastError(0);
    EXPECT_FALSE(memory.GetKeyProvInfo(nullptr));
    EXPECT_EQ(memory.platformError(), CRYPT_E_NOT_FOUND);  // unchanged
}

TEST_F(StoreHolders, CertStoreOpensAndReportsFailures) {
    CertStore store;
    ASSERT_EQ(store.OpenMy(), 0);
    ASSERT_TRUE(CertAddCertificateContextToStore(store.handle(), parse(makeCert(1, "Mine")).get(),
                                                 CERT_STORE_ADD_NEW, nullptr));
    ASSERT_EQ(store.OpenMemory(), 0);  // closes "MY" first
    EXPECT_EQ(certificates(store.handle()), 0u);
    ASSERT_EQ(store.OpenMy(), 0);
    EXPECT_EQ(certificates(store.handle()), 1u);
    store.Close();
    EXPECT_EQ(store.handle(), nullptr);

    // Without a usable user folder there is no "MY".
    std::string file = home_.path() + "/not-a-folder";
    testing_support::writeFile(file, "x");
    closeUserDatabase();
    ScopedEnvVar home("KSCAPI_HOME", file);
    EXPECT_EQ(store.OpenMy(), err::kOpenMyStore);
    EXPECT_EQ(store.platformError(), 1016u);  // ERROR_REGISTRY_IO_FAILED
    EXPECT_EQ(store.handle(), nullptr);
    store.Close();
    EXPECT_EQ(store.platformError(), 0u);
}

}  // namespace
