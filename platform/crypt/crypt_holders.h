// Owners of one platform cryptographic handle each, for the length of one operation: a
// provider context, a key, a hash, a message, a chain, a certificate context and a
// certificate store. Each releases its handle in close() (idempotent) and its
// destructor, and keeps the thread's last error as it was, so that a failure recorded
// just before the holder ends still reads the failing call's value.
#pragma once

#include <type_traits>
#include <utility>

#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"

namespace crypt_holders {

// Releases a handle with `Close` unless it is null; T is the handle type.
template <typename T, auto Close>
class Holder {
  public:
    Holder() = default;
    explicit Holder(T handle) : handle_(handle) {}
    ~Holder() { close(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    // Moving hands the handle over, so that holders can live in containers.
    Holder(Holder&& other) noexcept : handle_(other.release()) {}
    Holder& operator=(Holder&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    // Where a platform call stores the handle it opens; what was held is closed first.
    T* out() {
        close();
        return &handle_;
    }
    T get() const { return handle_; }
    T operator->() const requires std::is_pointer_v<T> { return handle_; }
    explicit operator bool() const { return handle_ != T{}; }
    // Hands the handle over; the holder is empty afterwards.
    T release() { return std::exchange(handle_, T{}); }
    // Replaces the handle, closing what was held.
    void reset(T handle = T{}) {
        close();
        handle_ = handle;
    }
    void close() {
        if (handle_ == T{}) return;
        DWORD saved = GetLastError();
        Close(handle_);
        SetLastError(saved);
        handle_ = T{};
    }

  private:
    T handle_{};
};

inline void releaseProvider(HCRYPTPROV h) {
    CryptReleaseContext(h, 0);
}
inline void destroyKey(HCRYPTKEY h) {
    CryptDestroyKey(h);
}
inline void destroyHash(HCRYPTHASH h) {
    CryptDestroyHash(h);
}
inline void closeMessage(HCRYPTMSG m) {
    CryptMsgClose(m);
}
inline void freeChain(PCCERT_CHAIN_CONTEXT c) {
    CertFreeCertificateChain(c);
}
inline void freeCertificate(PCCERT_CONTEXT c) {
    CertFreeCertificateContext(c);
}
// The stores the control opens are its own until the end of the operation: every
// reference goes when it closes them.
inline void closeStore(HCERTSTORE s) {
    CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG);
}

}  // namespace crypt_holders

using CryptProvHolder = crypt_holders::Holder<HCRYPTPROV, crypt_holders::releaseProvider>;
using CryptKeyHolder = crypt_holders::Holder<HCRYPTKEY, crypt_holders::destroyKey>;
using CertContextHolder = crypt_holders::Holder<PCCERT_CONTEXT, crypt_holders::freeCertificate>;
using CryptHashHolder = crypt_holders::Holder<HCRYPTHASH, crypt_holders::destroyHash>;
using CryptMsgHolder = crypt_holders::Holder<HCRYPTMSG, crypt_holders::closeMessage>;
using CertChainHolder = crypt_holders::Holder<PCCERT_CHAIN_CONTEXT, crypt_holders::freeChain>;
using CertStoreHolder = crypt_holders::Holder<HCERTSTORE, crypt_holders::closeStore>;
