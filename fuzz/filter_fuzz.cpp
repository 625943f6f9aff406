// The certificate filter on arbitrary text under Big5 and UTF-8: cutting it into
// alternatives and items, both matching directions against fixed certificates' names,
// and the two store searches over a fixed set of certificates, whose answers must agree
// with each other.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/cert_view.h"
#include "fuzz/fuzz_support.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"
#include "store/filter.h"

namespace {

// Leaves (a plain ASCII one, Big5 names, a comma inside a value, a name without C or O),
// a CA, certificates without the signature bit and outside their validity.
const char* const kCertificates[] = {"wang_2011", "wang_2010", "big5",     "acme",    "wang_plain",
                                     "ca_a",      "no_usage",  "encipher", "expired", "future"};

// The fixed certificates, released at exit.
struct Certificates {
    std::vector<PCCERT_CONTEXT> contexts;
    ~Certificates() {
        for (PCCERT_CONTEXT c : contexts) CertFreeCertificateContext(c);
    }
};

std::vector<PCCERT_CONTEXT>& certificates() {
    static Certificates fixed;
    return fixed.contexts;
}

struct NameItems {
    std::vector<std::string> subject, issuer;
};

// The fixed certificates' name items under a code page, cut once.
const std::vector<NameItems>& nameItems(UINT codePage) {
    static std::vector<NameItems> big5, utf8;
    std::vector<NameItems>& items = codePage == CP_UTF8 ? utf8 : big5;
    if (items.empty()) {
        for (PCCERT_CONTEXT context : certificates()) {
            CertView view(context);
            items.push_back({SplitItems(view.subject(), ""), SplitItems(view.issuer(), "")});
        }
    }
    return items;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Items are trimmed: neither the first nor the last character is a single-byte blank. A
// double-byte character may end in any byte (a lead byte takes the byte after it).
void checkItems(const std::vector<std::string>& items) {
    const UINT codePage = GetACP();
    for (const std::string& item : items) {
        if (item.empty()) continue;
        size_t last = 0;
        for (size_t i = 0; i < item.size();) {
            last = i;
            i += i + 1 < item.size() && IsDBCSLeadByteEx(codePage, static_cast<BYTE>(item[i])) ? 2
                                                                                               : 1;
        }
        FUZZ_CHECK(!isBlank(item.front()));
        FUZZ_CHECK(last + 1 < item.size() || !isBlank(item[last]));
    }
}

void checkPrefixed(const std::vector<std::string>& kept, const std::vector<std::string>& all,
                   const std::string& prefix) {
    std::vector<std::string> expected;
    for (const std::string& item : all)
        if (item.compare(0, prefix.size(), prefix) == 0)
            expected.push_back(item.substr(prefix.size()));
    FUZZ_CHECK(kept == expected);
}

bool sameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded &&
           std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

bool allowedCode(ErrorCode code) {
    return code == err::kSuccess || code == err::kCertNotFound || code == err::kCertExpired ||
           code == err::kCertNotYetValid || code == err::kCertUsage;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    for (const char* name : kCertificates) {
        std::vector<uint8_t> der =
            fuzz::sourceFile(std::string("tests/fixtures/filter/") + name + ".der");
        PCCERT_CONTEXT context = CertCreateCertificateContext(
            X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
        FUZZ_CHECK(context != nullptr);
        certificates().push_back(context);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const int32_t dwFlags = input.ConsumeIntegral<uint8_t>();
    const int32_t dwKeyUsage = input.ConsumeIntegral<int8_t>();
    const UINT codePage = input.ConsumeBool() ? CP_UTF8 : 950;
    const std::string filter = input.ConsumeRemainingBytesAsString();
    SetProcessAnsiCodePage(codePage);

    for (const std::string& alternative : SplitAlternatives(filter)) {
        FUZZ_CHECK(alternative.size() > 3);
        FUZZ_CHECK(filter.find(alternative) != std::string::npos);
        std::vector<std::string> subject = SplitItems(alternative, "S_");
        std::vector<std::string> issuer = SplitItems(alternative, "I_");
        std::vector<std::string> all = SplitItems(alternative, "");
        checkItems(all);
        // The prefix is taken off trimmed items: what follows it stays as written.
        checkPrefixed(subject, all, "S_");
        checkPrefixed(issuer, all, "I_");
        for (const NameItems& names : nameItems(codePage)) {
            MatchByFilter(subject, names.subject);
            MatchByFilter(issuer, names.issuer);
            MatchByCertificate(subject, names.subject);
        }
    }

    // The whole filter as one certificate name, too: names hold the same separators.
    checkItems(SplitItems(filter, ""));

    DWORD platformError = 0;
    CertList all, first, modeZero;
    ErrorCode allCode = searchCertificates(enumerateContexts(certificates()), &all, filter, dwFlags,
                                           dwKeyUsage, CertSearch::AllWithMode, platformError);
    ErrorCode firstCode =
        searchCertificates(enumerateContexts(certificates()), &first, filter, dwFlags, dwKeyUsage,
                           CertSearch::FirstOnly, platformError);
    ErrorCode zeroCode = searchCertificates(enumerateContexts(certificates()), &modeZero, filter,
                                            dwFlags & ~kFilterModeMask, dwKeyUsage,
                                            CertSearch::AllWithMode, platformError);
    for (ErrorCode code : {allCode, firstCode, zeroCode}) FUZZ_CHECK(allowedCode(code));
    FUZZ_CHECK((allCode == err::kSuccess) == !all.empty());
    FUZZ_CHECK((firstCode == err::kSuccess) == !first.empty());
    FUZZ_CHECK((zeroCode == err::kSuccess) == !modeZero.empty());
    FUZZ_CHECK(first.size() <= 1);
    if ((dwFlags & kFilterModeMask) == kFilterModeBest)
        FUZZ_CHECK(all.size() <= 1);
    else
        FUZZ_CHECK(all.size() == modeZero.size() && allCode == zeroCode);

    // The PFX search takes the first certificate that the personal-store search accepts,
    // and mode 2's best is one of them.
    FUZZ_CHECK(first.empty() == modeZero.empty());
    if (!first.empty()) FUZZ_CHECK(sameCertificate(first.at(0), modeZero.at(0)));
    for (PCCERT_CONTEXT accepted : all)
        FUZZ_CHECK(std::any_of(modeZero.begin(), modeZero.end(),
                               [&](PCCERT_CONTEXT c) { return sameCertificate(c, accepted); }));
    for (PCCERT_CONTEXT accepted : modeZero) {
        CertView view(accepted);
        FUZZ_CHECK(view.valid() && !view.isCaLike());
        if (dwKeyUsage > 0)
            FUZZ_CHECK((view.keyUsage() & static_cast<uint32_t>(dwKeyUsage)) ==
                       static_cast<uint32_t>(dwKeyUsage));
    }
    return 0;
}
