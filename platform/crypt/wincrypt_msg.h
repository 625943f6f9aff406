// The hashing, signing, message, encoding and chain groups of the platform's
// cryptographic interface: hash objects whose value is set from outside and signed with
// a container's key (PKCS#1 v1.5), PKCS#7 signed-data messages, object encoding
// (signing time, X.500 names, certificate requests) and certificate chains with their
// trust bits. Names, structure layouts, flags, two-call size queries and last-error
// values are the platform's.
#pragma once

#include <cstdint>

#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_ids.h"
#include "platform/system/filetime.h"

using HCRYPTHASH = uintptr_t;
using HCRYPTMSG = void*;
using HCERTCHAINENGINE = void*;

constexpr ALG_ID CALG_MD5 = 0x8003;
constexpr ALG_ID CALG_SHA1 = 0x8004;
constexpr ALG_ID CALG_SHA_256 = 0x800C;
constexpr ALG_ID CALG_SHA_512 = 0x800E;

// Last-error values of these groups.
constexpr DWORD NTE_BAD_HASH = 0x80090002;
constexpr DWORD NTE_BAD_LEN = 0x80090004;
constexpr DWORD NTE_BAD_SIGNATURE = 0x80090006;
constexpr DWORD NTE_BAD_HASH_STATE = 0x8009000C;
constexpr DWORD CRYPT_E_MSG_ERROR = 0x80091001;
constexpr DWORD CRYPT_E_UNKNOWN_ALGO = 0x80091002;
constexpr DWORD CRYPT_E_OID_FORMAT = 0x80091003;
constexpr DWORD CRYPT_E_INVALID_MSG_TYPE = 0x80091004;
constexpr DWORD CRYPT_E_UNEXPECTED_ENCODING = 0x80091005;
constexpr DWORD CRYPT_E_INVALID_INDEX = 0x80091008;
constexpr DWORD CRYPT_E_ALREADY_DECRYPTED = 0x80091009;
constexpr DWORD CRYPT_E_UNEXPECTED_MSG_TYPE = 0x8009200A;
constexpr DWORD CRYPT_E_STREAM_MSG_NOT_READY = 0x80091010;
constexpr DWORD CRYPT_E_INVALID_PRINTABLE_STRING = 0x80092021;
constexpr DWORD CRYPT_E_INVALID_IA5_STRING = 0x80092022;
constexpr DWORD CRYPT_E_NOT_CHAR_STRING = 0x80092024;
// Smart-card conditions a signing call may end with.
constexpr DWORD SCARD_W_WRONG_CHV = 0x8010006B;
constexpr DWORD SCARD_W_CHV_BLOCKED = 0x8010006C;
constexpr DWORD SCARD_W_CANCELLED_BY_USER = 0x8010006E;
constexpr DWORD SCARD_W_REMOVED_CARD = 0x80100069;

// ---- hashing and signing (platform/crypt/crypt_hash.cpp)

constexpr DWORD HP_ALGID = 0x0001;
constexpr DWORD HP_HASHVAL = 0x0002;
constexpr DWORD HP_HASHSIZE = 0x0004;

// A hash object of algorithm Algid (CALG_MD5, CALG_SHA1, CALG_SHA_256 or CALG_SHA_512)
// on the provider context hProv; hKey must be 0 and dwFlags 0. The hash holds a
// reference of its own to hProv, so it may outlive the caller's handle. Success: TRUE
// and a handle the caller ends with CryptDestroyHash. Failure: FALSE with NTE_BAD_ALGID,
// NTE_BAD_KEY (a key given), NTE_BAD_FLAGS, NTE_BAD_UID (stale context),
// ERROR_INVALID_PARAMETER (null phHash).
BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash);
// Feeds data into the hash. NTE_BAD_HASH_STATE once the value was set or read,
// NTE_BAD_HASH for a stale handle, NTE_BAD_FLAGS, ERROR_INVALID_PARAMETER (no bytes for
// a length).
BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD cbData, DWORD dwFlags);
// HP_HASHVAL sets the finished hash value (as many bytes as the algorithm's digest)
// from outside. NTE_BAD_TYPE for another parameter, NTE_BAD_HASH, NTE_BAD_FLAGS.
BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
// HP_ALGID, HP_HASHSIZE (DWORDs) or HP_HASHVAL (the value; finishes the hash, except a
// size query or a short buffer), with the two-call size protocol (ERROR_MORE_DATA for a
// short buffer). NTE_BAD_TYPE, NTE_BAD_HASH, NTE_BAD_FLAGS.
BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);
// Signs the hash value with the key in slot dwKeySpec of the hash's container: RSA
// PKCS#1 v1.5 over the DigestInfo of the hash's algorithm (RFC 8017 section 9.2). The
// signature comes least significant byte first, as long as the modulus. pbSignature
// null: the size in *pdwSigLen; short buffer: ERROR_MORE_DATA and the size (neither uses
// the private key). Signing finishes a hash still open. szDescription must be null
// (ERROR_INVALID_PARAMETER) and dwFlags 0. A key created user-protected asks the user's
// consent first. Failure: FALSE with NTE_NO_KEY (empty slot, or a verify context),
// NTE_BAD_KEYSET, NTE_BAD_HASH, NTE_BAD_FLAGS, ERROR_CANCELLED (consent refused), NTE_FAIL.
BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen);
// Ends a hash object. NTE_BAD_HASH for a stale handle.
BOOL CryptDestroyHash(HCRYPTHASH hHash);

