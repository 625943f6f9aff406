// The certificate group of the platform's cryptographic interface, built on OpenSSL 3:
// certificate contexts, their properties, name rendering, key usage and validity. Names,
// flags, structure layouts, two-call size queries and last-error values are the
// platform's, so that code calling them reads as it would there.
#pragma once

#include <cstdint>

#include "platform/crypt/wincrypt_ids.h"
#include "platform/system/filetime.h"
#include "platform/system/last_error.h"
#include "platform/system/types.h"

using HCERTSTORE = void*;
using HCRYPTPROV = uintptr_t;
using HCRYPTKEY = uintptr_t;

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
// or a malformed record fail with E_INVALIDARG. A key context's provider handle then
// belongs to the context, which releases it (CryptReleaseContext) when the property is
// replaced or removed or the context is freed, unless dwFlags has
// CERT_STORE_NO_CRYPT_RELEASE_FLAG. On a context of a system store the change is
// written to the store first (not the key context, which lives in this process only);
// when that fails the context is unchanged and the call fails with the store's error.
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

// ---- Stores (platform/store/system_store.cpp, store_object.cpp)
//
// A memory store lives in the process. The current user's system stores "MY", "ROOT"
// and "CA" (names compare without regard to case) live in the user database; each open
// reads the store as it is then, every enumeration or search that starts from the
// beginning picks up what other processes changed meanwhile, and every change is
// written at once, so processes sharing a store see one consistent list. A store stays
// alive while a handle to it is open or one of its certificate contexts is still
// referenced; its contexts carry hCertStore. Certificates enumerate in the order they
// were added; a replaced certificate keeps its place. Handles are table entries: a
// handle whose store is gone gives ERROR_INVALID_HANDLE.

// Store providers of CertOpenStore (small numbers in the pointer, as the platform
// passes them), and their names.
inline const LPCSTR CERT_STORE_PROV_MEMORY = reinterpret_cast<LPCSTR>(2);
inline const LPCSTR CERT_STORE_PROV_SYSTEM_A = reinterpret_cast<LPCSTR>(9);
inline const LPCSTR CERT_STORE_PROV_SYSTEM_W = reinterpret_cast<LPCSTR>(10);
inline const LPCSTR CERT_STORE_PROV_SYSTEM = CERT_STORE_PROV_SYSTEM_W;
constexpr const char* sz_CERT_STORE_PROV_MEMORY = "Memory";
constexpr const char* sz_CERT_STORE_PROV_SYSTEM = "System";

// CertOpenStore flags. The system-store location is in bits 16-23.
constexpr DWORD CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG = 0x00000004;
constexpr DWORD CERT_STORE_DELETE_FLAG = 0x00000010;
constexpr DWORD CERT_STORE_MAXIMUM_ALLOWED_FLAG = 0x00001000;
constexpr DWORD CERT_STORE_CREATE_NEW_FLAG = 0x00002000;
constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x00004000;
constexpr DWORD CERT_STORE_READONLY_FLAG = 0x00008000;
constexpr DWORD CERT_SYSTEM_STORE_LOCATION_MASK = 0x00FF0000;
constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x00010000;
constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 0x00020000;

// CertCloseStore flags.
constexpr DWORD CERT_CLOSE_STORE_FORCE_FLAG = 0x00000001;
constexpr DWORD CERT_CLOSE_STORE_CHECK_FLAG = 0x00000002;

// CertAddCertificateContextToStore dispositions.
constexpr DWORD CERT_STORE_ADD_NEW = 1;
constexpr DWORD CERT_STORE_ADD_USE_EXISTING = 2;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES = 5;

// CertFindCertificateInStore types.
constexpr DWORD CERT_FIND_ANY = 0;
constexpr DWORD CERT_FIND_SHA1_HASH = 0x00010000;
constexpr DWORD CERT_FIND_HASH = CERT_FIND_SHA1_HASH;

constexpr DWORD CRYPT_E_NO_KEY_PROPERTY = 0x8009200B;
constexpr DWORD CRYPT_E_PENDING_CLOSE = 0x8009200F;

