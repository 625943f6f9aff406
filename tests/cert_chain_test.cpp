// Chains over the fixtures of tests/fixtures/make_chain.sh: trust bits per element and
// for the chain, element order (against openssl verify -show_chain) and issuer-match
// info, where issuers are found, validity at a given time, requested usages and the
// argument checks. Every test has its own user stores and no system anchors but the
// ones it names, so what the machine trusts never counts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/crypt/wincrypt_msg.h"
#include "platform/store/root_install.h"
#include "tests/scoped_state.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"

namespace {

using namespace store_test;

constexpr DWORD kRevocationUnknown =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

std::string chainFixture(const std::string& file) {
    return std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/chain/" + file;
}

CertContextHolder fixture(const std::string& name) {
    return parse(readBytes(chainFixture(name + ".der")));
}

std::string commonName(PCCERT_CONTEXT c) {
    char name[256];
    CertGetNameStringA(c, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name,
                       sizeof name);
    return name;
}

const CERT_SIMPLE_CHAIN& simple(PCCERT_CHAIN_CONTEXT chain) {
    return *chain->rgpChain[0];
}

// One value of each element, the certificate first.
template <typename Get>
auto perElement(PCCERT_CHAIN_CONTEXT chain, Get get) {
    std::vector<decltype(get(*simple(chain).rgpElement[0]))> out;
    for (DWORD i = 0; i < simple(chain).cElement; ++i)
        out.push_back(get(*simple(chain).rgpElement[i]));
    return out;
}
std::vector<std::string> names(PCCERT_CHAIN_CONTEXT chain) {
    return perElement(chain,
                      [](const CERT_CHAIN_ELEMENT& e) { return commonName(e.pCertContext); });
}
std::vector<DWORD> errors(PCCERT_CHAIN_CONTEXT chain) {
    return perElement(chain,
                      [](const CERT_CHAIN_ELEMENT& e) { return e.TrustStatus.dwErrorStatus; });
}
std::vector<DWORD> infos(PCCERT_CHAIN_CONTEXT chain) {
    return perElement(chain,
                      [](const CERT_CHAIN_ELEMENT& e) { return e.TrustStatus.dwInfoStatus; });
}

FILETIME utc(int year, int month, int day) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

// The CN lines openssl printed for the first verification of `name` in verify.txt
// ("depth=N: O = Kestrune Test, CN = ..."), leaf first.
std::vector<std::string> opensslChain(const std::string& name) {
    std::ifstream in(chainFixture("verify.txt"));
    std::string line;
    bool inSection = false;
    std::vector<std::string> out;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) {
            if (inSection) break;
            inSection = line == "## " + name;
            continue;
        }
        auto cn = line.find("CN = ");
        if (!inSection || line.rfind("depth=", 0) != 0 || cn == std::string::npos) continue;
        std::string value = line.substr(cn + 5);
        auto mark = value.find(" (untrusted)");
        out.push_back(mark == std::string::npos ? value : value.substr(0, mark));
    }
    return out;
}

class CertChain : public ::testing::Test {
  protected:
    // No anchors of the machine: an empty anchor folder and a file that does not exist.
    CertChain()
        : file_("SSL_CERT_FILE", home_.path() + "/no-anchors.pem"),
          dir_("SSL_CERT_DIR", home_.path()) {}

    void add(const char* storeName, const std::vector<const char*>& certs) {
        RootInstallByUser setUp;  // set-up, not a caller to ask about
        StorePtr store = openSystem(storeName);
        ASSERT_NE(store, nullptr);
        for (const char* name : certs) {
            CertContextHolder c = fixture(name);
            ASSERT_TRUE(c) << name;
            ASSERT_TRUE(
                CertAddCertificateContextToStore(store.get(), c.get(), CERT_STORE_ADD_NEW, nullptr))
                << name;
        }
    }

    static CertChainHolder build(PCCERT_CONTEXT cert, HCERTSTORE additional = nullptr,
                                 const FILETIME* time = nullptr,
                                 const CERT_CHAIN_PARA* para = nullptr, DWORD flags = 0) {
        CERT_CHAIN_PARA plain{sizeof(CERT_CHAIN_PARA), {USAGE_MATCH_TYPE_AND, {0, nullptr}}};
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        EXPECT_TRUE(CertGetCertificateChain(HCCE_CURRENT_USER, cert, time, additional,
                                            para ? para : &plain, flags, nullptr, &chain))
            << std::hex << GetLastError();
        return CertChainHolder(chain);
    }