// ---- messages (platform/crypt/crypt_msg.cpp)

constexpr DWORD CMSG_DATA = 1;
constexpr DWORD CMSG_SIGNED = 2;

constexpr DWORD CMSG_DETACHED_FLAG = 0x00000004;
constexpr DWORD CMSG_AUTHENTICATED_ATTRIBUTES_FLAG = 0x00000008;

constexpr DWORD CMSG_TYPE_PARAM = 1;
constexpr DWORD CMSG_CONTENT_PARAM = 2;
constexpr DWORD CMSG_CERT_COUNT_PARAM = 11;
constexpr DWORD CMSG_CERT_PARAM = 12;

using CRYPT_ATTR_BLOB = CRYPT_INTEGER_BLOB;
using CERT_BLOB = CRYPT_INTEGER_BLOB;
using CRL_BLOB = CRYPT_INTEGER_BLOB;

struct CRYPT_ATTRIBUTE {
    LPSTR pszObjId;
    DWORD cValue;
    CRYPT_ATTR_BLOB* rgValue;  // DER of each value
};
using PCRYPT_ATTRIBUTE = CRYPT_ATTRIBUTE*;

struct CMSG_SIGNER_ENCODE_INFO {
    DWORD cbSize;
    PCERT_INFO pCertInfo;  // the signer's issuer and serial number
    HCRYPTPROV hCryptProv;
    DWORD dwKeySpec;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    void* pvHashAuxInfo;  // must be null
    DWORD cAuthAttr;
    PCRYPT_ATTRIBUTE rgAuthAttr;
    DWORD cUnauthAttr;
    PCRYPT_ATTRIBUTE rgUnauthAttr;
};
using PCMSG_SIGNER_ENCODE_INFO = CMSG_SIGNER_ENCODE_INFO*;

struct CMSG_SIGNED_ENCODE_INFO {
    DWORD cbSize;
    DWORD cSigners;
    PCMSG_SIGNER_ENCODE_INFO rgSigners;
    DWORD cCertEncoded;
    CERT_BLOB* rgCertEncoded;
    DWORD cCrlEncoded;
    CRL_BLOB* rgCrlEncoded;
};

// Streamed encoding: the message's bytes are handed to pfnStreamOutput as they are
// made, fFinal TRUE with the last piece. pbData is the encoder's (or the caller's
// content) and only valid during the call. The callback returns FALSE to stop the
// message, after setting the last error the update is to fail with.
using PFN_CMSG_STREAM_OUTPUT = BOOL (*)(const void* pvArg, BYTE* pbData, DWORD cbData, BOOL fFinal);
constexpr DWORD CMSG_INDEFINITE_LENGTH = 0xFFFFFFFF;
struct CMSG_STREAM_INFO {
    DWORD cbContent;  // the content's length, in bytes
    PFN_CMSG_STREAM_OUTPUT pfnStreamOutput;
    void* pvArg;
};

