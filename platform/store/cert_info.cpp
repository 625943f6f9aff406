// CERT_INFO from OpenSSL's decoding of a certificate, and the calls that read one.
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/crypt/der_internal.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/store/cert_info_internal.h"

namespace {

using OpenSslBytes = openssl::Bytes;

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);

constexpr auto& fail = failWithLastError;

DWORD toDword(size_t n) {
    return static_cast<DWORD>(n);
}

uint64_t ticks(const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// A DER-encoded AlgorithmIdentifier (RFC 5280 section 4.1.1.2) as the platform's record.
bool keepAlgorithm(const DerElement& sequence, CertInfoRecord& state,
                   CRYPT_ALGORITHM_IDENTIFIER& out) {
    DerCursor inner(sequence);
    DerElement oid, params;
    DWORD error = 0;
    if (!inner.expect(kDerOid, oid, &error)) return false;
    std::string dotted = derOidText(oid.content, oid.length);
    if (dotted.empty()) return false;
    out.pszObjId = state.keepText(std::move(dotted));
    out.Parameters = {};
    if (!inner.atEnd()) {
        if (!inner.next(params, &error)) return false;
        out.Parameters.pbData = state.keep(params.start, params.size());
        out.Parameters.cbData = toDword(params.size());
    }
    return true;
}

template <typename T, typename Encoder>
bool encodeToElement(const T* item, Encoder encode, OpenSslBytes& holder, DerElement& element) {
    unsigned char* der = nullptr;
    int length = encode(item, &der);
    if (length <= 0 || !der) return false;
    holder.reset(der);
    DWORD error = 0;
    DerCursor cursor(der, static_cast<size_t>(length));
    return cursor.expect(kDerSequence, element, &error);
}

bool keepName(const X509_NAME* name, CertInfoRecord& state, CERT_NAME_BLOB& out) {
    const unsigned char* der = nullptr;
    size_t length = 0;
    if (!X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &length)) return false;
    out.pbData = state.keep(der, length);
    out.cbData = toDword(length);
    return true;
}

bool keepTime(const ASN1_TIME* time, FILETIME& out) {
    struct tm fields {};
    if (!ASN1_TIME_to_tm(time, &fields)) return false;
    out = fileTimeFromUnix(static_cast<int64_t>(timegm(&fields)));
    return true;
}

void keepBits(const ASN1_BIT_STRING* bits, CertInfoRecord& state, CRYPT_BIT_BLOB& out) {
    out = {};
    if (!bits) return;
    out.pbData =
        state.keep(ASN1_STRING_get0_data(bits), static_cast<size_t>(ASN1_STRING_length(bits)));
    out.cbData = toDword(static_cast<size_t>(ASN1_STRING_length(bits)));
    // OpenSSL keeps the unused-bit count only when the encoding gave one.
    out.cUnusedBits = (bits->flags & ASN1_STRING_FLAG_BITS_LEFT) ? (bits->flags & 0x07) : 0;
}

bool keepSerial(const ASN1_INTEGER* serial, CertInfoRecord& state, CRYPT_INTEGER_BLOB& out) {
    unsigned char* der = nullptr;
    int length = i2d_ASN1_INTEGER(serial, &der);
    if (length <= 0 || !der) return false;
    OpenSslBytes holder(der);
    DerCursor cursor(der, static_cast<size_t>(length));
    DerElement integer;
    DWORD error = 0;
    if (!cursor.expect(kDerInteger, integer, &error) || integer.length == 0) return false;
    // The platform hands the content octets over least significant first.
    std::vector<BYTE> reversed(integer.content, integer.content + integer.length);
    std::reverse(reversed.begin(), reversed.end());
    out.pbData = state.keep(reversed.data(), reversed.size());
    out.cbData = toDword(reversed.size());
    return true;
}

bool keepPublicKey(X509* cert, CertInfoRecord& state, CERT_PUBLIC_KEY_INFO& out) {
    // SubjectPublicKeyInfo (RFC 5280 section 4.1.2.7): algorithm, then the key as a BIT
    // STRING whose first contents octet counts the unused bits.
    OpenSslBytes holder;
    DerElement spki, algorithm, key;
    if (!encodeToElement(X509_get_X509_PUBKEY(cert), i2d_X509_PUBKEY, holder, spki)) return false;
    DerCursor inner(spki);
    DWORD error = 0;
    if (!inner.expect(kDerSequence, algorithm, &error) ||
        !keepAlgorithm(algorithm, state, out.Algorithm))
        return false;
    if (!inner.expect(kDerBitString, key, &error) || key.length < 1 || key.content[0] > 7)
        return false;
    out.PublicKey.cUnusedBits = key.content[0];
    out.PublicKey.pbData = state.keep(key.content + 1, key.length - 1);
    out.PublicKey.cbData = toDword(key.length - 1);
    return true;
}

