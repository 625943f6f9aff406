// PKCS#7 messages. The encoder lays out signed-data element by element, so that the
// bytes are the platform's: versions, attribute set and algorithm identifiers exactly as
// given, nothing added. The decoder reads signed-data (and plain data) as BER, since
// certification authorities answer with messages made by many encoders.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt_sign.h"
#include "platform/der.h"
#include "platform/handle_table.h"
#include "platform/openssl_holders.h"
#include "platform/size_protocol.h"
#include "platform/wincrypt.h"
#include "platform/wincrypt_msg.h"

namespace {

using MdCtxPtr = openssl::Holder<EVP_MD_CTX, EVP_MD_CTX_free>;

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);
constexpr auto& fail = failWithLastError;

bool isPkcs7Encoding(DWORD encodingType) {
    return (encodingType & PKCS_7_ASN_ENCODING) != 0;
}

// ---- the message objects

class Message {
  public:
    virtual ~Message() = default;
    virtual BOOL update(const BYTE* data, DWORD size, bool final) = 0;
    virtual BOOL getParam(DWORD type, DWORD index, void* pvData, DWORD* pcbData) = 0;
    std::mutex mutex;  // one call at a time on a message
};
using MessagePtr = std::shared_ptr<Message>;

HandleTable<MessagePtr>& messages() {
    static HandleTable<MessagePtr> table(0x80000);
    return table;
}

MessagePtr findMessage(HCRYPTMSG h) {
    return messages().find(reinterpret_cast<uintptr_t>(h)).value_or(nullptr);
}

HCRYPTMSG addMessage(MessagePtr message) {
    return reinterpret_cast<HCRYPTMSG>(messages().add(std::move(message)));
}

// ---- encoding pieces

// True when `bytes` hold exactly one complete element.
bool isOneElement(const BYTE* bytes, DWORD size) {
    if (!bytes || size == 0) return false;
    DerCursor cursor(bytes, size);
    DerElement element;
    return cursor.next(element, nullptr) && cursor.atEnd();
}

// AlgorithmIdentifier (RFC 5280 section 4.1.1.2) with the given parameters, or NULL
// when none are given.
bool appendAlgorithm(DerBytes& out, std::string_view oid, const CRYPT_OBJID_BLOB& parameters) {
    DerBytes content;
    if (!derAppendOid(content, oid)) return false;
    if (parameters.cbData) {
        if (!isOneElement(parameters.pbData, parameters.cbData)) return false;
        content.insert(content.end(), parameters.pbData, parameters.pbData + parameters.cbData);
    } else {
        derAppend(content, kDerNull, nullptr, 0);
    }
    derAppend(out, kDerSequence, content);
    return true;
}

// Attribute ::= SEQUENCE { attrType OID, attrValues SET OF value } (RFC 5652 section
// 5.3), values sorted as DER sorts a SET OF.
bool encodeAttribute(const CRYPT_ATTRIBUTE& attribute, DerBytes& out) {
    if (!attribute.pszObjId || (attribute.cValue && !attribute.rgValue)) return false;
    DerBytes content;
    if (!derAppendOid(content, attribute.pszObjId)) return false;
    std::vector<DerBytes> values;
    for (DWORD i = 0; i < attribute.cValue; ++i) {
        const CRYPT_ATTR_BLOB& value = attribute.rgValue[i];
        if (!isOneElement(value.pbData, value.cbData)) return false;
        values.emplace_back(value.pbData, value.pbData + value.cbData);
    }
    derAppendSetOf(content, kDerSet, std::move(values));
    out = derElement(kDerSequence, content);
    return true;
}

bool encodeAttributes(DWORD count, const CRYPT_ATTRIBUTE* attributes, std::vector<DerBytes>& out) {
    if (count && !attributes) return false;
    for (DWORD i = 0; i < count; ++i) {
        DerBytes encoded;
        if (!encodeAttribute(attributes[i], encoded)) return false;
        out.push_back(std::move(encoded));
    }
    return true;
}

bool namesAttribute(const CRYPT_ATTRIBUTE& attribute, const char* oid) {
    return attribute.pszObjId && std::strcmp(attribute.pszObjId, oid) == 0;
}

DerBytes simpleAttribute(const char* oid, const DerBytes& value) {
    DerBytes content;
    derAppendOid(content, oid);
    derAppend(content, kDerSet, value);
    return derElement(kDerSequence, content);
}

// ---- the signed-data encoder