    TempHome home_;
    ScopedEnvVar file_;
    ScopedEnvVar dir_;
};

struct TrustCase {
    const char* what;
    const char* cert;
    std::vector<const char*> ca;
    std::vector<const char*> root;
    std::vector<DWORD> errors;  // per element, the certificate first
    DWORD chainError;
};

TEST_F(CertChain, TrustBitsPerElementAndForTheChain) {
    constexpr DWORD time = CERT_TRUST_IS_NOT_TIME_VALID, sig = CERT_TRUST_IS_NOT_SIGNATURE_VALID,
                    usage = CERT_TRUST_IS_NOT_VALID_FOR_USAGE, root = CERT_TRUST_IS_UNTRUSTED_ROOT,
                    partial = CERT_TRUST_IS_PARTIAL_CHAIN,
                    critical = CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT;
    const TrustCase cases[] = {
        {"trusted", "leaf", {"inter"}, {"root"}, {0, 0, 0}, 0},
        {"root not in ROOT", "leaf", {"inter", "root"}, {}, {0, 0, root}, root},
        {"expired intermediate", "leaf_expired", {"expired_ca"}, {"root"}, {0, time, 0}, time},
        {"altered signature", "leaf_badsig", {"inter"}, {"root"}, {sig, 0, 0}, sig},
        {"CA without basic constraints", "leaf_nobc", {"nobc_ca"}, {"root"}, {0, usage, 0}, usage},
        {"CA without keyCertSign", "leaf_nosign", {"nosign_ca"}, {"root"}, {0, usage, 0}, usage},
        {"pathlen exceeded", "leaf_sub", {"sub_ca", "inter"}, {"root"}, {0, 0, usage, 0}, usage},
        {"critical extension", "leaf_critical", {"inter"}, {"root"}, {critical, 0, 0}, critical},
        {"issuer nowhere", "orphan", {"inter"}, {"root"}, {0}, partial},
        {"intermediate missing", "leaf", {}, {"root"}, {0}, partial},
        // inter_twin has inter's name and a key of its own: the key that verifies wins.
        {"twin first", "leaf", {"inter_twin", "inter"}, {"root"}, {0, 0, 0}, 0},
        {"twin only", "leaf", {"inter_twin"}, {"root"}, {sig, 0, 0}, sig},
        {"self-signed, untrusted", "self", {}, {}, {root}, root},
        {"self-signed end entity in ROOT", "self", {}, {"self"}, {0}, 0},
    };
    for (const TrustCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;  // fresh user stores for each case
        add("CA", c.ca);
        add("ROOT", c.root);
        CertContextHolder cert = fixture(c.cert);
        ASSERT_TRUE(cert);
        CertChainHolder chain = build(cert.get());
        ASSERT_TRUE(chain);
        EXPECT_EQ(errors(chain.get()), c.errors);
        EXPECT_EQ(simple(chain.get()).TrustStatus.dwErrorStatus, c.chainError);
        EXPECT_EQ(chain.get()->TrustStatus.dwErrorStatus, c.chainError);
    }
}

// Order and count against openssl verify -show_chain; the info bits tell how each
// issuer matched the authority key identifier of the certificate below it.
TEST_F(CertChain, ElementsRunFromTheCertificateToItsRoot) {
    add("CA", {"inter"});
    add("ROOT", {"root", "self"});
    constexpr DWORD key = CERT_TRUST_HAS_KEY_MATCH_ISSUER;
    constexpr DWORD selfSigned = CERT_TRUST_IS_SELF_SIGNED | CERT_TRUST_HAS_NAME_MATCH_ISSUER;
    const struct {
        const char* cert;
        std::vector<DWORD> infos;
    } cases[] = {
        {"leaf", {key, key, selfSigned}},
        {"leaf_exact", {CERT_TRUST_HAS_EXACT_MATCH_ISSUER, key, selfSigned}},
        {"leaf_name", {CERT_TRUST_HAS_NAME_MATCH_ISSUER, key, selfSigned}},
        {"self", {selfSigned}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cert);
        std::vector<std::string> expected = opensslChain(c.cert);
        ASSERT_FALSE(expected.empty());
        CertContextHolder cert = fixture(c.cert);
        CertChainHolder chain = build(cert.get());
        ASSERT_TRUE(chain);
        EXPECT_EQ(names(chain.get()), expected);
        EXPECT_EQ(infos(chain.get()), c.infos);
        EXPECT_EQ(chain.get()->TrustStatus.dwErrorStatus, 0u);
        EXPECT_EQ(chain.get()->TrustStatus.dwInfoStatus, 0u);
    }
}

