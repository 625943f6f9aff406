#include "platform/com/bstr.h"

#include <cstdlib>
#include <cstring>

namespace {
// The prefix sits in front of the characters; storage is allocated as whole 32-bit
// words so the prefix stays aligned.
constexpr size_t kPrefix = sizeof(uint32_t);

size_t textLength(const OLECHAR* s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}
}  // namespace

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    // The byte length must fit the 32-bit prefix.
    if (ui > (0xFFFFFFFFu - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR)) return nullptr;
    size_t bytes = static_cast<size_t>(ui) * sizeof(OLECHAR);
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (!block) return nullptr;
    uint32_t prefix = static_cast<uint32_t>(bytes);
    std::memcpy(block, &prefix, kPrefix);
    auto* chars = reinterpret_cast<OLECHAR*>(block + kPrefix);
    if (strIn)
        std::memcpy(chars, strIn, bytes);
    else
        std::memset(chars, 0, bytes);
    chars[ui] = 0;
    return chars;
}

BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    size_t n = textLength(psz);
    if (n > 0x7FFFFFFFu) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(n));
}

UINT SysStringByteLen(BSTR bstr) {
    if (!bstr) return 0;
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<unsigned char*>(bstr) - kPrefix, kPrefix);
    return prefix;
}

UINT SysStringLen(BSTR bstr) {
    return SysStringByteLen(bstr) / sizeof(OLECHAR);
}

void SysFreeString(BSTR bstr) {
    if (!bstr) return;
    std::free(reinterpret_cast<unsigned char*>(bstr) - kPrefix);
}