bool keepExtensions(X509* cert, CertInfoRecord& state) {
    const STACK_OF(X509_EXTENSION)* list = X509_get0_extensions(cert);
    int count = list ? sk_X509_EXTENSION_num(list) : 0;
    auto& extensions = state.extensions();
    extensions.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* ext = sk_X509_EXTENSION_value(list, i);
        char oid[128];
        int n = OBJ_obj2txt(oid, sizeof oid, X509_EXTENSION_get_object(ext), 1);
        if (n <= 0 || n >= static_cast<int>(sizeof oid)) return false;
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
        CERT_EXTENSION out{};
        out.pszObjId = state.keepText(oid);
        out.fCritical = X509_EXTENSION_get_critical(ext) > 0 ? TRUE : FALSE;
        out.Value.pbData = state.keep(ASN1_STRING_get0_data(value),
                                      static_cast<size_t>(ASN1_STRING_length(value)));
        out.Value.cbData = toDword(static_cast<size_t>(ASN1_STRING_length(value)));
        extensions.push_back(out);
    }
    state.info.cExtension = toDword(extensions.size());
    state.info.rgExtension = extensions.empty() ? nullptr : extensions.data();
    return true;
}

}  // namespace

bool buildCertInfo(X509* cert, CertInfoRecord& state) {
    CERT_INFO& info = state.info;
    info.dwVersion = static_cast<DWORD>(X509_get_version(cert));
    OpenSslBytes holder;
    DerElement sigAlg;
    const ASN1_BIT_STRING* issuerUid = nullptr;
    const ASN1_BIT_STRING* subjectUid = nullptr;
    X509_get0_uids(cert, &issuerUid, &subjectUid);
    if (!keepSerial(X509_get0_serialNumber(cert), state, info.SerialNumber) ||
        !encodeToElement(X509_get0_tbs_sigalg(cert), i2d_X509_ALGOR, holder, sigAlg) ||
        !keepAlgorithm(sigAlg, state, info.SignatureAlgorithm) ||
        !keepName(X509_get_issuer_name(cert), state, info.Issuer) ||
        !keepName(X509_get_subject_name(cert), state, info.Subject) ||
        !keepTime(X509_get0_notBefore(cert), info.NotBefore) ||
        !keepTime(X509_get0_notAfter(cert), info.NotAfter) ||
        !keepPublicKey(cert, state, info.SubjectPublicKeyInfo) || !keepExtensions(cert, state))
        return false;
    keepBits(issuerUid, state, info.IssuerUniqueId);
    keepBits(subjectUid, state, info.SubjectUniqueId);
    return true;
}

BOOL CertGetIntendedKeyUsage(DWORD /*dwCertEncodingType*/, const CERT_INFO* pCertInfo,
                             BYTE* pbKeyUsage, DWORD cbKeyUsage) {
    if (!pCertInfo || (!pbKeyUsage && cbKeyUsage)) return fail(kInvalidArg);
    if (cbKeyUsage) std::memset(pbKeyUsage, 0, cbKeyUsage);
    for (DWORD i = 0; i < pCertInfo->cExtension; ++i) {
        const CERT_EXTENSION& ext = pCertInfo->rgExtension[i];
        if (!ext.pszObjId || std::strcmp(ext.pszObjId, szOID_KEY_USAGE) != 0) continue;
        // KeyUsage ::= BIT STRING (RFC 5280 section 4.2.1.3); the first contents octet
        // counts the unused bits of the last one.
        DerCursor cursor(ext.Value.pbData, ext.Value.cbData);
        DerElement bits;
        DWORD error = 0;
        if (!cursor.expect(kDerBitString, bits, &error)) return fail(error);
        if (bits.length < 1 || bits.content[0] > 7 || (bits.length == 1 && bits.content[0] != 0))
            return fail(CRYPT_E_ASN1_CORRUPT);
        size_t count = bits.length - 1;
        for (size_t k = 0; k < count && k < cbKeyUsage; ++k) {
            BYTE b = bits.content[1 + k];
            if (k + 1 == count) b &= static_cast<BYTE>(0xFF << bits.content[0]);
            pbKeyUsage[k] = b;
        }
        return TRUE;
    }
    SetLastError(ERROR_SUCCESS);
    return FALSE;
}

LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, const CERT_INFO* pCertInfo) {
    if (!pCertInfo) {
        SetLastError(kInvalidArg);
        return 1;
    }
    FILETIME now;
    if (!pTimeToVerify) {
        GetSystemTimeAsFileTime(&now);
        pTimeToVerify = &now;
    }
    uint64_t t = ticks(*pTimeToVerify);
    if (t < ticks(pCertInfo->NotBefore)) return -1;
    if (t > ticks(pCertInfo->NotAfter)) return 1;
    return 0;
}
