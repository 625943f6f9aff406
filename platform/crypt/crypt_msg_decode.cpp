// The PKCS#7 decoder: signed-data (and plain data) read as BER, since certification
// authorities answer with messages made by many encoders.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/crypt/crypt_msg_internal.h"
#include "platform/crypt/der_internal.h"
#include "platform/crypt/size_protocol.h"

namespace {

using crypt_msg::Message;

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);
constexpr auto& fail = failWithLastError;

constexpr DerCursor::Rules kBer = DerCursor::Rules::Ber;

// The octets of an OCTET STRING, primitive or, in BER, constructed from pieces (X.690
// section 8.7.3).
bool collectOctets(const DerElement& element, std::vector<BYTE>& out, DWORD* error, int depth = 0) {
    if (element.tag == kDerOctetString) {
        out.insert(out.end(), element.content, element.content + element.length);
        return true;
    }
    if (element.tag != (kDerOctetString | 0x20) || depth > 8) {
        *error = CRYPT_E_ASN1_BADTAG;
        return false;
    }
    DerCursor pieces(element, kBer);
    while (!pieces.atEnd()) {
        DerElement piece;
        if (!pieces.next(piece, error) || !collectOctets(piece, out, error, depth + 1))
            return false;
    }
    return true;
}

std::string oidOf(const DerElement& element) {
    return derOidText(element.content, element.length);
}

class Decoder : public Message {
  public:
    explicit Decoder(DWORD expectedType) : expected_(expectedType) {}

    BOOL update(const BYTE* data, DWORD size, bool final) override {
        if (finalSeen_) return fail(CRYPT_E_MSG_ERROR);
        if (size && !data) return fail(kInvalidArg);
        if (size) input_.insert(input_.end(), data, data + size);
        if (!final) return TRUE;
        finalSeen_ = true;
        DWORD error = 0;
        bool ok = decode(&error);
        input_.clear();
        if (!ok) {
            content_.clear();
            certificates_.clear();
            return fail(error);
        }
        decoded_ = true;
        return TRUE;
    }

    BOOL getParam(DWORD type, DWORD index, void* pvData, DWORD* pcbData) override {
        if (!decoded_) return fail(CRYPT_E_STREAM_MSG_NOT_READY);
        switch (type) {
            case CMSG_TYPE_PARAM:
                return giveOutDword(type_, pvData, pcbData);
            case CMSG_CONTENT_PARAM:
                return giveOutBytes(content_.data(), content_.size(), pvData, pcbData);
            case CMSG_CERT_COUNT_PARAM:
                if (type_ != CMSG_SIGNED) return fail(CRYPT_E_INVALID_MSG_TYPE);
                return giveOutDword(static_cast<DWORD>(certificates_.size()), pvData, pcbData);
            case CMSG_CERT_PARAM:
                if (type_ != CMSG_SIGNED) return fail(CRYPT_E_INVALID_MSG_TYPE);
                if (index >= certificates_.size()) return fail(CRYPT_E_INVALID_INDEX);
                return giveOutBytes(certificates_[index].data(), certificates_[index].size(),
                                    pvData, pcbData);
            default:
                return fail(CRYPT_E_INVALID_MSG_TYPE);
        }
    }

