// A certificate's key-provider property (CRYPT_KEY_PROV_INFO), read into storage the
// caller owns: the record names the container and provider that hold the certificate's
// private key.
#pragma once

#include <vector>

#include "platform/crypt/wincrypt.h"

// An owned copy of a certificate's key-provider property (CRYPT_KEY_PROV_INFO and the
// strings and parameters it points to), freed with the holder.
class KeyProvInfo {
  public:
    KeyProvInfo() = default;
    // The record points into its own storage: a move keeps the storage, a copy would not.
    KeyProvInfo(const KeyProvInfo&) = delete;
    KeyProvInfo& operator=(const KeyProvInfo&) = delete;
    KeyProvInfo(KeyProvInfo&&) = default;
    KeyProvInfo& operator=(KeyProvInfo&&) = default;
    explicit operator bool() const { return !storage_.empty(); }
    // Null when the holder is empty.
    const CRYPT_KEY_PROV_INFO* get() const {
        return storage_.empty() ? nullptr
                                : reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(storage_.data());
    }
    const CRYPT_KEY_PROV_INFO* operator->() const { return get(); }

  private:
    friend KeyProvInfo readKeyProvInfo(PCCERT_CONTEXT certificate);
    // Allocated with operator new, whose alignment suits the record's pointers and DWORDs.
    std::vector<BYTE> storage_;
};

// Reads the certificate's CERT_KEY_PROV_INFO_PROP_ID with the size query first. Empty
// when the property is missing or cannot be read. The thread's last error is the read's
// afterwards, whether it succeeded or not; a null certificate gives an empty holder and
// leaves it as it was.
KeyProvInfo readKeyProvInfo(PCCERT_CONTEXT certificate);
