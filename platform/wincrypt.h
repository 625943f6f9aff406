// The certificate group of the platform's cryptographic interface, built on OpenSSL 3:
// certificate contexts, their properties, name rendering, key usage and validity. Names,
// flags, structure layouts, two-call size queries and last-error values are the
// platform's, so that code calling them reads as it would there.
#pragma once

#include <cstdint>

#include "platform/filetime.h"
#include "platform/last_error.h"
#include "platform/types.h"

using HCERTSTORE = void*;
using HCRYPTPROV = uintptr_t;

// Encoding types. Only the certificate part (the low word) is looked at.
constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;
constexpr DWORD CERT_ENCODING_TYPE_MASK = 0x0000FFFF;

// Last-error values of this group (the platform's numbers).
constexpr DWORD CRYPT_E_BAD_ENCODE = 0x80092002;
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
constexpr DWORD CRYPT_E_EXISTS = 0x80092005;
constexpr DWORD CRYPT_E_ASN1_ERROR = 0x80093100;
constexpr DWORD CRYPT_E_ASN1_INTERNAL = 0x80093101;
constexpr DWORD CRYPT_E_ASN1_EOD = 0x80093102;
constexpr DWORD CRYPT_E_ASN1_CORRUPT = 0x80093103;
constexpr DWORD CRYPT_E_ASN1_LARGE = 0x80093104;
constexpr DWORD CRYPT_E_ASN1_MEMORY = 0x80093106;
constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310B;

struct CRYPT_INTEGER_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
using CRYPT_OBJID_BLOB = CRYPT_INTEGER_BLOB;
using CERT_NAME_BLOB = CRYPT_INTEGER_BLOB;
using CRYPT_DATA_BLOB = CRYPT_INTEGER_BLOB;
using CRYPT_HASH_BLOB = CRYPT_INTEGER_BLOB;
using CRYPT_DER_BLOB = CRYPT_INTEGER_BLOB;
using PCRYPT_DATA_BLOB = CRYPT_DATA_BLOB*;
using PCERT_NAME_BLOB = CERT_NAME_BLOB*;

struct CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;               // dotted OID
    CRYPT_OBJID_BLOB Parameters;  // DER of the parameters, empty when absent
};

struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
};

struct CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;  // the DER inside the extension's OCTET STRING
};
using PCERT_EXTENSION = CERT_EXTENSION*;

constexpr DWORD CERT_V1 = 0;
constexpr DWORD CERT_V2 = 1;
constexpr DWORD CERT_V3 = 2;

struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;  // content octets, least significant byte first
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;  // DER of the name as it stands in the certificate
    FILETIME NotBefore;     // UTC
    FILETIME NotAfter;      // UTC
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};
using PCERT_INFO = CERT_INFO*;

// A parsed certificate. The layer keeps more state behind each context (reference count,
// properties); callers only ever hold the pointer the layer gave them.
struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;  // null for a context that belongs to no store
};
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

// Property identifiers.
constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
constexpr DWORD CERT_SHA1_HASH_PROP_ID = 3;
constexpr DWORD CERT_HASH_PROP_ID = CERT_SHA1_HASH_PROP_ID;
constexpr DWORD CERT_MD5_HASH_PROP_ID = 4;
constexpr DWORD CERT_KEY_CONTEXT_PROP_ID = 5;
constexpr DWORD CERT_FRIENDLY_NAME_PROP_ID = 11;
constexpr DWORD CERT_FIRST_USER_PROP_ID = 0x8000;
constexpr DWORD CERT_LAST_USER_PROP_ID = 0xFFFF;

// Key specs.
constexpr DWORD AT_KEYEXCHANGE = 1;
constexpr DWORD AT_SIGNATURE = 2;
// CertSetCertificateContextProperty flag: the layer must not release the key context's
// provider when the property is replaced or the context freed.
constexpr DWORD CERT_STORE_NO_CRYPT_RELEASE_FLAG = 0x00000001;

struct CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
};
using PCRYPT_KEY_PROV_PARAM = CRYPT_KEY_PROV_PARAM*;

struct CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    PCRYPT_KEY_PROV_PARAM rgProvParam;
    DWORD dwKeySpec;
};
using PCRYPT_KEY_PROV_INFO = CRYPT_KEY_PROV_INFO*;

struct CERT_KEY_CONTEXT {
    DWORD cbSize;  // sizeof(CERT_KEY_CONTEXT)
    HCRYPTPROV hCryptProv;
    DWORD dwKeySpec;
};

// CertNameToStrA string types and flags.
constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
constexpr DWORD CERT_OID_NAME_STR = 2;
constexpr DWORD CERT_X500_NAME_STR = 3;
constexpr DWORD CERT_NAME_STR_SEMICOLON_FLAG = 0x40000000;
constexpr DWORD CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;
constexpr DWORD CERT_NAME_STR_NO_QUOTING_FLAG = 0x10000000;
constexpr DWORD CERT_NAME_STR_CRLF_FLAG = 0x08000000;
constexpr DWORD CERT_NAME_STR_REVERSE_FLAG = 0x02000000;

// CertGetNameStringA types and flags.
constexpr DWORD CERT_NAME_RDN_TYPE = 2;
constexpr DWORD CERT_NAME_ATTR_TYPE = 3;
constexpr DWORD CERT_NAME_ISSUER_FLAG = 0x1;

// Attribute OIDs the control asks for.
constexpr const char* szOID_COMMON_NAME = "2.5.4.3";
constexpr const char* szOID_KEY_USAGE = "2.5.29.15";