// Opens a store. CERT_STORE_PROV_MEMORY (or "Memory"): a new empty store in the
// process. CERT_STORE_PROV_SYSTEM_A / _W (or "System", wide): the system store named by
// pvPara (narrow ANSI / UTF-16) at CERT_SYSTEM_STORE_CURRENT_USER (the location 0 means
// the same). CERT_STORE_READONLY_FLAG refuses changes with E_ACCESSDENIED; other flags
// are accepted and ignored, except CERT_STORE_DELETE_FLAG (ERROR_NOT_SUPPORTED). A
// non-zero hCryptProv is released when the store goes, unless
// CERT_STORE_NO_CRYPT_RELEASE_FLAG is given. Success: a handle the caller closes with
// CertCloseStore. Failure: null with ERROR_FILE_NOT_FOUND (unknown store provider or
// system store name), E_INVALIDARG (null name, another location), or the database's
// error (ERROR_REGISTRY_IO_FAILED and the like).
HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV hCryptProv,
                         DWORD dwFlags, const void* pvPara);
// CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, hProv, CERT_SYSTEM_STORE_CURRENT_USER, name).
HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV hProv, LPCSTR szSubsystemProtocol);
// Another reference to an open store; the same handle, closed once more. Null with
// ERROR_INVALID_HANDLE for a stale handle.
HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore);
// Drops one reference (CERT_CLOSE_STORE_FORCE_FLAG: all of them). The store goes when
// no reference and none of its contexts remains; contexts still referenced stay valid
// (the platform would free them under FORCE, leaving callers with dangling contexts).
// TRUE, also for null. CERT_CLOSE_STORE_CHECK_FLAG: FALSE with CRYPT_E_PENDING_CLOSE
// when this call closed the last reference but contexts of the store are still
// referenced (the store is closed all the same). FALSE with ERROR_INVALID_HANDLE for a
// stale handle or one with no reference left.
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
// The certificate after pPrevCertContext (null: the first), in the order they were
// added; each certificate once, also while certificates are added or removed. The
// previous context is freed, as the platform does. The result is a new reference the
// caller frees (or passes back). Null at the end with CRYPT_E_NOT_FOUND; null with
// E_INVALIDARG when pPrevCertContext belongs to another store, ERROR_INVALID_HANDLE
// for a stale handle.
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);
// The next certificate after pPrevCertContext matching: CERT_FIND_ANY (every one), or
// CERT_FIND_SHA1_HASH with pvFindPara a CRYPT_HASH_BLOB of the 20-byte thumbprint.
// Frees pPrevCertContext. Null with CRYPT_E_NOT_FOUND when no further certificate
// matches, E_INVALIDARG for another find type or a missing hash blob.
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext);
// Adds a copy of the certificate with its properties (not the key context) to the
// store. "Existing" is a certificate of the store with the same SHA-1 thumbprint.
// CERT_STORE_ADD_NEW: fails with CRYPT_E_EXISTS when one exists. ADD_USE_EXISTING:
// the existing one takes the new one's properties and is used. ADD_REPLACE_EXISTING:
// the new one takes the existing one's place. ADD_REPLACE_EXISTING_INHERIT_PROPERTIES:
// the same, keeping the existing one's properties that the new one lacks. ADD_ALWAYS:
// added even when one exists. *ppStoreContext (optional) receives the store's context,
// which the caller frees. Failure: FALSE, *ppStoreContext null, with E_INVALIDARG (null
// context, unknown disposition), E_ACCESSDENIED (read-only store), ERROR_INVALID_HANDLE
// or the database's error; nothing changed. A certificate new to "ROOT" is added only
// when the user allows it (root_install.h); refused: ERROR_CANCELLED, nothing changed.
BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext);
// Removes the certificate from its store (pCertContext->hCertStore) and frees the
// context, also when the removal fails, as the platform does. Contexts of the removed
// certificate that are still referenced stay valid. TRUE when removed (or already
// removed by another process); FALSE with E_INVALIDARG for a context of no store,
// E_ACCESSDENIED for a read-only store, or the database's error.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);

