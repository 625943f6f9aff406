// Hex and Base64 conversions of ByteBuffer. Each encoder knows its output length up
// front and allocates once, so encoding is linear in the input.
#include <openssl/crypto.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/byte_buffer.h"
#include "platform/text/ascii.h"

namespace {

// RFC 4648 section 4 alphabet; position 64 is the padding character.
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr char kArmour[] = "----";

struct DecodeTable {
    BYTE value[256];
    constexpr DecodeTable() : value{} {
        // Characters outside the alphabet take the position after '=' (65).
        for (int i = 0; i < 256; ++i) value[i] = 65;
        for (int i = 0; i < 65; ++i)
            value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<BYTE>(i);
    }
};
constexpr DecodeTable kDecode;

bool skippable(char c) {
    return c == '\r' || c == '\n' || c == ' ';
}

}  // namespace

bool ByteBuffer::encodeHex(const void* src, int32_t count) {
    release();
    if (!src || count < 1 || count > INT32_MAX / 2) return false;
    if (!allocate(count * 2)) return false;
    const auto* s = static_cast<const BYTE*>(src);
    BYTE* out = data_;
    for (int32_t i = 0; i < count; ++i) {
        *out++ = static_cast<BYTE>(text::kUpperHexDigits[s[i] >> 4]);
        *out++ = static_cast<BYTE>(text::kUpperHexDigits[s[i] & 0x0F]);
    }
    return true;
}

namespace {

// Writes the Base64 of `count` bytes (4 * ((count + 2) / 3) characters) at `out`.
void writeBase64(const BYTE* s, size_t count, char* out) {
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        uint32_t v = (uint32_t{s[i]} << 16) | (uint32_t{s[i + 1]} << 8) | s[i + 2];
        *out++ = kAlphabet[(v >> 18) & 63];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
    }
    size_t rest = count - i;
    if (rest > 0) {
        uint32_t v = uint32_t{s[i]} << 16;
        if (rest == 2) v |= uint32_t{s[i + 1]} << 8;
        *out++ = kAlphabet[(v >> 18) & 63];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *out++ = '=';
    }
}

}  // namespace

bool ByteBuffer::encodeBase64(const void* src, int32_t count) {
    release();
    if (!src || count < 1) return false;
    int64_t outLength = 4 * ((static_cast<int64_t>(count) + 2) / 3);
    if (outLength > INT32_MAX) return false;
    if (!allocate(static_cast<int32_t>(outLength))) return false;
    writeBase64(static_cast<const BYTE*>(src), static_cast<size_t>(count),
                reinterpret_cast<char*>(data_));
    return true;
}

bool base64Text(const void* src, size_t count, std::string& out) {
    out.clear();
    if (!src || count < 1 || count > INT32_MAX) return false;
    try {
        out.resize(4 * ((count + 2) / 3));
    } catch (const std::bad_alloc&) {
        return false;
    }
    writeBase64(static_cast<const BYTE*>(src), count, out.data());
    return true;
}

void Base64Appender::add(const void* src, size_t count) {
    const auto* s = static_cast<const BYTE*>(src);
    // A group left open by the last piece is completed first.
    while (carried_ > 0 && carried_ < 3 && count > 0) {
        carry_[carried_++] = *s++;
        --count;
    }
    size_t whole = count / 3 * 3;
    size_t at = out_.size();
    out_.resize(at + (carried_ == 3 ? 4 : 0) + whole / 3 * 4);
    if (carried_ == 3) {
        writeBase64(carry_, 3, out_.data() + at);
        at += 4;
        carried_ = 0;
    }
    writeBase64(s, whole, out_.data() + at);
    for (size_t i = whole; i < count; ++i) carry_[carried_++] = s[i];
}

void Base64Appender::finish() {
    if (carried_ == 0) return;
    size_t at = out_.size();
    out_.resize(at + 4);
    writeBase64(carry_, carried_, out_.data() + at);
    carried_ = 0;
}

bool ByteBuffer::decodeBase64Text(const char* text) {
    release();
    if (!text || !*text) return false;
    const char* body = text;
    const char* end = text + std::strlen(text);
    if (std::strstr(text, kArmour)) {
        // Armour: a header line of dashes, a label and dashes; the body; a footer line
        // opened by dashes. Only the dashes are looked at, never the label.
        const char* p = text;
        while (*p == '-') ++p;
        const char* close = std::strstr(p, kArmour);
        if (!close) return false;
        p = close;
        while (*p == '-' || *p == '\r' || *p == '\n') ++p;
        body = p;
        const char* footer = std::strstr(body, kArmour);
        if (!footer) return false;
        end = footer;
    }
    if (body >= end) return false;

    // At most three bytes for every four characters (plus a partial group).
    size_t maxOut = (static_cast<size_t>(end - body) + 3) / 4 * 3;
    if (maxOut > static_cast<size_t>(INT32_MAX)) return false;
    BYTE* out = static_cast<BYTE*>(std::calloc(maxOut + 2, 1));
    if (!out) return false;
    size_t produced = 0;
    size_t groups = 0;
    const char* p = body;
    for (;;) {
        // Another group starts only while anything but CR, LF and spaces remains.
        const char* q = p;
        while (q < end && skippable(*q)) ++q;
        if (q >= end) break;
        BYTE v[4];
        for (int k = 0; k < 4; ++k) {
            while (p < end && skippable(*p)) ++p;
            v[k] = p < end ? kDecode.value[static_cast<unsigned char>(*p++)] : 64;
        }
        out[produced++] = static_cast<BYTE>(((v[0] & 63) << 2) | ((v[1] & 63) >> 4));
        if (v[2] != 64) {
            out[produced++] = static_cast<BYTE>(((v[1] & 15) << 4) | ((v[2] & 63) >> 2));
            if (v[3] != 64) out[produced++] = static_cast<BYTE>(((v[2] & 3) << 6) | (v[3] & 63));
        }
        ++groups;
    }
    if (groups == 0) {
        std::free(out);
        return false;
    }
    bool ok = assign(out, static_cast<int32_t>(produced));
    OPENSSL_cleanse(out, produced);
    std::free(out);
    return ok;
}
