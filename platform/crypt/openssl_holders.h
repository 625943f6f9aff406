// Owners of OpenSSL objects inside the platform layer, and a byte vector for secrets
// that is wiped when it goes away.
#pragma once

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/system/types.h"

namespace openssl {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Holder = std::unique_ptr<T, Deleter<T, Free>>;

using X509Ptr = Holder<X509, X509_free>;
using EvpPkeyPtr = Holder<EVP_PKEY, EVP_PKEY_free>;
using Pkcs12Ptr = Holder<PKCS12, PKCS12_free>;
using Pkcs8Ptr = Holder<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using X509SigPtr = Holder<X509_SIG, X509_SIG_free>;
using X509StorePtr = Holder<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = Holder<X509_STORE_CTX, X509_STORE_CTX_free>;
using ExtendedKeyUsagePtr = Holder<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;
// Every number is wiped when freed: the same type carries private keys' numbers.
using BignumPtr = Holder<BIGNUM, BN_clear_free>;
using EvpMdPtr = Holder<EVP_MD, EVP_MD_free>;
using MdCtxPtr = Holder<EVP_MD_CTX, EVP_MD_CTX_free>;
using PkeyCtxPtr = Holder<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using ParamBldPtr = Holder<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using ParamPtr = Holder<OSSL_PARAM, OSSL_PARAM_free>;
// The password-based encryption parameters of PKCS#5 and PKCS#12 (decoded to read their
// counts).
using PbeParamPtr = Holder<PBEPARAM, PBEPARAM_free>;
using Pbe2ParamPtr = Holder<PBE2PARAM, PBE2PARAM_free>;
using Pbkdf2ParamPtr = Holder<PBKDF2PARAM, PBKDF2PARAM_free>;
using ScryptParamsPtr = Holder<SCRYPT_PARAMS, SCRYPT_PARAMS_free>;
using LibCtxPtr = Holder<OSSL_LIB_CTX, OSSL_LIB_CTX_free>;
inline void unloadProvider(OSSL_PROVIDER* p) {
    OSSL_PROVIDER_unload(p);
}
using ProviderPtr = Holder<OSSL_PROVIDER, unloadProvider>;

inline void freePkcs7Stack(STACK_OF(PKCS7) * s) {
    sk_PKCS7_pop_free(s, PKCS7_free);
}
inline void freeSafeBagStack(STACK_OF(PKCS12_SAFEBAG) * s) {
    sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free);
}
inline void freeX509Stack(STACK_OF(X509) * s) {
    sk_X509_pop_free(s, X509_free);
}
using Pkcs7StackPtr = Holder<STACK_OF(PKCS7), freePkcs7Stack>;
using X509StackPtr = Holder<STACK_OF(X509), freeX509Stack>;
using SafeBagStackPtr = Holder<STACK_OF(PKCS12_SAFEBAG), freeSafeBagStack>;

// Memory OpenSSL allocated for an encoding (i2d_* with a null output pointer).
struct FreeBytes {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using Bytes = std::unique_ptr<unsigned char, FreeBytes>;

}  // namespace openssl

// Key bytes and passwords: a byte vector that is wiped when it is destroyed, cleared or
// replaced by assignment.
class SecretBytes {
  public:
    SecretBytes() = default;
    SecretBytes(const BYTE* data, size_t size) : bytes_(data, data + size) {}
    explicit SecretBytes(std::vector<BYTE>&& bytes) : bytes_(std::move(bytes)) {}
    ~SecretBytes() { clear(); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            clear();
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }

    void clear() {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
        bytes_.clear();
    }
    // Shrinking keeps the first `size` bytes and wipes the rest in place (the storage
    // stays where it is); growing wipes the old content first and gives `size` zero
    // bytes, since a vector that grows may move and leave a copy behind.
    void resize(size_t size) {
        if (size <= bytes_.size()) {
            OPENSSL_cleanse(bytes_.data() + size, bytes_.size() - size);
            bytes_.resize(size);
            return;
        }
        clear();
        bytes_.resize(size);
    }
    BYTE* data() { return bytes_.data(); }
    const BYTE* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }

  private:
    std::vector<BYTE> bytes_;
};