// A message to encode. Only CMSG_SIGNED with X509_ASN_ENCODING | PKCS_7_ASN_ENCODING:
// SignedData version 1 (RFC 2315 section 9.1), each signer's SignerInfo version 1 with
// issuerAndSerialNumber, its digest algorithm as given (a digest OID, or an RSA
// signature OID standing for its digest: md5WithRSAEncryption digests with MD5) with
// NULL parameters, the signature algorithm of the certificate's public key, the
// certificates in the order given. With CMSG_AUTHENTICATED_ATTRIBUTES_FLAG, or any
// authenticated attribute, the signer's attributes also carry contentType and
// messageDigest, as a DER SET. With CMSG_DETACHED_FLAG the content is left out.
// pszInnerContentObjID must be null (or szOID_RSA_data). With pStreamInfo the encoding
// goes to its callback (DER, the same bytes as unstreamed): everything before the
// content with the first update, the content as the updates bring it, the signer infos
// with the final one; the updates must bring exactly cbContent bytes
// (CMSG_INDEFINITE_LENGTH, BER output, is not offered: E_INVALIDARG). Each signer's
// provider must hold the key now; the message keeps its own reference to the provider
// and uses the key on the final update. Success: a handle the caller closes with
// CryptMsgClose. Failure: null with CRYPT_E_INVALID_MSG_TYPE, CRYPT_E_UNKNOWN_ALGO
// (digest, or a certificate key that is not RSA), E_INVALIDARG (other flags, record sizes, missing
// fields, values that are not one DER element, a contentType or messageDigest attribute of the
// caller's), or the provider's code for the signer's key (NTE_BAD_UID, NTE_NO_KEY, NTE_BAD_KEYSET).
HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                               CMSG_STREAM_INFO* pStreamInfo);
// A message to decode, DER or BER (indefinite lengths, OCTET STRINGs in pieces): dwMsgType
// 0 (a ContentInfo of signed-data or data), CMSG_DATA, or CMSG_SIGNED (a ContentInfo of
// signed-data, or a SignedData without it). Certificates-only messages are signed-data
// without signers. hCryptProv, pRecipientInfo and pStreamInfo must be 0/null, dwFlags 0.
// Failure: null with E_INVALIDARG or CRYPT_E_INVALID_MSG_TYPE.
HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               HCRYPTPROV hCryptProv, PCERT_INFO pRecipientInfo,
                               CMSG_STREAM_INFO* pStreamInfo);
// Encoding: the content (several calls allowed; fFinal on the last) — signing happens on
// the final block, which may ask the user's consent (ERROR_CANCELLED) and fails with the
// provider's code; streamed, CRYPT_E_MSG_ERROR for content beyond or short of cbContent
// and the callback's error when it stops the message. Decoding: the encoded message,
// complete on fFinal; a malformed one fails with CRYPT_E_ASN1_* (a certificate's DER:
// CRYPT_E_ASN1_BADTAG; bytes after the message: CRYPT_E_ASN1_CORRUPT) or
// CRYPT_E_INVALID_MSG_TYPE (another content type, or not the type asked for).
// CRYPT_E_MSG_ERROR after the final block, E_INVALIDARG for a length without bytes,
// ERROR_INVALID_HANDLE for a closed message.
BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal);
// CMSG_CONTENT_PARAM (encoding: the encoded ContentInfo; decoding: the inner content,
// empty when detached), CMSG_TYPE_PARAM (a DWORD), CMSG_CERT_COUNT_PARAM (a DWORD),
// CMSG_CERT_PARAM (the DER of certificate dwIndex, in the message's order; decoding of
// signed-data only). Two-call size protocol: pvData null gives the size, a short
// buffer ERROR_MORE_DATA with the size, success the true length in *pcbData.
// CRYPT_E_STREAM_MSG_NOT_READY before the final update (or after one that failed, or
// for the content of a streamed encoding, which went to the callback),
// CRYPT_E_INVALID_INDEX, CRYPT_E_INVALID_MSG_TYPE for another parameter, E_INVALIDARG
// without pcbData, ERROR_INVALID_HANDLE for a closed message.
BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                      DWORD* pcbData);
// Ends a message handle; null is accepted. ERROR_INVALID_HANDLE for a closed one.
BOOL CryptMsgClose(HCRYPTMSG hCryptMsg);

// ---- object encoding (platform/crypt/encode_object.cpp)

// Structure types are small integers passed in place of an OID string.
inline const LPCSTR X509_CERT_TO_BE_SIGNED = reinterpret_cast<LPCSTR>(uintptr_t{2});
inline const LPCSTR X509_CERT_REQUEST_TO_BE_SIGNED = reinterpret_cast<LPCSTR>(uintptr_t{4});
// The platform calls the name type X509_NAME; OpenSSL owns that identifier here.
inline const LPCSTR X509_NAME_STRUCT = reinterpret_cast<LPCSTR>(uintptr_t{7});
inline const LPCSTR PKCS_UTC_TIME = reinterpret_cast<LPCSTR>(uintptr_t{17});