// ---- Providers, key containers and keys (platform/crypt/key_container.cpp and beside it)
//
// The software RSA providers keep named key containers in the user database, each
// holding up to two RSA key pairs: slot AT_KEYEXCHANGE and slot AT_SIGNATURE, each with
// its CRYPT_EXPORTABLE and CRYPT_USER_PROTECTED flags and the private key as PKCS#8 DER.
// The built-in providers below share one set of containers, as the platform's RSA
// providers share their key files; a provider registered for the user (a key
// Software\Microsoft\Cryptography\Defaults\Provider\<name> of HKEY_CURRENT_USER with
// the REG_DWORD value "Type" and the string value "Backend" "software") has its own.
// Container names are compared without regard to ASCII case. Handles are table entries
// valid in any thread: a released or unknown provider handle gives NTE_BAD_UID, a
// destroyed or unknown key handle ERROR_INVALID_HANDLE.

constexpr DWORD PROV_RSA_FULL = 1;
constexpr DWORD PROV_RSA_AES = 24;
constexpr const char* MS_DEF_PROV_A = "Microsoft Base Cryptographic Provider v1.0";
constexpr const char* MS_ENHANCED_PROV_A = "Microsoft Enhanced Cryptographic Provider v1.0";
constexpr const char* MS_STRONG_PROV_A = "Microsoft Strong Cryptographic Provider";
constexpr const char* MS_ENH_RSA_AES_PROV_A =
    "Microsoft Enhanced RSA and AES Cryptographic Provider";

// CryptAcquireContext flags.
constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
constexpr DWORD CRYPT_DELETEKEYSET = 0x00000010;
constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
constexpr DWORD CRYPT_SILENT = 0x00000040;
// Key flags (CryptGenKey, PFXImportCertStore).
constexpr DWORD CRYPT_EXPORTABLE = 0x00000001;
constexpr DWORD CRYPT_USER_PROTECTED = 0x00000002;

// CryptGetProvParam parameters and flags.
constexpr DWORD PP_ENUMCONTAINERS = 2;
constexpr DWORD PP_NAME = 4;
constexpr DWORD PP_CONTAINER = 6;
constexpr DWORD PP_PROVTYPE = 16;
constexpr DWORD PP_UNIQUE_CONTAINER = 36;
constexpr DWORD CRYPT_FIRST = 1;
constexpr DWORD CRYPT_NEXT = 2;

// CryptGetKeyParam parameters and the permission bits of KP_PERMISSIONS.
constexpr DWORD KP_PERMISSIONS = 6;
constexpr DWORD KP_ALGID = 7;
constexpr DWORD KP_KEYLEN = 9;
constexpr DWORD CRYPT_ENCRYPT = 0x0001;
constexpr DWORD CRYPT_DECRYPT = 0x0002;
constexpr DWORD CRYPT_EXPORT = 0x0004;
constexpr DWORD CRYPT_READ = 0x0008;
constexpr DWORD CRYPT_WRITE = 0x0010;
constexpr DWORD CRYPT_MAC = 0x0020;

// CryptAcquireCertificatePrivateKey flags.
constexpr DWORD CRYPT_ACQUIRE_CACHE_FLAG = 0x00000001;
constexpr DWORD CRYPT_ACQUIRE_USE_PROV_INFO_FLAG = 0x00000002;
constexpr DWORD CRYPT_ACQUIRE_COMPARE_KEY_FLAG = 0x00000004;
constexpr DWORD CRYPT_ACQUIRE_SILENT_FLAG = 0x00000040;

