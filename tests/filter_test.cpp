#include "store/filter.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cert_fixtures.h"
#include "core/cert_view.h"
#include "platform/system/last_error.h"
#include "status/error_codes.h"

namespace {

using Items = std::vector<std::string>;

// Test texts are written in UTF-8 and handed over in the code page in force.
std::string ansi(const std::string& utf8) {
    return utf8ToAnsi(utf8);
}
Items ansi(const Items& utf8) {
    Items out;
    for (const std::string& s : utf8) out.push_back(ansi(s));
    return out;
}

TEST(CertFilter, SplitAlternatives) {
    struct Case {
        const char* filter;
        Items alternatives;
    } cases[] = {
        {"", {}},
        {"a", {}},
        {"ab//A=B", {}},
        {"S_C=", {"S_C="}},
        {"S_CN=a//ab//S_O=b", {"S_CN=a", "S_O=b"}},
        {"//S_CN=x//", {"S_CN=x"}},
        {"a///S_CN=x", {"/S_CN=x"}},
    };
    for (const Case& c : cases) EXPECT_EQ(SplitAlternatives(c.filter), c.alternatives) << c.filter;
}

TEST(CertFilter, SplitItems) {
    ScopedCodePage big5(950);
    struct Case {
        const char* text;
        const char* prefix;
        Items items;
    } cases[] = {
        {"", "", {}},
        {"S_O=ACME, Inc.,S_CN=abc", "S_", {"O=ACME, Inc.", "CN=abc"}},
        {"C=TW, O=Foo, Inc., OU=Sales + CN=Say \"hi\", CN=Second CN",
         "",
         {"C=TW", "O=Foo, Inc.", "OU=Sales + CN=Say \"hi\"", "CN=Second CN"}},
        {"S_CN = abc", "S_", {"CN=abc"}},
        {"s_CN=abc", "S_", {}},
        {"A  =  B", "", {"A = B"}},
        {"S_CN=a\\nS_O=b\nS_OU=c\r\n,,S_C=d\r", "S_", {"CN=a", "O=b", "OU=c", "C=d"}},
        {"=x,CN=a,=b,c", "", {"=x", "CN=a,=b,c"}},
        {"  CN=a  ,\t O=b , ", "", {"CN=a", "O=b ,"}},
        {"I_O=Some CA,S_CN=x,I_CN=y", "I_", {"O=Some CA", "CN=y"}},
        // Trail bytes 0x5C of 許, 功 and 蓋 are no backslashes; the real one after 蓋 is.
        {"CN=許nice", "", {"CN=許nice"}},
        {"S_O=許功蓋\\nS_CN=王小明 ", "S_", {"O=許功蓋", "CN=王小明"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitItems(ansi(c.text), c.prefix), ansi(c.items)) << c.text;
}

// The same bytes cut differently: B3 5C is one character in Big5 only.
TEST(CertFilter, SplitItemsFollowsTheCodePage) {
    const std::string text = "CN=\xB3\x5Cnice";
    {
        ScopedCodePage big5(950);
        EXPECT_EQ(SplitItems(text, ""), Items{text});
    }
    {
        ScopedCodePage utf8(CP_UTF8);
        EXPECT_EQ(SplitItems(text, ""), Items{"CN=\xB3,ice"});
    }
}

TEST(CertFilter, MatchByFilter) {
    ScopedCodePage big5(950);
    struct Case {
        Items filter, cert;
        bool match;
    } cases[] = {
        {{}, {}, true},
        {{"CN=a"}, {}, false},
        {{"CN=小明"}, {"C=TW", "CN=王小明"}, true},
        {{"CN=王小明"}, {"O=王小明"}, false},
        {{"CN="}, {"CN=a"}, false},
        {{"CN=A"}, {"CN=a"}, false},
        // 'p' is the trail byte of 小 (A4 70), 'A' of 乙 (A4 41).
        {{"CN=p"}, {"CN=王小明"}, false},
        {{"CN=A"}, {"CN=乙"}, false},
        {{"C=TW"}, {"C=TW", "CN=x"}, true},
        {{"C=tw"}, {"C=TW"}, false},
        {{"O=ACME"}, {"O=ACME, Inc."}, false},
        {{"OU=x"}, {"O=x"}, false},
        {{"SN=00ab12"}, {"CN=a", "SN=00AB12"}, true},
        // 兀 (A4 61) is 乙 (A4 41) with its trail byte's case changed.
        {{"SN=兀"}, {"SN=乙"}, false},
        {{"E=a@b"}, {"E=a@b"}, false},
        {{"CN=a", "E=x"}, {"CN=xa"}, true},
        {{"CN=a", "O=b"}, {"CN=xa"}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MatchByFilter(ansi(c.filter), ansi(c.cert)), c.match)
            << testing::PrintToString(c.filter) << " in " << testing::PrintToString(c.cert);
    }
}

TEST(CertFilter, MatchByCertificate) {
    ScopedCodePage big5(950);
    struct Case {
        Items filter, cert;
        bool match;
    } cases[] = {
        {{}, {"CN=a"}, true},
        {{"CN=a"}, {}, false},
        {{"CN=王小明"}, {"CN=王小明", "SN=00AB12"}, true},
        {{"CN=王小明"}, {"C=TW", "CN=王小明", "SN=0C"}, false},
        {{"C=TW", "CN=王小明", "O=x"}, {"C=TW", "E=a@b", "S=Taipei", "CN=王小明", "SN=1"}, true},
        {{"CN=王"}, {"CN=王小明"}, false},
        {{"CN=x"}, {"E=x", "SN=1"}, false},
        {{"SN=1"}, {"CN=a", "SN=1"}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MatchByCertificate(ansi(c.filter), ansi(c.cert)), c.match)
            << testing::PrintToString(c.filter) << " against " << testing::PrintToString(c.cert);
    }
}

// Contexts of the fixtures, by name: those of tests/fixtures/filter/ (make_filter_certs.sh)
// and of tests/fixtures/certs/ (make_certs.sh).
class Fixtures {
  public:
    Fixtures() {
        for (const char* name :
             {"ca_a", "ca_b", "wang_2009", "wang_2010", "wang_2011", "wang_2011b", "wang_plain",
              "expired", "future", "encipher", "no_usage", "acme", "big5"})
            load(name, std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/filter/" + name + ".der");
        for (const char* name : {"root", "signer", "crlsign", "attrs", "big5_bmp"})
            load(name, fixturePath(std::string(name) + ".der"));
    }
    ~Fixtures() {
        for (auto& [name, context] : contexts_) CertFreeCertificateContext(context);
    }
    Fixtures(const Fixtures&) = delete;
    Fixtures& operator=(const Fixtures&) = delete;

    PCCERT_CONTEXT operator[](const std::string& name) const {
        auto it = contexts_.find(name);
        return it == contexts_.end() ? nullptr : it->second;
    }
    std::vector<PCCERT_CONTEXT> contexts(const std::vector<std::string>& names) const {
        std::vector<PCCERT_CONTEXT> out;
        for (const std::string& name : names) out.push_back((*this)[name]);
        return out;
    }
    std::string nameOf(PCCERT_CONTEXT context) const {
        for (auto& [name, c] : contexts_)
            if (c == context) return name;
        return "?";
    }

  private:
    void load(const std::string& name, const std::string& path) {
        ByteBuffer der;
        der.loadFromFile(path);
        contexts_[name] = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                       der.data(), der.length());
    }
    std::map<std::string, PCCERT_CONTEXT> contexts_;
};

class CertSearchTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { fixtures_ = new Fixtures; }
    static void TearDownTestSuite() {
        delete fixtures_;
        fixtures_ = nullptr;
    }

    std::vector<std::string> names(const CertList& list) const {
        std::vector<std::string> out;
        for (PCCERT_CONTEXT context : list) out.push_back(fixtures_->nameOf(context));
        return out;
    }

    static Fixtures* fixtures_;
};
Fixtures* CertSearchTest::fixtures_ = nullptr;

// Space-separated fixture names.
std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size();) {
        size_t end = text.find(' ', i);
        if (end == std::string::npos) end = text.size();
        if (end > i) out.push_back(text.substr(i, end - i));
        i = end + 1;
    }
    return out;
}