constexpr const char* szOID_RSA_RSA = "1.2.840.113549.1.1.1";
constexpr const char* szOID_RSA_MD5RSA = "1.2.840.113549.1.1.4";
constexpr const char* szOID_RSA_SHA1RSA = "1.2.840.113549.1.1.5";
constexpr const char* szOID_RSA_SHA256RSA = "1.2.840.113549.1.1.11";
constexpr const char* szOID_RSA_SHA512RSA = "1.2.840.113549.1.1.13";
constexpr const char* szOID_OIWSEC_sha1 = "1.3.14.3.2.26";
constexpr const char* szOID_NIST_sha256 = "2.16.840.1.101.3.4.2.1";
constexpr const char* szOID_NIST_sha512 = "2.16.840.1.101.3.4.2.3";
constexpr const char* szOID_RSA_MD5 = "1.2.840.113549.2.5";
constexpr const char* szOID_RSA_data = "1.2.840.113549.1.7.1";
constexpr const char* szOID_RSA_signedData = "1.2.840.113549.1.7.2";
constexpr const char* szOID_RSA_contentType = "1.2.840.113549.1.9.3";
constexpr const char* szOID_RSA_messageDigest = "1.2.840.113549.1.9.4";
constexpr const char* szOID_RSA_signingTime = "1.2.840.113549.1.9.5";

// Value types of name attributes.
constexpr DWORD CERT_RDN_ANY_TYPE = 0;
constexpr DWORD CERT_RDN_PRINTABLE_STRING = 4;
constexpr DWORD CERT_RDN_IA5_STRING = 7;
constexpr DWORD CERT_RDN_BMP_STRING = 12;
constexpr DWORD CERT_RDN_UTF8_STRING = 13;

struct CERT_RDN_ATTR {
    LPSTR pszObjId;
    DWORD dwValueType;
    CRYPT_INTEGER_BLOB Value;  // BMP strings: UTF-16 code units, as bytes in host order
};
struct CERT_RDN {
    DWORD cRDNAttr;
    CERT_RDN_ATTR* rgRDNAttr;
};
struct CERT_NAME_INFO {
    DWORD cRDN;
    CERT_RDN* rgRDN;
};

constexpr DWORD CERT_REQUEST_V1 = 0;
struct CERT_REQUEST_INFO {
    DWORD dwVersion;
    CERT_NAME_BLOB Subject;  // DER of the name
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    DWORD cAttribute;
    PCRYPT_ATTRIBUTE rgAttribute;
};

// Encodes a structure. PKCS_UTC_TIME or szOID_RSA_signingTime: a FILETIME as UTCTime for
// the years 1950 to 2049, GeneralizedTime otherwise (RFC 5652 section 11.3), to the
// second. X509_NAME_STRUCT: a CERT_NAME_INFO as a Name (RFC 5280 section 4.1.2.4), the
// RDNs in the given order, the attributes of one RDN in DER order, each in its value
// type: CERT_RDN_PRINTABLE_STRING and CERT_RDN_IA5_STRING take bytes,
// CERT_RDN_BMP_STRING (BMPString of the given code units) and CERT_RDN_UTF8_STRING
// (UTF-8 of them) host-order UTF-16 code units. X509_CERT_REQUEST_TO_BE_SIGNED: the
// CertificationRequestInfo that CryptSignAndEncodeCertificate signs. Two-call size
// protocol (pbEncoded null: the size; short: ERROR_MORE_DATA and the size). Failure:
// FALSE with ERROR_FILE_NOT_FOUND (a structure type this layer does not encode, an
// encoding type without X509_ASN_ENCODING), E_INVALIDARG, CRYPT_E_BAD_ENCODE (a time past
// 9999), CRYPT_E_OID_FORMAT, CRYPT_E_INVALID_PRINTABLE_STRING, CRYPT_E_INVALID_IA5_STRING,
// CRYPT_E_NOT_CHAR_STRING (another value type).
BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded);
// Encodes X509_CERT_REQUEST_TO_BE_SIGNED (a CERT_REQUEST_INFO, RFC 2986 section 4.1) and
// signs it with the key in slot dwKeySpec of hCryptProv with pSignatureAlgorithm
// (szOID_RSA_SHA1RSA, szOID_RSA_SHA256RSA, szOID_RSA_SHA512RSA or szOID_RSA_MD5RSA; the
// AlgorithmIdentifier's parameters are an explicit NULL), giving the DER
// CertificationRequest. The request's attributes are an
// empty [0] set when none are given. Two-call size protocol; the size query and a short
// buffer do not use the private key. Failure: FALSE with ERROR_FILE_NOT_FOUND,
// NTE_BAD_ALGID, NTE_BAD_UID, NTE_NO_KEY, ERROR_CANCELLED, E_INVALIDARG (version other
// than CERT_REQUEST_V1, a subject that is not one encoded name, malformed fields).
BOOL CryptSignAndEncodeCertificate(HCRYPTPROV hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                                   LPCSTR lpszStructType, const void* pvStructInfo,
                                   const CRYPT_ALGORITHM_IDENTIFIER* pSignatureAlgorithm,
                                   const void* pvHashAuxInfo, BYTE* pbEncoded, DWORD* pcbEncoded);
