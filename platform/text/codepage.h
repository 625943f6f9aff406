// Code-page conversions between UTF-16 and narrow text, with the platform's call
// shapes. The process ANSI code page (CP_ACP) is $KSCAPI_ACP, 950 (Big5) by default.
#pragma once

#include <string>
#include <string_view>

#include "platform/system/types.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_UTF8 = 65001;

// The process's ANSI code page: the value set by SetProcessAnsiCodePage, else
// $KSCAPI_ACP read on first use, else 950.
UINT GetACP();
// Replaces the process's ANSI code page (hosts and tests). Returns false, changing
// nothing, for a code page the layer cannot convert.
bool SetProcessAnsiCodePage(UINT codePage);
// True when the layer can convert the code page.
bool IsValidCodePage(UINT codePage);

// UTF-16 to narrow text. cchWideChar -1 reads up to and including the terminator.
// cbMultiByte 0 returns the bytes needed. A character the code page cannot represent
// becomes lpDefaultChar's first byte ('?' when null) and sets *lpUsedDefaultChar.
// Failure: 0 with ERROR_INSUFFICIENT_BUFFER (buffer short) or ERROR_INVALID_PARAMETER.
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL* lpUsedDefaultChar);
// Narrow text to UTF-16, the same size protocol. Byte sequences the code page does not
// define become U+FFFD (UTF-8) or '?' (other code pages).
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);

// Lead-byte test of double-byte code pages (950: 0x81-0xFE).
BOOL IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar);
// The same for the process's ANSI code page.
BOOL IsDBCSLeadByte(BYTE TestChar);

// String forms of the conversions for C++ callers. They never fail: an unusable code
// page yields an empty result.
std::string toCodePage(UINT codePage, std::u16string_view text);
std::u16string fromCodePage(UINT codePage, std::string_view text);
inline std::string toAnsi(std::u16string_view text) {
    return toCodePage(CP_ACP, text);
}
inline std::u16string fromAnsi(std::string_view text) {
    return fromCodePage(CP_ACP, text);
}
inline std::string toUtf8(std::u16string_view text) {
    return toCodePage(CP_UTF8, text);
}
inline std::u16string fromUtf8(std::string_view text) {
    return fromCodePage(CP_UTF8, text);
}
// Appends one code point as UTF-16 (a surrogate pair above U+FFFF); surrogates and
// values past U+10FFFF become U+FFFD.
void appendCodePoint(std::u16string& out, uint32_t codePoint);
// True when the text is well-formed UTF-8 (RFC 3629 section 4).
bool isWellFormedUtf8(std::string_view text);
// Narrow ANSI text to UTF-8 and back (paths at the system-call boundary).
std::string ansiToUtf8(std::string_view ansi);
std::string utf8ToAnsi(std::string_view utf8);