struct SignerPlan {
    ProviderReference provider;
    DWORD keySpec = 0;
    ALG_ID digest = 0;
    DerBytes digestAlgorithm;     // AlgorithmIdentifier
    DerBytes signerIdentifier;    // IssuerAndSerialNumber
    DerBytes signatureAlgorithm;  // AlgorithmIdentifier of the certificate's key
    bool withAttributes = false;
    std::vector<DerBytes> authenticated;  // the caller's, encoded
    std::vector<DerBytes> unauthenticated;
    MdCtxPtr running;
};

// IssuerAndSerialNumber (RFC 2315 section 6.7) from the certificate's information.
bool encodeSignerIdentifier(const CERT_INFO& info, DerBytes& out) {
    if (!isOneElement(info.Issuer.pbData, info.Issuer.cbData) ||
        info.Issuer.pbData[0] != kDerSequence || !info.SerialNumber.pbData ||
        info.SerialNumber.cbData == 0)
        return false;
    DerBytes content(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData);
    // The platform keeps the serial's content octets least significant first.
    DerBytes serial(info.SerialNumber.pbData, info.SerialNumber.pbData + info.SerialNumber.cbData);
    std::reverse(serial.begin(), serial.end());
    derAppend(content, kDerInteger, serial);
    out = derElement(kDerSequence, content);
    return true;
}

class SignedEncoder : public Message {
  public:
    SignedEncoder(bool detached, bool withAttributes)
        : detached_(detached), withAttributes_(withAttributes) {}

    // Takes the message description over: signers, certificates and CRLs.
    BOOL prepare(const CMSG_SIGNED_ENCODE_INFO& info) {
        if (info.cSigners && !info.rgSigners) return fail(kInvalidArg);
        for (DWORD i = 0; i < info.cSigners; ++i)
            if (!addSigner(info.rgSigners[i])) return FALSE;
        return addEncoded(info.cCertEncoded, info.rgCertEncoded, certificates_) &&
               addEncoded(info.cCrlEncoded, info.rgCrlEncoded, crls_);
    }

    BOOL update(const BYTE* data, DWORD size, bool final) override {
        if (finalSeen_) return fail(CRYPT_E_MSG_ERROR);
        if (size && !data) return fail(kInvalidArg);
        for (SignerPlan& signer : signers_)
            if (size && EVP_DigestUpdate(signer.running.get(), data, size) != 1) {
                ERR_clear_error();
                return fail(NTE_FAIL);
            }
        if (!detached_ && size) content_.insert(content_.end(), data, data + size);
        if (!final) return TRUE;
        finalSeen_ = true;
        return finish();
    }

    BOOL getParam(DWORD type, DWORD, void* pvData, DWORD* pcbData) override {
        switch (type) {
            case CMSG_TYPE_PARAM:
                return giveOutDword(CMSG_SIGNED, pvData, pcbData);
            case CMSG_CONTENT_PARAM:
                if (encoded_.empty()) return fail(CRYPT_E_STREAM_MSG_NOT_READY);
                return giveOutBytes(encoded_.data(), encoded_.size(), pvData, pcbData);
            default:
                return fail(CRYPT_E_INVALID_MSG_TYPE);
        }
    }

