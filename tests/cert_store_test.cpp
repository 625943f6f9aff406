#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/wincrypt.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"

namespace {

using namespace store_test;

TEST(CertOpenStore, RefusesWhatItCannotOpenWithThePlatformsCodes) {
    TempHome home;
    struct Case {
        const char* what;
        LPCSTR provider;
        DWORD flags;
        const void* para;
        DWORD error;
    };
    const Case cases[] = {
        {"unknown provider number", reinterpret_cast<LPCSTR>(99), 0, nullptr, ERROR_FILE_NOT_FOUND},
        {"unknown provider name", "Collection", 0, nullptr, ERROR_FILE_NOT_FOUND},
        {"system store without a name", CERT_STORE_PROV_SYSTEM_A, 0, nullptr, DWORD(E_INVALIDARG)},
        {"unknown system store", CERT_STORE_PROV_SYSTEM_A, 0, "TRUST", ERROR_FILE_NOT_FOUND},
        {"local machine", CERT_STORE_PROV_SYSTEM_A, CERT_SYSTEM_STORE_LOCAL_MACHINE, "MY",
         DWORD(E_INVALIDARG)},
        {"deleting a store", CERT_STORE_PROV_SYSTEM_A,
         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_DELETE_FLAG, "MY", ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(CertOpenStore(c.provider, X509_ASN_ENCODING, 0, c.flags, c.para), nullptr)
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    // Names of system stores and of store providers compare without regard to case.
    EXPECT_NE(StorePtr(CertOpenSystemStoreA(0, "my")), nullptr);
    EXPECT_NE(StorePtr(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                                     u"Root")),
              nullptr);
    EXPECT_NE(StorePtr(CertOpenStore("memory", 0, 0, 0, nullptr)), nullptr);
}

// Every disposition against a store holding the certificate with properties 1 = "old"
// and 3 = "kept", adding the same certificate with 1 = "new" and 2 = "added": the
// platform's result, the number of copies, and the properties of the first copy.
struct DispositionCase {
    const char* what;
    DWORD disposition;
    BOOL ok;
    DWORD error;
    size_t copies;
    const char* p1;
    const char* p2;
    const char* p3;
};

class Dispositions : public ::testing::TestWithParam<const char*> {
  protected:
    StorePtr open() const {
        return std::string(GetParam()) == "memory" ? openMemory() : openSystem(GetParam());
    }
    TempHome home_;
};

TEST_P(Dispositions, ExistingMeansTheSameThumbprint) {
    const DispositionCase cases[] = {
        {"new", CERT_STORE_ADD_NEW, FALSE, CRYPT_E_EXISTS, 1, "old", "", "kept"},
        {"use existing", CERT_STORE_ADD_USE_EXISTING, TRUE, 0, 1, "new", "added", "kept"},
        {"replace", CERT_STORE_ADD_REPLACE_EXISTING, TRUE, 0, 1, "new", "added", ""},
        {"replace, inherit", CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, TRUE, 0, 1, "new",
         "added", "kept"},
        {"always", CERT_STORE_ADD_ALWAYS, TRUE, 0, 2, "old", "", "kept"},
        {"unknown", 9, FALSE, DWORD(E_INVALIDARG), 1, "old", "", "kept"},
    };
    std::vector<BYTE> der = makeCert(1, "Disposition");
    std::vector<BYTE> other = makeCert(2, "Neighbour");
    for (const DispositionCase& c : cases) {
        StorePtr store = open();
        ASSERT_NE(store, nullptr);
        // Start from one copy of the certificate, after a neighbour.
        for (PCCERT_CONTEXT e = CertEnumCertificatesInStore(store.get(), nullptr); e;
             e = CertEnumCertificatesInStore(store.get(), nullptr))
            CertDeleteCertificateFromStore(e);
        ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), parse(other).get(),
                                                     CERT_STORE_ADD_ALWAYS, nullptr));
        CertContextHolder first = parse(der);
        setUserProperty(first.get(), 1, "old");
        setUserProperty(first.get(), 3, "kept");
        ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), first.get(),
                                                     CERT_STORE_ADD_ALWAYS, nullptr));
        CertContextHolder second = parse(der);
        setUserProperty(second.get(), 1, "new");
        setUserProperty(second.get(), 2, "added");
        PCCERT_CONTEXT out = reinterpret_cast<PCCERT_CONTEXT>(1);
        SetLastError(0);
        BOOL ok = CertAddCertificateContextToStore(store.get(), second.get(), c.disposition, &out);
        EXPECT_EQ(ok, c.ok) << c.what;
        if (!ok) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
            EXPECT_EQ(out, nullptr) << c.what;
        }
        CertContextHolder added(out);
        if (added) {
            EXPECT_EQ(added.get()->hCertStore, store.get()) << c.what;
        }
        // Reopened, so that a system store shows what reached the database.
        if (std::string(GetParam()) != "memory") store = open();
        std::vector<std::string> order = thumbprints(store.get());
        ASSERT_EQ(order.size(), c.copies + 1) << c.what;
        // A replaced certificate keeps its place after the neighbour.
        EXPECT_EQ(order[0], thumbprint(parse(other).get())) << c.what;
        BYTE hash[20];
        DWORD size = sizeof hash;
        CertGetCertificateContextProperty(first.get(), CERT_SHA1_HASH_PROP_ID, hash, &size);
        CRYPT_HASH_BLOB blob{20, hash};
        CertContextHolder found(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                           CERT_FIND_SHA1_HASH, &blob, nullptr));
        ASSERT_TRUE(found) << c.what;
        EXPECT_EQ(userProperty(found.get(), 1), c.p1) << c.what;
        EXPECT_EQ(userProperty(found.get(), 2), c.p2) << c.what;
        EXPECT_EQ(userProperty(found.get(), 3), c.p3) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(MemoryAndSystem, Dispositions, ::testing::Values("memory", "MY"));