// The public key of slot dwKeySpec as a CERT_PUBLIC_KEY_INFO (rsaEncryption with NULL
// parameters, the RSAPublicKey DER as the bit string), written into pInfo with the
// pointed-to bytes after the record (pInfo aligned for the record); two-call size
// protocol. NTE_NO_KEY, NTE_BAD_UID, NTE_BAD_KEYSET, ERROR_FILE_NOT_FOUND (an encoding
// type without X509_ASN_ENCODING), E_INVALIDARG (no pcbInfo).
BOOL CryptExportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                              CERT_PUBLIC_KEY_INFO* pInfo, DWORD* pcbInfo);

// ---- certificate chains (platform/store/cert_chain.cpp)

inline const HCERTCHAINENGINE HCCE_CURRENT_USER = nullptr;

// Error bits of CERT_TRUST_STATUS.
constexpr DWORD CERT_TRUST_NO_ERROR = 0x00000000;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_VALID = 0x00000001;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_NESTED = 0x00000002;
constexpr DWORD CERT_TRUST_IS_REVOKED = 0x00000004;
constexpr DWORD CERT_TRUST_IS_NOT_SIGNATURE_VALID = 0x00000008;
constexpr DWORD CERT_TRUST_IS_NOT_VALID_FOR_USAGE = 0x00000010;
constexpr DWORD CERT_TRUST_IS_UNTRUSTED_ROOT = 0x00000020;
constexpr DWORD CERT_TRUST_REVOCATION_STATUS_UNKNOWN = 0x00000040;
constexpr DWORD CERT_TRUST_IS_CYCLIC = 0x00000080;
constexpr DWORD CERT_TRUST_INVALID_EXTENSION = 0x00000100;
constexpr DWORD CERT_TRUST_INVALID_BASIC_CONSTRAINTS = 0x00000400;
constexpr DWORD CERT_TRUST_IS_PARTIAL_CHAIN = 0x00010000;
constexpr DWORD CERT_TRUST_IS_OFFLINE_REVOCATION = 0x01000000;
constexpr DWORD CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT = 0x08000000;

// Info bits of CERT_TRUST_STATUS.
constexpr DWORD CERT_TRUST_HAS_EXACT_MATCH_ISSUER = 0x00000001;
constexpr DWORD CERT_TRUST_HAS_KEY_MATCH_ISSUER = 0x00000002;
constexpr DWORD CERT_TRUST_HAS_NAME_MATCH_ISSUER = 0x00000004;
constexpr DWORD CERT_TRUST_IS_SELF_SIGNED = 0x00000008;

constexpr DWORD USAGE_MATCH_TYPE_AND = 0;
constexpr DWORD USAGE_MATCH_TYPE_OR = 1;

// CertGetCertificateChain flags asking for revocation checks.
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_END_CERT = 0x10000000;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_CHAIN = 0x20000000;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT = 0x40000000;

