#include "platform/der.h"

#include "platform/wincrypt.h"

bool DerCursor::next(DerElement& out, DWORD* error) {
    auto fail = [&](DWORD code) {
        if (error) *error = code;
        return false;
    };
    const BYTE* p = p_;
    if (p == end_) return fail(CRYPT_E_ASN1_EOD);
    BYTE tag = *p++;
    // High tag numbers continue in octets with bit 8 set (X.690 section 8.1.2.4).
    if ((tag & 0x1F) == 0x1F) {
        while (p != end_ && (*p & 0x80)) ++p;
        if (p == end_) return fail(CRYPT_E_ASN1_EOD);
        ++p;
    }
    if (p == end_) return fail(CRYPT_E_ASN1_CORRUPT);
    BYTE first = *p++;
    size_t length = 0;
    if (first < 0x80) {
        length = first;
    } else if (first == 0x80) {
        // The indefinite form is not DER (X.690 section 10.1).
        return fail(CRYPT_E_ASN1_CORRUPT);
    } else {
        size_t count = first & 0x7F;
        if (count > 4) return fail(CRYPT_E_ASN1_LARGE);
        if (static_cast<size_t>(end_ - p) < count) return fail(CRYPT_E_ASN1_CORRUPT);
        for (size_t i = 0; i < count; ++i) length = (length << 8) | *p++;
    }
    if (static_cast<size_t>(end_ - p) < length) return fail(CRYPT_E_ASN1_EOD);
    out.tag = tag;
    out.start = p_;
    out.headerLength = static_cast<size_t>(p - p_);
    out.content = p;
    out.length = length;
    p_ = p + length;
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
            text = std::to_string(top) + "." + std::to_string(value - top * 40);
            firstArc = false;
        } else {
            text += "." + std::to_string(value);
        }
        value = 0;
    }
    if (inArc) return {};
    return text;
}
