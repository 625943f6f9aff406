// Helpers of the layer around the providers and key containers of
// platform/crypt/key_container.cpp and the files beside it (provider_table.cpp,
// container_rows.cpp, key_consent.cpp): the providers (built-in and registered for the user),
// storing and reading key pairs, the one entry point for every use of a private key with
// the user's consent for protected keys, and a listing of the user's containers for
// tools.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/wincrypt.h"
#include "platform/text/ascii.h"

class DbConnection;

// A container name as containers are keyed and compared: ASCII letters upper-cased, every
// other byte as it is, so that names differing only in ASCII case name one container
// whatever the locale.
inline std::string foldContainerName(std::string_view name) {
    return text::asciiUpper(name);
}

struct CryptProviderInfo {
    std::string name;  // UTF-8
    DWORD type = 0;
    std::string keyset;  // the set of containers it works on; shared by the built-ins
    DWORD defaultKeyBits = 1024;
    bool builtIn = false;
    // Where the keys live: "software" (the user database) or "pkcs11" (a token, through
    // the PKCS#11 module at `module`, only the token labelled `token` when it is given).
    std::string backend = "software";
    std::string module;
    std::string token;
    // Where it is defined: "built-in", "user" (the user's registry) or the machine file.
    std::string source = "built-in";
};

// Where the per-user provider entries live, below HKEY_CURRENT_USER.
constexpr const char* kRegisteredProvidersKey =
    "Software\\Microsoft\\Cryptography\\Defaults\\Provider";

// The providers in the platform's enumeration order: the built-in ones, then the ones
// registered for the user, then the machine's (platform/registry/machine_hive.h) whose names the
// user has not taken (read again on every call; see CryptEnumProvidersA).
// CryptEnumProvidersA lists them from here.
std::vector<CryptProviderInfo> cryptProviders();
// The provider of that name (UTF-8), ASCII case ignored; nullopt when there is none.
std::optional<CryptProviderInfo> findCryptProvider(std::string_view name);
// The default provider of a provider type (MS_ENHANCED_PROV_A for PROV_RSA_FULL,
// MS_ENH_RSA_AES_PROV_A for PROV_RSA_AES); nullopt for a type without a default.
std::optional<CryptProviderInfo> defaultCryptProvider(DWORD type);

// Puts an RSA key pair into slot dwKeySpec (AT_KEYEXCHANGE or AT_SIGNATURE) of the
// container hProv is open on, replacing what the slot held, with dwFlags
// (CRYPT_EXPORTABLE, CRYPT_USER_PROTECTED). The private key is stored as PKCS#8 DER; the
// caller keeps `key`. *phKey (optional) receives a handle to the stored key. CryptGenKey
// and CryptImportKey store their keys through this. Failure: FALSE with NTE_BAD_UID,
// NTE_BAD_KEYSET (verify context, or the container is gone), NTE_BAD_ALGID (not RSA,
// or another slot), NTE_BAD_FLAGS, NTE_FAIL (database).
BOOL cryptStoreKeyPair(HCRYPTPROV hProv, DWORD dwKeySpec, EVP_PKEY* key, DWORD dwFlags,
                       HCRYPTKEY* phKey);
// A new reference to the key pair behind a key handle, for CryptSignHash and
// CryptExportKey; null with ERROR_INVALID_HANDLE.
openssl::EvpPkeyPtr cryptKeyPair(HCRYPTKEY hKey);

// The key pair in slot dwKeySpec of the container hProv is open on, for one use of the
// private key named by `operation` (ASCII, shown to the user when the key was created
// CRYPT_USER_PROTECTED and consent is asked). Success: a new reference the caller owns.
// Failure: null with CryptGetUserKey's codes (NTE_BAD_UID, NTE_NO_KEY, NTE_BAD_KEYSET,
// NTE_BAD_DATA), NTE_SILENT_CONTEXT (a protected key on a CRYPT_SILENT context) or
// ERROR_CANCELLED when the user refuses. CryptSignHashA, the message encoder and the
// request signer take their keys through this.
openssl::EvpPkeyPtr cryptUsePrivateKey(HCRYPTPROV hProv, DWORD dwKeySpec, const char* operation);

