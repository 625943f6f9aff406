#include <cstdint>
#include <cstring>
#include <limits>

#include "core/cert_view.h"
#include "core/endian.h"
#include "digest/digests.h"
#include "mobile/des_cipher_internal.h"
#include "mobile/mobile_record_internal.h"
#include "platform/crypt/wincrypt_ids.h"
#include "status/error_codes.h"

namespace {

constexpr size_t kBlobHeaderSize = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
constexpr DWORD kMinBits = 512;
constexpr DWORD kMaxBits = 16384;
constexpr size_t kTimeSize = 14;
constexpr DWORD kThumbprintSize = 20;
constexpr size_t kCipherKeySize = 24;

// The seven numbers in blob and record order: modulus, five halves, private exponent.
size_t numberWidth(DWORD bitLen, size_t index) {
    return index == 0 || index == 6 ? bitLen / 8 : bitLen / 16;
}
size_t numbersSize(DWORD bitLen) {
    return 9 * static_cast<size_t>(bitLen) / 16;
}

// Writes the record into a buffer allocated to its exact size beforehand, so that
// fields of length 0 (a certificate without a common name) need no special case.
class RecordWriter {
  public:
    explicit RecordWriter(BYTE* at) : at_(at) {}
    void bytes(const void* src, size_t count) {
        if (count) std::memcpy(at_, src, count);
        at_ += count;
    }
    void reversed(const BYTE* src, size_t count) {
        for (size_t i = 0; i < count; ++i) at_[i] = src[count - 1 - i];
        at_ += count;
    }
    void u32(uint32_t value) {
        endian::store32be(at_, value);
        at_ += 4;
    }
    // A 4-byte length, then the bytes.
    void counted(const void* src, size_t count) {
        u32(static_cast<uint32_t>(count));
        bytes(src, count);
    }

  private:
    BYTE* at_;
};

// The certificate fields the record carries, read before anything is laid out.
struct CertificateFields {
    std::string commonName;
    std::string notBefore;
    std::string notAfter;
    BYTE thumbprint[kThumbprintSize] = {};
    const CRYPT_INTEGER_BLOB* serial = nullptr;  // least significant byte first
};

bool readCertificateFields(PCCERT_CONTEXT certificate, CertificateFields& out) {
    CertView view;
    if (!view.fromContext(certificate)) return false;
    out.commonName = view.subjectCN();
    out.notBefore = view.notBeforeCompact();
    out.notAfter = view.notAfterCompact();
    DWORD size = kThumbprintSize;
    out.serial = &certificate->pCertInfo->SerialNumber;
    // The record has no length for the times: anything but 14 digits would shift the rest.
    return out.notBefore.size() == kTimeSize && out.notAfter.size() == kTimeSize &&
           CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, out.thumbprint,
                                             &size) &&
           size == kThumbprintSize;
}

// The clear record in `record`, which the caller wipes.
bool layOut(const RsaPrivateKeyBlob& key, const CertificateFields& fields,
            PCCERT_CONTEXT certificate, ByteBuffer& record) {
    size_t size = 72 + numbersSize(key.bitLen) + fields.commonName.size() + fields.serial->cbData +
                  certificate->cbCertEncoded;
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max()) ||
        !record.allocate(static_cast<int32_t>(size)))
        return false;
    RecordWriter out(record.data());
    out.bytes(kMobileTag, sizeof kMobileTag);
    out.u32(key.bitLen);
    out.u32(key.publicExponent);
    const BYTE* number = key.numbers;
    for (size_t i = 0; i < 7; ++i) {
        out.reversed(number, numberWidth(key.bitLen, i));
        number += numberWidth(key.bitLen, i);
    }
    out.counted(fields.commonName.data(), fields.commonName.size());
    out.u32(fields.serial->cbData);
    out.reversed(fields.serial->pbData, fields.serial->cbData);
    out.bytes(fields.thumbprint, kThumbprintSize);
    out.bytes(fields.notBefore.data(), kTimeSize);
    out.bytes(fields.notAfter.data(), kTimeSize);
    out.counted(certificate->pbCertEncoded, certificate->cbCertEncoded);
    return true;
}

}  // namespace

bool readRsaPrivateKeyBlob(const BYTE* blob, size_t length, RsaPrivateKeyBlob& out) {
    if (!blob || length < kBlobHeaderSize) return false;
    // BLOBHEADER then RSAPUBKEY, little-endian.
    BYTE type = blob[0];
    ALG_ID algorithm = endian::load32le(blob + 4);
    uint32_t magic = endian::load32le(blob + 8);
    uint32_t bitLen = endian::load32le(blob + 12);
    uint32_t exponent = endian::load32le(blob + 16);
    if (type != PRIVATEKEYBLOB || magic != RSA2_MAGIC ||
        (algorithm != CALG_RSA_KEYX && algorithm != CALG_RSA_SIGN))
        return false;
    if (bitLen % 16 != 0 || bitLen < kMinBits || bitLen > kMaxBits) return false;
    if (length - kBlobHeaderSize < numbersSize(bitLen)) return false;
    out.bitLen = bitLen;
    out.publicExponent = exponent;
    out.numbers = blob + kBlobHeaderSize;
    return true;
}

std::string buildMobileRecord(PCCERT_CONTEXT certificate, std::string_view password,
                              const ByteBuffer& blob, ErrorPair& status) {
    // The record's failures carry no platform error of their own: each clears the one an
    // earlier step of the export left.
    auto failed = [&status](ErrorCode code) {
        status.failWith(code, 0);
        return std::string();
    };
    if (!certificate || blob.empty()) return failed(err::kEncryptFailed);
    RsaPrivateKeyBlob key;
    if (!readRsaPrivateKeyBlob(blob.data(), static_cast<size_t>(blob.length()), key))
        return failed(err::kKeyNotExportable);
    CertificateFields fields;
    ByteBuffer record;
    if (!readCertificateFields(certificate, fields) || !layOut(key, fields, certificate, record))
        return failed(err::kEncryptFailed);

    Sha1Digest digest;
    if (password.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()) ||
        !digest.compute(password.data(), static_cast<int32_t>(password.size())))
        return failed(err::kDigest);
    ByteBuffer cipherKey;
    if (!cipherKey.assign(digest.result.data(), digest.result.length()) ||
        !cipherKey.append(kMobileTag, sizeof kMobileTag) ||
        static_cast<size_t>(cipherKey.length()) != kCipherKeySize)
        return failed(err::kDigest);

    DesCipher cipher;
    cipher.setAlgorithm(CALG_3DES);
    cipher.setKey(cipherKey.data(), cipherKey.length());
    if (!cipher.encrypt(record.data(), record.length())) return failed(err::kEncryptFailed);
    ByteBuffer text;
    if (!text.encodeBase64(cipher.output.data(), cipher.output.length()) || text.empty())
        return failed(err::kEncryptFailed);
    // Success is 0 / 0 whatever an earlier certificate or the search left in the pair.
    status = ErrorPair{};
    return text.str();
}
