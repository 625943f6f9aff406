#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "platform/crypt/der_internal.h"
#include "platform/crypt/wincrypt.h"

namespace {

constexpr BYTE kConstructed = 0x20;

// Reads identifier and length octets at p. *length is SIZE_MAX for the indefinite form,
// which only BER constructed elements may use (X.690 section 8.1.3.6).
bool readHeader(const BYTE*& p, const BYTE* end, BYTE& tag, size_t& length, bool allowIndefinite,
                DWORD* error) {
    auto fail = [&](DWORD code) {
        if (error) *error = code;
        return false;
    };
    if (p == end) return fail(CRYPT_E_ASN1_EOD);
    tag = *p++;
    // High tag numbers continue in octets with bit 8 set (X.690 section 8.1.2.4).
    if ((tag & 0x1F) == 0x1F) {
        while (p != end && (*p & 0x80)) ++p;
        if (p == end) return fail(CRYPT_E_ASN1_EOD);
        ++p;
    }
    if (p == end) return fail(CRYPT_E_ASN1_CORRUPT);
    BYTE first = *p++;
    length = 0;
    if (first < 0x80) {
        length = first;
    } else if (first == 0x80) {
        // The indefinite form is not DER (X.690 section 10.1).
        if (!allowIndefinite || !(tag & kConstructed)) return fail(CRYPT_E_ASN1_CORRUPT);
        length = SIZE_MAX;
    } else {
        size_t count = first & 0x7F;
        if (count > 4) return fail(CRYPT_E_ASN1_LARGE);
        if (static_cast<size_t>(end - p) < count) return fail(CRYPT_E_ASN1_CORRUPT);
        for (size_t i = 0; i < count; ++i) length = (length << 8) | *p++;
    }
    if (length != SIZE_MAX && static_cast<size_t>(end - p) < length) return fail(CRYPT_E_ASN1_EOD);
    return true;
}

}  // namespace

bool DerCursor::next(DerElement& out, DWORD* error) {
    const BYTE* p = p_;
    BYTE tag = 0;
    size_t length = 0;
    if (!readHeader(p, end_, tag, length, rules_ == Rules::Ber, error)) return false;
    out.tag = tag;
    out.start = p_;
    out.headerLength = static_cast<size_t>(p - p_);
    out.content = p;
    out.trailerLength = 0;
    if (length != SIZE_MAX) {
        out.length = length;
        p_ = p + length;
        return true;
    }
    // The contents run up to the end-of-contents octets 00 00 of this level (X.690
    // section 8.1.5); elements inside may be indefinite in turn.
    if (depth_ >= kMaxDepth) {
        if (error) *error = CRYPT_E_ASN1_LARGE;
        return false;
    }
    DerCursor inner(p, static_cast<size_t>(end_ - p), rules_, depth_ + 1);
    while (inner.remaining() < 2 || inner.p_[0] != 0 || inner.p_[1] != 0) {
        DerElement child;
        if (!inner.next(child, error)) return false;
    }
    out.length = static_cast<size_t>(inner.p_ - p);
    out.trailerLength = 2;
    p_ = inner.p_ + 2;
    return true;
}

bool DerCursor::expect(BYTE tag, DerElement& out, DWORD* error) {
    const BYTE* before = p_;
    if (!next(out, error)) return false;
    if (out.tag != tag) {
        p_ = before;
        if (error) *error = CRYPT_E_ASN1_BADTAG;
        return false;
    }
    return true;
}

bool derIsOneElement(const BYTE* bytes, size_t size) {
    if (!bytes || size == 0) return false;
    DerCursor cursor(bytes, size);
    DerElement element;
    return cursor.next(element, nullptr) && cursor.atEnd();
}

