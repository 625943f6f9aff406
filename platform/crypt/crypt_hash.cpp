// Hash objects on OpenSSL digests. A hash is a table entry holding its own reference
// to the provider context it was made on, so that the container it signs with stays
// known however the caller orders CryptReleaseContext and CryptDestroyHash.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/crypt/crypt_sign_internal.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/system/handle_table_internal.h"

namespace {

using openssl::MdCtxPtr;

constexpr auto& fail = failWithLastError;

// A digest in progress, or its finished value (computed, or set from outside).
class HashObject {
  public:
    HashObject(ProviderReference provider, ALG_ID algorithm)
        : provider_(std::move(provider)), algorithm_(algorithm) {}

    // Starts the digest. False when OpenSSL has no such algorithm.
    bool start() {
        const EVP_MD* md = cryptDigestOf(algorithm_);
        ctx_.reset(EVP_MD_CTX_new());
        bool ok = md && ctx_ && EVP_DigestInit_ex(ctx_.get(), md, nullptr) == 1;
        if (!ok) ERR_clear_error();
        size_ = md ? static_cast<DWORD>(EVP_MD_get_size(md)) : 0;
        return ok;
    }

    std::mutex mutex;  // guards the calls below
    HCRYPTPROV provider() const { return provider_.get(); }
    ALG_ID algorithm() const { return algorithm_; }
    DWORD size() const { return size_; }

    BOOL update(const BYTE* data, DWORD length) {
        if (finished_) return fail(NTE_BAD_HASH_STATE);
        if (length && EVP_DigestUpdate(ctx_.get(), data, length) != 1) {
            ERR_clear_error();
            return fail(NTE_FAIL);
        }
        return TRUE;
    }
    void setValue(const BYTE* value) {
        value_.assign(value, value + size_);
        finished_ = true;
    }
    // The value, finishing the digest on first use; null when OpenSSL fails.
    const std::vector<BYTE>* value() {
        if (!finished_) {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (EVP_DigestFinal_ex(ctx_.get(), digest, &length) != 1) {
                ERR_clear_error();
                return nullptr;
            }
            value_.assign(digest, digest + length);
            finished_ = true;
        }
        return &value_;
    }

  private:
    ProviderReference provider_;
    ALG_ID algorithm_;
    DWORD size_ = 0;
    MdCtxPtr ctx_;
    bool finished_ = false;
    std::vector<BYTE> value_;
};
using HashPtr = std::shared_ptr<HashObject>;

HandleTable<HashPtr>& hashes() {
    static HandleTable<HashPtr> table(0x60000);
    return table;
}

HashPtr findHash(HCRYPTHASH h) {
    return hashes().find(h).value_or(nullptr);
}

}  // namespace

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash) {
    if (!phHash) return fail(ERROR_INVALID_PARAMETER);
    *phHash = 0;
    if (dwFlags) return fail(NTE_BAD_FLAGS);
    if (!cryptDigestOf(Algid)) return fail(NTE_BAD_ALGID);
    // Keyed hashes (HMAC and the like) are not offered.
    if (hKey) return fail(NTE_BAD_KEY);
    ProviderReference provider;
    if (!provider.take(hProv)) return FALSE;
    auto hash = std::make_shared<HashObject>(std::move(provider), Algid);
    if (!hash->start()) return fail(NTE_BAD_ALGID);
    *phHash = hashes().add(std::move(hash));
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD cbData, DWORD dwFlags) {
    HashPtr hash = findHash(hHash);
    if (!hash) return fail(NTE_BAD_HASH);
    if (dwFlags) return fail(NTE_BAD_FLAGS);
    if (!pbData && cbData) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(hash->mutex);
    return hash->update(pbData, cbData);
}

BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    HashPtr hash = findHash(hHash);
    if (!hash) return fail(NTE_BAD_HASH);
    if (dwFlags) return fail(NTE_BAD_FLAGS);
    if (dwParam != HP_HASHVAL) return fail(NTE_BAD_TYPE);
    if (!pbData) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(hash->mutex);
    hash->setValue(pbData);
    return TRUE;
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
    HashPtr hash = findHash(hHash);
    if (!hash) return fail(NTE_BAD_HASH);
    if (dwFlags) return fail(NTE_BAD_FLAGS);
    if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(hash->mutex);
    switch (dwParam) {
        case HP_ALGID:
            return giveOutDword(hash->algorithm(), pbData, pdwDataLen);
        case HP_HASHSIZE:
            return giveOutDword(hash->size(), pbData, pdwDataLen);
        case HP_HASHVAL: {
            // A size query or a short buffer leaves the hash open for more data.
            if (needsSizeOnly(hash->size(), pbData, pdwDataLen))
                return giveOutSize(hash->size(), pbData, pdwDataLen);
            const std::vector<BYTE>* value = hash->value();
            if (!value) return fail(NTE_FAIL);
            return giveOutBytes(value->data(), static_cast<DWORD>(value->size()), pbData,
                                pdwDataLen);
        }
        default:
            return fail(NTE_BAD_TYPE);
    }
}

BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen) {
    HashPtr hash = findHash(hHash);
    if (!hash) return fail(NTE_BAD_HASH);
    if (dwFlags) return fail(NTE_BAD_FLAGS);
    if (szDescription || !pdwSigLen) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(hash->mutex);
    DWORD length = 0;
    if (!cryptSignatureLength(hash->provider(), dwKeySpec, &length)) return FALSE;
    if (needsSizeOnly(length, pbSignature, pdwSigLen))
        return giveOutSize(length, pbSignature, pdwSigLen);
    const std::vector<BYTE>* value = hash->value();
    if (!value) return fail(NTE_FAIL);
    std::vector<BYTE> signature;
    if (!cryptSignDigest(hash->provider(), dwKeySpec, "sign a hash", hash->algorithm(),
                         value->data(), value->size(), signature))
        return FALSE;
    // The platform hands the signature over least significant byte first.
    std::reverse_copy(signature.begin(), signature.end(), pbSignature);
    *pdwSigLen = static_cast<DWORD>(signature.size());
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
    std::optional<HashPtr> hash = hashes().remove(hHash);
    if (!hash) return fail(NTE_BAD_HASH);
    return TRUE;
}
