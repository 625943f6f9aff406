#include "sign/signing.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "core/byte_buffer.h"
#include "digest/digests.h"
#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"
#include "ui/caller_guard.h"
#include "ui/consent_dialogs.h"

namespace {

constexpr int32_t kBase64Output = 0x100;
constexpr int32_t kAnsiContent = 0x800;
constexpr int32_t kPkcs1Md5 = 0x1000;
constexpr int32_t kPkcs1Sha1OfMd5 = 0x2000;

constexpr int32_t kNoCertificates = 0x100;
constexpr int32_t kWithChain = 0x200;
constexpr int32_t kDetached = 0x400;
constexpr int32_t kMd5Identifier = 0x1000;
constexpr int32_t kSigningTime = 0x2000;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The private key of a certificate for one signature: the provider context and key slot
// CryptAcquireCertificatePrivateKey gives. The context is released with the struct only
// when the caller owns it; one the certificate keeps stays out of the holder.
struct CertificateKey {
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    CryptProvHolder owned;
};

// False, with the platform's last error, when the certificate's key cannot be had.
bool acquireKey(PCCERT_CONTEXT certificate, CertificateKey& key) {
    BOOL callerFrees = FALSE;
    if (!CryptAcquireCertificatePrivateKey(certificate, 0, nullptr, &key.provider, &key.keySpec,
                                           &callerFrees))
        return false;
    if (callerFrees) key.owned.reset(key.provider);
    return true;
}

std::string textOf(const ByteBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.data()),
                       static_cast<size_t>(buffer.length()));
}

// Step 1 of both operations: the text must not be empty once narrowed. Narrowing puts
// '?' where a character has no equivalent and drops none, so the first character (two
// units for a surrogate pair) tells as much as the whole text.
bool contentGiven(const std::u16string& content, ErrorPair& status) {
    if (toAnsi(std::u16string_view(content).substr(0, 2)).empty()) {
        status.fail(err::kBadParameter);
        return false;
    }
    return true;
}

// Asks the caller guard before the signer's key is touched. False with 5070 and
// ERROR_CANCELLED when the signature is refused.
bool signatureAllowed(PCCERT_CONTEXT certificate, const std::u16string& content,
                      ErrorPair& status) {
    if (ui::callerGuard().allowSignature(ui::summarizeCertificate(certificate), content))
        return true;
    status.failWith(err::kCancelled, ERROR_CANCELLED);
    return false;
}