  private:
    bool decode(DWORD* error) {
        auto fail = [&](DWORD code) {
            *error = code;
            return false;
        };
        DerCursor top(input_.data(), input_.size(), kBer);
        DerElement outer;
        if (!top.expect(kDerSequence, outer, error)) return false;
        if (!top.atEnd()) return fail(CRYPT_E_ASN1_CORRUPT);
        DerCursor fields(outer, kBer);
        // A signed message may come without its ContentInfo when its type is given
        // (SignedData starts with its version, ContentInfo with its type).
        if (expected_ == CMSG_SIGNED && fields.remaining() && *outer.content == kDerInteger) {
            type_ = CMSG_SIGNED;
            return decodeSigned(outer, error);
        }
        // ContentInfo ::= SEQUENCE { contentType, [0] EXPLICIT content OPTIONAL }
        // (RFC 2315 section 7).
        DerElement contentType, explicitContent, content;
        if (!fields.expect(kDerOid, contentType, error)) return false;
        std::string oid = oidOf(contentType);
        if (oid == szOID_RSA_signedData)
            type_ = CMSG_SIGNED;
        else if (oid == szOID_RSA_data)
            type_ = CMSG_DATA;
        else
            return fail(CRYPT_E_INVALID_MSG_TYPE);
        if (expected_ != 0 && expected_ != type_) return fail(CRYPT_E_INVALID_MSG_TYPE);
        if (fields.atEnd()) {
            // Data without content is empty; signed-data without its body is no message.
            return type_ == CMSG_DATA ? true : fail(CRYPT_E_ASN1_EOD);
        }
        if (!fields.expect(kDerContext0, explicitContent, error)) return false;
        if (!fields.atEnd()) return fail(CRYPT_E_ASN1_CORRUPT);
        DerCursor inside(explicitContent, kBer);
        if (!inside.next(content, error)) return false;
        if (!inside.atEnd()) return fail(CRYPT_E_ASN1_CORRUPT);
        if (type_ == CMSG_DATA) return collectOctets(content, content_, error);
        if (content.tag != kDerSequence) return fail(CRYPT_E_ASN1_BADTAG);
        return decodeSigned(content, error);
    }

    // SignedData (RFC 2315 section 9.1; RFC 5652 section 5.1 for its later versions).
    bool decodeSigned(const DerElement& signedData, DWORD* error) {
        DerCursor fields(signedData, kBer);
        DerElement version, digestAlgorithms, inner, field;
        if (!fields.expect(kDerInteger, version, error) ||
            !fields.expect(kDerSet, digestAlgorithms, error) ||
            !fields.expect(kDerSequence, inner, error))
            return false;
        if (!decodeInner(inner, error)) return false;
        if (!fields.next(field, error)) return false;
        if (field.tag == kDerContext0) {
            DerCursor list(field, kBer);
            while (!list.atEnd()) {
                DerElement certificate;
                if (!list.next(certificate, error)) return false;
                // Other certificate choices (extended, attribute certificates) are not
                // certificates to hand out.
                if (certificate.tag == kDerSequence)
                    certificates_.emplace_back(certificate.start,
                                               certificate.start + certificate.size());
            }
            if (!fields.next(field, error)) return false;
        }
        if (field.tag == kDerContext1 && !fields.next(field, error)) return false;
        if (field.tag != kDerSet) {
            *error = CRYPT_E_ASN1_BADTAG;
            return false;
        }
        if (!fields.atEnd()) {
            *error = CRYPT_E_ASN1_CORRUPT;
            return false;
        }
        return true;
    }

    // The inner ContentInfo: its content's octets, or none when detached.
    bool decodeInner(const DerElement& inner, DWORD* error) {
        DerCursor fields(inner, kBer);
        DerElement contentType, explicitContent, content;
        if (!fields.expect(kDerOid, contentType, error)) return false;
        if (fields.atEnd()) return true;
        if (!fields.expect(kDerContext0, explicitContent, error)) return false;
        DerCursor inside(explicitContent, kBer);
        if (!inside.next(content, error)) return false;
        if (!fields.atEnd() || !inside.atEnd()) {
            *error = CRYPT_E_ASN1_CORRUPT;
            return false;
        }
        // Data is an OCTET STRING; another type (RFC 2315 allows any) is handed out as
        // it stands.
        if (content.tag == kDerOctetString || content.tag == (kDerOctetString | 0x20))
            return collectOctets(content, content_, error);
        content_.assign(content.start, content.start + content.size());
        return true;
    }

    DWORD expected_;
    std::vector<BYTE> input_;
    bool finalSeen_ = false;
    bool decoded_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> content_;
    std::vector<std::vector<BYTE>> certificates_;
};

}  // namespace

crypt_msg::MessagePtr crypt_msg::newDecoder(DWORD expectedType) {
    return std::make_shared<Decoder>(expectedType);
}