TEST_F(CertSearchTest, Table) {
    ScopedCodePage big5(950);
    for (const char* name : {"ca_a", "wang_2009", "big5", "root", "big5_bmp"})
        ASSERT_NE((*fixtures_)[name], nullptr) << name;
    const CertSearch all = CertSearch::AllWithMode, first = CertSearch::FirstOnly;
    const int32_t v = kFilterCheckValidity, i = kFilterMatchIssuer;
    const ErrorCode none = err::kCertNotFound, expired = err::kCertExpired,
                    early = err::kCertNotYetValid, usage = err::kCertUsage;
    struct Case {
        const char* candidates;
        const char* filter;  // UTF-8
        int32_t flags, keyUsage;
        CertSearch search;
        ErrorCode code;
        const char* accepted;
    } cases[] = {
        // clang-format off
        // CA-like certificates are never offered.
        {"ca_a root wang_2009 crlsign attrs expired", "", 0, 0, all, 0, "wang_2009 expired"},
        {"ca_a ca_b root crlsign attrs", "", 0, 0, all, none, ""},
        // Names.
        {"wang_2009 acme", "ab//A=B", i, 0, all, 0, "wang_2009 acme"},
        {"wang_2009 wang_plain big5_bmp expired", "S_CN=王小明", i, 0, all, 0, "wang_2009 wang_plain big5_bmp"},
        {"wang_2009 wang_plain big5_bmp", "S_CN=王小明", 0, 0, all, 0, "wang_plain"},
        {"wang_2009 wang_plain wang_2010", "S_CN=王小明 (1234),S_OU=Users,S_O=Kestrune,S_C=TW", 0, 0, all, 0, "wang_2009 wang_2010"},
        {"wang_2009 wang_2010 acme", "I_CN=Filter CA B", 0, 0, all, 0, "wang_2009 wang_2010 acme"},
        {"wang_2009 wang_2010 wang_2011", "I_CN=Filter CA B,S_CN=王小明", i, 0, all, 0, "wang_2010"},
        {"wang_2009 wang_plain", "S_SN=00ab12", i, 0, all, 0, "wang_plain"},
        {"wang_plain", "S_SN=ab12", i, 0, all, none, ""},
        {"acme wang_2009", "S_O=ACME, Inc.,S_CN=abc", i, 0, all, 0, "acme"},
        {"acme", "S_O=ACME, Inc.,S_CN=abc", 0, 0, all, none, ""},
        {"acme", "S_C=US,S_O=ACME, Inc.,S_CN=abc", 0, 0, all, 0, "acme"},
        {"acme wang_2009", "S_CN = abc", i, 0, all, 0, "acme"},
        {"acme wang_2009", "s_CN=abc", i, 0, all, 0, "acme wang_2009"},
        {"expired acme wang_2009", "S_CN=Expired User//S_CN=abc", i, 0, all, 0, "expired acme"},
        // Big5: 許 ends in 5C before "nice"; 小 ends in 'p'; 兀 is 乙 with a trail byte of
        // the other case.
        {"big5 wang_2009", "S_CN=nice", i, 0, all, 0, "big5"},
        {"big5 wang_2009", "S_C=TW,S_O=許功蓋,S_CN=許nice", 0, 0, all, 0, "big5"},
        {"big5", "S_SN=乙", i, 0, all, 0, "big5"},
        {"big5", "S_SN=兀", i, 0, all, none, ""},
        {"wang_plain", "S_CN=p", i, 0, all, none, ""},
        // Key usage.
        {"no_usage encipher", "", 0, 0x80, all, usage, ""},
        {"wang_2009 wang_2011", "", 0, 0xC0, all, 0, "wang_2009"},
        {"no_usage encipher", "", 0, -1, all, 0, "no_usage encipher"},
        // Validity, and which reason is reported.
        {"expired", "", v, 0, all, expired, ""},
        {"future", "", v, 0, all, early, ""},
        {"expired future", "", v, 0, all, early, ""},
        {"future expired", "", v, 0, all, expired, ""},
        {"encipher expired", "", v, 0x80, all, expired, ""},
        {"expired encipher", "", v, 0x80, all, usage, ""},
        {"encipher ca_a acme", "S_CN=Nobody", i, 0x80, all, usage, ""},
        {"expired", "S_CN=Nobody", i | v, 0, all, none, ""},
        {"wang_plain expired", "", v, 0, all, 0, "wang_plain"},
        {"expired wang_plain", "", v, 0, all, 0, "wang_plain"},
        {"expired future", "", 0, 0, all, 0, "expired future"},
        // Mode 2: starts 2009, 2011, 2010; ends 2095, 2093, 2097; 2011b ties with 2011.
        {"wang_2009 wang_2011 wang_2010", "", 2, 0, all, 0, "wang_2011"},
        {"wang_2009 wang_2011 wang_2010", "", 2 | 0x20, 0, all, 0, "wang_2009"},
        {"wang_2009 wang_2011 wang_2010", "", 2 | 0x40, 0, all, 0, "wang_2010"},
        {"wang_2009 wang_2011 wang_2010", "", 2 | 0x80, 0, all, 0, "wang_2011"},
        {"wang_2011 wang_2010 wang_2009", "", 2 | 0x20 | 0x40, 0, all, 0, "wang_2009"},
        {"wang_2011 wang_2009 wang_2010", "", 2 | 0x40 | 0x80, 0, all, 0, "wang_2010"},
        {"wang_2011b wang_2011", "", 2, 0, all, 0, "wang_2011b"},
        {"wang_2011 wang_2011b", "", 2, 0, all, 0, "wang_2011"},
        {"expired wang_2009 future wang_2010", "", 2 | v, 0, all, 0, "wang_2010"},
        {"expired", "", 2 | v, 0, all, expired, ""},
        {"wang_2009 wang_2010", "", 3, 0, all, 0, "wang_2009 wang_2010"},
        // The PFX search: the first acceptable one, the last reason met.
        {"expired wang_plain wang_2009", "", v, 0, first, 0, "wang_plain"},
        {"wang_2009 wang_2011", "", 2, 0, first, 0, "wang_2009"},
        {"wang_2009 expired", "S_CN=Expired User", i | v, 0, first, expired, ""},
        {"future encipher root", "", v, 0x80, first, usage, ""},
        {"ca_a", "", 0, 0, first, none, ""},
        // clang-format on
    };
    for (const Case& c : cases) {
        std::string what = std::string(c.candidates) + " / " + c.filter + " / " +
                           std::to_string(c.flags) + " / " + std::to_string(c.keyUsage);
        std::vector<PCCERT_CONTEXT> candidates = fixtures_->contexts(words(c.candidates));
        CertList list;
        list.append(CertDuplicateCertificateContext((*fixtures_)["signer"]));
        // What the search hands on is the thread's last error at the points where the
        // platform's search reads it; rendering a name clears it, so a stale value never
        // survives into the result.
        SetLastError(0x1234);
        DWORD platformError = 99;
        ErrorCode code = searchCertificates(enumerateContexts(candidates), &list, ansi(c.filter),
                                            c.flags, c.keyUsage, c.search, platformError);
        EXPECT_EQ(code, c.code) << what;
        EXPECT_EQ(names(list), words(c.accepted)) << what;
        EXPECT_EQ(platformError, 0u) << what;
    }
}