struct CERT_TRUST_STATUS {
    DWORD dwErrorStatus;
    DWORD dwInfoStatus;
};
struct CERT_ENHKEY_USAGE {
    DWORD cUsageIdentifier;
    LPSTR* rgpszUsageIdentifier;
};
struct CERT_USAGE_MATCH {
    DWORD dwType;
    CERT_ENHKEY_USAGE Usage;
};
struct CERT_CHAIN_PARA {
    DWORD cbSize;  // sizeof(CERT_CHAIN_PARA)
    CERT_USAGE_MATCH RequestedUsage;
};
struct CERT_CHAIN_ELEMENT {
    DWORD cbSize;
    PCCERT_CONTEXT pCertContext;
    CERT_TRUST_STATUS TrustStatus;
    void* pRevocationInfo;
    void* pIssuanceUsage;
    void* pApplicationUsage;
    LPCWSTR pwszExtendedErrorInfo;
};
using PCERT_CHAIN_ELEMENT = CERT_CHAIN_ELEMENT*;
struct CERT_SIMPLE_CHAIN {
    DWORD cbSize;
    CERT_TRUST_STATUS TrustStatus;
    DWORD cElement;
    PCERT_CHAIN_ELEMENT* rgpElement;  // the certificate first, its root last
    void* pTrustListInfo;
    BOOL fHasRevocationFreshnessTime;
    DWORD dwRevocationFreshnessTime;
};
using PCERT_SIMPLE_CHAIN = CERT_SIMPLE_CHAIN*;
struct CERT_CHAIN_CONTEXT;
using PCCERT_CHAIN_CONTEXT = const CERT_CHAIN_CONTEXT*;
struct CERT_CHAIN_CONTEXT {
    DWORD cbSize;
    CERT_TRUST_STATUS TrustStatus;  // the simple chain's
    DWORD cChain;
    PCERT_SIMPLE_CHAIN* rgpChain;
    DWORD cLowerQualityChainContext;
    PCCERT_CHAIN_CONTEXT* rgpLowerQualityChainContext;
    BOOL fHasRevocationFreshnessTime;
    DWORD dwRevocationFreshnessTime;
};

// Builds the chain of pCertContext at pTime (null: now) from the certificate's own store,
// hAdditionalStore (may be null), the user's "CA" and "ROOT" stores and the system's
// trust anchors (OpenSSL's default file and folder, SSL_CERT_FILE / SSL_CERT_DIR when
// set). An issuer is a certificate whose subject matches the issuer name (RFC 5280
// section 7.1); of several, the one whose key verifies the signature is taken, then one
// the authority key identifier names, then one valid at pTime. The walk ends at a
// self-signed certificate, or, with CERT_TRUST_IS_PARTIAL_CHAIN, where no issuer is
// found. The result has one simple chain, the certificate first and its root last;
// each element holds its own reference to a certificate context.
// Error bits of an element: CERT_TRUST_IS_NOT_TIME_VALID (outside its validity at
// pTime), CERT_TRUST_IS_NOT_SIGNATURE_VALID (its signature does not verify with its
// issuer's key), CERT_TRUST_IS_NOT_VALID_FOR_USAGE (a requested usage its extended key
// usage lacks, all of them with USAGE_MATCH_TYPE_AND, one with USAGE_MATCH_TYPE_OR; or,
// on an issuer, no CA basic constraint, no keyCertSign in its key usage, or a path
// length constraint exceeded — RFC 5280 section 6.1.4), CERT_TRUST_IS_UNTRUSTED_ROOT
// (a self-signed root in neither the user's "ROOT" store nor the system's anchors),
// CERT_TRUST_INVALID_EXTENSION, CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT, and with
// the revocation flags CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
// CERT_TRUST_IS_OFFLINE_REVOCATION on the elements they name: revocation is never
// checked. Info bits of an element: how its issuer matched (EXACT: the authority key
// identifier's issuer and serial; KEY: its key identifier; NAME: the name alone) and
// CERT_TRUST_IS_SELF_SIGNED on a self-signed root. The simple chain's and the
// context's bits are the union of the elements' error bits, plus
// CERT_TRUST_IS_PARTIAL_CHAIN; the per-element info bits stay on the elements.
// Success: TRUE and a context the caller frees with CertFreeCertificateChain, whatever
// the bits. Failure: FALSE, *ppChainContext null, with E_INVALIDARG (an engine other
// than HCCE_CURRENT_USER, null certificate, parameters or output, cbSize below
// sizeof(CERT_CHAIN_PARA), an unknown match type, a null usage identifier, reserved
// not null), CRYPT_E_ASN1_CORRUPT (a certificate OpenSSL cannot decode),
// ERROR_INVALID_HANDLE (a stale hAdditionalStore), or the error of opening or reading
// "CA" or "ROOT".
BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                             const FILETIME* pTime, HCERTSTORE hAdditionalStore,
                             const CERT_CHAIN_PARA* pChainPara, DWORD dwFlags, void* pvReserved,
                             PCCERT_CHAIN_CONTEXT* ppChainContext);
// Frees a chain context and the certificate references it holds; null is accepted.
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);
