#include "platform/text/codepage.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "platform/system/last_error.h"

namespace {

constexpr UINT kDefaultAcp = 950;
std::atomic<UINT> g_acp{0};

UINT resolve(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_OEMCP ? GetACP() : codePage;
}

// One iconv descriptor, closed on destruction.
class IconvHandle {
  public:
    explicit IconvHandle(iconv_t cd) : cd_(cd) {}
    ~IconvHandle() { close(); }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    void close() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
        cd_ = reinterpret_cast<iconv_t>(-1);
    }
    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }
    void reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

  private:
    iconv_t cd_;
};

std::string iconvName(UINT codePage) {
    return "CP" + std::to_string(codePage);
}

// Descriptors are not thread-safe, so each thread keeps its own, opened on first use.
IconvHandle* descriptor(UINT codePage, bool toWide) {
    thread_local std::map<std::pair<UINT, bool>, std::unique_ptr<IconvHandle>> cache;
    auto key = std::make_pair(codePage, toWide);
    auto it = cache.find(key);
    if (it == cache.end()) {
        std::string name = iconvName(codePage);
        iconv_t cd =
            toWide ? iconv_open("UTF-16LE", name.c_str()) : iconv_open(name.c_str(), "UTF-16LE");
        it = cache.emplace(key, std::make_unique<IconvHandle>(cd)).first;
    }
    return it->second->valid() ? it->second.get() : nullptr;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD, as the platform converts it.
void wideToUtf8(std::u16string_view in, std::string& out) {
    out.reserve(out.size() + in.size() * 3);
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
}

// UTF-8 to UTF-16 (RFC 3629): overlong forms, surrogates and values past U+10FFFF
// are ill-formed; each maximal ill-formed subpart becomes one U+FFFD.
bool utf8ToWide(std::string_view in, std::u16string& out) {
    bool wellFormed = true;
    out.reserve(out.size() + in.size());
    size_t i = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    const size_t n = in.size();
    while (i < n) {
        unsigned char b = s[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int need;
        char32_t c;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            c = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            c = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out.push_back(0xFFFD);
            wellFormed = false;
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            unsigned char t = j < n ? s[j] : 0;
            unsigned char tlo = k == 0 ? lo : 0x80, thi = k == 0 ? hi : 0xBF;
            if (j >= n || t < tlo || t > thi) {
                ok = false;
                break;
            }
            c = (c << 6) | (t & 0x3F);
        }
        if (!ok) {
            out.push_back(0xFFFD);
            wellFormed = false;
            i = j;
            continue;
        }
        appendCodePoint(out, c);
        i = j;
    }
    return wellFormed;
}

// UTF-16 to a code page through iconv. Each character it cannot represent (and each
// lone surrogate) becomes `defaultChar`.
bool wideToIconv(UINT codePage, std::u16string_view in, std::string& out, char defaultChar,
                 bool* usedDefault) {
    IconvHandle* h = descriptor(codePage, false);
    if (!h) return false;
    h->reset();
    auto* src = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
    size_t srcLeft = in.size() * sizeof(char16_t);
    size_t start = out.size();
    out.resize(start + in.size() * 2 + 16);
    size_t used = start;
    while (srcLeft > 0) {
        char* dst = out.data() + used;
        size_t dstLeft = out.size() - used;
        size_t r = iconv(h->get(), &src, &srcLeft, &dst, &dstLeft);
        used = static_cast<size_t>(dst - out.data());
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2 + 16);
            continue;
        }
        // EILSEQ or EINVAL: one character that cannot be converted. Skip the code unit
        // (or surrogate pair) and put the default character in its place.
        if (used >= out.size()) out.resize(out.size() * 2 + 16);
        out[used++] = defaultChar;
        if (usedDefault) *usedDefault = true;
        char16_t unit;
        std::memcpy(&unit, src, sizeof unit);
        size_t skip = 2;
        if (unit >= 0xD800 && unit <= 0xDBFF && srcLeft >= 4) {
            char16_t next;
            std::memcpy(&next, src + 2, sizeof next);
            if (next >= 0xDC00 && next <= 0xDFFF) skip = 4;
        }
        if (skip > srcLeft) skip = srcLeft;
        src += skip;
        srcLeft -= skip;
        h->reset();
    }
    // Flush any shift state (none for the code pages used, but harmless).
    for (;;) {
        char* dst = out.data() + used;
        size_t dstLeft = out.size() - used;
        if (iconv(h->get(), nullptr, nullptr, &dst, &dstLeft) != static_cast<size_t>(-1)) {
            used = static_cast<size_t>(dst - out.data());
            break;
        }
        if (errno != E2BIG) break;
        out.resize(out.size() * 2 + 16);
    }
    out.resize(used);
    return true;
}