// Last-error values of the provider calls.
constexpr DWORD NTE_BAD_UID = 0x80090001;
constexpr DWORD NTE_BAD_KEY = 0x80090003;
constexpr DWORD NTE_BAD_DATA = 0x80090005;
constexpr DWORD NTE_BAD_ALGID = 0x80090008;
constexpr DWORD NTE_BAD_FLAGS = 0x80090009;
constexpr DWORD NTE_BAD_TYPE = 0x8009000A;
constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000B;
constexpr DWORD NTE_NO_KEY = 0x8009000D;
constexpr DWORD NTE_NO_MEMORY = 0x8009000E;
constexpr DWORD NTE_EXISTS = 0x8009000F;
constexpr DWORD NTE_PERM = 0x80090010;
constexpr DWORD NTE_BAD_PROV_TYPE = 0x80090014;
constexpr DWORD NTE_BAD_PUBLIC_KEY = 0x80090015;
constexpr DWORD NTE_BAD_KEYSET = 0x80090016;
constexpr DWORD NTE_PROV_TYPE_NOT_DEF = 0x80090017;
constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019;
constexpr DWORD NTE_PROV_TYPE_NO_MATCH = 0x8009001B;
constexpr DWORD NTE_BAD_KEYSET_PARAM = 0x8009001F;
constexpr DWORD NTE_FAIL = 0x80090020;
constexpr DWORD NTE_SILENT_CONTEXT = 0x80090022;
constexpr DWORD NTE_PROVIDER_DLL_FAIL = 0x8009001D;

// The providers in the platform's order: the built-in ones, then those registered for
// the user (in the registry's order of their key names; an entry without a REG_DWORD
// "Type" from 1 to 999, with another "Backend", or named like a built-in one is passed
// over). dwIndex counts from 0. *pdwProvType (optional) receives the type. With
// szProvName null *pcbProvName receives the size of the name with its terminator; with
// a buffer, *pcbProvName is its size on entry and the name's size on return, and a short
// buffer gives ERROR_MORE_DATA with the size needed. Failure: FALSE with
// ERROR_NO_MORE_ITEMS past the last provider, ERROR_INVALID_PARAMETER (pdwReserved not
// null, pcbProvName null), NTE_BAD_FLAGS (dwFlags not 0).
BOOL CryptEnumProvidersA(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                         LPSTR szProvName, DWORD* pcbProvName);

// Opens a provider context on a key container. pszProvider names the provider (null:
// the default provider of dwProvType: MS_ENHANCED_PROV_A for PROV_RSA_FULL,
// MS_ENH_RSA_AES_PROV_A for PROV_RSA_AES); provider names compare without regard to
// ASCII case. pszContainer names the container (null or empty: the default container,
// named after the user). Flags: CRYPT_NEWKEYSET creates the container (NTE_EXISTS when
// it exists); CRYPT_DELETEKEYSET removes it with its keys and sets *phProv to 0 (no
// handle); CRYPT_VERIFYCONTEXT opens no container (the name must be null or empty);
// CRYPT_SILENT makes the context ask the user nothing: a private key created
// CRYPT_USER_PROTECTED is then refused with NTE_SILENT_CONTEXT instead of asked for.
// Success: TRUE and a handle the caller releases with CryptReleaseContext. Failure:
// FALSE with NTE_BAD_KEYSET (no such container), NTE_EXISTS, NTE_KEYSET_NOT_DEF
// (unknown provider), NTE_PROV_TYPE_NO_MATCH (known provider, other type),
// NTE_BAD_PROV_TYPE (type 0 or above 999), NTE_PROV_TYPE_NOT_DEF (no provider of that
// type), NTE_BAD_FLAGS (other flags, CRYPT_MACHINE_KEYSET, a container name with
// CRYPT_VERIFYCONTEXT), ERROR_INVALID_PARAMETER (null phProv), NTE_FAIL (database).
BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR pszContainer, LPCSTR pszProvider,
                          DWORD dwProvType, DWORD dwFlags);
// The same with UTF-16 names.
BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR pszContainer, LPCWSTR pszProvider,
                          DWORD dwProvType, DWORD dwFlags);
