// A password as the UTF-16 text the platform's PKCS#12 calls take, converted from the
// ANSI code page and wiped when it goes.
#pragma once

#include <openssl/crypto.h>

#include <string>
#include <string_view>

#include "platform/system/types.h"
#include "platform/text/codepage.h"

class WidePassword {
  public:
    explicit WidePassword(std::string_view ansi) : text_(fromAnsi(ansi)) {}
    ~WidePassword() { OPENSSL_cleanse(text_.data(), text_.size() * sizeof(char16_t)); }
    WidePassword(const WidePassword&) = delete;
    WidePassword& operator=(const WidePassword&) = delete;
    // The text with its terminator; an empty password is an empty text, never null.
    LPCWSTR get() const { return text_.c_str(); }

  private:
    std::u16string text_;
};
