#include "store/filter.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "core/cert_view.h"
#include "platform/text/ascii.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"

namespace {

constexpr size_t npos = std::string_view::npos;

// Walks narrow text by whole characters of the ANSI code page in force when it was made.
// A lead byte with a byte after it is one two-byte character, whatever that byte is, as
// the platform's multi-byte string functions take it; a lead byte at the very end stands
// alone.
class AnsiChars {
  public:
    AnsiChars() : codePage_(GetACP()) {}

    size_t length(std::string_view text, size_t pos) const {
        return text::ansiCharLength(text, pos, codePage_);
    }

    // True when `needle` stands at the character boundary `pos` of `text` as whole
    // characters: its last byte may not be the lead byte of a character of `text`.
    bool matchesAt(std::string_view text, size_t pos, std::string_view needle) const {
        size_t j = 0;
        while (j < needle.size()) {
            if (pos >= text.size()) return false;
            size_t lt = length(text, pos), ln = length(needle, j);
            if (lt != ln || text.compare(pos, lt, needle, j, ln) != 0) return false;
            pos += lt;
            j += ln;
        }
        return true;
    }

    // The first character boundary at or after `from` (itself a boundary) where `needle`
    // stands, or npos. An empty needle is never found.
    size_t find(std::string_view text, std::string_view needle, size_t from = 0) const {
        if (needle.empty()) return npos;
        for (size_t i = from; i < text.size(); i += length(text, i))
            if (matchesAt(text, i, needle)) return i;
        return npos;
    }

    // Every non-overlapping occurrence of `from`, left to right, replaced by `to`.
    std::string replaceAll(std::string_view text, std::string_view from,
                           std::string_view to) const {
        std::string out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size();) {
            if (matchesAt(text, i, from)) {
                out += to;
                i += from.size();
            } else {
                size_t n = length(text, i);
                out.append(text, i, n);
                i += n;
            }
        }
        return out;
    }

    // Calls `piece` with each non-empty piece of `text` between single-byte `separator`s.
    template <typename Piece>
    void split(std::string_view text, char separator, Piece piece) const {
        size_t start = 0;
        for (size_t i = 0; i <= text.size();) {
            if (i == text.size() || text[i] == separator) {
                if (i > start) piece(text.substr(start, i - start));
                start = ++i;
            } else {
                i += length(text, i);
            }
        }
    }

    std::string_view trim(std::string_view text) const {
        size_t begin = npos, end = 0;
        for (size_t i = 0; i < text.size();) {
            size_t n = length(text, i);
            if (n == 2 || !isBlank(text[i])) {
                if (begin == npos) begin = i;
                end = i + n;
            }
            i += n;
        }
        return begin == npos ? std::string_view() : text.substr(begin, end - begin);
    }

    // Equal ignoring the case of single-byte ASCII letters; the bytes of double-byte
    // characters must be equal as they are.
    bool equalIgnoringCase(std::string_view a, std::string_view b) const {
        size_t i = 0, j = 0;
        while (i < a.size() && j < b.size()) {
            size_t na = length(a, i), nb = length(b, j);
            if (na != nb) return false;
            if (na == 1 ? text::asciiLower(a[i]) != text::asciiLower(b[j])
                        : a.compare(i, 2, b, j, 2) != 0)
                return false;
            i += na;
            j += nb;
        }
        return i == a.size() && j == b.size();
    }

  private:
    static bool isBlank(char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }

    UINT codePage_;
};