TEST_F(CertSearchTest, NoStoreOrNoList) {
    std::vector<PCCERT_CONTEXT> candidates = fixtures_->contexts({"wang_2009"});
    CertList list;
    DWORD platformError = 5;
    for (CertSearch search : {CertSearch::AllWithMode, CertSearch::FirstOnly}) {
        EXPECT_EQ(searchCertificates({}, &list, "", 0, 0, search, platformError),
                  err::kCertNotFound);
        EXPECT_EQ(platformError, 0u);
        EXPECT_EQ(searchCertificates(enumerateContexts(candidates), nullptr, "", 0, 0, search,
                                     platformError),
                  err::kCertNotFound);
    }
}

// The list holds references of its own: it is emptied by the next search and outlives the
// contexts it was filled from.
TEST_F(CertSearchTest, ListOwnsItsContexts) {
    ByteBuffer der;
    der.loadFromFile(std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/filter/acme.der");
    PCCERT_CONTEXT own = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), der.length());
    ASSERT_NE(own, nullptr);
    std::vector<PCCERT_CONTEXT> first = {own}, second = fixtures_->contexts({"wang_2009"});
    CertList list;
    DWORD platformError = 0;
    ASSERT_EQ(searchCertificates(enumerateContexts(first), &list, "", 0, 0, CertSearch::AllWithMode,
                                 platformError),
              0);
    CertFreeCertificateContext(own);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(CertView(list.at(0)).subjectCN(), "abc");

    ASSERT_EQ(searchCertificates(enumerateContexts(second), &list, "", 0, 0, CertSearch::FirstOnly,
                                 platformError),
              0);
    EXPECT_EQ(names(list), std::vector<std::string>{"wang_2009"});
    list.clear();
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.at(0), nullptr);
}

}  // namespace
