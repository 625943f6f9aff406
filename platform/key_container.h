// Helpers of the layer around the providers and key containers of
// platform/key_container.cpp: the one table of providers, storing and reading key
// pairs (for the PKCS#12 import now; key generation, signing and export later), and a
// listing of the user's containers for tools.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/openssl_holders.h"
#include "platform/wincrypt.h"

struct CryptProviderInfo {
    const char* name;
    DWORD type;
};

// The providers this layer offers, in the platform's enumeration order (by name).
// CryptEnumProvidersA lists them from here.
std::span<const CryptProviderInfo> cryptProviders();
// The provider of that name, ASCII case ignored; null when there is none.
const CryptProviderInfo* findCryptProvider(std::string_view name);
// The default provider of a provider type (MS_ENHANCED_PROV_A for PROV_RSA_FULL); null
// for a type without providers.
const CryptProviderInfo* defaultCryptProvider(DWORD type);

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
// private key named by `operation` (shown to the user when the key was created
// CRYPT_USER_PROTECTED and consent is asked). Success: a new reference the caller owns.
// Failure: null with CryptGetUserKey's codes (NTE_BAD_UID, NTE_NO_KEY, NTE_BAD_KEYSET,
// NTE_BAD_DATA) or ERROR_CANCELLED when the user refuses. CryptSignHashA, the message
// encoder and the request signer take their keys through this.
openssl::EvpPkeyPtr cryptUsePrivateKey(HCRYPTPROV hProv, DWORD dwKeySpec, const char* operation);

struct KeyContainerSlot {
    DWORD keySpec;  // AT_KEYEXCHANGE or AT_SIGNATURE
    DWORD flags;    // CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED
    DWORD bits;
};
struct KeyContainerRecord {
    std::string provider;
    std::string container;  // UTF-8
    std::vector<KeyContainerSlot> slots;
};
// Every key container of the current user, oldest first. False with NTE_FAIL when the
// database cannot be read.
bool listKeyContainers(std::vector<KeyContainerRecord>& out);
// The name of the default container: the user's login name (UTF-8).
std::string defaultKeyContainerName();