// One more reference to a provider context, released once more. pdwReserved must be
// null and dwFlags 0 (ERROR_INVALID_PARAMETER, NTE_BAD_FLAGS); NTE_BAD_UID.
BOOL CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags);
// Drops a reference; the last one ends the handle (keys obtained from it stay usable
// until destroyed). NTE_BAD_FLAGS for dwFlags other than 0 (the reference is dropped
// anyway, as the platform does), NTE_BAD_UID for a stale handle.
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
// Two-call size protocol (pbData null: size in *pdwDataLen; short: ERROR_MORE_DATA and
// the size). PP_CONTAINER / PP_UNIQUE_CONTAINER: the container name, PP_NAME: the
// provider name (ANSI, with terminator); PP_PROVTYPE: a DWORD; PP_ENUMCONTAINERS: the
// provider's container names one per call (CRYPT_FIRST restarts), ERROR_NO_MORE_ITEMS
// after the last. NTE_BAD_TYPE for another parameter, NTE_BAD_KEYSET for PP_CONTAINER
// of a verify context, NTE_BAD_UID for a stale handle.
BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);
// A handle to the key pair in slot dwKeySpec of the open container; the caller
// destroys it with CryptDestroyKey. NTE_NO_KEY when the slot is empty (or the context
// has no container), NTE_BAD_KEYSET when the container was removed meanwhile,
// NTE_BAD_UID, NTE_BAD_DATA for a stored key that does not decode.
BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
// Generates an RSA key pair (public exponent 65537) into a slot of the open container,
// replacing what the slot held: Algid AT_KEYEXCHANGE or CALG_RSA_KEYX, AT_SIGNATURE or
// CALG_RSA_SIGN. The upper 16 bits of dwFlags give the modulus length, 512 to 16384 in
// steps of 8 (0: the provider's default, 512 for MS_DEF_PROV_A and 1024 for the others;
// OpenSSL makes no keys shorter than 512, the platform's own minimum of 384 is not
// offered); the lower bits may hold CRYPT_EXPORTABLE and CRYPT_USER_PROTECTED. Success:
// TRUE and a handle to the new key the caller destroys with CryptDestroyKey. Failure:
// FALSE, the slot unchanged, with NTE_BAD_ALGID, NTE_BAD_FLAGS (other flags, a length
// that is no multiple of 8), ERROR_INVALID_PARAMETER (length out of range, null phKey),
// NTE_BAD_KEYSET (verify context, or the container is gone), NTE_BAD_UID, NTE_FAIL.
BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
constexpr DWORD RSA1024BIT_KEY = 0x04000000;
// KP_ALGID (CALG_RSA_KEYX / CALG_RSA_SIGN), KP_KEYLEN (bits), KP_PERMISSIONS (CRYPT_EXPORT
// only for an exportable key) as DWORDs, with the two-call size protocol. NTE_BAD_TYPE
// for another parameter, NTE_BAD_FLAGS, ERROR_INVALID_HANDLE.
BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags);
// Ends a key handle. ERROR_INVALID_HANDLE for a stale one.
BOOL CryptDestroyKey(HCRYPTKEY hKey);

// ---- Key blobs (platform/crypt/key_export.cpp)

// Blob types and the blob version this layer writes.
constexpr BYTE SIMPLEBLOB = 0x1;
constexpr BYTE PUBLICKEYBLOB = 0x6;
constexpr BYTE PRIVATEKEYBLOB = 0x7;
constexpr BYTE PLAINTEXTKEYBLOB = 0x8;
constexpr BYTE CUR_BLOB_VERSION = 2;

// The first 8 bytes of every key blob.
struct BLOBHEADER {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
};
using PUBLICKEYSTRUC = BLOBHEADER;

// What follows the header of an RSA blob; magic is "RSA1" (public) or "RSA2" (private)
// read as a little-endian DWORD.
struct RSAPUBKEY {
    DWORD magic;
    DWORD bitlen;
    DWORD pubexp;
};
constexpr DWORD RSA1_MAGIC = 0x31415352;
constexpr DWORD RSA2_MAGIC = 0x32415352;

static_assert(sizeof(BLOBHEADER) == 8 && sizeof(RSAPUBKEY) == 12);