bool iconvToWide(UINT codePage, std::string_view in, std::u16string& out) {
    IconvHandle* h = descriptor(codePage, true);
    if (!h) return false;
    h->reset();
    std::string buf;
    buf.resize(in.size() * 2 + 16);
    auto* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t used = 0;
    while (srcLeft > 0) {
        char* dst = buf.data() + used;
        size_t dstLeft = buf.size() - used;
        size_t r = iconv(h->get(), &src, &srcLeft, &dst, &dstLeft);
        used = static_cast<size_t>(dst - buf.data());
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            buf.resize(buf.size() * 2 + 16);
            continue;
        }
        // An undefined or truncated sequence: one '?' for its first byte.
        if (used + 2 > buf.size()) buf.resize(buf.size() * 2 + 16);
        char16_t q = u'?';
        std::memcpy(buf.data() + used, &q, 2);
        used += 2;
        ++src;
        --srcLeft;
        h->reset();
    }
    size_t start = out.size();
    out.resize(start + used / 2);
    std::memcpy(out.data() + start, buf.data(), used / 2 * 2);
    return true;
}

bool convertFromWide(UINT codePage, std::u16string_view in, std::string& out, char defaultChar,
                     bool* usedDefault) {
    codePage = resolve(codePage);
    if (codePage == CP_UTF8) {
        wideToUtf8(in, out);
        return true;
    }
    return wideToIconv(codePage, in, out, defaultChar, usedDefault);
}

bool convertToWide(UINT codePage, std::string_view in, std::u16string& out) {
    codePage = resolve(codePage);
    if (codePage == CP_UTF8) {
        utf8ToWide(in, out);
        return true;
    }
    return iconvToWide(codePage, in, out);
}

}  // namespace

UINT GetACP() {
    UINT cp = g_acp.load(std::memory_order_acquire);
    if (cp != 0) return cp;
    cp = kDefaultAcp;
    if (const char* env = std::getenv("KSCAPI_ACP"); env && *env) {
        char* end = nullptr;
        unsigned long v = std::strtoul(env, &end, 10);
        if (end && *end == 0 && v > 1 && v <= 65535 && IsValidCodePage(static_cast<UINT>(v)))
            cp = static_cast<UINT>(v);
    }
    UINT expected = 0;
    g_acp.compare_exchange_strong(expected, cp, std::memory_order_acq_rel);
    return g_acp.load(std::memory_order_acquire);
}

bool IsValidCodePage(UINT codePage) {
    if (codePage == CP_UTF8) return true;
    if (codePage == CP_ACP || codePage == CP_OEMCP) return true;
    return descriptor(codePage, false) != nullptr && descriptor(codePage, true) != nullptr;
}

bool SetProcessAnsiCodePage(UINT codePage) {
    if (codePage == CP_ACP || codePage == CP_OEMCP || !IsValidCodePage(codePage)) return false;
    g_acp.store(codePage, std::memory_order_release);
    return true;
}

int WideCharToMultiByte(UINT CodePage, DWORD /*dwFlags*/, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL* lpUsedDefaultChar) {
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n;
    if (cchWideChar == -1) {
        n = 0;
        while (lpWideCharStr[n] != 0) ++n;
        ++n;  // the terminator is converted too
    } else {
        n = static_cast<size_t>(cchWideChar);
    }
    std::string out;
    bool usedDefault = false;
    char defaultChar = lpDefaultChar ? lpDefaultChar[0] : '?';
    if (!convertFromWide(CodePage, std::u16string_view(lpWideCharStr, n), out, defaultChar,
                         &usedDefault)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    if (out.size() > 0x7FFFFFFFu) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (cbMultiByte == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cbMultiByte)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, out.data(), out.size());
    return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT CodePage, DWORD /*dwFlags*/, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    std::u16string out;
    if (!convertToWide(CodePage, std::string_view(lpMultiByteStr, n), out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (out.size() > 0x7FFFFFFFu) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (cchWideChar == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, out.data(), out.size() * sizeof(char16_t));
    return static_cast<int>(out.size());
}

BOOL IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar) {
    switch (resolve(CodePage)) {
        case 950:  // Big5
        case 936:  // GBK
        case 949:  // Unified Hangul
            return TestChar >= 0x81 && TestChar <= 0xFE;
        case 932:  // Shift-JIS
            return (TestChar >= 0x81 && TestChar <= 0x9F) || (TestChar >= 0xE0 && TestChar <= 0xFC);
        default:
            return FALSE;
    }
}

BOOL IsDBCSLeadByte(BYTE TestChar) {
    return IsDBCSLeadByteEx(CP_ACP, TestChar);
}

std::string toCodePage(UINT codePage, std::u16string_view text) {
    std::string out;
    if (!convertFromWide(codePage, text, out, '?', nullptr)) out.clear();
    return out;
}

std::u16string fromCodePage(UINT codePage, std::string_view text) {
    std::u16string out;
    if (!convertToWide(codePage, text, out)) out.clear();
    return out;
}

std::string ansiToUtf8(std::string_view ansi) {
    if (resolve(CP_ACP) == CP_UTF8) return std::string(ansi);
    return toUtf8(fromAnsi(ansi));
}

std::string utf8ToAnsi(std::string_view utf8) {
    if (resolve(CP_ACP) == CP_UTF8) return std::string(utf8);
    return toAnsi(fromUtf8(utf8));
}

bool isWellFormedUtf8(std::string_view text) {
    std::u16string ignored;
    return utf8ToWide(text, ignored);
}

void appendCodePoint(std::u16string& out, uint32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c >= 0x10000) {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(c));
    }
}