bool startsWith(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

enum class Kind { C, O, OU, CN, SN, Other };

// The kind of an item by how it begins, tested in this order.
Kind kindOf(std::string_view item) {
    if (startsWith(item, "C=")) return Kind::C;
    if (startsWith(item, "O=")) return Kind::O;
    if (startsWith(item, "OU=")) return Kind::OU;
    if (startsWith(item, "CN=")) return Kind::CN;
    if (startsWith(item, "SN=")) return Kind::SN;
    return Kind::Other;
}

using Items = std::vector<std::string>;

// One alternative of a filter, cut into its subject and issuer items once per search.
struct Alternative {
    Items subject;
    Items issuer;
};

// The name items of one candidate, made on first use: the subject's items with the serial
// item "SN=<hex>" behind them, and the issuer's.
class CertItems {
  public:
    explicit CertItems(const CertView& view) : view_(view) {}

    const Items& subject() {
        if (!subjectMade_) {
            subject_ = SplitItems(view_.subject(), "");
            subject_.push_back("SN=" + view_.serialHex());
            subjectMade_ = true;
        }
        return subject_;
    }
    const Items& issuer() {
        if (!issuerMade_) {
            issuer_ = SplitItems(view_.issuer(), "");
            issuerMade_ = true;
        }
        return issuer_;
    }

  private:
    const CertView& view_;
    Items subject_, issuer_;
    bool subjectMade_ = false, issuerMade_ = false;
};

// How one alternative's name test went: the subject side and, with kFilterMatchIssuer,
// the issuer side (which otherwise stays a match).
struct AlternativeTest {
    NameTest subject, issuer;
};

// The name test: no alternatives pass everything; otherwise the first alternative that
// matches decides. With kFilterMatchIssuer both sides are matched filter-driven (and both
// are evaluated); without it only the subject, certificate-driven. `tests`, when given,
// receives the outcome of each alternative tried.
bool nameMatches(const std::vector<Alternative>& alternatives, CertItems& items, int32_t dwFlags,
                 std::vector<AlternativeTest>* tests) {
    if (alternatives.empty()) return true;
    for (const Alternative& alternative : alternatives) {
        AlternativeTest test;
        if (dwFlags & kFilterMatchIssuer) {
            test.issuer = testByFilter(alternative.issuer, items.issuer());
            test.subject = testByFilter(alternative.subject, items.subject());
        } else {
            test.subject = testByCertificate(alternative.subject, items.subject());
        }
        if (tests) tests->push_back(test);
        if (test.subject.matched() && test.issuer.matched()) return true;
    }
    return false;
}

std::vector<Alternative> alternativesOf(std::string_view filter) {
    std::vector<Alternative> alternatives;
    if (!filter.empty())
        for (const std::string& text : SplitAlternatives(filter))
            alternatives.push_back({SplitItems(text, "S_"), SplitItems(text, "I_")});
    return alternatives;
}

// One candidate through the tests of a search, in the search's order. The last-error
// value is read where the platform's search reads it: after a key-usage rejection and
// after the validity test.
struct Screening {
    FilterStep step = FilterStep::Accepted;
    DWORD lastError = 0;
    bool validityTested = false;
};

Screening screen(PCCERT_CONTEXT context, const CertView& view,
                 const std::vector<Alternative>& alternatives, CertItems& items, int32_t dwFlags,
                 int32_t dwKeyUsage, std::vector<AlternativeTest>* tests = nullptr) {
    Screening s;
    const uint32_t usage = static_cast<uint32_t>(dwKeyUsage);
    if (!view.valid()) {
        s.step = FilterStep::Unreadable;
    } else if (view.isCaLike()) {
        s.step = FilterStep::CaLike;
    } else if (dwKeyUsage > 0 && (view.keyUsage() & usage) != usage) {
        s.step = FilterStep::KeyUsage;
        s.lastError = GetLastError();
    } else if (!nameMatches(alternatives, items, dwFlags, tests)) {
        s.step = FilterStep::Name;
    } else if (dwFlags & kFilterCheckValidity) {
        LONG when = CertVerifyTimeValidity(nullptr, context->pCertInfo);
        s.lastError = GetLastError();
        s.validityTested = true;
        if (when != 0) s.step = when > 0 ? FilterStep::Expired : FilterStep::NotYetValid;
    }
    return s;
}

// Mode 2's order: whether a certificate with these validity texts ("YYYY/MM/DD hh:mm:ss",
// local time, so text order is time order) beats the best so far. Ties keep the earlier.
bool isBetter(int32_t dwFlags, const std::string& start, const std::string& end,
              const std::string& bestStart, const std::string& bestEnd) {
    if (dwFlags & kFilterEarliestStart) return bestStart.empty() || start < bestStart;
    if (dwFlags & kFilterLatestEnd) return bestEnd.empty() || end > bestEnd;
    if (dwFlags & kFilterEarliestEnd) return bestEnd.empty() || end < bestEnd;
    return bestStart.empty() || start > bestStart;
}

// The context the enumeration stands at; released when the search leaves it behind by
// stopping early or by an exception.
class Cursor {
  public:
    explicit Cursor(const CertEnumerator& next) : next_(next) {}
    ~Cursor() { CertFreeCertificateContext(current_); }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    PCCERT_CONTEXT advance() {
        current_ = next_(std::exchange(current_, nullptr));
        return current_;
    }

  private:
    const CertEnumerator& next_;
    PCCERT_CONTEXT current_ = nullptr;
};

}  // namespace