// Writes the key pair behind hKey as a key blob. PUBLICKEYBLOB: BLOBHEADER (bType 6,
// bVersion 2, aiKeyAlg CALG_RSA_KEYX for a key of slot AT_KEYEXCHANGE, CALG_RSA_SIGN for
// AT_SIGNATURE), RSAPUBKEY ("RSA1", bit length, public exponent), then the modulus.
// PRIVATEKEYBLOB: the same header with bType 7 and "RSA2", then modulus, prime1,
// prime2, exponent1, exponent2, coefficient and the private exponent. Every number is
// least significant byte first, zero-padded to its fixed width: (bitlen + 7) / 8 bytes
// for the modulus and the private exponent, (bitlen + 15) / 16 for the other five.
// hExpKey must be 0: the private blob is written in the clear, and the caller protects
// and wipes it. pbData null stores the size in *pdwDataLen; a short *pdwDataLen fails
// with ERROR_MORE_DATA and the size. Failure: FALSE with ERROR_INVALID_HANDLE (stale
// key handle), NTE_BAD_FLAGS (dwFlags not 0), NTE_BAD_TYPE (another blob type),
// NTE_BAD_KEY (an export key given, or a key the RSA layout cannot hold: more than two
// primes, a public exponent above 32 bits, a prime wider than its field),
// NTE_BAD_KEY_STATE (PRIVATEKEYBLOB of a key stored without CRYPT_EXPORTABLE),
// ERROR_INVALID_PARAMETER (null pdwDataLen); for the PRIVATEKEYBLOB of a key created
// CRYPT_USER_PROTECTED, ERROR_CANCELLED when the user does not allow the export (asked
// when the blob is written, not for its size) or NTE_SILENT_CONTEXT.
BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE* pbData, DWORD* pdwDataLen);
// The provider context of a certificate's private key. Without
// CRYPT_ACQUIRE_USE_PROV_INFO_FLAG a key context property on the certificate is used as
// it is (the certificate keeps it: *pfCallerFreeProv FALSE). Otherwise the key-provider
// property names the container, which is opened (CRYPT_ACQUIRE_SILENT_FLAG adds
// CRYPT_SILENT) and must hold a key in the property's slot; with
// CRYPT_ACQUIRE_CACHE_FLAG the handle is kept as the certificate's key context
// (*pfCallerFreeProv FALSE), else the caller releases it (*pfCallerFreeProv TRUE).
// CRYPT_ACQUIRE_COMPARE_KEY_FLAG also checks that the key is the certificate's.
// pfCallerFreeProv may be null only with CRYPT_ACQUIRE_CACHE_FLAG. Failure: FALSE with
// CRYPT_E_NO_KEY_PROPERTY (no key-provider property), NTE_BAD_KEYSET, NTE_NO_KEY,
// NTE_BAD_PUBLIC_KEY, E_INVALIDARG, or the provider's codes.
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProvOrNCryptKey);

// ---- PKCS#12 (platform/crypt/pkcs12_import.cpp)
//
// Passwords are UTF-16 as the platform takes them. A null password and an empty one are
// different (RFC 7292 appendix B.1): the empty password is the BMPString 00 00, no
// password is zero octets. Files whose bags use RC2-40 or triple DES (older systems) open
// as well as AES / PBES2 ones.

constexpr DWORD CRYPT_USER_KEYSET = 0x00001000;
constexpr DWORD PKCS12_NO_PERSIST_KEY = 0x00008000;