class StoreTest : public ::testing::Test {
  protected:
    TempHome home_;
};

TEST_F(StoreTest, EnumerationVisitsEachCertificateOnceInOrderWhileTheStoreChanges) {
    StorePtr store = openMemory();
    std::vector<std::string> expected;
    for (int i = 0; i < 6; ++i) {
        CertContextHolder c = parse(makeCert(100 + i, "Cert " + std::to_string(i)));
        expected.push_back(thumbprint(c.get()));
        ASSERT_TRUE(
            CertAddCertificateContextToStore(store.get(), c.get(), CERT_STORE_ADD_NEW, nullptr));
    }
    ASSERT_EQ(thumbprints(store.get()), expected);
    // Removing the current certificate and adding one during the walk: the walk goes on
    // after the removed one and reaches the new one once.
    CertContextHolder late = parse(makeCert(200, "Late"));
    std::vector<std::string> seen;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
         c = CertEnumCertificatesInStore(store.get(), c)) {
        seen.push_back(thumbprint(c));
        if (seen.size() == 2) {
            ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c)));
            ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), late.get(),
                                                         CERT_STORE_ADD_NEW, nullptr));
        }
    }
    std::vector<std::string> walked = expected;
    walked.push_back(thumbprint(late.get()));
    EXPECT_EQ(seen, walked);
    std::vector<std::string> after = walked;
    after.erase(after.begin() + 1);
    EXPECT_EQ(thumbprints(store.get()), after);
}

