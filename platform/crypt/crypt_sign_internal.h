// Inside the platform layer: the digests and the RSA PKCS#1 v1.5 signatures that hash
// objects, the message encoder and the request signer share, so that every signature
// takes its key the same way (cryptUsePrivateKey, which may ask the user).
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"

// The digest of CALG_MD5, CALG_SHA1, CALG_SHA_256 or CALG_SHA_512, fetched once per
// process; null for another algorithm (or when this build has none).
const EVP_MD* cryptDigestOf(ALG_ID algorithm);
// The digest algorithm an OID stands for: the digests' own OIDs (szOID_RSA_MD5,
// szOID_OIWSEC_sha1, szOID_NIST_sha256, szOID_NIST_sha512) and the RSA signature OIDs
// that name them (szOID_RSA_MD5RSA, szOID_RSA_SHA1RSA, szOID_RSA_SHA256RSA,
// szOID_RSA_SHA512RSA); 0 for another.
ALG_ID cryptDigestOfOid(std::string_view oid);
// The digest of `size` bytes. False (OpenSSL's queue cleared) when the algorithm is not
// one of the four or the digest fails.
bool cryptDigestBytes(ALG_ID algorithm, const BYTE* data, size_t size, std::vector<BYTE>& out);

// The length in bytes of a signature made with the key in slot dwKeySpec of hProv (the
// modulus length), found without using the private key. FALSE with CryptGetUserKey's
// codes (NTE_BAD_UID, NTE_NO_KEY, NTE_BAD_KEYSET, NTE_BAD_DATA).
BOOL cryptSignatureLength(HCRYPTPROV hProv, DWORD dwKeySpec, DWORD* length);
// The public half of the key pair in slot dwKeySpec of hProv as RSAPublicKey DER (RFC 8017
// appendix A.1.1), the bits a certificate's key holds. FALSE with CryptGetUserKey's
// codes, NTE_BAD_KEY when it does not encode.
BOOL cryptPublicKeyBits(HCRYPTPROV hProv, DWORD dwKeySpec, std::vector<BYTE>& bits);
// Signs a finished digest of `algorithm` with the key in slot dwKeySpec of hProv: RSA
// PKCS#1 v1.5 over the algorithm's DigestInfo (RFC 8017 section 9.2), the signature as
// the big-endian integer, as long as the modulus. The key is taken for `operation`
// through cryptSignWithPrivateKey. FALSE with its codes (ERROR_CANCELLED when the user
// refuses), NTE_BAD_HASH for a digest of the wrong length, NTE_BAD_LEN (before the key
// is used) when the modulus is too short for the DigestInfo (a 512-bit key and SHA-512),
// NTE_FAIL when OpenSSL fails.
BOOL cryptSignDigest(HCRYPTPROV hProv, DWORD dwKeySpec, const char* operation, ALG_ID algorithm,
                     const BYTE* digest, size_t digestLength, std::vector<BYTE>& signature);

// One reference of its own to a provider context, held by an object (a hash, a message)
// that signs with the context's container later, whatever the caller releases first.
class ProviderReference {
  public:
    ProviderReference() = default;
    ~ProviderReference() { close(); }
    ProviderReference(const ProviderReference&) = delete;
    ProviderReference& operator=(const ProviderReference&) = delete;
    ProviderReference(ProviderReference&& other) noexcept
        : handle_(std::exchange(other.handle_, 0)) {}
    ProviderReference& operator=(ProviderReference&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, 0);
        }
        return *this;
    }

    // Adds a reference to hProv. FALSE with NTE_BAD_UID for a stale handle.
    BOOL take(HCRYPTPROV hProv);
    // Drops the reference, leaving the last error as it was.
    void close();
    HCRYPTPROV get() const { return handle_; }

  private:
    HCRYPTPROV handle_ = 0;
};