// TRUE when the blob decodes as a PFX (RFC 7292 section 4). FALSE with the ASN.1 error,
// or ERROR_INVALID_DATA for a file whose iteration counts that can be read without the
// password (the MAC's, the encrypted safes', the key bags' outside them) add up to more
// than 1,000,000. PFXVerifyPassword and PFXImportCertStore refuse such files the same
// way, and the import also a file whose counts pass that only with the key bags found
// inside its encrypted safes, before decrypting any of those.
BOOL PFXIsPFXBlob(const CRYPT_DATA_BLOB* pPFX);
// TRUE when szPassword opens the file: its MAC verifies, or, in a file without MAC, its
// encrypted parts decrypt. FALSE with ERROR_INVALID_PASSWORD, or E_INVALIDARG /
// CRYPT_E_ASN1_* for input that is not a PFX. dwFlags is ignored.
BOOL PFXVerifyPassword(const CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);
// A new memory store holding every certificate of the file, in the order of its bags,
// with friendly names. Each private key whose certificate is in the file (matched by
// localKeyId, else by public key; in both cases the certificate's public key must be the
// key's, so a certificate whose key bag holds another key gets none) goes into a new
// key container named by a fresh
// upper-case UUID, in the provider the key bag names (CSP-name attribute) when it is a
// known one, else the default provider; in slot AT_SIGNATURE when the bag's key-usage
// attribute allows signing only, else AT_KEYEXCHANGE; with CRYPT_EXPORTABLE and
// CRYPT_USER_PROTECTED from dwFlags. The certificate's key-provider property names the
// container, which lives in this process's memory only (see
// cryptAcquireTemporaryContext) until a certificate of a system store names it: every
// import is a PKCS12_NO_PERSIST_KEY one until then, and the flag is accepted for
// callers that say so. A key without its certificate is not kept,
// and a key that is not RSA is
// left out. An empty or null password also tries the other of the two. dwFlags may
// hold CRYPT_EXPORTABLE, CRYPT_USER_PROTECTED, CRYPT_USER_KEYSET and
// PKCS12_NO_PERSIST_KEY. Success: a store
// the caller closes. Failure: null, no container left behind, with
// ERROR_INVALID_PASSWORD, E_INVALIDARG (flags, null blob), CRYPT_E_ASN1_* /
// CRYPT_E_BAD_ENCODE (malformed file), ERROR_INVALID_DATA (too many iterations, see
// PFXIsPFXBlob), NTE_BAD_ALGID (an algorithm this build lacks), or the provider's and
// the database's codes. The MAC is checked once for each form of the password tried.
HCERTSTORE PFXImportCertStore(const CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);

// PFXExportCertStore flags.
constexpr DWORD REPORT_NO_PRIVATE_KEY = 0x00000001;
constexpr DWORD REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY = 0x00000002;
constexpr DWORD EXPORT_PRIVATE_KEYS = 0x00000004;

// Encodes every certificate of the store, in enumeration order, as a PFX protected by
// szPassword (null: no password at all), written the way the platform writes it so that
// every importer reads it: the private keys as shrouded key bags
// (pbeWithSHAAnd3-KeyTripleDES-CBC) in a plain data safe, the certificates in one safe
// encrypted with pbeWithSHAAnd3-KeyTripleDES-CBC, an HMAC-SHA-1 MAC, 2000 iterations
// throughout. Each key bag names its provider (CSP-name attribute) and, for a key of
// slot AT_SIGNATURE, carries the key usage "digital signature"; a key and its
// certificates share a four-byte localKeyId (1, 2, ... least significant byte first).
// Friendly names go with the certificates. With EXPORT_PRIVATE_KEYS each certificate's
// key is taken through its key context or key-provider property: a certificate without
// either is exported alone (FALSE with CRYPT_E_NOT_FOUND under REPORT_NO_PRIVATE_KEY);
// one whose container or slot is gone fails with NTE_NO_KEY, since writing it alone
// would drop a key the certificate claims; a key not created CRYPT_EXPORTABLE stays out
// (FALSE with NTE_BAD_KEY under REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY). Two-call size
// protocol on pPFX: pbData null stores the size in cbData and succeeds; a short cbData
// fails with ERROR_MORE_DATA and the size needed; otherwise cbData becomes the length
// written. pvReserved must be null. Other failures: E_INVALIDARG (null store or blob,
// unknown flags, pvReserved), ERROR_INVALID_HANDLE (stale store), ERROR_CANCELLED (the
// user refused a protected key's use), NTE_FAIL (encoding), the provider's codes.
BOOL PFXExportCertStoreEx(HCERTSTORE hStore, CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword,
                          void* pvReserved, DWORD dwFlags);
// PFXExportCertStoreEx without the reserved argument.
BOOL PFXExportCertStore(HCERTSTORE hStore, CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword,
                        DWORD dwFlags);