// The PKCS#1 digest the flags name, and its algorithm.
ALG_ID pkcs1Digest(std::span<const uint8_t> bytes, int32_t dwFlags, ByteBuffer& digest) {
    auto take = [&](auto&& engine, ALG_ID algorithm) {
        engine.compute(bytes.data(), static_cast<int32_t>(bytes.size()));
        digest.assign(engine.result.data(), engine.result.length());
        return algorithm;
    };
    if (dwFlags & kSignSha512) return take(Sha512Digest{}, CALG_SHA_512);
    if (dwFlags & kSignSha256) return take(Sha256Digest{}, CALG_SHA_256);
    Md5Digest md5;
    if (dwFlags & kPkcs1Md5) {
        md5.compute(bytes.data(), static_cast<int32_t>(bytes.size()));
        digest.assign(md5.result.data(), md5.result.length());
        return CALG_MD5;
    }
    Sha1Digest sha1;
    if (dwFlags & kPkcs1Sha1OfMd5) {
        md5.compute(bytes.data(), static_cast<int32_t>(bytes.size()));
        sha1.compute(md5.result.data(), md5.result.length());
    } else {
        sha1.compute(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    digest.assign(sha1.result.data(), sha1.result.length());
    return CALG_SHA1;
}

// The platform code a failed update or size query ends with, as the operation reports it.
ErrorCode signingFailure(DWORD platformCode) {
    switch (platformCode) {
        case SCARD_W_WRONG_CHV:
            return err::kCardPinWrong;
        case SCARD_W_CHV_BLOCKED:
            return err::kCardPinLocked;
        case SCARD_W_CANCELLED_BY_USER:
        case ERROR_CANCELLED:
            return err::kCancelled;
        default:
            return err::kSignFailed;
    }
}

// Where the streamed message goes: its Base64 text, made as the pieces come.
struct TextSink {
    Base64Appender base64;
    bool outOfMemory = false;
};

BOOL appendToText(const void* arg, BYTE* data, DWORD size, BOOL final) {
    auto* sink = static_cast<TextSink*>(const_cast<void*>(arg));
    try {
        sink->base64.add(data, size);
        if (final) sink->base64.finish();
        return TRUE;
    } catch (const std::bad_alloc&) {
        sink->outOfMemory = true;
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return FALSE;
    }
}

// The DER signing-time value for now, or false with the platform's error.
bool encodeSigningTime(std::vector<BYTE>& encoded) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    FILETIME when{};
    if (!SystemTimeToFileTime(&now, &when)) return false;
    return fetchSized(encoded, [&when](BYTE* data, DWORD* size) {
        return CryptEncodeObject(kEncoding, szOID_RSA_signingTime, &when, data, size);
    });
}

// Builds, signs and encodes the message; the result is its Base64 text.
std::string buildMessage(PCCERT_CONTEXT certificate, std::span<const uint8_t> content,
                         int32_t dwFlags, ErrorPair& status) {
    std::string digestOid = (dwFlags & kSignSha512)      ? szOID_NIST_sha512
                            : (dwFlags & kSignSha256)    ? szOID_NIST_sha256
                            : (dwFlags & kMd5Identifier) ? szOID_RSA_MD5RSA
                                                         : szOID_OIWSEC_sha1;
    DWORD openFlags = 0;

    std::vector<BYTE> signingTime;
    std::string signingTimeOid = szOID_RSA_signingTime;
    CRYPT_ATTR_BLOB timeValue{};
    CRYPT_ATTRIBUTE timeAttribute{};
    if (dwFlags & kSigningTime) {
        if (!encodeSigningTime(signingTime)) {
            status.failWithPlatform(err::kSignFailed);
            return std::string();
        }
        timeValue = {static_cast<DWORD>(signingTime.size()), signingTime.data()};
        timeAttribute = {signingTimeOid.data(), 1, &timeValue};
        openFlags |= CMSG_AUTHENTICATED_ATTRIBUTES_FLAG;
    }

    CertificateKey key;
    if (!acquireKey(certificate, key)) {
        status.failWithPlatform(err::kSignFailed);
        return std::string();
    }

    CMSG_SIGNER_ENCODE_INFO signerInfo{};
    signerInfo.cbSize = sizeof signerInfo;
    signerInfo.pCertInfo = certificate->pCertInfo;
    signerInfo.hCryptProv = key.provider;
    signerInfo.dwKeySpec = key.keySpec;
    signerInfo.HashAlgorithm.pszObjId = digestOid.data();
    if (dwFlags & kSigningTime) {
        signerInfo.cAuthAttr = 1;
        signerInfo.rgAuthAttr = &timeAttribute;
    }

    std::vector<CERT_BLOB> certificates{{certificate->cbCertEncoded, certificate->pbCertEncoded}};
    if (dwFlags & kNoCertificates) certificates.clear();
    CertChainHolder chain;
    if (dwFlags & kWithChain) {
        CERT_CHAIN_PARA para{};
        para.cbSize = sizeof para;
        para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
        if (!CertGetCertificateChain(HCCE_CURRENT_USER, certificate, nullptr, nullptr, &para, 0,
                                     nullptr, chain.out())) {
            status.failWithPlatform(err::kNoChain);
            return std::string();
        }
        if (!chainAcceptable(chain.get()->TrustStatus.dwErrorStatus)) {
            status.fail(err::kNoChain);
            return std::string();
        }
        // Every element travels, however long the chain is.
        certificates.clear();
        if (chain.get()->cChain > 0) {
            const CERT_SIMPLE_CHAIN* first = chain.get()->rgpChain[0];
            for (DWORD i = 0; i < first->cElement; ++i) {
                PCCERT_CONTEXT element = first->rgpElement[i]->pCertContext;
                certificates.push_back({element->cbCertEncoded, element->pbCertEncoded});
            }
        }
    }

    CMSG_SIGNED_ENCODE_INFO messageInfo{};
    messageInfo.cbSize = sizeof messageInfo;
    messageInfo.cSigners = 1;
    messageInfo.rgSigners = &signerInfo;
    messageInfo.cCertEncoded = static_cast<DWORD>(certificates.size());
    messageInfo.rgCertEncoded = certificates.empty() ? nullptr : certificates.data();

    if (dwFlags & kDetached) openFlags |= CMSG_DETACHED_FLAG;
    if (content.size() >= CMSG_INDEFINITE_LENGTH) {
        status.fail(err::kSignFailed);
        return std::string();
    }
    // The message is streamed straight into its Base64 text: the encoding never exists
    // whole beside the content and the text. The text is reserved once for the
    // message's length, give or take the signer information (the modulus, the issuer's
    // name, the attributes), so that it never moves while it grows.
    std::string text;
    TextSink sink{Base64Appender(text)};
    try {
        size_t estimate = content.size() + 2 * certificate->cbCertEncoded + 8192;
        for (const CERT_BLOB& c : certificates) estimate += c.cbData;
        text.reserve(estimate / 3 * 4 + 4);
    } catch (const std::bad_alloc&) {
        status.fail(err::kAllocation);
        return std::string();
    }
    CMSG_STREAM_INFO stream{static_cast<DWORD>(content.size()), appendToText, &sink};
    CryptMsgHolder msg(
        CryptMsgOpenToEncode(kEncoding, openFlags, CMSG_SIGNED, &messageInfo, nullptr, &stream));
    if (!msg) {
        status.failWithPlatform(err::kSignFailed);
        return std::string();
    }
    // Pieces small enough that the bytes and their Base64 stay in a core's cache between
    // the digest and the encoding.
    constexpr size_t kPiece = size_t{128} << 10;
    size_t at = 0;
    BOOL updated = TRUE;
    do {
        size_t piece = std::min(kPiece, content.size() - at);
        updated = CryptMsgUpdate(msg.get(), content.data() + at, static_cast<DWORD>(piece),
                                 at + piece == content.size());
        at += piece;
    } while (updated && at < content.size());
    if (!updated) {
        if (sink.outOfMemory) {
            status.fail(err::kAllocation);
        } else {
            DWORD platformError = GetLastError();
            status.failWith(signingFailure(platformError), platformError);
        }
        return std::string();
    }
    status.lastError = 0;
    return text;
}

}  // namespace

