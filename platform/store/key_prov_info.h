// A certificate's key-provider property (CRYPT_KEY_PROV_INFO), read into storage the
// caller owns: the record names the container and provider that hold the certificate's
// private key.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/crypt/wincrypt.h"

// An owned copy of a certificate's key-provider property (CRYPT_KEY_PROV_INFO and the
// strings and parameters it points to), freed with the holder.
class KeyProvInfo {
  public:
    KeyProvInfo() = default;
    explicit operator bool() const { return storage_ != nullptr; }
    // Null when the holder is empty.
    const CRYPT_KEY_PROV_INFO* get() const {
        return reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(storage_.get());
    }
    const CRYPT_KEY_PROV_INFO* operator->() const { return get(); }

  private:
    friend KeyProvInfo readKeyProvInfo(PCCERT_CONTEXT certificate, DWORD& platformError);
    // In 8-byte units, so that the record's pointers and DWORDs are aligned.
    std::unique_ptr<uint64_t[]> storage_;
};

// Reads the certificate's CERT_KEY_PROV_INFO_PROP_ID with the size query first. After
// the read platformError holds the thread's last-error value, whether it succeeded or
// not; a null certificate gives an empty holder and leaves platformError as it was.
// Empty when the property is missing or cannot be read.
KeyProvInfo readKeyProvInfo(PCCERT_CONTEXT certificate, DWORD& platformError);
