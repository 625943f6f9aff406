// Text helpers that must not follow the process locale: ASCII case folding, hex digits,
// and stepping over the characters of ANSI code-page text. Names of containers, stores
// and providers compare case-insensitively in ASCII only, whatever LC_CTYPE says.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/text/codepage.h"

namespace text {

constexpr char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
constexpr char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline std::string asciiUpper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = asciiUpper(c);
    return out;
}
inline std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = asciiLower(c);
    return out;
}
// Equal apart from the case of ASCII letters; bytes of 0x80 and above compare exactly.
constexpr bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
    return true;
}

inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";
inline constexpr char kLowerHexDigits[] = "0123456789abcdef";
// The value of a hex digit of either case; -1 for any other character.
constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
// Bytes as hex, two digits a byte, upper case unless `lower`.
inline std::string hexOf(const void* data, size_t size, bool lower = false) {
    const char* digits = lower ? kLowerHexDigits : kUpperHexDigits;
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0xF]);
    }
    return out;
}

// The length in bytes (1 or 2) of the code-page character starting at text[pos]: 2 for
// a lead byte followed by another byte, else 1. pos must be inside text.
inline size_t ansiCharLength(std::string_view text, size_t pos, UINT codePage = CP_ACP) {
    return pos + 1 < text.size() && IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[pos])) ? 2
                                                                                             : 1;
}

}  // namespace text