bool chainAcceptable(uint32_t errorStatus) {
    if (errorStatus == CERT_TRUST_NO_ERROR) return true;
    if (errorStatus & (CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED)) return true;
    if (errorStatus & (CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_NOT_SIGNATURE_VALID |
                       CERT_TRUST_IS_NOT_VALID_FOR_USAGE))
        return false;
    return (errorStatus & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0;
}

std::string signPkcs1(const std::u16string& content, int32_t dwFlags, const SignerRef& signer,
                      ErrorPair& status) {
    if (!contentGiven(content, status)) return std::string();
    SignerStore store;
    if (store.open(signer, status) != 0) return std::string();
    PCCERT_CONTEXT certificate = store.certificate();
    if (!signatureAllowed(certificate, content, status)) return std::string();

    CertificateKey key;
    if (!acquireKey(certificate, key)) {
        status.failWithPlatform(err::kMyStoreDenied);
        return std::string();
    }
    KeyProvInfo info = store.keyProvInfo(status);
    if (!info) return std::string();
    DWORD keySpec = info->dwKeySpec;

    std::string storage;
    std::span<const uint8_t> bytes = contentBytes(content, dwFlags & kAnsiContent, storage);
    ByteBuffer digest;
    ALG_ID algorithm = pkcs1Digest(bytes, dwFlags, digest);

    CryptHashHolder hash;
    std::vector<BYTE> signature;
    if (!CryptCreateHash(key.provider, algorithm, 0, 0, hash.out()) ||
        !CryptSetHashParam(hash.get(), HP_HASHVAL, digest.data(), 0) ||
        !fetchSized(signature, [&hash, keySpec](BYTE* data, DWORD* size) {
            return CryptSignHashA(hash.get(), keySpec, nullptr, 0, data, size);
        })) {
        status.failWithPlatform(err::kSignFailed);
        return std::string();
    }
    // The platform gives the signature least significant byte first.
    std::reverse(signature.begin(), signature.end());

    ByteBuffer text;
    const auto size = static_cast<int32_t>(signature.size());
    bool encoded = (dwFlags & kBase64Output) ? text.encodeBase64(signature.data(), size)
                                             : text.encodeHex(signature.data(), size);
    if (!encoded) {
        status.fail(err::kAllocation);
        return std::string();
    }
    status.lastError = 0;
    return textOf(text);
}

std::string signPkcs7(const std::u16string& content, int32_t dwFlags, const SignerRef& signer,
                      ErrorPair& status) {
    if (!contentGiven(content, status)) return std::string();
    SignerStore store;
    if (store.open(signer, status) != 0) return std::string();
    if (!signatureAllowed(store.certificate(), content, status)) return std::string();
    if (!store.keyProvInfo(status)) return std::string();
    std::string storage;
    return buildMessage(store.certificate(), contentBytes(content, dwFlags & kAnsiContent, storage),
                        dwFlags, status);
}