std::vector<std::string> SplitAlternatives(std::string_view filter) {
    std::vector<std::string> alternatives;
    if (filter.size() < 2) return alternatives;
    AnsiChars chars;
    auto keep = [&](std::string_view piece) {
        if (piece.size() > 3) alternatives.emplace_back(piece);
    };
    size_t start = 0;
    for (size_t cut; (cut = chars.find(filter, "//", start)) != npos; start = cut + 2)
        keep(filter.substr(start, cut - start));
    keep(filter.substr(start));
    return alternatives;
}

std::vector<std::string> SplitItems(std::string_view text, std::string_view prefix) {
    std::vector<std::string> items;
    if (text.empty()) return items;
    AnsiChars chars;
    std::string normal = chars.replaceAll(text, "\\n", ",");
    normal = chars.replaceAll(normal, "\r", "");
    normal = chars.replaceAll(normal, "\n", ",");
    normal = chars.replaceAll(normal, " =", "=");
    normal = chars.replaceAll(normal, "= ", "=");

    std::string current;
    auto flush = [&] {
        if (!current.empty()) items.emplace_back(chars.trim(current));
        current.clear();
    };
    chars.split(normal, ',', [&](std::string_view token) {
        size_t eq = chars.find(token, "=");
        if (eq != npos && eq > 0) {
            flush();
            current = token;
        } else {
            if (!current.empty()) current += ',';
            current += token;
        }
    });
    flush();

    if (!prefix.empty()) {
        std::vector<std::string> kept;
        for (std::string& item : items)
            if (startsWith(item, prefix)) kept.push_back(item.substr(prefix.size()));
        items = std::move(kept);
    }
    return items;
}

NameTest testByFilter(const std::vector<std::string>& filterItems,
                      const std::vector<std::string>& certItems) {
    if (filterItems.empty()) return {};
    if (certItems.empty()) return {NameTest::Outcome::NoCertificateItems};
    AnsiChars chars;
    bool answer = false;
    for (size_t i = 0; i < filterItems.size(); ++i) {
        const std::string& item = filterItems[i];
        Kind kind = kindOf(item);
        if (kind == Kind::Other) continue;
        auto found = [&](const std::string& cert) {
            switch (kind) {
                case Kind::CN: {
                    // A substring test: "CN=小明" finds "CN=王小明", and the value may
                    // not stand at the very start of the certificate item.
                    std::string_view value = std::string_view(item).substr(3);
                    return !cert.empty() && chars.find(cert, "CN=") != npos &&
                           chars.find(cert, value, chars.length(cert, 0)) != npos;
                }
                case Kind::SN:
                    return chars.find(cert, "SN=") != npos && chars.equalIgnoringCase(cert, item);
                default:  // C, O, OU: the whole item, byte for byte
                    return cert == item;
            }
        };
        if (std::none_of(certItems.begin(), certItems.end(), found))
            return {NameTest::Outcome::Missing, i};
        answer = true;
    }
    return answer ? NameTest{} : NameTest{NameTest::Outcome::NothingCompared};
}

NameTest testByCertificate(const std::vector<std::string>& filterItems,
                           const std::vector<std::string>& certItems) {
    if (filterItems.empty()) return {};
    if (certItems.empty()) return {NameTest::Outcome::NoCertificateItems};
    bool answer = false;
    for (size_t i = 0; i < certItems.size(); ++i) {
        const std::string& cert = certItems[i];
        Kind kind = kindOf(cert);
        if (kind == Kind::Other || kind == Kind::SN) continue;
        if (std::find(filterItems.begin(), filterItems.end(), cert) == filterItems.end())
            return {NameTest::Outcome::Missing, i};
        answer = true;
    }
    return answer ? NameTest{} : NameTest{NameTest::Outcome::NothingCompared};
}

bool MatchByFilter(const std::vector<std::string>& filterItems,
                   const std::vector<std::string>& certItems) {
    return testByFilter(filterItems, certItems).matched();
}

bool MatchByCertificate(const std::vector<std::string>& filterItems,
                        const std::vector<std::string>& certItems) {
    return testByCertificate(filterItems, certItems).matched();
}

