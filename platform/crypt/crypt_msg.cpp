// PKCS#7 messages. The encoder lays out signed-data element by element, so that the
// bytes are the platform's: versions, attribute set and algorithm identifiers exactly as
// given, nothing added. The decoder (crypt_msg_decode.cpp) reads signed-data (and plain
// data) as BER, since certification authorities answer with messages made by many
// encoders.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/crypt_encode_internal.h"
#include "platform/crypt/crypt_msg_internal.h"
#include "platform/crypt/crypt_sign_internal.h"
#include "platform/crypt/der_internal.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/system/handle_table_internal.h"

namespace {

using openssl::MdCtxPtr;

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);
constexpr auto& fail = failWithLastError;

bool isPkcs7Encoding(DWORD encodingType) {
    return (encodingType & PKCS_7_ASN_ENCODING) != 0;
}

// ---- the message objects

using crypt_msg::Message;
using crypt_msg::MessagePtr;

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
    DWORD signatureLength = 0;  // the modulus length
    ALG_ID digest = 0;
    size_t digestLength = 0;
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
    if (!derIsOneElement(info.Issuer.pbData, info.Issuer.cbData) ||
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
    // `stream` null: the encoding is kept for CMSG_CONTENT_PARAM. Otherwise it goes out
    // through the stream's callback as the content arrives.
    SignedEncoder(bool detached, bool withAttributes, const CMSG_STREAM_INFO* stream)
        : detached_(detached), withAttributes_(withAttributes) {
        if (stream) stream_ = *stream;
    }

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
        if (stream_.pfnStreamOutput) return streamUpdate(data, size, final);
        if (!hash(data, size)) return FALSE;
        if (final && content_.empty()) {
            // The whole content in one call: it goes from the caller's buffer straight
            // into the encoding, without a copy held here.
            finalSeen_ = true;
            return finish(data, size);
        }
        if (!detached_ && size) content_.insert(content_.end(), data, data + size);
        if (!final) return TRUE;
        finalSeen_ = true;
        BOOL done = finish(content_.data(), content_.size());
        content_.clear();
        content_.shrink_to_fit();
        return done;
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
        if (!cryptAppendAlgorithm(plan.digestAlgorithm, in.HashAlgorithm.pszObjId,
                                  in.HashAlgorithm.Parameters) ||
            !cryptAppendAlgorithm(plan.signatureAlgorithm, szOID_RSA_RSA, {}) ||
            !encodeSignerIdentifier(*in.pCertInfo, plan.signerIdentifier) ||
            !cryptEncodeAttributes(in.cAuthAttr, in.rgAuthAttr, plan.authenticated) ||
            !cryptEncodeAttributes(in.cUnauthAttr, in.rgUnauthAttr, plan.unauthenticated))
            return fail(kInvalidArg);
        // The encoder adds these two itself; a second copy would make the set invalid.
        for (DWORD i = 0; i < in.cAuthAttr; ++i)
            if (namesAttribute(in.rgAuthAttr[i], szOID_RSA_contentType) ||
                namesAttribute(in.rgAuthAttr[i], szOID_RSA_messageDigest))
                return fail(kInvalidArg);
        plan.withAttributes = withAttributes_ || in.cAuthAttr > 0;
        // The key must be there now; it is used (and the user asked) on the final update.
        if (!plan.provider.take(in.hCryptProv) ||
            !cryptSignatureLength(in.hCryptProv, in.dwKeySpec, &plan.signatureLength))
            return FALSE;
        plan.keySpec = in.dwKeySpec;
        const EVP_MD* md = cryptDigestOf(plan.digest);
        plan.running.reset(EVP_MD_CTX_new());
        if (!md || !plan.running || EVP_DigestInit_ex(plan.running.get(), md, nullptr) != 1) {
            ERR_clear_error();
            return fail(NTE_FAIL);
        }
        plan.digestLength = static_cast<size_t>(EVP_MD_get_size(md));
        signers_.push_back(std::move(plan));
        return TRUE;
    }

    // Certificates or CRLs as given, each one complete element.
    static BOOL addEncoded(DWORD count, const CRYPT_INTEGER_BLOB* blobs,
                           std::vector<DerBytes>& out) {
        if (count && !blobs) return fail(kInvalidArg);
        for (DWORD i = 0; i < count; ++i) {
            if (!derIsOneElement(blobs[i].pbData, blobs[i].cbData)) return fail(kInvalidArg);
            out.emplace_back(blobs[i].pbData, blobs[i].pbData + blobs[i].cbData);
        }
        return TRUE;
    }

    // Feeds a piece of the content into every signer's digest.
    BOOL hash(const BYTE* data, DWORD size) {
        for (SignerPlan& signer : signers_)
            if (size && EVP_DigestUpdate(signer.running.get(), data, size) != 1) {
                ERR_clear_error();
                return fail(NTE_FAIL);
            }
        return TRUE;
    }

    // SignerInfo (RFC 2315 section 9.2) of one signer over the content's digest. With
    // `sign` false the digest and the signature are zeros of their lengths: the
    // encoding then has its final size without the key being used.
    static BOOL encodeSigner(const SignerPlan& signer, std::vector<BYTE> contentDigest, bool sign,
                             DerBytes& out) {
        DerBytes attributes;  // the SET, as it is signed
        std::vector<BYTE> signedDigest = std::move(contentDigest);
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
            if (sign && !cryptDigestBytes(signer.digest, attributes.data(), attributes.size(),
                                          signedDigest))
                return fail(NTE_FAIL);
        }
        std::vector<BYTE> signature(signer.signatureLength, 0);
        if (sign &&
            !cryptSignDigest(signer.provider.get(), signer.keySpec, "sign a message", signer.digest,
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

    // Every signer's SignerInfo: signed, or (sign false) of its final size only.
    BOOL encodeSigners(bool sign, std::vector<DerBytes>& out) {
        out.clear();
        for (SignerPlan& signer : signers_) {
            std::vector<BYTE> digest(signer.digestLength, 0);
            if (sign) {
                unsigned int length = 0;
                if (EVP_DigestFinal_ex(signer.running.get(), digest.data(), &length) != 1) {
                    ERR_clear_error();
                    return fail(NTE_FAIL);
                }
                digest.resize(length);
            }
            DerBytes info;
            if (!encodeSigner(signer, std::move(digest), sign, info)) return FALSE;
            out.push_back(std::move(info));
        }
        return TRUE;
    }

    // What follows the content in SignedData: the certificates (in the caller's order:
    // readers take the first as the signer's when they look no further), CRLs and
    // signer infos.
    DerBytes tailOf(std::vector<DerBytes> signerInfos) const {
        DerBytes after;
        appendInOrder(after, kDerContext0, certificates_);
        appendInOrder(after, kDerContext1, crls_);
        derAppendSetOf(after, kDerSet, std::move(signerInfos));
        return after;
    }

    // ContentInfo { signedData, [0] SignedData } (RFC 2315 sections 7 and 9.1) up to
    // the content's octets: only the content is large, so the lengths are worked out
    // from its size and the tail's, and the content itself is never copied into a
    // buffer of parts.
    DerBytes headOf(size_t contentSize, size_t tailSize) const {
        std::vector<DerBytes> digestAlgorithms;
        for (const SignerPlan& signer : signers_)
            if (std::find(digestAlgorithms.begin(), digestAlgorithms.end(),
                          signer.digestAlgorithm) == digestAlgorithms.end())
                digestAlgorithms.push_back(signer.digestAlgorithm);
        DerBytes dataOid;
        derAppendOid(dataOid, szOID_RSA_data);
        DerBytes before;  // version and digest algorithms
        derAppend(before, kDerInteger, DerBytes{1});
        derAppendSetOf(before, kDerSet, std::move(digestAlgorithms));

        size_t octets = derElementSize(contentSize);      // OCTET STRING
        size_t explicitContent = derElementSize(octets);  // [0] EXPLICIT
        size_t inner = dataOid.size() + (detached_ ? 0 : explicitContent);
        size_t signedData = before.size() + derElementSize(inner) + tailSize;
        size_t wrapped = derElementSize(derElementSize(signedData));  // [0] { SEQUENCE }
        DerBytes signedDataOid;
        derAppendOid(signedDataOid, szOID_RSA_signedData);
        size_t contentInfo = signedDataOid.size() + wrapped;

        DerBytes head;
        derAppendHeader(head, kDerSequence, contentInfo);
        head.insert(head.end(), signedDataOid.begin(), signedDataOid.end());
        derAppendHeader(head, kDerContext0, derElementSize(signedData));
        derAppendHeader(head, kDerSequence, signedData);
        head.insert(head.end(), before.begin(), before.end());
        derAppendHeader(head, kDerSequence, inner);
        head.insert(head.end(), dataOid.begin(), dataOid.end());
        if (!detached_) {
            derAppendHeader(head, kDerContext0, octets);
            derAppendHeader(head, kDerOctetString, contentSize);
        }
        return head;
    }

    // Signs and writes the whole encoding once, into a buffer of its final size.
    BOOL finish(const BYTE* content, size_t contentSize) {
        std::vector<DerBytes> signerInfos;
        if (!encodeSigners(true, signerInfos)) return FALSE;
        DerBytes tail = tailOf(std::move(signerInfos));
        DerBytes head = headOf(contentSize, tail.size());
        encoded_.clear();
        encoded_.reserve(head.size() + (detached_ ? 0 : contentSize) + tail.size());
        encoded_.insert(encoded_.end(), head.begin(), head.end());
        if (!detached_ && contentSize)
            encoded_.insert(encoded_.end(), content, content + contentSize);
        encoded_.insert(encoded_.end(), tail.begin(), tail.end());
        return TRUE;
    }

    // Streaming: the head goes out with the first update (its lengths follow from the
    // stream's content length and the keys' lengths), the content as it arrives, the
    // signer infos on the final update. The bytes are those finish() writes.
    BOOL streamUpdate(const BYTE* data, DWORD size, bool final) {
        if (!headSent_) {
            std::vector<DerBytes> sized;
            if (!encodeSigners(false, sized)) return FALSE;
            tailSize_ = tailOf(std::move(sized)).size();
            DerBytes head = headOf(stream_.cbContent, tailSize_);
            if (!emit(head.data(), head.size(), false)) return FALSE;
            headSent_ = true;
        }
        if (size > stream_.cbContent - contentSeen_) return fail(CRYPT_E_MSG_ERROR);
        if (!hash(data, size)) return FALSE;
        if (!detached_ && size && !emit(data, size, false)) return FALSE;
        contentSeen_ += size;
        if (!final) return TRUE;
        finalSeen_ = true;
        if (contentSeen_ != stream_.cbContent) return fail(CRYPT_E_MSG_ERROR);
        std::vector<DerBytes> signerInfos;
        if (!encodeSigners(true, signerInfos)) return FALSE;
        DerBytes tail = tailOf(std::move(signerInfos));
        // A signature shorter than the modulus would break the lengths already sent.
        if (tail.size() != tailSize_) return fail(NTE_FAIL);
        return emit(tail.data(), tail.size(), true);
    }

    // Hands bytes to the stream's callback; FALSE with the error the callback left
    // (CRYPT_E_MSG_ERROR when it left none).
    BOOL emit(const BYTE* data, size_t size, bool final) {
        SetLastError(0);
        if (stream_.pfnStreamOutput(stream_.pvArg, const_cast<BYTE*>(data),
                                    static_cast<DWORD>(size), final ? TRUE : FALSE))
            return TRUE;
        return fail(GetLastError() ? GetLastError() : CRYPT_E_MSG_ERROR);
    }

    static void appendInOrder(DerBytes& out, BYTE tag, const std::vector<DerBytes>& members) {
        if (members.empty()) return;
        DerBytes content;
        for (const DerBytes& m : members) content.insert(content.end(), m.begin(), m.end());
        derAppend(out, tag, content);
    }

    bool detached_;
    bool withAttributes_;
    CMSG_STREAM_INFO stream_{};
    std::vector<SignerPlan> signers_;
    std::vector<DerBytes> certificates_;
    std::vector<DerBytes> crls_;
    std::vector<BYTE> content_;
    bool finalSeen_ = false;
    bool headSent_ = false;
    size_t tailSize_ = 0;
    DWORD contentSeen_ = 0;
    DerBytes encoded_;
};

}  // namespace

HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                               CMSG_STREAM_INFO* pStreamInfo) {
    constexpr DWORD kKnownFlags = CMSG_DETACHED_FLAG | CMSG_AUTHENTICATED_ATTRIBUTES_FLAG;
    if (!isPkcs7Encoding(dwMsgEncodingType) || (dwFlags & ~kKnownFlags) ||
        (pszInnerContentObjID && std::strcmp(pszInnerContentObjID, szOID_RSA_data) != 0) ||
        (pStreamInfo &&
         (!pStreamInfo->pfnStreamOutput || pStreamInfo->cbContent == CMSG_INDEFINITE_LENGTH)))
        return nullWithLastError(kInvalidArg);
    if (dwMsgType != CMSG_SIGNED) return nullWithLastError(CRYPT_E_INVALID_MSG_TYPE);
    const auto* info = static_cast<const CMSG_SIGNED_ENCODE_INFO*>(pvMsgEncodeInfo);
    if (!info || info->cbSize != sizeof(CMSG_SIGNED_ENCODE_INFO))
        return nullWithLastError(kInvalidArg);
    try {
        auto encoder = std::make_shared<SignedEncoder>(
            (dwFlags & CMSG_DETACHED_FLAG) != 0,
            (dwFlags & CMSG_AUTHENTICATED_ATTRIBUTES_FLAG) != 0, pStreamInfo);
        if (!encoder->prepare(*info)) return nullptr;
        return addMessage(std::move(encoder));
    } catch (const std::bad_alloc&) {
        return nullWithLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               HCRYPTPROV hCryptProv, PCERT_INFO pRecipientInfo,
                               CMSG_STREAM_INFO* pStreamInfo) {
    if (!isPkcs7Encoding(dwMsgEncodingType) || dwFlags || hCryptProv || pRecipientInfo ||
        pStreamInfo)
        return nullWithLastError(kInvalidArg);
    if (dwMsgType != 0 && dwMsgType != CMSG_DATA && dwMsgType != CMSG_SIGNED)
        return nullWithLastError(CRYPT_E_INVALID_MSG_TYPE);
    try {
        return addMessage(crypt_msg::newDecoder(dwMsgType));
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