// Key-usage bits of the first byte, as CertGetIntendedKeyUsage reports them.
constexpr BYTE CERT_DIGITAL_SIGNATURE_KEY_USAGE = 0x80;
constexpr BYTE CERT_NON_REPUDIATION_KEY_USAGE = 0x40;
constexpr BYTE CERT_KEY_ENCIPHERMENT_KEY_USAGE = 0x20;
constexpr BYTE CERT_DATA_ENCIPHERMENT_KEY_USAGE = 0x10;
constexpr BYTE CERT_KEY_AGREEMENT_KEY_USAGE = 0x08;
constexpr BYTE CERT_KEY_CERT_SIGN_KEY_USAGE = 0x04;
constexpr BYTE CERT_CRL_SIGN_KEY_USAGE = 0x02;
constexpr BYTE CERT_ENCIPHER_ONLY_KEY_USAGE = 0x01;

// Parses a DER certificate and returns a new context (reference count 1) holding its own
// copy of all cbCertEncoded bytes; bytes after the certificate's outer element are kept
// in the copy and otherwise ignored, as the platform does. Free it with
// CertFreeCertificateContext. Failure: null with E_INVALIDARG (encoding type without
// X509_ASN_ENCODING, null bytes with a length) or a CRYPT_E_ASN1_* value (EOD for no or
// cut data, BADTAG for a first element that is no SEQUENCE, CORRUPT for the rest).
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded);
// Adds a reference and returns the same context (null stays null).
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
// Drops a reference; the last one frees the context and its properties. Always TRUE
// (null is accepted).
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

// Reads a property with the two-call size protocol: pvData null stores the size in
// *pcbData and succeeds; a short *pcbData fails with ERROR_MORE_DATA and the size needed.
// CERT_SHA1_HASH_PROP_ID and CERT_MD5_HASH_PROP_ID are computed over the encoded bytes on
// first use and then kept as properties. CERT_KEY_PROV_INFO_PROP_ID comes back as one
// self-contained CRYPT_KEY_PROV_INFO record whose pointers point into pvData. A property
// that is not set fails with CRYPT_E_NOT_FOUND; id 0, a null context or null pcbData
// with E_INVALIDARG.
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                       DWORD* pcbData);
// Sets (pvData not null) or removes (pvData null) a property. pvData is a
// CRYPT_KEY_PROV_INFO for CERT_KEY_PROV_INFO_PROP_ID (copied whole, strings and
// parameters included), a CERT_KEY_CONTEXT for CERT_KEY_CONTEXT_PROP_ID (cbSize must be
// sizeof(CERT_KEY_CONTEXT)), and a CRYPT_DATA_BLOB for the hash ids, the friendly name and
// the user ids CERT_FIRST_USER_PROP_ID..CERT_LAST_USER_PROP_ID. Other ids, a null context
// or a malformed record fail with E_INVALIDARG. The layer does not release a key
// context's provider handle.
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData);
// The next property id set on the context after dwPropId (0 starts), in ascending order;
// 0 when there is none.
DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId);

// Renders an encoded name as text in the ANSI code page: relative names in encoded order
// (reversed with CERT_NAME_STR_REVERSE_FLAG) joined by ", " ("; " or "\r\n" with the
// SEMICOLON / CRLF flags), attributes of one relative name joined by " + " (" " with
// NO_PLUS). The low byte of dwStrType picks the key before each value: none
// (CERT_SIMPLE_NAME_STR and any unknown type), the dotted OID (CERT_OID_NAME_STR), or the
// X.500 key (CERT_X500_NAME_STR: CN, L, O, OU, E, C, S, STREET, T, G, I, SN, DC,
// SERIALNUMBER, else "OID." and the dotted OID). Values are quoted as the platform quotes
// them unless CERT_NAME_STR_NO_QUOTING_FLAG is given. Returns the characters needed
// including the terminator when psz is null or csz is 0; otherwise the characters
// written including the terminator, or 1 with psz[0] = 0 when csz is too small (the text
// is never cut). An undecodable name or an encoding type without X509_ASN_ENCODING
// gives 1 (empty text) with CRYPT_E_ASN1_* or ERROR_FILE_NOT_FOUND.
DWORD CertNameToStrA(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pName, DWORD dwStrType,
                     LPSTR psz, DWORD csz);
// A name of the subject (or the issuer with CERT_NAME_ISSUER_FLAG) in the ANSI code page.
// CERT_NAME_ATTR_TYPE: the value of the first attribute in encoded order whose OID is the
// string pvTypePara points to (empty text with CRYPT_E_NOT_FOUND when there is none).
// CERT_NAME_RDN_TYPE: CertNameToStrA with the string type *pvTypePara (a DWORD; 0 when
// null). Other types give empty text. Size protocol as CertNameToStrA; the result is
// always at least 1 (the terminator).
DWORD CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPSTR pszNameString, DWORD cchNameString);
// Copies the key-usage extension's bits (first byte: 0x80 digitalSignature ... 0x01
// encipherOnly; second byte: 0x80 decipherOnly) into pbKeyUsage, zero-filling the rest
// of the cbKeyUsage bytes, and returns TRUE. Without the extension: FALSE, the buffer
// zeroed, last error 0. A malformed extension: FALSE, buffer zeroed, CRYPT_E_ASN1_*.
BOOL CertGetIntendedKeyUsage(DWORD dwCertEncodingType, const CERT_INFO* pCertInfo, BYTE* pbKeyUsage,
                             DWORD cbKeyUsage);
// -1 when the time (null: now) lies before NotBefore, +1 after NotAfter, 0 within. A
// null pCertInfo gives +1 with E_INVALIDARG.
LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, const CERT_INFO* pCertInfo);