CertEnumerator enumerateStore(PCCERT_CONTEXT (*enumerate)(HCERTSTORE, PCCERT_CONTEXT),
                              HCERTSTORE store) {
    if (!enumerate || !store) return {};
    return [enumerate, store](PCCERT_CONTEXT previous) { return enumerate(store, previous); };
}

bool listDialogChooses(int32_t dwFlags, size_t count) {
    switch (dwFlags & kFilterModeMask) {
        case 1:
            return true;
        case kFilterModeBest:
            return false;
        default:
            return count >= 2;
    }
}

CertEnumerator enumerateContexts(const std::vector<PCCERT_CONTEXT>& contexts) {
    return [&contexts, next = size_t{0}](PCCERT_CONTEXT previous) mutable -> PCCERT_CONTEXT {
        if (previous)
            CertFreeCertificateContext(previous);
        else
            next = 0;
        while (next < contexts.size())
            if (PCCERT_CONTEXT context = contexts[next++])
                return CertDuplicateCertificateContext(context);
        return nullptr;
    };
}

ErrorCode searchCertificates(const CertEnumerator& candidates, CertList* list,
                             std::string_view filter, int32_t dwFlags, int32_t dwKeyUsage,
                             CertSearch search, DWORD& platformError) {
    platformError = 0;
    if (!candidates || !list) return err::kCertNotFound;
    list->clear();
    const bool firstOnly = search == CertSearch::FirstOnly;
    const bool bestOnly = !firstOnly && (dwFlags & kFilterModeMask) == kFilterModeBest;
    const std::vector<Alternative> alternatives = alternativesOf(filter);

    ErrorCode result = err::kSuccess;
    // A rejection's reason counts for the personal store only while nothing is accepted,
    // and there it comes with the last error; a PFX search keeps the last reason it met.
    auto reject = [&](ErrorCode reason, DWORD lastError) {
        if (firstOnly) {
            result = reason;
        } else if (list->empty()) {
            result = reason;
            platformError = lastError;
        }
    };
    std::string bestStart, bestEnd;

    Cursor cursor(candidates);
    while (PCCERT_CONTEXT context = cursor.advance()) {
        CertView view(context);
        CertItems items(view);
        Screening s = screen(context, view, alternatives, items, dwFlags, dwKeyUsage);
        if (firstOnly && s.validityTested) platformError = s.lastError;
        if (s.step == FilterStep::KeyUsage) reject(err::kCertUsage, s.lastError);
        if (s.step == FilterStep::Expired) reject(err::kCertExpired, s.lastError);
        if (s.step == FilterStep::NotYetValid) reject(err::kCertNotYetValid, s.lastError);
        // Unreadable, CA-like and unnamed certificates are passed over without a reason.
        if (s.step != FilterStep::Accepted) continue;
        if (firstOnly) {
            list->append(CertDuplicateCertificateContext(context));
            return err::kSuccess;
        }
        if (!bestOnly) {
            list->append(CertDuplicateCertificateContext(context));
            platformError = GetLastError();
            result = err::kSuccess;
            continue;
        }
        std::string start = view.notBeforeDateTime(), end = view.notAfterDateTime();
        bool better = isBetter(dwFlags, start, end, bestStart, bestEnd);
        platformError = GetLastError();
        if (!better) continue;
        bestStart = std::move(start);
        bestEnd = std::move(end);
        list->clear();
        list->append(CertDuplicateCertificateContext(context));
        result = err::kSuccess;
    }
    if (result == err::kSuccess && list->empty()) {
        result = err::kCertNotFound;
        if (!firstOnly) platformError = GetLastError();
    }
    return result;
}

