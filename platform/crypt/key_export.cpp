// CryptExportKey for the RSA key pairs of the key containers: the platform's public and
// private key blobs, written from the key handle's OpenSSL key. The numbers are read
// into BIGNUMs that are wiped when freed; the blob the caller receives is clear text
// and the caller's to protect.
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <bit>
#include <cstring>

#include "platform/crypt/key_container.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt.h"

static_assert(std::endian::native == std::endian::little,
              "blob headers are copied as the processor lays them out");

namespace {

constexpr auto& fail = failWithLastError;

// The numbers of a two-prime RSA key, in blob order after the modulus.
struct RsaNumbers {
    DWORD bits = 0;
    DWORD publicExponent = 0;
    openssl::BignumPtr modulus;
    // prime1, prime2, exponent1, exponent2, coefficient, private exponent.
    openssl::BignumPtr privateParts[6];
};

constexpr const char* kPrivateParamNames[6] = {
    OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,      OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, OSSL_PKEY_PARAM_RSA_D,
};

bool readNumber(EVP_PKEY* key, const char* name, openssl::BignumPtr& out) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &value) != 1) return false;
    out.reset(value);
    return true;
}

size_t fullWidth(DWORD bits) {
    return (static_cast<size_t>(bits) + 7) / 8;
}
size_t halfWidth(DWORD bits) {
    return (static_cast<size_t>(bits) + 15) / 16;
}

// Reads what the blob type needs and checks that every number fits its field, so that
// writing cannot fail half way. False with NTE_BAD_KEY for a key the layout cannot hold.
BOOL readRsaNumbers(EVP_PKEY* key, bool withPrivate, RsaNumbers& out) {
    openssl::BignumPtr exponent;
    bool ok = EVP_PKEY_is_a(key, "RSA") && readNumber(key, OSSL_PKEY_PARAM_RSA_N, out.modulus) &&
              readNumber(key, OSSL_PKEY_PARAM_RSA_E, exponent) && BN_num_bits(exponent.get()) <= 32;
    if (ok) {
        out.bits = static_cast<DWORD>(BN_num_bits(out.modulus.get()));
        out.publicExponent = static_cast<DWORD>(BN_get_word(exponent.get()));
    }
    if (ok && withPrivate) {
        // A third prime has no place in the blob.
        openssl::BignumPtr third;
        ok = !readNumber(key, OSSL_PKEY_PARAM_RSA_FACTOR3, third);
        for (size_t i = 0; ok && i < 6; ++i) {
            ok = readNumber(key, kPrivateParamNames[i], out.privateParts[i]);
            size_t width = i == 5 ? fullWidth(out.bits) : halfWidth(out.bits);
            ok = ok && static_cast<size_t>(BN_num_bytes(out.privateParts[i].get())) <= width;
        }
    }
    ERR_clear_error();
    return ok ? TRUE : fail(NTE_BAD_KEY);
}

size_t blobSize(const RsaNumbers& numbers, bool withPrivate) {
    size_t size = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + fullWidth(numbers.bits);
    if (withPrivate) size += 5 * halfWidth(numbers.bits) + fullWidth(numbers.bits);
    return size;
}

// Writes the blob into `out`, which holds blobSize() bytes.
void writeBlob(const RsaNumbers& numbers, bool withPrivate, ALG_ID algorithm, BYTE* out) {
    BLOBHEADER header{withPrivate ? PRIVATEKEYBLOB : PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, algorithm};
    RSAPUBKEY rsa{withPrivate ? RSA2_MAGIC : RSA1_MAGIC, numbers.bits, numbers.publicExponent};
    std::memcpy(out, &header, sizeof header);
    out += sizeof header;
    std::memcpy(out, &rsa, sizeof rsa);
    out += sizeof rsa;
    auto put = [&out](const BIGNUM* value, size_t width) {
        BN_bn2lebinpad(value, out, static_cast<int>(width));
        out += width;
    };
    put(numbers.modulus.get(), fullWidth(numbers.bits));
    if (!withPrivate) return;
    for (size_t i = 0; i < 6; ++i)
        put(numbers.privateParts[i].get(),
            i == 5 ? fullWidth(numbers.bits) : halfWidth(numbers.bits));
}

BOOL keyDword(HCRYPTKEY hKey, DWORD param, DWORD& value) {
    DWORD size = sizeof value;
    return CryptGetKeyParam(hKey, param, reinterpret_cast<BYTE*>(&value), &size, 0);
}

}  // namespace

BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE* pbData, DWORD* pdwDataLen) {
    openssl::EvpPkeyPtr key = cryptKeyPair(hKey);
    if (!key) return FALSE;
    if (dwFlags) return fail(NTE_BAD_FLAGS);
    if (dwBlobType != PUBLICKEYBLOB && dwBlobType != PRIVATEKEYBLOB) return fail(NTE_BAD_TYPE);
    // There are no session keys here to wrap the blob with.
    if (hExpKey) return fail(NTE_BAD_KEY);
    bool withPrivate = dwBlobType == PRIVATEKEYBLOB;
    DWORD algorithm = 0, permissions = 0;
    if (!keyDword(hKey, KP_ALGID, algorithm) || !keyDword(hKey, KP_PERMISSIONS, permissions))
        return FALSE;
    if (withPrivate && !(permissions & CRYPT_EXPORT)) return fail(NTE_BAD_KEY_STATE);
    if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
    RsaNumbers numbers;
    if (!readRsaNumbers(key.get(), withPrivate, numbers)) return FALSE;
    auto needed = static_cast<DWORD>(blobSize(numbers, withPrivate));
    if (needsSizeOnly(needed, pbData, pdwDataLen)) return giveOutSize(needed, pbData, pdwDataLen);
    // A user-protected key leaves its container only with the user's consent; the size
    // query above asks nothing.
    if (withPrivate && !cryptAllowKeyUse(hKey, "export a private key")) return FALSE;
    writeBlob(numbers, withPrivate, algorithm, pbData);
    *pdwDataLen = needed;
    return TRUE;
}
