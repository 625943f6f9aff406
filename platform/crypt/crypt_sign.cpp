// Digests and PKCS#1 v1.5 signatures of the layer, on OpenSSL's EVP interface.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <iterator>
#include <memory>

#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/crypt_sign_internal.h"
#include "platform/crypt/key_container.h"
#include "platform/crypt/openssl_holders.h"

namespace {

constexpr auto& fail = failWithLastError;

}  // namespace

const EVP_MD* cryptDigestOf(ALG_ID algorithm) {
    // EVP_sha1() and the like would fetch the implementation again, under the provider
    // store's lock, on every use.
    static constexpr ALG_ID kAlgorithms[] = {CALG_SHA1, CALG_MD5, CALG_SHA_256, CALG_SHA_512};
    static const openssl::EvpMdPtr kFetched[] = {
        openssl::EvpMdPtr(EVP_MD_fetch(nullptr, "SHA1", nullptr)),
        openssl::EvpMdPtr(EVP_MD_fetch(nullptr, "MD5", nullptr)),
        openssl::EvpMdPtr(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
        openssl::EvpMdPtr(EVP_MD_fetch(nullptr, "SHA512", nullptr)),
    };
    const EVP_MD* md = nullptr;
    for (size_t i = 0; i < std::size(kAlgorithms); ++i)
        if (kAlgorithms[i] == algorithm) md = kFetched[i].get();
    if (!md) ERR_clear_error();
    return md;
}

ALG_ID cryptDigestOfOid(std::string_view oid) {
    struct Entry {
        const char* oid;
        ALG_ID algorithm;
    };
    static constexpr Entry kTable[] = {
        {szOID_OIWSEC_sha1, CALG_SHA1},    {szOID_RSA_SHA1RSA, CALG_SHA1},
        {szOID_RSA_MD5, CALG_MD5},         {szOID_RSA_MD5RSA, CALG_MD5},
        {szOID_NIST_sha256, CALG_SHA_256}, {szOID_RSA_SHA256RSA, CALG_SHA_256},
        {szOID_NIST_sha512, CALG_SHA_512}, {szOID_RSA_SHA512RSA, CALG_SHA_512},
    };
    for (const Entry& e : kTable)
        if (oid == e.oid) return e.algorithm;
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
    CryptKeyHolder key;
    if (!CryptGetUserKey(hProv, dwKeySpec, key.out())) return FALSE;
    openssl::EvpPkeyPtr pair = cryptKeyPair(key.get());
    if (!pair) return fail(NTE_BAD_KEY);
    *length = static_cast<DWORD>(EVP_PKEY_get_size(pair.get()));
    return TRUE;
}

BOOL cryptPublicKeyBits(HCRYPTPROV hProv, DWORD dwKeySpec, std::vector<BYTE>& bits) {
    CryptKeyHolder key;
    if (!CryptGetUserKey(hProv, dwKeySpec, key.out())) return FALSE;
    openssl::EvpPkeyPtr pair = cryptKeyPair(key.get());
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
    // RFC 8017 section 9.2 step 3: the encoded message holds the DigestInfo (its prefix
    // is 15 bytes for SHA-1, 18 for MD5, 19 for SHA-256 and SHA-512) and 11 bytes more.
    DWORD modulus = 0;
    if (!cryptSignatureLength(hProv, dwKeySpec, &modulus)) return FALSE;
    size_t prefix = algorithm == CALG_MD5 ? 18 : algorithm == CALG_SHA1 ? 15 : 19;
    if (modulus < prefix + digestLength + 11) return fail(NTE_BAD_LEN);
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
