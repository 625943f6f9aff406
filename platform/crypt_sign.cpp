// Digests and PKCS#1 v1.5 signatures of the layer, on OpenSSL's EVP interface.
#include "platform/crypt_sign.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>

#include "platform/key_container.h"
#include "platform/openssl_holders.h"

namespace {

constexpr auto& fail = failWithLastError;

}  // namespace

const EVP_MD* cryptDigestOf(ALG_ID algorithm) {
    // EVP_sha1() and EVP_md5() would fetch the implementation again, under the provider
    // store's lock, on every use.
    static const openssl::EvpMdPtr sha1(EVP_MD_fetch(nullptr, "SHA1", nullptr));
    static const openssl::EvpMdPtr md5(EVP_MD_fetch(nullptr, "MD5", nullptr));
    const EVP_MD* md = algorithm == CALG_SHA1  ? sha1.get()
                       : algorithm == CALG_MD5 ? md5.get()
                                               : nullptr;
    if (!md) ERR_clear_error();
    return md;
}

ALG_ID cryptDigestOfOid(std::string_view oid) {
    if (oid == szOID_OIWSEC_sha1 || oid == szOID_RSA_SHA1RSA) return CALG_SHA1;
    if (oid == szOID_RSA_MD5 || oid == szOID_RSA_MD5RSA) return CALG_MD5;
    return 0;
}

bool cryptDigestBytes(ALG_ID algorithm, const BYTE* data, size_t size, std::vector<BYTE>& out) {
    const EVP_MD* md = cryptDigestOf(algorithm);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!md || !EVP_Digest(data, size, digest, &length, md, nullptr)) {
        ERR_clear_error();
        return false;
    }
    out.assign(digest, digest + length);
    return true;
}

BOOL cryptSignatureLength(HCRYPTPROV hProv, DWORD dwKeySpec, DWORD* length) {
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(hProv, dwKeySpec, &key)) return FALSE;
    openssl::EvpPkeyPtr pair = cryptKeyPair(key);
    CryptDestroyKey(key);
    if (!pair) return fail(NTE_BAD_KEY);
    *length = static_cast<DWORD>(EVP_PKEY_get_size(pair.get()));
    return TRUE;
}

BOOL cryptPublicKeyBits(HCRYPTPROV hProv, DWORD dwKeySpec, std::vector<BYTE>& bits) {
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(hProv, dwKeySpec, &key)) return FALSE;
    openssl::EvpPkeyPtr pair = cryptKeyPair(key);
    CryptDestroyKey(key);
    unsigned char* der = nullptr;
    int length = pair ? i2d_PublicKey(pair.get(), &der) : 0;
    openssl::Bytes owned(der);
    ERR_clear_error();
    if (length <= 0) return fail(NTE_BAD_KEY);
    bits.assign(der, der + length);
    return TRUE;
}

BOOL cryptSignDigest(HCRYPTPROV hProv, DWORD dwKeySpec, const char* operation, ALG_ID algorithm,
                     const BYTE* digest, size_t digestLength, std::vector<BYTE>& signature) {
    const EVP_MD* md = cryptDigestOf(algorithm);
    if (!md) return fail(NTE_BAD_ALGID);
    if (digestLength != static_cast<size_t>(EVP_MD_get_size(md))) return fail(NTE_BAD_HASH);
    return cryptSignWithPrivateKey(hProv, dwKeySpec, operation, md, digest, digestLength,
                                   signature);
}

BOOL ProviderReference::take(HCRYPTPROV hProv) {
    close();
    if (!CryptContextAddRef(hProv, nullptr, 0)) return FALSE;
    handle_ = hProv;
    return TRUE;
}

void ProviderReference::close() {
    if (!handle_) return;
    DWORD saved = GetLastError();
    CryptReleaseContext(std::exchange(handle_, 0), 0);
    SetLastError(saved);
}
