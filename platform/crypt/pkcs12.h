// Pieces the PKCS#12 import (platform/crypt/pkcs12_import.cpp) and export
// (platform/crypt/pkcs12_export.cpp) share: the password in OpenSSL's form, and a count of a file's
// key bags for callers that must know whether an import kept every key.
#pragma once

#include <openssl/crypto.h>

#include <string>
#include <string_view>

#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/wincrypt.h"
#include "platform/text/codepage.h"

namespace pkcs12 {

// A password in OpenSSL's form: UTF-8, or none at all (RFC 7292 appendix B.1 tells the
// empty password, a BMPString of two zero octets, from no password, zero octets).
// OpenSSL turns the UTF-8 text into the BMPString itself.
class Password {
  public:
    static Password none() { return Password(); }
    explicit Password(std::u16string_view text) {
        std::string utf8 = toUtf8(text);
        bytes_ = SecretBytes(reinterpret_cast<const BYTE*>(utf8.c_str()), utf8.size() + 1);
        OPENSSL_cleanse(utf8.data(), utf8.size());
        present_ = true;
    }
    // The platform's convention: a null password is no password.
    static Password from(LPCWSTR text) { return text ? Password(text) : none(); }
    const char* text() const {
        return present_ ? reinterpret_cast<const char*>(bytes_.data()) : nullptr;
    }
    int length() const { return present_ ? static_cast<int>(bytes_.size() - 1) : 0; }
    bool emptyOrNone() const { return length() == 0; }
    // The other of the empty password and no password.
    Password other() const { return present_ ? none() : Password(std::u16string_view()); }

  private:
    Password() = default;
    SecretBytes bytes_;
    bool present_ = false;
};

}  // namespace pkcs12

// The number of private-key bags in the file (keyBag and pkcs8ShroudedKeyBag, RFC 7292
// section 4.2, nested ones included), whatever their algorithm and whether a
// certificate of the file belongs to them; PFXImportCertStore keeps only RSA keys that
// have their certificate, so a caller that rewrites a file compares the two. The
// password is tried as PFXImportCertStore tries it. FALSE with PFXImportCertStore's
// codes (ERROR_INVALID_PASSWORD, CRYPT_E_ASN1_*, CRYPT_E_BAD_ENCODE, NTE_BAD_ALGID).
BOOL pfxCountKeyBags(const CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD* pcKeyBags);