  private:
    // Checks and takes over one signer description. FALSE with the last error set.
    BOOL addSigner(const CMSG_SIGNER_ENCODE_INFO& in) {
        if (in.cbSize != sizeof(CMSG_SIGNER_ENCODE_INFO) || !in.pCertInfo || !in.hCryptProv ||
            in.pvHashAuxInfo || !in.HashAlgorithm.pszObjId)
            return fail(kInvalidArg);
        SignerPlan plan;
        plan.digest = cryptDigestOfOid(in.HashAlgorithm.pszObjId);
        const CERT_PUBLIC_KEY_INFO& key = in.pCertInfo->SubjectPublicKeyInfo;
        if (!plan.digest || !key.Algorithm.pszObjId ||
            std::strcmp(key.Algorithm.pszObjId, szOID_RSA_RSA) != 0)
            return fail(CRYPT_E_UNKNOWN_ALGO);
        if (!appendAlgorithm(plan.digestAlgorithm, in.HashAlgorithm.pszObjId,
                             in.HashAlgorithm.Parameters) ||
            !appendAlgorithm(plan.signatureAlgorithm, szOID_RSA_RSA, {}) ||
            !encodeSignerIdentifier(*in.pCertInfo, plan.signerIdentifier) ||
            !encodeAttributes(in.cAuthAttr, in.rgAuthAttr, plan.authenticated) ||
            !encodeAttributes(in.cUnauthAttr, in.rgUnauthAttr, plan.unauthenticated))
            return fail(kInvalidArg);
        // The encoder adds these two itself; a second copy would make the set invalid.
        for (DWORD i = 0; i < in.cAuthAttr; ++i)
            if (namesAttribute(in.rgAuthAttr[i], szOID_RSA_contentType) ||
                namesAttribute(in.rgAuthAttr[i], szOID_RSA_messageDigest))
                return fail(kInvalidArg);
        plan.withAttributes = withAttributes_ || in.cAuthAttr > 0;
        // The key must be there now; it is used (and the user asked) on the final update.
        DWORD length = 0;
        if (!plan.provider.take(in.hCryptProv) ||
            !cryptSignatureLength(in.hCryptProv, in.dwKeySpec, &length))
            return FALSE;
        plan.keySpec = in.dwKeySpec;
        plan.running.reset(EVP_MD_CTX_new());
        if (!plan.running ||
            EVP_DigestInit_ex(plan.running.get(), cryptDigestOf(plan.digest), nullptr) != 1) {
            ERR_clear_error();
            return fail(NTE_FAIL);
        }
        signers_.push_back(std::move(plan));
        return TRUE;
    }

    // Certificates or CRLs as given, each one complete element.
    static BOOL addEncoded(DWORD count, const CRYPT_INTEGER_BLOB* blobs,
                           std::vector<DerBytes>& out) {
        if (count && !blobs) return fail(kInvalidArg);
        for (DWORD i = 0; i < count; ++i) {
            if (!isOneElement(blobs[i].pbData, blobs[i].cbData)) return fail(kInvalidArg);
            out.emplace_back(blobs[i].pbData, blobs[i].pbData + blobs[i].cbData);
        }
        return TRUE;
    }

    // SignerInfo (RFC 2315 section 9.2) of one signer over the content's digest.
    BOOL encodeSigner(SignerPlan& signer, DerBytes& out) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestLength = 0;
        if (EVP_DigestFinal_ex(signer.running.get(), digest, &digestLength) != 1) {
            ERR_clear_error();
            return fail(NTE_FAIL);
        }
        DerBytes attributes;  // the SET, as it is signed
        std::vector<BYTE> signedDigest(digest, digest + digestLength);
        if (signer.withAttributes) {
            std::vector<DerBytes> all = signer.authenticated;
            DerBytes contentType;
            derAppendOid(contentType, szOID_RSA_data);
            all.push_back(simpleAttribute(szOID_RSA_contentType, contentType));
            all.push_back(simpleAttribute(szOID_RSA_messageDigest,
                                          derElement(kDerOctetString, DerBytes(signedDigest))));
            derAppendSetOf(attributes, kDerSet, std::move(all));
            // With attributes the signature covers their DER SET instead of the content
            // (RFC 2315 section 9.3).
            if (!cryptDigestBytes(signer.digest, attributes.data(), attributes.size(),
                                  signedDigest))
                return fail(NTE_FAIL);
        }
        std::vector<BYTE> signature;
        if (!cryptSignDigest(signer.provider.get(), signer.keySpec, "sign a message", signer.digest,
                             signedDigest.data(), signedDigest.size(), signature))
            return FALSE;
        DerBytes content;
        derAppend(content, kDerInteger, DerBytes{1});
        content.insert(content.end(), signer.signerIdentifier.begin(),
                       signer.signerIdentifier.end());
        content.insert(content.end(), signer.digestAlgorithm.begin(), signer.digestAlgorithm.end());
        if (!attributes.empty()) {
            // The same set under the [0] IMPLICIT tag.
            attributes[0] = kDerContext0;
            content.insert(content.end(), attributes.begin(), attributes.end());
        }
        content.insert(content.end(), signer.signatureAlgorithm.begin(),
                       signer.signatureAlgorithm.end());
        derAppend(content, kDerOctetString, signature);
        if (!signer.unauthenticated.empty())
            derAppendSetOf(content, kDerContext1, signer.unauthenticated);
        out = derElement(kDerSequence, content);
        return TRUE;
    }

    // ContentInfo { signedData, [0] SignedData } (RFC 2315 sections 7 and 9.1).
    BOOL finish() {
        std::vector<DerBytes> signerInfos;
        std::vector<DerBytes> digestAlgorithms;
        for (SignerPlan& signer : signers_) {
            DerBytes info;
            if (!encodeSigner(signer, info)) return FALSE;
            signerInfos.push_back(std::move(info));
            if (std::find(digestAlgorithms.begin(), digestAlgorithms.end(),
                          signer.digestAlgorithm) == digestAlgorithms.end())
                digestAlgorithms.push_back(signer.digestAlgorithm);
        }
        DerBytes inner;
        derAppendOid(inner, szOID_RSA_data);
        if (!detached_) {
            DerBytes explicitContent;
            derAppend(explicitContent, kDerOctetString, content_);
            derAppend(inner, kDerContext0, explicitContent);
        }
        DerBytes signedData;
        derAppend(signedData, kDerInteger, DerBytes{1});
        derAppendSetOf(signedData, kDerSet, std::move(digestAlgorithms));
        derAppend(signedData, kDerSequence, inner);
        // Certificates keep the caller's order: readers take the first as the signer's
        // when they look no further.
        appendInOrder(signedData, kDerContext0, certificates_);
        appendInOrder(signedData, kDerContext1, crls_);
        derAppendSetOf(signedData, kDerSet, std::move(signerInfos));
        DerBytes contentInfo;
        derAppendOid(contentInfo, szOID_RSA_signedData);
        derAppend(contentInfo, kDerContext0, derElement(kDerSequence, signedData));
        encoded_ = derElement(kDerSequence, contentInfo);
        content_.clear();
        return TRUE;
    }

    static void appendInOrder(DerBytes& out, BYTE tag, const std::vector<DerBytes>& members) {
        if (members.empty()) return;
        DerBytes content;
        for (const DerBytes& m : members) content.insert(content.end(), m.begin(), m.end());
        derAppend(out, tag, content);
    }

    bool detached_;
    bool withAttributes_;
    std::vector<SignerPlan> signers_;
    std::vector<DerBytes> certificates_;
    std::vector<DerBytes> crls_;
    std::vector<BYTE> content_;
    bool finalSeen_ = false;
    DerBytes encoded_;
};

}  // namespace

HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                               CMSG_STREAM_INFO* pStreamInfo) {
    constexpr DWORD kKnownFlags = CMSG_DETACHED_FLAG | CMSG_AUTHENTICATED_ATTRIBUTES_FLAG;
    if (!isPkcs7Encoding(dwMsgEncodingType) || (dwFlags & ~kKnownFlags) || pStreamInfo ||
        (pszInnerContentObjID && std::strcmp(pszInnerContentObjID, szOID_RSA_data) != 0))
        return nullWithLastError(kInvalidArg);
    if (dwMsgType != CMSG_SIGNED) return nullWithLastError(CRYPT_E_INVALID_MSG_TYPE);
    const auto* info = static_cast<const CMSG_SIGNED_ENCODE_INFO*>(pvMsgEncodeInfo);
    if (!info || info->cbSize != sizeof(CMSG_SIGNED_ENCODE_INFO))
        return nullWithLastError(kInvalidArg);
    try {
        auto encoder =
            std::make_shared<SignedEncoder>((dwFlags & CMSG_DETACHED_FLAG) != 0,
                                            (dwFlags & CMSG_AUTHENTICATED_ATTRIBUTES_FLAG) != 0);
        if (!encoder->prepare(*info)) return nullptr;
        return addMessage(std::move(encoder));
    } catch (const std::bad_alloc&) {
        return nullWithLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal) {
    MessagePtr message = findMessage(hCryptMsg);
    if (!message) return fail(ERROR_INVALID_HANDLE);
    std::lock_guard lock(message->mutex);
    try {
        return message->update(pbData, cbData, fFinal != FALSE);
    } catch (const std::bad_alloc&) {
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                      DWORD* pcbData) {
    MessagePtr message = findMessage(hCryptMsg);
    if (!message) return fail(ERROR_INVALID_HANDLE);
    if (!pcbData) return fail(kInvalidArg);
    std::lock_guard lock(message->mutex);
    return message->getParam(dwParamType, dwIndex, pvData, pcbData);
}

BOOL CryptMsgClose(HCRYPTMSG hCryptMsg) {
    if (!hCryptMsg) return TRUE;
    return messages().remove(reinterpret_cast<uintptr_t>(hCryptMsg)) ? TRUE
                                                                     : fail(ERROR_INVALID_HANDLE);
}