namespace {

std::string quoted(std::string_view text) {
    std::string out = "\"";
    out += text;
    out += '"';
    return out;
}

// The kind of an item as written before its "=" ("CN" for "CN=abc").
std::string_view kindText(std::string_view item) {
    return item.substr(0, item.find('='));
}

// The values of the items of one kind, quoted and joined with ", ".
std::string valuesOfKind(const Items& items, std::string_view kind) {
    std::string joined;
    for (const std::string& item : items) {
        if (kindText(item) != kind) continue;
        if (!joined.empty()) joined += ", ";
        joined += quoted(std::string_view(item).substr(kind.size() + 1));
    }
    return joined;
}

struct Miss {
    std::string label, reason;
};

// Why one side of an alternative (`prefix` "S_" or "I_") did not match.
Miss describeMiss(const NameTest& test, const char* prefix, const char* side,
                  const Items& filterItems, const Items& certItems, bool filterDriven) {
    Miss miss{prefix, ""};
    const std::string sideName(side);
    switch (test.outcome) {
        case NameTest::Outcome::Match:
            break;
        case NameTest::Outcome::NoCertificateItems:
            miss.reason = "the " + sideName + " has no name items to compare";
            break;
        case NameTest::Outcome::NothingCompared:
            miss.reason = filterDriven ? std::string("no ") + prefix +
                                             " item of a compared kind (C, O, OU, CN, SN)"
                                       : "the " + sideName + " has no C, O, OU or CN to compare";
            break;
        case NameTest::Outcome::Missing: {
            const std::string& item = filterDriven ? filterItems[test.item] : certItems[test.item];
            std::string kind(kindText(item));
            std::string value = quoted(std::string_view(item).substr(kind.size() + 1));
            miss.label += kind;
            if (!filterDriven) {
                std::string named = valuesOfKind(filterItems, kind);
                miss.reason = sideName + " " + kind + " " + value + " is not named in the filter";
                if (!named.empty()) miss.reason += " (it names " + named + ")";
                miss.reason +=
                    "; without flag 0x8 every C, O, OU and CN of the subject must be "
                    "named exactly";
                break;
            }
            std::string present = valuesOfKind(certItems, kind);
            if (present.empty()) {
                miss.reason = sideName + " has no " + kind;
            } else if (kind == "CN") {
                miss.reason = value + " not in " + sideName + " CN " + present;
            } else {
                miss.reason = value + " is not " + sideName + " " + kind + " " + present +
                              (kind == "SN" ? " (whole value, any letter case)" : " (whole value)");
            }
            break;
        }
    }
    return miss;
}

std::string hexByte(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

}  // namespace

FilterExplanation explainFilter(PCCERT_CONTEXT certificate, std::string_view filter,
                                int32_t dwFlags, int32_t dwKeyUsage) {
    FilterExplanation e;
    CertView view(certificate);
    CertItems items(view);
    const std::vector<Alternative> alternatives = alternativesOf(filter);
    std::vector<AlternativeTest> tests;
    e.step = screen(certificate, view, alternatives, items, dwFlags, dwKeyUsage, &tests).step;
    const uint32_t usage = static_cast<uint32_t>(dwKeyUsage);
    switch (e.step) {
        case FilterStep::Accepted:
            break;
        case FilterStep::Unreadable:
            e.label = "CERTIFICATE";
            e.reason = "the certificate cannot be read";
            break;
        case FilterStep::CaLike:
            e.label = "CA";
            e.reason = view.subject() == view.issuer()
                           ? "self-issued (subject equals issuer): never offered"
                           : "key usage " + hexByte(view.keyUsage()) +
                                 " allows signing certificates or CRLs: never offered";
            break;
        case FilterStep::KeyUsage:
            e.label = "KEY_USAGE";
            e.reason = "key usage " + hexByte(view.keyUsage()) + " lacks " +
                       hexByte(usage & ~view.keyUsage()) + " of the wanted " + hexByte(usage);
            break;
        case FilterStep::Name: {
            const bool filterDriven = (dwFlags & kFilterMatchIssuer) != 0;
            for (size_t i = 0; i < tests.size(); ++i) {
                const bool subjectMissed = !tests[i].subject.matched();
                Miss miss =
                    subjectMissed
                        ? describeMiss(tests[i].subject, "S_", "subject", alternatives[i].subject,
                                       items.subject(), filterDriven)
                        : describeMiss(tests[i].issuer, "I_", "issuer", alternatives[i].issuer,
                                       items.issuer(), true);
                if (i == 0) e.label = miss.label;
                if (i > 0) e.reason += "; ";
                if (tests.size() > 1)
                    e.reason += "alternative " + std::to_string(i + 1) + ": " + miss.label + ": ";
                e.reason += miss.reason;
            }
            break;
        }
        case FilterStep::Expired:
            e.label = "VALIDITY";
            e.reason = "expired: valid until " + view.notAfterDateTime();
            break;
        case FilterStep::NotYetValid:
            e.label = "VALIDITY";
            e.reason = "not yet valid: valid from " + view.notBeforeDateTime();
            break;
    }
    return e;
}