// Signs a finished digest of `md` with the private key in slot dwKeySpec of hProv, for
// `operation`: RSA PKCS#1 v1.5 over the digest's DigestInfo, the signature as the
// big-endian integer as long as the modulus. A software key is taken through
// cryptUsePrivateKey (consent for protected keys); a token key signs on the token (the
// PIN is asked for when the token needs it). FALSE with cryptUsePrivateKey's codes or
// the token's (SCARD_W_WRONG_CHV, SCARD_W_CHV_BLOCKED, SCARD_W_CANCELLED_BY_USER,
// SCARD_W_REMOVED_CARD), NTE_FAIL when the signature fails.
BOOL cryptSignWithPrivateKey(HCRYPTPROV hProv, DWORD dwKeySpec, const char* operation,
                             const EVP_MD* md, const BYTE* digest, size_t digestLength,
                             std::vector<BYTE>& signature);

// Whether the private key behind hKey may be used for `operation` now: TRUE at once for
// a key created without CRYPT_USER_PROTECTED, else when the user allows it (asked through
// the consent hook). FALSE with ERROR_INVALID_HANDLE, NTE_SILENT_CONTEXT or
// ERROR_CANCELLED. cryptUsePrivateKey and the private-key export ask through this.
BOOL cryptAllowKeyUse(HCRYPTKEY hKey, const char* operation);

// One use of a protected private key the user is asked to allow.
struct KeyUseRequest {
    std::string provider;   // UTF-8
    std::string container;  // UTF-8
    DWORD keySpec = 0;
    std::string operation;
};
// Asks the user; true when this one use is allowed.
using KeyConsentHook = std::function<bool(const KeyUseRequest&)>;
// Installs the process's way of asking (the dialog layer does so when an engine starts)
// and returns the previous one; an empty hook removes it. Without a hook every use of a
// protected key is refused: nobody can be asked. The hook is called without any lock
// held, on the thread that uses the key.
KeyConsentHook setKeyConsentHook(KeyConsentHook hook);

struct KeyContainerSlot {
    DWORD keySpec;  // AT_KEYEXCHANGE or AT_SIGNATURE
    DWORD flags;    // CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED
    DWORD bits;
};
struct KeyContainerRecord {
    std::string provider;
    std::string container;  // UTF-8
    std::vector<KeyContainerSlot> slots;
    int64_t ownerPid = 0;  // the process a temporary container belongs to; 0: permanent
    // How its private keys are kept: "secret-service" or "file" (sealed in the database
    // under a master key kept there, see platform/crypt/key_protection.h), or "memory" (a
    // container of this process only).
    std::string protection;
};
constexpr const char* kMemoryProtection = "memory";
// CryptAcquireContextA with CRYPT_NEWKEYSET for a named container in this process's
// memory only (the PFX import makes its containers so): its keys never reach a file
// unless a certificate of a system store is given the key (CRYPT_KEY_PROV_INFO naming
// it, see installMemoryContainers), and go when it is deleted or the process ends. It
// is opened by name like a stored one (a stored container of the name first). Success
// and failure as CryptAcquireContextA; NTE_BAD_KEYSET_PARAM without a name.
BOOL cryptAcquireTemporaryContext(HCRYPTPROV* phProv, LPCSTR pszContainer, LPCSTR pszProvider,
                                  DWORD dwProvType);

// Stores, inside the caller's write transaction on `db`, the memory containers of this
// process beside that database whose folded name (ASCII upper-cased) is `folded`, in
// every provider's set, with their keys sealed; a stored container of the same set and
// name is kept as it is. SQLITE_OK, or the failing code (SQLITE_ERROR when a key cannot
// be sealed).
int installMemoryContainers(DbConnection& db, std::string_view folded);

// Every key container of the current user, oldest first, then this process's memory
// containers. False with NTE_FAIL when the database cannot be read.
bool listKeyContainers(std::vector<KeyContainerRecord>& out);
// The name of the default container: the user's login name (UTF-8).
std::string defaultKeyContainerName();