std::string derOidText(const BYTE* content, size_t length) {
    std::string text;
    if (!content || length == 0) return text;
    bool firstArc = true;
    uint64_t value = 0;
    bool inArc = false;
    for (size_t i = 0; i < length; ++i) {
        BYTE b = content[i];
        // A subidentifier's first octet is never 0x80 (X.690 section 8.19.2).
        if (!inArc && b == 0x80) return {};
        if (value > (UINT64_MAX >> 7)) return {};
        value = (value << 7) | (b & 0x7F);
        inArc = (b & 0x80) != 0;
        if (inArc) continue;
        if (firstArc) {
            // The first subidentifier packs the first two arcs (X.690 section 8.19.4).
            uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
            text = std::to_string(top);
            value -= top * 40;
            firstArc = false;
        }
        text += '.';
        text += std::to_string(value);
        value = 0;
    }
    if (inArc) return {};
    return text;
}

// ---- writing

void derAppendHeader(DerBytes& out, BYTE tag, size_t length) {
    out.push_back(tag);
    if (length < 0x80) {
        out.push_back(static_cast<BYTE>(length));
    } else {
        BYTE octets[sizeof(size_t)];
        size_t count = 0;
        for (size_t n = length; n; n >>= 8) octets[count++] = static_cast<BYTE>(n & 0xFF);
        out.push_back(static_cast<BYTE>(0x80 | count));
        while (count) out.push_back(octets[--count]);
    }
}

size_t derElementSize(size_t length) {
    size_t header = 2;  // the tag and the short form, or the long form's count
    if (length >= 0x80)
        for (size_t n = length; n; n >>= 8) ++header;
    return header + length;
}

void derAppend(DerBytes& out, BYTE tag, const BYTE* content, size_t length) {
    derAppendHeader(out, tag, length);
    if (length) out.insert(out.end(), content, content + length);
}

DerBytes derElement(BYTE tag, const DerBytes& content) {
    DerBytes out;
    out.reserve(content.size() + 6);
    derAppend(out, tag, content);
    return out;
}

namespace {

// Base-128 digits, most significant first, bit 8 set on all but the last (X.690
// section 8.19.2).
void appendSubidentifier(DerBytes& out, uint64_t value) {
    BYTE digits[10];
    size_t count = 0;
    do {
        digits[count++] = static_cast<BYTE>(value & 0x7F);
        value >>= 7;
    } while (value);
    while (count > 1) out.push_back(static_cast<BYTE>(digits[--count] | 0x80));
    out.push_back(digits[0]);
}

}  // namespace

bool derAppendOid(DerBytes& out, std::string_view dotted) {
    std::vector<uint64_t> arcs;
    size_t pos = 0;
    while (pos <= dotted.size()) {
        size_t dot = dotted.find('.', pos);
        if (dot == std::string_view::npos) dot = dotted.size();
        std::string_view arc = dotted.substr(pos, dot - pos);
        uint64_t value = 0;
        auto [end, ec] = std::from_chars(arc.data(), arc.data() + arc.size(), value);
        if (arc.empty() || ec != std::errc() || end != arc.data() + arc.size()) return false;
        arcs.push_back(value);
        pos = dot + 1;
    }
    // The first two arcs share one subidentifier (X.690 section 8.19.4).
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) ||
        arcs[1] > UINT64_MAX - 80)
        return false;
    DerBytes content;
    appendSubidentifier(content, arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) appendSubidentifier(content, arcs[i]);
    derAppend(out, kDerOid, content);
    return true;
}

void derAppendSetOf(DerBytes& out, BYTE tag, std::vector<DerBytes> members) {
    // Lexicographic order puts a prefix first, which is the padding rule of 11.6 for
    // encodings that are complete elements. Compared through sizes rather than
    // vector's operator<, whose inlined length arithmetic GCC 12 at -O3 takes for a
    // negative memcmp bound.
    std::sort(members.begin(), members.end(), [](const DerBytes& a, const DerBytes& b) {
        size_t common = std::min(a.size(), b.size());
        int order = common ? std::memcmp(a.data(), b.data(), common) : 0;
        return order < 0 || (order == 0 && a.size() < b.size());
    });
    DerBytes content;
    for (const DerBytes& m : members) content.insert(content.end(), m.begin(), m.end());
    derAppend(out, tag, content);
}
