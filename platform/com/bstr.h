// Automation strings: UTF-16 text preceded by its byte length (a 32-bit prefix) and
// followed by a zero code unit. A BSTR points at the first character, as the
// platform's does, so it can be handed to code that expects a zero-terminated string.
#pragma once

#include <string>

#include "platform/system/types.h"

using BSTR = OLECHAR*;

// C linkage, as hosts written in C find these functions in the module.
extern "C" {
// Allocates a copy of the zero-terminated text `psz`. Returns null when `psz` is null or
// memory runs out. The caller owns the result and frees it with SysFreeString.
BSTR SysAllocString(const OLECHAR* psz);
// Allocates `ui` characters copied from `strIn` (or zero-filled when `strIn` is null),
// plus the terminator. Embedded zero characters are kept. Null when memory runs out.
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
// Characters in the string as recorded in its prefix; 0 for null.
UINT SysStringLen(BSTR bstr);
// Bytes in the string as recorded in its prefix; 0 for null.
UINT SysStringByteLen(BSTR bstr);
// Frees a string made by the calls above. Null is accepted and ignored.
void SysFreeString(BSTR bstr);
}  // extern "C"

// Owns one BSTR and frees it when it goes out of scope.
class BstrHolder {
  public:
    BstrHolder() = default;
    explicit BstrHolder(BSTR s) : str_(s) {}
    ~BstrHolder() { close(); }
    BstrHolder(const BstrHolder&) = delete;
    BstrHolder& operator=(const BstrHolder&) = delete;
    BstrHolder(BstrHolder&& other) noexcept : str_(other.release()) {}
    BstrHolder& operator=(BstrHolder&& other) noexcept {
        if (this != &other) {
            close();
            str_ = other.release();
        }
        return *this;
    }
    static BstrHolder fromU16(const std::u16string& s) {
        return BstrHolder(SysAllocStringLen(s.data(), static_cast<UINT>(s.size())));
    }
    BSTR get() const { return str_; }
    BSTR* out() {
        close();
        return &str_;
    }
    BSTR release() {
        BSTR s = str_;
        str_ = nullptr;
        return s;
    }
    void close() {
        SysFreeString(str_);
        str_ = nullptr;
    }
    // The whole string as its prefix records it (embedded zeros included).
    std::u16string text() const {
        return str_ ? std::u16string(str_, SysStringLen(str_)) : std::u16string();
    }

  private:
    BSTR str_ = nullptr;
};
