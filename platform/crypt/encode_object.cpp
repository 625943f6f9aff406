// Object encoding: the structures the control hands to CryptEncodeObject, public key
// export and signed certificate requests, laid out in DER by hand so that string types
// and orders are the platform's.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/crypt/crypt_encode_internal.h"
#include "platform/crypt/crypt_sign_internal.h"
#include "platform/crypt/der_internal.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/text/codepage.h"

namespace {

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);
constexpr auto& fail = failWithLastError;

// Structure types are small integers passed in place of a pointer; anything else is
// an OID string.
bool isStructNumber(LPCSTR type, LPCSTR number) {
    return type == number;
}
bool isSmallNumber(LPCSTR type) {
    return reinterpret_cast<uintptr_t>(type) <= 0xFFFF;
}

// ---- times

// The last FILETIME tick of 9999-12-31 23:59:59: four-digit years are all a time can
// carry in either form.
constexpr uint64_t kLastEncodableTick = 2650467743999999999ull;

// UTCTime for 1950 to 2049, GeneralizedTime otherwise, both in UTC with seconds and
// without fractions (RFC 5280 section 4.1.2.5; RFC 5652 section 11.3 for the signing
// time).
BOOL encodeTime(const FILETIME& time, DerBytes& out) {
    uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    SYSTEMTIME fields{};
    if (ticks > kLastEncodableTick || !FileTimeToSystemTime(&time, &fields))
        return fail(CRYPT_E_BAD_ENCODE);
    char text[40];
    bool utc = fields.wYear >= 1950 && fields.wYear <= 2049;
    if (utc)
        std::snprintf(text, sizeof text, "%02u%02u%02u%02u%02u%02uZ", fields.wYear % 100u,
                      fields.wMonth, fields.wDay, fields.wHour, fields.wMinute, fields.wSecond);
    else
        std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02uZ", fields.wYear, fields.wMonth,
                      fields.wDay, fields.wHour, fields.wMinute, fields.wSecond);
    derAppend(out, utc ? kDerUtcTime : kDerGeneralizedTime, reinterpret_cast<const BYTE*>(text),
              std::strlen(text));
    return TRUE;
}

// ---- names

constexpr BYTE kDerUtf8String = 0x0C;
constexpr BYTE kDerPrintableString = 0x13;
constexpr BYTE kDerIa5String = 0x16;
constexpr BYTE kDerBmpString = 0x1E;

// The PrintableString alphabet (X.680 section 41.4).
bool isPrintable(BYTE c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::strchr(" '()+,-./:=?", c) != nullptr;
}

// Host-order UTF-16 code units of a value, or false for an odd byte count.
bool codeUnits(const CRYPT_INTEGER_BLOB& value, std::u16string& out) {
    if (value.cbData % 2) return false;
    out.resize(value.cbData / 2);
    if (value.cbData) std::memcpy(out.data(), value.pbData, value.cbData);
    return true;
}

// AttributeTypeAndValue ::= SEQUENCE { type, value } (RFC 5280 section 4.1.2.4) in the
// attribute's string type.
BOOL encodeNameAttribute(const CERT_RDN_ATTR& attribute, DerBytes& out) {
    const CRYPT_INTEGER_BLOB& value = attribute.Value;
    if (!attribute.pszObjId || (value.cbData && !value.pbData)) return fail(kInvalidArg);
    DerBytes content;
    if (!derAppendOid(content, attribute.pszObjId)) return fail(CRYPT_E_OID_FORMAT);
    const BYTE* bytes = value.pbData;
    switch (attribute.dwValueType) {
        case CERT_RDN_PRINTABLE_STRING:
            for (DWORD i = 0; i < value.cbData; ++i)
                if (!isPrintable(bytes[i])) return fail(CRYPT_E_INVALID_PRINTABLE_STRING);
            derAppend(content, kDerPrintableString, bytes, value.cbData);
            break;
        case CERT_RDN_IA5_STRING:
            for (DWORD i = 0; i < value.cbData; ++i)
                if (bytes[i] > 0x7F) return fail(CRYPT_E_INVALID_IA5_STRING);
            derAppend(content, kDerIa5String, bytes, value.cbData);
            break;
        case CERT_RDN_BMP_STRING: {
            std::u16string units;
            if (!codeUnits(value, units)) return fail(kInvalidArg);
            // BMPString carries each code unit big-endian (X.690 section 8.23.8).
            DerBytes bigEndian;
            for (char16_t unit : units) {
                bigEndian.push_back(static_cast<BYTE>(unit >> 8));
                bigEndian.push_back(static_cast<BYTE>(unit & 0xFF));
            }
            derAppend(content, kDerBmpString, bigEndian);
            break;
        }
        case CERT_RDN_UTF8_STRING: {
            // A lone surrogate becomes U+FFFD, as the platform's conversion does.
            std::u16string units;
            if (!codeUnits(value, units)) return fail(kInvalidArg);
            std::string utf8 = toUtf8(units);
            derAppend(content, kDerUtf8String, reinterpret_cast<const BYTE*>(utf8.data()),
                      utf8.size());
            break;
        }
        default:
            return fail(CRYPT_E_NOT_CHAR_STRING);
    }
    out = derElement(kDerSequence, content);
    return TRUE;
}