// Where the intermediate and the root come from.
enum class Place { UserCa, UserRoot, Additional, OwnStore, Nowhere };
struct SourceCase {
    const char* what;
    Place inter;
    Place root;
    const char* anchorFile;  // SSL_CERT_FILE, or null for none
    const char* anchorDir;   // SSL_CERT_DIR, or null for none
    DWORD chainError;
    size_t elements;
};

TEST_F(CertChain, IssuersComeFromEveryStoreAndTheSystemAnchors) {
    const std::string noFile = home_.path() + "/no-anchors.pem";
    const SourceCase cases[] = {
        {"user CA", Place::UserCa, Place::UserRoot, nullptr, nullptr, 0, 3},
        {"additional store", Place::Additional, Place::UserRoot, nullptr, nullptr, 0, 3},
        {"the certificate's own store", Place::OwnStore, Place::UserRoot, nullptr, nullptr, 0, 3},
        {"nowhere", Place::Nowhere, Place::UserRoot, nullptr, nullptr, CERT_TRUST_IS_PARTIAL_CHAIN,
         1},
        {"root in the anchor file", Place::UserCa, Place::Nowhere, "root.pem", nullptr, 0, 3},
        {"root in the anchor folder", Place::UserCa, Place::Nowhere, nullptr, "anchors", 0, 3},
        {"root in user CA and the anchor file", Place::UserCa, Place::UserCa, "root.pem", nullptr,
         0, 3},
        {"root in user CA only", Place::UserCa, Place::UserCa, nullptr, nullptr,
         CERT_TRUST_IS_UNTRUSTED_ROOT, 3},
        {"root nowhere", Place::UserCa, Place::Nowhere, nullptr, nullptr,
         CERT_TRUST_IS_PARTIAL_CHAIN, 2},
    };
    for (const SourceCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        ScopedEnvVar file("SSL_CERT_FILE", c.anchorFile ? chainFixture(c.anchorFile) : noFile);
        ScopedEnvVar dir("SSL_CERT_DIR", c.anchorDir ? chainFixture(c.anchorDir) : home.path());
        if (c.root == Place::UserRoot) add("ROOT", {"root"});
        if (c.root == Place::UserCa) add("CA", {"root"});
        if (c.inter == Place::UserCa) add("CA", {"inter"});
        StorePtr additional = openMemory();
        StorePtr own = openMemory();
        CertContextHolder inter = fixture("inter");
        HCERTSTORE interTarget = c.inter == Place::Additional ? additional.get()
                                 : c.inter == Place::OwnStore ? own.get()
                                                              : nullptr;
        if (interTarget) {
            ASSERT_TRUE(CertAddCertificateContextToStore(interTarget, inter.get(),
                                                         CERT_STORE_ADD_NEW, nullptr));
        }
        CertContextHolder loose = fixture("leaf");
        PCCERT_CONTEXT inOwn = nullptr;
        ASSERT_TRUE(
            CertAddCertificateContextToStore(own.get(), loose.get(), CERT_STORE_ADD_NEW, &inOwn));
        CertContextHolder leaf(inOwn);

        CertChainHolder chain = build(leaf.get(), additional.get());
        ASSERT_TRUE(chain);
        EXPECT_EQ(chain.get()->TrustStatus.dwErrorStatus, c.chainError);
        ASSERT_EQ(simple(chain.get()).cElement, c.elements);
        if (c.elements < 3) continue;
        HCERTSTORE interStore = simple(chain.get()).rgpElement[1]->pCertContext->hCertStore;
        if (interTarget) {
            EXPECT_EQ(interStore, interTarget);
        }
        // An anchor belongs to no store.
        HCERTSTORE rootStore = simple(chain.get()).rgpElement[2]->pCertContext->hCertStore;
        EXPECT_EQ(rootStore == nullptr, c.root == Place::Nowhere);
    }
}

TEST_F(CertChain, AChangedAnchorFileCountsAtOnce) {
    add("CA", {"inter", "root"});
    const std::string path = home_.path() + "/anchors.pem";
    ScopedEnvVar file("SSL_CERT_FILE", path);
    CertContextHolder leaf = fixture("leaf");
    const struct {
        const char* content;  // a fixture's PEM, or null for no file
        DWORD chainError;
    } steps[] = {
        {"root.pem", 0},
        {"self.pem", CERT_TRUST_IS_UNTRUSTED_ROOT},
        {"root.pem", 0},
        {nullptr, CERT_TRUST_IS_UNTRUSTED_ROOT},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.content ? step.content : "no file");
        std::filesystem::remove(path);
        if (step.content) std::filesystem::copy_file(chainFixture(step.content), path);
        CertChainHolder chain = build(leaf.get());
        ASSERT_TRUE(chain);
        EXPECT_EQ(chain.get()->TrustStatus.dwErrorStatus, step.chainError);
    }
}

