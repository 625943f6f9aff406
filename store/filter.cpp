#include "store/filter.h"

#include <algorithm>
#include <utility>

#include "core/cert_view.h"
#include "platform/codepage.h"
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
        return pos + 1 < text.size() && IsDBCSLeadByteEx(codePage_, static_cast<BYTE>(text[pos]))
                   ? 2
                   : 1;
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
            if (na == 1 ? lower(a[i]) != lower(b[j]) : a.compare(i, 2, b, j, 2) != 0) return false;
            i += na;
            j += nb;
        }
        return i == a.size() && j == b.size();
    }

  private:
    static bool isBlank(char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }
    static char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

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

// The name test: no alternatives pass everything; otherwise the first alternative that
// matches decides. With kFilterMatchIssuer both sides are matched filter-driven (and both
// are evaluated); without it only the subject, certificate-driven.
bool nameMatches(const std::vector<Alternative>& alternatives, CertItems& items, int32_t dwFlags) {
    if (alternatives.empty()) return true;
    for (const Alternative& alternative : alternatives) {
        if (dwFlags & kFilterMatchIssuer) {
            bool issuer = MatchByFilter(alternative.issuer, items.issuer());
            bool subject = MatchByFilter(alternative.subject, items.subject());
            if (issuer && subject) return true;
        } else if (MatchByCertificate(alternative.subject, items.subject())) {
            return true;
        }
    }
    return false;
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

bool MatchByFilter(const std::vector<std::string>& filterItems,
                   const std::vector<std::string>& certItems) {
    if (filterItems.empty()) return true;
    if (certItems.empty()) return false;
    AnsiChars chars;
    bool answer = false;
    for (const std::string& item : filterItems) {
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
        if (std::none_of(certItems.begin(), certItems.end(), found)) return false;
        answer = true;
    }
    return answer;
}

bool MatchByCertificate(const std::vector<std::string>& filterItems,
                        const std::vector<std::string>& certItems) {
    if (filterItems.empty()) return true;
    if (certItems.empty()) return false;
    bool answer = false;
    for (const std::string& cert : certItems) {
        Kind kind = kindOf(cert);
        if (kind == Kind::Other || kind == Kind::SN) continue;
        if (std::find(filterItems.begin(), filterItems.end(), cert) == filterItems.end())
            return false;
        answer = true;
    }
    return answer;
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
    const uint32_t usage = static_cast<uint32_t>(dwKeyUsage);

    std::vector<Alternative> alternatives;
    if (!filter.empty())
        for (const std::string& text : SplitAlternatives(filter))
            alternatives.push_back({SplitItems(text, "S_"), SplitItems(text, "I_")});

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
        if (!view.valid() || view.isCaLike()) continue;
        if (dwKeyUsage > 0 && (view.keyUsage() & usage) != usage) {
            reject(err::kCertUsage, GetLastError());
            continue;
        }
        CertItems items(view);
        if (!nameMatches(alternatives, items, dwFlags)) continue;
        if (dwFlags & kFilterCheckValidity) {
            LONG when = CertVerifyTimeValidity(nullptr, context->pCertInfo);
            DWORD lastError = GetLastError();
            if (firstOnly) platformError = lastError;
            if (when != 0) {
                reject(when > 0 ? err::kCertExpired : err::kCertNotYetValid, lastError);
                continue;
            }
        }
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