// Name ::= SEQUENCE OF RelativeDistinguishedName, each a SET OF AttributeTypeAndValue
// in DER order (RFC 5280 section 4.1.2.4).
BOOL encodeName(const CERT_NAME_INFO& name, DerBytes& out) {
    if (name.cRDN && !name.rgRDN) return fail(kInvalidArg);
    DerBytes content;
    for (DWORD i = 0; i < name.cRDN; ++i) {
        const CERT_RDN& rdn = name.rgRDN[i];
        if (rdn.cRDNAttr && !rdn.rgRDNAttr) return fail(kInvalidArg);
        std::vector<DerBytes> attributes(rdn.cRDNAttr);
        for (DWORD k = 0; k < rdn.cRDNAttr; ++k)
            if (!encodeNameAttribute(rdn.rgRDNAttr[k], attributes[k])) return FALSE;
        derAppendSetOf(content, kDerSet, std::move(attributes));
    }
    out = derElement(kDerSequence, content);
    return TRUE;
}

// ---- certificate requests

// SubjectPublicKeyInfo (RFC 5280 section 4.1.2.7).
BOOL appendPublicKeyInfo(DerBytes& out, const CERT_PUBLIC_KEY_INFO& info) {
    const CRYPT_BIT_BLOB& key = info.PublicKey;
    if (!info.Algorithm.pszObjId || (key.cbData && !key.pbData) || key.cUnusedBits > 7)
        return fail(kInvalidArg);
    DerBytes content;
    if (!cryptAppendAlgorithm(content, info.Algorithm.pszObjId, info.Algorithm.Parameters))
        return fail(kInvalidArg);
    DerBytes bits{static_cast<BYTE>(key.cUnusedBits)};
    bits.insert(bits.end(), key.pbData, key.pbData + key.cbData);
    derAppend(content, kDerBitString, bits);
    derAppend(out, kDerSequence, content);
    return TRUE;
}

// CertificationRequestInfo (RFC 2986 section 4.1): version 0, the subject as encoded,
// the key, the attributes under [0] (an empty set when there are none).
BOOL encodeRequestInfo(const CERT_REQUEST_INFO& info, DerBytes& out) {
    if (info.dwVersion != CERT_REQUEST_V1 ||
        !derIsOneElement(info.Subject.pbData, info.Subject.cbData) ||
        info.Subject.pbData[0] != kDerSequence)
        return fail(kInvalidArg);
    DerBytes content;
    derAppend(content, kDerInteger, DerBytes{0});
    content.insert(content.end(), info.Subject.pbData, info.Subject.pbData + info.Subject.cbData);
    if (!appendPublicKeyInfo(content, info.SubjectPublicKeyInfo)) return FALSE;
    std::vector<DerBytes> attributes;
    if (!cryptEncodeAttributes(info.cAttribute, info.rgAttribute, attributes))
        return fail(kInvalidArg);
    derAppendSetOf(content, kDerContext0, std::move(attributes));
    out = derElement(kDerSequence, content);
    return TRUE;
}

// CertificationRequest ::= SEQUENCE { info, signatureAlgorithm, signature BIT STRING }
// (RFC 2986 section 4.2).
DerBytes signedRequest(const DerBytes& info, const DerBytes& algorithm,
                       const std::vector<BYTE>& signature) {
    DerBytes content = info;
    content.insert(content.end(), algorithm.begin(), algorithm.end());
    DerBytes bits{0};
    bits.insert(bits.end(), signature.begin(), signature.end());
    derAppend(content, kDerBitString, bits);
    return derElement(kDerSequence, content);
}

}  // namespace

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded) {
    if (!pcbEncoded || !lpszStructType) return fail(kInvalidArg);
    if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING)
        return fail(ERROR_FILE_NOT_FOUND);
    if (!pvStructInfo) return fail(kInvalidArg);
    DerBytes encoded;
    try {
        BOOL ok = FALSE;
        if (isStructNumber(lpszStructType, PKCS_UTC_TIME) ||
            (!isSmallNumber(lpszStructType) &&
             std::strcmp(lpszStructType, szOID_RSA_signingTime) == 0))
            ok = encodeTime(*static_cast<const FILETIME*>(pvStructInfo), encoded);
        else if (isStructNumber(lpszStructType, X509_NAME_STRUCT))
            ok = encodeName(*static_cast<const CERT_NAME_INFO*>(pvStructInfo), encoded);
        else if (isStructNumber(lpszStructType, X509_CERT_REQUEST_TO_BE_SIGNED))
            ok = encodeRequestInfo(*static_cast<const CERT_REQUEST_INFO*>(pvStructInfo), encoded);
        else
            return fail(ERROR_FILE_NOT_FOUND);
        if (!ok) return FALSE;
    } catch (const std::bad_alloc&) {
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
    return giveOutBytes(encoded.data(), encoded.size(), pbEncoded, pcbEncoded);
}