TEST_F(CertChain, ValidityIsJudgedAtTheGivenTime) {
    add("CA", {"inter", "expired_ca"});
    add("ROOT", {"root"});
    constexpr DWORD bad = CERT_TRUST_IS_NOT_TIME_VALID;
    const FILETIME in2005 = utc(2005, 6, 1), in2070 = utc(2070, 1, 1);
    const struct {
        const char* what;
        const char* cert;
        const FILETIME* time;
        std::vector<DWORD> errors;
    } cases[] = {
        {"now", "leaf", nullptr, {0, 0, 0}},
        {"before any was made", "leaf", &in2005, {bad, bad, bad}},
        {"after all ended", "leaf", &in2070, {bad, bad, bad}},
        {"expired CA now", "leaf_expired", nullptr, {0, bad, 0}},
        {"expired CA in its time", "leaf_expired", &in2005, {bad, 0, bad}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CertContextHolder cert = fixture(c.cert);
        CertChainHolder chain = build(cert.get(), nullptr, c.time);
        ASSERT_TRUE(chain);
        EXPECT_EQ(errors(chain.get()), c.errors);
    }
}

TEST_F(CertChain, RequestedUsagesAreMatchedAgainstExtendedKeyUsage) {
    add("CA", {"inter"});
    add("ROOT", {"root"});
    char clientAuth[] = "1.3.6.1.5.5.7.3.2", serverAuth[] = "1.3.6.1.5.5.7.3.1",
         email[] = "1.3.6.1.5.5.7.3.4", codeSigning[] = "1.3.6.1.5.5.7.3.3";
    constexpr DWORD bad = CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    const struct {
        const char* what;
        const char* cert;  // leaf: clientAuth + emailProtection; leaf_name: no extension
        DWORD type;
        std::vector<LPSTR> usages;
        DWORD leafError;
    } cases[] = {
        {"one present", "leaf", USAGE_MATCH_TYPE_AND, {clientAuth}, 0},
        {"both present", "leaf", USAGE_MATCH_TYPE_AND, {clientAuth, email}, 0},
        {"one of two missing", "leaf", USAGE_MATCH_TYPE_AND, {clientAuth, serverAuth}, bad},
        {"either, one present", "leaf", USAGE_MATCH_TYPE_OR, {serverAuth, clientAuth}, 0},
        {"either, none present", "leaf", USAGE_MATCH_TYPE_OR, {serverAuth, codeSigning}, bad},
        {"no extension allows all", "leaf_name", USAGE_MATCH_TYPE_AND, {serverAuth}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<LPSTR> usages = c.usages;
        CERT_CHAIN_PARA para{sizeof para,
                             {c.type, {static_cast<DWORD>(usages.size()), usages.data()}}};
        CertContextHolder cert = fixture(c.cert);
        CertChainHolder chain = build(cert.get(), nullptr, nullptr, &para);
        ASSERT_TRUE(chain);
        EXPECT_EQ(errors(chain.get()), (std::vector<DWORD>{c.leafError, 0, 0}));
        EXPECT_EQ(chain.get()->TrustStatus.dwErrorStatus, c.leafError);
    }
}

TEST_F(CertChain, AskedRevocationChecksReadAsUnknown) {
    add("CA", {"inter"});
    add("ROOT", {"root"});
    constexpr DWORD unknown = kRevocationUnknown;
    const struct {
        DWORD flags;
        std::vector<DWORD> errors;
    } cases[] = {
        {0, {0, 0, 0}},
        {CERT_CHAIN_REVOCATION_CHECK_END_CERT, {unknown, 0, 0}},
        {CERT_CHAIN_REVOCATION_CHECK_CHAIN, {unknown, unknown, unknown}},
        {CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT, {unknown, unknown, 0}},
    };
    CertContextHolder cert = fixture("leaf");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        CertChainHolder chain = build(cert.get(), nullptr, nullptr, nullptr, c.flags);
        ASSERT_TRUE(chain);
        EXPECT_EQ(errors(chain.get()), c.errors);
    }
}

TEST_F(CertChain, ContextLayoutAndReferences) {
    add("ROOT", {"root"});
    CertContextHolder leaf = fixture("leaf");
    std::vector<BYTE> interDer = readBytes(chainFixture("inter.der"));
    CertChainHolder chain;
    {
        StorePtr additional = openMemory();
        CertContextHolder inter = fixture("inter");
        ASSERT_TRUE(CertAddCertificateContextToStore(additional.get(), inter.get(),
                                                     CERT_STORE_ADD_NEW, nullptr));
        chain.reset(build(leaf.get(), additional.get()).release());
    }
    ASSERT_TRUE(chain);
    EXPECT_EQ(chain.get()->cbSize, sizeof(CERT_CHAIN_CONTEXT));
    EXPECT_EQ(chain.get()->cChain, 1u);
    EXPECT_EQ(chain.get()->cLowerQualityChainContext, 0u);
    const CERT_SIMPLE_CHAIN& s = simple(chain.get());
    EXPECT_EQ(s.cbSize, sizeof(CERT_SIMPLE_CHAIN));
    ASSERT_EQ(s.cElement, 3u);
    for (DWORD i = 0; i < s.cElement; ++i) {
        EXPECT_EQ(s.rgpElement[i]->cbSize, sizeof(CERT_CHAIN_ELEMENT));
        EXPECT_EQ(s.rgpElement[i]->pRevocationInfo, nullptr);
    }
    // The first element is the caller's certificate, with a reference of its own.
    EXPECT_EQ(s.rgpElement[0]->pCertContext, leaf.get());
    // The intermediate outlives the store it came from, which was closed above.
    PCCERT_CONTEXT inter = s.rgpElement[1]->pCertContext;
    EXPECT_EQ(std::vector<BYTE>(inter->pbCertEncoded, inter->pbCertEncoded + inter->cbCertEncoded),
              interDer);
    chain.reset();
    EXPECT_EQ(commonName(leaf.get()), "Chain Leaf");
    CertFreeCertificateChain(nullptr);
}

TEST_F(CertChain, RefusesBadArgumentsWithThePlatformsCodes) {
    CertContextHolder leaf = fixture("leaf");
    LPSTR nullUsage[] = {nullptr};
    int reserved = 0;
    HCERTSTORE stale = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    CertCloseStore(stale, 0);
    // A good call, which each case spoils in one way.
    struct Call {
        HCERTCHAINENGINE engine = HCCE_CURRENT_USER;
        PCCERT_CONTEXT cert = nullptr;
        HCERTSTORE additional = nullptr;
        CERT_CHAIN_PARA para{sizeof(CERT_CHAIN_PARA), {USAGE_MATCH_TYPE_AND, {0, nullptr}}};
        const CERT_CHAIN_PARA* paraArg = &para;
        void* reserved = nullptr;
        bool output = true;
    };
    const DWORD invalid = static_cast<DWORD>(E_INVALIDARG);
    const struct {
        const char* what;
        std::function<void(Call&)> spoil;
        DWORD error;
    } cases[] = {
        {"another engine", [](Call& c) { c.engine = reinterpret_cast<void*>(1); }, invalid},
        {"no certificate", [](Call& c) { c.cert = nullptr; }, invalid},
        {"no parameters", [](Call& c) { c.paraArg = nullptr; }, invalid},
        {"short parameters", [](Call& c) { c.para.cbSize -= 1; }, invalid},
        {"unknown match type", [](Call& c) { c.para.RequestedUsage.dwType = 2; }, invalid},
        {"usages, no array",
         [](Call& c) {
             c.para.RequestedUsage.Usage = {1, nullptr};
         },
         invalid},
        {"null usage",
         [&](Call& c) {
             c.para.RequestedUsage.Usage = {1, nullUsage};
         },
         invalid},
        {"reserved", [&](Call& c) { c.reserved = &reserved; }, invalid},
        {"no output", [](Call& c) { c.output = false; }, invalid},
        {"stale additional store", [&](Call& c) { c.additional = stale; }, ERROR_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Call call;
        call.cert = leaf.get();
        c.spoil(call);
        PCCERT_CHAIN_CONTEXT chain = reinterpret_cast<PCCERT_CHAIN_CONTEXT>(&reserved);
        SetLastError(0);
        EXPECT_FALSE(CertGetCertificateChain(call.engine, call.cert, nullptr, call.additional,
                                             call.paraArg, 0, call.reserved,
                                             call.output ? &chain : nullptr));
        EXPECT_EQ(GetLastError(), c.error);
        if (call.output) {
            EXPECT_FALSE(chain);
        }
    }
}

}  // namespace