TEST_F(StoreTest, FindBySha1AndItsRefusals) {
    StorePtr store = openMemory();
    CertContextHolder a = parse(makeCert(1, "A"));
    CertContextHolder b = parse(makeCert(2, "B"));
    for (PCCERT_CONTEXT c : {a.get(), b.get(), a.get()})
        ASSERT_TRUE(
            CertAddCertificateContextToStore(store.get(), c, CERT_STORE_ADD_ALWAYS, nullptr));
    BYTE hash[20];
    DWORD size = sizeof hash;
    CertGetCertificateContextProperty(a.get(), CERT_SHA1_HASH_PROP_ID, hash, &size);
    CRYPT_HASH_BLOB blob{20, hash};
    // The search goes on from the previous result: both copies, then nothing.
    int copies = 0;
    for (PCCERT_CONTEXT c = nullptr;
         (c = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH,
                                         &blob, c));)
        ++copies;
    EXPECT_EQ(copies, 2);
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);

    BYTE zeros[20] = {};
    CRYPT_HASH_BLOB unknown{20, zeros}, shorter{19, hash};
    struct Case {
        const char* what;
        DWORD type;
        const void* para;
        DWORD error;
    };
    const Case cases[] = {
        {"unknown thumbprint", CERT_FIND_SHA1_HASH, &unknown, CRYPT_E_NOT_FOUND},
        {"19-byte hash", CERT_FIND_SHA1_HASH, &shorter, CRYPT_E_NOT_FOUND},
        {"no hash", CERT_FIND_SHA1_HASH, nullptr, DWORD(E_INVALIDARG)},
        {"unsupported find type", 0x00070007, &blob, DWORD(E_INVALIDARG)},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(
            CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, c.type, c.para, nullptr),
            nullptr)
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    CertContextHolder any(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                     CERT_FIND_ANY, nullptr, nullptr));
    ASSERT_TRUE(any);
    EXPECT_EQ(thumbprint(any.get()), thumbprint(a.get()));
}

TEST_F(StoreTest, ContextsOutliveTheirStoreAndTheCheckFlagSaysSo) {
    CertContextHolder kept;
    HCERTSTORE handle;
    {
        handle = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        ASSERT_NE(handle, nullptr);
        CertContextHolder c = parse(makeCert(1, "Outlives"));
        setUserProperty(c.get(), 0, "v");
        PCCERT_CONTEXT out = nullptr;
        ASSERT_TRUE(CertAddCertificateContextToStore(handle, c.get(), CERT_STORE_ADD_NEW, &out));
        kept.reset(out);
        ASSERT_EQ(CertDuplicateStore(handle), handle);
        // Closing one of two references is no pending close.
        EXPECT_TRUE(CertCloseStore(handle, CERT_CLOSE_STORE_CHECK_FLAG));
        SetLastError(0);
        EXPECT_FALSE(CertCloseStore(handle, CERT_CLOSE_STORE_CHECK_FLAG));
        EXPECT_EQ(GetLastError(), CRYPT_E_PENDING_CLOSE);
        SetLastError(0);
        EXPECT_FALSE(CertCloseStore(handle, 0));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    }
    // The context is whole, and its store is reachable through it as long as it lives.
    EXPECT_EQ(userProperty(kept.get(), 0), "v");
    EXPECT_EQ(kept.get()->hCertStore, handle);
    EXPECT_EQ(thumbprints(kept.get()->hCertStore).size(), 1u);
    kept.reset();
    SetLastError(0);
    EXPECT_EQ(CertEnumCertificatesInStore(handle, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CertCloseStore(nullptr, 0));
}

TEST_F(StoreTest, ForceClosesEveryReferenceButLeavesContextsValid) {
    HCERTSTORE handle = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    CertDuplicateStore(handle);
    CertDuplicateStore(handle);
    CertContextHolder c = parse(makeCert(1, "Forced"));
    PCCERT_CONTEXT out = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(handle, c.get(), CERT_STORE_ADD_NEW, &out));
    CertContextHolder kept(out);
    SetLastError(0);
    EXPECT_FALSE(CertCloseStore(handle, CERT_CLOSE_STORE_FORCE_FLAG | CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_EQ(GetLastError(), CRYPT_E_PENDING_CLOSE);
    EXPECT_FALSE(CertCloseStore(handle, 0));  // no reference left
    EXPECT_EQ(thumbprint(kept.get()), thumbprint(c.get()));
}

TEST_F(StoreTest, DeletingFreesTheContextAndKeepsOtherReferencesValid) {
    StorePtr store = openSystem("CA");
    CertContextHolder c = parse(makeCert(1, "Deleted"));
    setUserProperty(c.get(), 0, "still here");
    PCCERT_CONTEXT out = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), c.get(), CERT_STORE_ADD_NEW, &out));
    CertContextHolder other(CertDuplicateCertificateContext(out));
    ASSERT_TRUE(CertDeleteCertificateFromStore(out));
    EXPECT_TRUE(thumbprints(store.get()).empty());
    EXPECT_TRUE(thumbprints(openSystem("CA").get()).empty());
    EXPECT_EQ(userProperty(other.get(), 0), "still here");
    // A second removal of the same certificate finds it gone already.
    EXPECT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(other.get())));
    SetLastError(0);
    EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c.get())));
    EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
}

