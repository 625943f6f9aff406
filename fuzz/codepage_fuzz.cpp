// Code-page conversions both ways for Big5 (950) and UTF-8 (65001) on arbitrary bytes and
// arbitrary UTF-16 code units: the two-call size protocol, the terminator form, what a
// character the code page lacks becomes, round trips where they must hold, and UTF-8
// decoding compared with glibc's iconv.
#include <fuzzer/FuzzedDataProvider.h>
#include <iconv.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/system/last_error.h"
#include "platform/text/codepage.h"

namespace {

// glibc's UTF-8 decoder; false when it stops at an ill-formed sequence.
bool glibcUtf8(const std::string& in, std::u16string& out) {
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    FUZZ_CHECK(cd != reinterpret_cast<iconv_t>(-1));
    std::string buffer(in.size() * 4 + 4, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = buffer.data();
    size_t dstLeft = buffer.size();
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return false;
    size_t used = buffer.size() - dstLeft;
    out.resize(used / 2);
    std::memcpy(out.data(), buffer.data(), used / 2 * 2);
    return true;
}

void narrowToWide(UINT codePage, const std::string& text) {
    std::u16string whole = fromCodePage(codePage, text);
    if (text.empty()) {
        SetLastError(0);
        FUZZ_CHECK(MultiByteToWideChar(codePage, 0, text.data(), 0, nullptr, 0) == 0);
        FUZZ_CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
        FUZZ_CHECK(whole.empty());
        return;
    }
    const int length = static_cast<int>(text.size());
    int needed = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    FUZZ_CHECK(needed >= 1 && needed <= length);
    FUZZ_CHECK(static_cast<size_t>(needed) == whole.size());
    std::u16string out(static_cast<size_t>(needed), u'\0');
    FUZZ_CHECK(MultiByteToWideChar(codePage, 0, text.data(), length, out.data(), needed) == needed);
    FUZZ_CHECK(out == whole);
    if (needed > 1) {  // a buffer of 0 asks for the size
        SetLastError(0);
        FUZZ_CHECK(MultiByteToWideChar(codePage, 0, text.data(), length, out.data(), needed - 1) ==
                   0);
        FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    }

    // -1: up to the first zero byte, which is converted too.
    std::string terminated = text.substr(0, text.find('\0'));
    int withZero = MultiByteToWideChar(codePage, 0, terminated.c_str(), -1, nullptr, 0);
    std::u16string expected = fromCodePage(codePage, terminated);
    FUZZ_CHECK(static_cast<size_t>(withZero) == expected.size() + 1);

    if (codePage == CP_UTF8) {
        bool wellFormed = isWellFormedUtf8(text);
        std::u16string glibc;
        bool glibcAccepts = glibcUtf8(text, glibc);
        FUZZ_CHECK(wellFormed == glibcAccepts);
        if (wellFormed) {
            FUZZ_CHECK(whole == glibc);
            FUZZ_CHECK(toUtf8(whole) == text);
        } else {
            FUZZ_CHECK(whole.find(u'\xFFFD') != std::u16string::npos);
        }
    }
}

void wideToNarrow(UINT codePage, const std::u16string& text) {
    std::string whole = toCodePage(codePage, text);
    if (text.empty()) {
        SetLastError(0);
        FUZZ_CHECK(WideCharToMultiByte(codePage, 0, text.data(), 0, nullptr, 0, nullptr, nullptr) ==
                   0);
        FUZZ_CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
        return;
    }
    const int length = static_cast<int>(text.size());
    BOOL usedDefault = FALSE;
    int needed =
        WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, &usedDefault);
    FUZZ_CHECK(needed >= 1 && static_cast<size_t>(needed) == whole.size());
    std::string out(static_cast<size_t>(needed), '\0');
    BOOL usedAgain = FALSE;
    FUZZ_CHECK(WideCharToMultiByte(codePage, 0, text.data(), length, out.data(), needed, nullptr,
                                   &usedAgain) == needed);
    FUZZ_CHECK(out == whole && usedAgain == usedDefault);
    if (needed > 1) {
        SetLastError(0);
        FUZZ_CHECK(WideCharToMultiByte(codePage, 0, text.data(), length, out.data(), needed - 1,
                                       nullptr, nullptr) == 0);
        FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    }

    if (codePage == CP_UTF8) {
        // Lone surrogates become U+FFFD; everything else goes through unchanged.
        FUZZ_CHECK(isWellFormedUtf8(whole));
        if (fuzz::wellFormedUtf16(text)) FUZZ_CHECK(fromUtf8(whole) == text);
        return;
    }
    // Big5: what it has comes back; what it lacks becomes the default character, once per
    // character.
    FUZZ_CHECK(WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, "#", nullptr) ==
               needed);
    if (!usedDefault) {
        FUZZ_CHECK(fromCodePage(codePage, whole) == text);
    } else {
        FUZZ_CHECK(whole.find('?') != std::string::npos);
    }
    size_t i = 0;
    while (i < whole.size()) i += IsDBCSLeadByteEx(codePage, static_cast<BYTE>(whole[i])) ? 2 : 1;
    FUZZ_CHECK(i == whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const UINT codePage = input.ConsumeBool() ? CP_UTF8 : 950;
    const bool fromWide = input.ConsumeBool();
    std::string bytes = input.ConsumeRemainingBytesAsString();
    if (!fromWide) {
        narrowToWide(codePage, bytes);
        return 0;
    }
    wideToNarrow(codePage, fuzz::unitsFromBytes(bytes));
    return 0;
}