BOOL CryptSignAndEncodeCertificate(HCRYPTPROV hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                                   LPCSTR lpszStructType, const void* pvStructInfo,
                                   const CRYPT_ALGORITHM_IDENTIFIER* pSignatureAlgorithm,
                                   const void* pvHashAuxInfo, BYTE* pbEncoded, DWORD* pcbEncoded) {
    if (!pcbEncoded || !lpszStructType) return fail(kInvalidArg);
    if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING ||
        !isStructNumber(lpszStructType, X509_CERT_REQUEST_TO_BE_SIGNED))
        return fail(ERROR_FILE_NOT_FOUND);
    if (!pvStructInfo || !pSignatureAlgorithm || !pSignatureAlgorithm->pszObjId || pvHashAuxInfo)
        return fail(kInvalidArg);
    std::string_view oid = pSignatureAlgorithm->pszObjId;
    // Only the signature OIDs: a bare digest OID does not say how to sign.
    ALG_ID digest = cryptDigestOfOid(oid);
    if (oid != szOID_RSA_SHA1RSA && oid != szOID_RSA_MD5RSA && oid != szOID_RSA_SHA256RSA &&
        oid != szOID_RSA_SHA512RSA)
        return fail(NTE_BAD_ALGID);
    try {
        DerBytes info, algorithm;
        if (!encodeRequestInfo(*static_cast<const CERT_REQUEST_INFO*>(pvStructInfo), info))
            return FALSE;
        if (!cryptAppendAlgorithm(algorithm, oid, pSignatureAlgorithm->Parameters))
            return fail(kInvalidArg);
        // The size follows from the modulus length; the private key is used (and the
        // user asked) only when the request is written.
        DWORD signatureLength = 0;
        if (!cryptSignatureLength(hCryptProv, dwKeySpec, &signatureLength)) return FALSE;
        size_t size = signedRequest(info, algorithm, std::vector<BYTE>(signatureLength)).size();
        if (needsSizeOnly(size, pbEncoded, pcbEncoded))
            return giveOutSize(size, pbEncoded, pcbEncoded);
        std::vector<BYTE> infoDigest, signature;
        if (!cryptDigestBytes(digest, info.data(), info.size(), infoDigest)) return fail(NTE_FAIL);
        if (!cryptSignDigest(hCryptProv, dwKeySpec, "sign a certificate request", digest,
                             infoDigest.data(), infoDigest.size(), signature))
            return FALSE;
        DerBytes request = signedRequest(info, algorithm, signature);
        return giveOutBytes(request.data(), request.size(), pbEncoded, pcbEncoded);
    } catch (const std::bad_alloc&) {
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

BOOL CryptExportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                              CERT_PUBLIC_KEY_INFO* pInfo, DWORD* pcbInfo) {
    if (!pcbInfo) return fail(kInvalidArg);
    if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING)
        return fail(ERROR_FILE_NOT_FOUND);
    std::vector<BYTE> key;
    if (!cryptPublicKeyBits(hCryptProv, dwKeySpec, key)) return FALSE;
    // The record, then the OID text, the NULL parameters and the key bits it points to.
    static constexpr BYTE kNull[] = {kDerNull, 0x00};
    const size_t oidSize = std::strlen(szOID_RSA_RSA) + 1;
    const size_t size = sizeof(CERT_PUBLIC_KEY_INFO) + oidSize + sizeof kNull + key.size();
    if (needsSizeOnly(size, pInfo, pcbInfo)) return giveOutSize(size, pInfo, pcbInfo);
    BYTE* base = reinterpret_cast<BYTE*>(pInfo);
    BYTE* oid = base + sizeof(CERT_PUBLIC_KEY_INFO);
    BYTE* parameters = oid + oidSize;
    BYTE* bits = parameters + sizeof kNull;
    std::memcpy(oid, szOID_RSA_RSA, oidSize);
    std::memcpy(parameters, kNull, sizeof kNull);
    std::memcpy(bits, key.data(), key.size());
    pInfo->Algorithm.pszObjId = reinterpret_cast<LPSTR>(oid);
    pInfo->Algorithm.Parameters = {sizeof kNull, parameters};
    pInfo->PublicKey = {static_cast<DWORD>(key.size()), bits, 0};
    *pcbInfo = static_cast<DWORD>(size);
    return TRUE;
}