TEST_F(StoreTest, ReadOnlyStoresRefuseChanges) {
    RootInstallByUser fixture;
    ASSERT_TRUE(CertAddCertificateContextToStore(
        openSystem("ROOT").get(), parse(makeCert(1, "Root")).get(), CERT_STORE_ADD_NEW, nullptr));
    StorePtr store(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                 CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                 "ROOT"));
    ASSERT_NE(store, nullptr);
    SetLastError(0);
    EXPECT_FALSE(CertAddCertificateContextToStore(store.get(), parse(makeCert(2, "X")).get(),
                                                  CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(E_ACCESSDENIED));
    CertContextHolder root(CertEnumCertificatesInStore(store.get(), nullptr));
    ASSERT_TRUE(root);
    SetLastError(0);
    EXPECT_FALSE(setUserProperty(root.get(), 0, "x"));
    EXPECT_EQ(GetLastError(), DWORD(E_ACCESSDENIED));
    EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(root.get())));
    EXPECT_EQ(GetLastError(), DWORD(E_ACCESSDENIED));
    EXPECT_EQ(thumbprints(openSystem("ROOT").get()).size(), 1u);
}

TEST_F(StoreTest, PropertiesTravelIntoAndOutOfThePersonalStore) {
    CertContextHolder c = parse(makeCert(7, "Travels"));
    std::u16string container = u"C0FFEE00-0000-4000-8000-000000000001";
    std::u16string provider = u"Microsoft Enhanced Cryptographic Provider v1.0";
    BYTE paramData[] = {1, 2, 3};
    CRYPT_KEY_PROV_PARAM param{7, paramData, 3, 0};
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 1,
                             &param,           AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(c.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    std::u16string friendly = u"許 Friendly";
    CRYPT_DATA_BLOB name{static_cast<DWORD>((friendly.size() + 1) * 2),
                         reinterpret_cast<BYTE*>(friendly.data())};
    ASSERT_TRUE(CertSetCertificateContextProperty(c.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &name));
    // A key context is a handle of this process and stays behind.
    CERT_KEY_CONTEXT key{sizeof(CERT_KEY_CONTEXT), 0x4321, AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(c.get(), CERT_KEY_CONTEXT_PROP_ID,
                                                  CERT_STORE_NO_CRYPT_RELEASE_FLAG, &key));
    ASSERT_TRUE(CertAddCertificateContextToStore(openSystem("MY").get(), c.get(),
                                                 CERT_STORE_ADD_NEW, nullptr));
    closeUserDatabase();  // as another process would read it

    StorePtr my = openSystem("MY");
    CertContextHolder back(CertEnumCertificatesInStore(my.get(), nullptr));
    ASSERT_TRUE(back);
    std::vector<uint64_t> buffer(64);
    DWORD size = sizeof(uint64_t) * buffer.size();
    ASSERT_TRUE(CertGetCertificateContextProperty(back.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                  buffer.data(), &size));
    const auto* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    EXPECT_EQ(std::u16string(got->pwszContainerName), container);
    EXPECT_EQ(std::u16string(got->pwszProvName), provider);
    EXPECT_EQ(got->dwProvType, PROV_RSA_FULL);
    EXPECT_EQ(got->dwKeySpec, AT_SIGNATURE);
    ASSERT_EQ(got->cProvParam, 1u);
    EXPECT_EQ(got->rgProvParam[0].dwParam, 7u);
    EXPECT_EQ(std::vector<BYTE>(got->rgProvParam[0].pbData, got->rgProvParam[0].pbData + 3),
              std::vector<BYTE>({1, 2, 3}));
    std::vector<char16_t> text(64);
    size = static_cast<DWORD>(text.size() * 2);
    ASSERT_TRUE(CertGetCertificateContextProperty(back.get(), CERT_FRIENDLY_NAME_PROP_ID,
                                                  text.data(), &size));
    EXPECT_EQ(std::u16string(text.data()), friendly);
    size = sizeof key;
    SetLastError(0);
    EXPECT_FALSE(
        CertGetCertificateContextProperty(back.get(), CERT_KEY_CONTEXT_PROP_ID, &key, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);

    // Setting and removing a property on a context of the store writes it through.
    ASSERT_TRUE(setUserProperty(back.get(), 5, "written"));
    ASSERT_TRUE(
        CertSetCertificateContextProperty(back.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, nullptr));
    closeUserDatabase();
    CertContextHolder again(CertEnumCertificatesInStore(openSystem("MY").get(), nullptr));
    EXPECT_EQ(userProperty(again.get(), 5), "written");
    size = 0;
    EXPECT_FALSE(
        CertGetCertificateContextProperty(again.get(), CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size));
    // And out again into a memory store.
    StorePtr memory = openMemory();
    PCCERT_CONTEXT copy = nullptr;
    ASSERT_TRUE(
        CertAddCertificateContextToStore(memory.get(), again.get(), CERT_STORE_ADD_NEW, &copy));
    EXPECT_EQ(userProperty(copy, 5), "written");
    CertFreeCertificateContext(copy);
}

TEST_F(StoreTest, KeyContextReleasesItsProviderUnlessToldNotTo) {
    CryptProvHolder keep;
    ASSERT_TRUE(CryptAcquireContextA(keep.out(), "kc", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    struct Case {
        const char* what;
        DWORD flags;
        bool releasedWithContext;
    };
    const Case cases[] = {{"released", 0, true}, {"kept", CERT_STORE_NO_CRYPT_RELEASE_FLAG, false}};
    for (const Case& c : cases) {
        HCRYPTPROV prov = 0;
        ASSERT_TRUE(CryptAcquireContextA(&prov, "kc", nullptr, PROV_RSA_FULL, 0));
        {
            CertContextHolder ctx = parse(makeCert(3, "Key context"));
            CERT_KEY_CONTEXT key{sizeof(CERT_KEY_CONTEXT), prov, AT_KEYEXCHANGE};
            ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_CONTEXT_PROP_ID,
                                                          c.flags, &key));
        }
        DWORD size = 0;
        SetLastError(0);
        BOOL alive = CryptGetProvParam(prov, PP_PROVTYPE, nullptr, &size, 0);
        EXPECT_EQ(alive, c.releasedWithContext ? FALSE : TRUE) << c.what;
        if (c.releasedWithContext)
            EXPECT_EQ(GetLastError(), NTE_BAD_UID) << c.what;
        else
            CryptReleaseContext(prov, 0);
    }
}

// Two processes add to "MY" at once: nothing is lost, nothing is doubled, and a change
// made by one is seen by the other's open store on its next walk.
TEST_F(StoreTest, TwoProcessesShareThePersonalStore) {
    constexpr int kEach = 25;
    CertContextHolder shared = parse(makeCert(999, "Shared"));
    std::vector<std::vector<BYTE>> parentCerts, childCerts;
    std::vector<std::string> parentOrder, childOrder;
    for (int i = 0; i < kEach; ++i) {
        parentCerts.push_back(makeCert(1000 + i, "Parent " + std::to_string(i)));
        childCerts.push_back(makeCert(2000 + i, "Child " + std::to_string(i)));
        parentOrder.push_back(thumbprint(parse(parentCerts.back()).get()));
        childOrder.push_back(thumbprint(parse(childCerts.back()).get()));
    }
    StorePtr parentStore = openSystem("MY");
    ASSERT_TRUE(CertAddCertificateContextToStore(
        parentStore.get(), parse(makeCert(1, "Seed")).get(), CERT_STORE_ADD_NEW, nullptr));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    bool isChild = child == 0;
    HCERTSTORE store = isChild ? CertOpenSystemStoreA(0, "MY") : parentStore.get();
    int failures = 0;
    for (int i = 0; i < kEach; ++i) {
        const std::vector<BYTE>& der = isChild ? childCerts[i] : parentCerts[i];
        if (!CertAddCertificateContextToStore(store, parse(der).get(), CERT_STORE_ADD_NEW, nullptr))
            ++failures;
        // Both try to add the same certificate; exactly one of them may.
        if (i == kEach / 2 &&
            !CertAddCertificateContextToStore(store, shared.get(), CERT_STORE_ADD_NEW, nullptr) &&
            GetLastError() != CRYPT_E_EXISTS)
            ++failures;
    }
    if (isChild) {
        // Tell the parent through a property of the seed certificate.
        PCCERT_CONTEXT seed = CertEnumCertificatesInStore(store, nullptr);
        if (!seed || !setUserProperty(seed, 0, "from the child")) ++failures;
        CertFreeCertificateContext(seed);
        CertCloseStore(store, 0);
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(failures, 0);

    std::vector<std::string> all = thumbprints(parentStore.get());
    EXPECT_EQ(all.size(), size_t(1 + 2 * kEach + 1));
    std::vector<std::string> sorted = all;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
    // Each process's certificates come in the order it added them.
    for (const auto& order : {parentOrder, childOrder}) {
        std::vector<std::string> filtered;
        for (const std::string& t : all)
            if (std::find(order.begin(), order.end(), t) != order.end()) filtered.push_back(t);
        EXPECT_EQ(filtered, order);
    }
    CertContextHolder seed(CertEnumCertificatesInStore(parentStore.get(), nullptr));
    EXPECT_EQ(userProperty(seed.get(), 0), "from the child");
}

TEST_F(StoreTest, EachPersistedCertificateGetsItsOwnPropertiesAndLaterChanges) {
    // Rows of another store between them, and one certificate without properties.
    // A deque: the holders stay where they were made.
    std::deque<CertContextHolder> mine;
    for (int i = 0; i < 3; ++i) {
        mine.emplace_back(parse(makeCert(300 + i, "Own " + std::to_string(i))).release());
        if (i != 1) {
            ASSERT_TRUE(setUserProperty(mine.back().get(), 9, "mine " + std::to_string(i)));
        }
        ASSERT_TRUE(CertAddCertificateContextToStore(openSystem("MY").get(), mine.back().get(),
                                                     CERT_STORE_ADD_NEW, nullptr));
        CertContextHolder other = parse(makeCert(400 + i, "Other " + std::to_string(i)));
        ASSERT_TRUE(setUserProperty(other.get(), 9, "other"));
        ASSERT_TRUE(CertAddCertificateContextToStore(openSystem("CA").get(), other.get(),
                                                     CERT_STORE_ADD_NEW, nullptr));
    }
    closeUserDatabase();

    StorePtr my = openSystem("MY");
    // Changed through another handle after `my` read the rows, before its contexts exist.
    {
        StorePtr writer = openSystem("MY");
        CertContextHolder last(CertEnumCertificatesInStore(writer.get(), nullptr));
        for (int i = 0; i < 2 && last; ++i)
            last.reset(CertEnumCertificatesInStore(writer.get(), last.release()));
        ASSERT_TRUE(last);
        ASSERT_TRUE(setUserProperty(last.get(), 9, "changed"));
    }
    std::vector<std::pair<std::string, std::string>> seen;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my.get(), nullptr); c;
         c = CertEnumCertificatesInStore(my.get(), c))
        seen.emplace_back(thumbprint(c), userProperty(c, 9));
    std::vector<std::pair<std::string, std::string>> expected = {
        {thumbprint(mine[0].get()), "mine 0"},
        {thumbprint(mine[1].get()), ""},
        {thumbprint(mine[2].get()), "changed"},
    };
    EXPECT_EQ(seen, expected);
}

}  // namespace
