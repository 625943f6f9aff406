// Providers, key containers and key handles on the user database and OpenSSL. A
// provider context is a table entry naming one container row; every call reads the
// row again, so a container removed by another process is noticed (NTE_BAD_KEYSET).
// Private keys are sealed in the database (platform/crypt/key_protection.h), leave it only as
// PKCS#8 DER in wiped buffers and live in the process as EVP_PKEY objects owned by key
// handles. The containers a PFX load makes live in the loading process only (memory
// containers) until a certificate of a system store is given their key.
#include "platform/crypt/key_container.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypt/key_container_internal.h"
#include "platform/crypt/key_protection.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_ids.h"
#include "platform/store/user_database.h"
#include "platform/system/handle_table_internal.h"
#include "platform/text/codepage.h"
#include "platform/token/token_provider.h"

namespace {

using namespace key_containers;

constexpr DWORD kKeyFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED;
constexpr DWORD kMinKeyBits = 512;
constexpr DWORD kMaxKeyBits = 16384;
constexpr DWORD kKeyBitsStep = 8;

constexpr auto& fail = failWithLastError;

struct ProviderContext {
    CryptProviderInfo provider;
    bool silent = false;      // CRYPT_SILENT: nobody may be asked
    std::string database;     // the user database the context was opened on
    int64_t containerId = 0;  // 0 for a verify context
    std::string container;    // UTF-8
    std::atomic<int> refs{1};
    std::mutex enumMutex;
    int64_t enumAfter = 0;  // PP_ENUMCONTAINERS: the id given out last
    // A token provider's context: the container on the token (null for a verify
    // context), and PP_ENUMCONTAINERS' list, read at CRYPT_FIRST.
    std::shared_ptr<TokenContainer> token;
    std::vector<std::string> tokenNames;
    size_t tokenNext = 0;
    // A memory container's context (containerId 0).
    MemoryPtr memory;
};
using ProviderPtr = std::shared_ptr<ProviderContext>;

struct KeyObject {
    ProviderPtr provider;
    DWORD keySpec = 0;
    DWORD flags = 0;
    DWORD bits = 0;
    openssl::EvpPkeyPtr key;
};
using KeyPtr = std::shared_ptr<KeyObject>;

HandleTable<ProviderPtr>& providers() {
    static HandleTable<ProviderPtr> table(0x20000);
    return table;
}

HandleTable<KeyPtr>& keys() {
    static HandleTable<KeyPtr> table(0x40000);
    return table;
}

ProviderPtr findProvider(HCRYPTPROV h) {
    return providers().find(h).value_or(nullptr);
}

// The calling thread's connection, when it is the database the context was opened on.
DbConnection* databaseOf(const ProviderContext& context) {
    DbConnection* db = userDatabase();
    return db && db->path() == context.database ? db : nullptr;
}

// ---- keys

HCRYPTKEY addKeyHandle(ProviderPtr provider, DWORD keySpec, DWORD flags, DWORD bits,
                       openssl::EvpPkeyPtr key) {
    auto object = std::make_shared<KeyObject>();
    object->provider = std::move(provider);
    object->keySpec = keySpec;
    object->flags = flags;
    object->bits = bits;
    object->key = std::move(key);
    return keys().add(std::move(object));
}

// CryptGetUserKey of a token container: a handle to the public half; the private key
// stays on the token and signs there. Either slot names the container's one key.
BOOL tokenUserKey(const ProviderPtr& context, DWORD keySpec, HCRYPTKEY* phUserKey) {
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) return fail(NTE_NO_KEY);
    openssl::EvpPkeyPtr publicKey;
    if (!context->token->publicKey(publicKey)) return FALSE;
    auto bits = static_cast<DWORD>(EVP_PKEY_get_bits(publicKey.get()));
    *phUserKey = addKeyHandle(context, keySpec, 0, bits, std::move(publicKey));
    return TRUE;
}

// CryptGetUserKey of a memory container: a handle sharing the slot's key pair.
BOOL memoryUserKey(const ProviderPtr& context, DWORD keySpec, HCRYPTKEY* phUserKey) {
    MemoryContainer& memory = *context->memory;
    std::lock_guard lock(memory.mutex);
    if (memory.deleted) return fail(NTE_BAD_KEYSET);
    auto slot = memory.slots.find(keySpec);
    if (slot == memory.slots.end()) return fail(NTE_NO_KEY);
    EVP_PKEY_up_ref(slot->second.key.get());
    *phUserKey = addKeyHandle(context, keySpec, slot->second.flags, slot->second.bits,
                              openssl::EvpPkeyPtr(slot->second.key.get()));
    return TRUE;
}

// The size protocol's helpers with the parameter check of the provider calls.
BOOL giveDword(DWORD value, BYTE* pbData, DWORD* pdwDataLen) {
    if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
    return giveOutDword(value, pbData, pdwDataLen);
}
BOOL giveText(const std::string& text, BYTE* pbData, DWORD* pdwDataLen) {
    if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
    return giveOutText(text, pbData, pdwDataLen);
}

// The provider a call names, with the platform's order of checks.
BOOL resolveProvider(const std::string* name, DWORD type, CryptProviderInfo* out) {
    if (type == 0 || type > kMaxProvType) return fail(NTE_BAD_PROV_TYPE);
    std::optional<CryptProviderInfo> found =
        !name || name->empty() ? defaultCryptProvider(type) : findCryptProvider(*name);
    if (!found) return fail(!name || name->empty() ? NTE_PROV_TYPE_NOT_DEF : NTE_KEYSET_NOT_DEF);
    if (found->type != type) return fail(NTE_PROV_TYPE_NO_MATCH);
    *out = std::move(*found);
    return TRUE;
}

// CryptAcquireContext on UTF-8 names (null: not given). A container CRYPT_NEWKEYSET
// creates is temporary when `owner` is given.
BOOL acquire(HCRYPTPROV* phProv, const std::string* container, const std::string* provider,
             DWORD type, DWORD flags, bool inMemory = false) {
    if (!phProv) return fail(ERROR_INVALID_PARAMETER);
    *phProv = 0;
    constexpr DWORD kKnown = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                             CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
    if (flags & ~kKnown) return fail(NTE_BAD_FLAGS);
    CryptProviderInfo info;
    if (!resolveProvider(provider, type, &info)) return FALSE;
    // Only the user's own keys exist here.
    if (flags & CRYPT_MACHINE_KEYSET) return fail(NTE_BAD_FLAGS);
    DWORD mode = flags & (CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET);
    bool named = container && !container->empty();
    auto context = std::make_shared<ProviderContext>();
    context->provider = info;
    context->silent = flags & CRYPT_SILENT;
    if (mode == CRYPT_VERIFYCONTEXT) {
        if (named) return fail(NTE_BAD_FLAGS);
        context->database = userDatabasePath();
        *phProv = providers().add(std::move(context));
        return TRUE;
    }
    if (mode != 0 && mode != CRYPT_NEWKEYSET && mode != CRYPT_DELETEKEYSET)
        return fail(NTE_BAD_FLAGS);
    if (isTokenBackend(info)) {
        using Mode = TokenContainer::Mode;
        Mode tokenMode = mode == CRYPT_NEWKEYSET      ? Mode::Create
                         : mode == CRYPT_DELETEKEYSET ? Mode::Delete
                                                      : Mode::Open;
        if (!TokenContainer::acquire(info, named ? *container : std::string(), tokenMode,
                                     context->silent, &context->token))
            return FALSE;
        if (tokenMode == Mode::Delete) return TRUE;
        context->container = context->token->name();
        *phProv = providers().add(std::move(context));
        return TRUE;
    }
    std::string name = named ? *container : defaultKeyContainerName();
    DbConnection* db = userDatabase();
    if (!db) return fail(NTE_FAIL);
    if (mode == CRYPT_DELETEKEYSET) return deleteContainer(*db, info, name);
    int64_t id = 0;
    if (mode == CRYPT_NEWKEYSET && inMemory) {
        if (!createMemoryContainer(*db, info, name, &context->memory)) return FALSE;
    } else if (mode == CRYPT_NEWKEYSET) {
        if (!createContainer(*db, info, name, &id)) return FALSE;
    } else {
        // The database first: a memory container a certificate took is stored there.
        int rc = findContainer(*db, info, name, &id, &name);
        if (rc == SQLITE_DONE)
            context->memory = findMemoryContainer(info.keyset, foldContainerName(name));
        if (rc == SQLITE_DONE && !context->memory) return fail(NTE_BAD_KEYSET);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail(NTE_FAIL);
        if (context->memory) name = context->memory->name;
    }
    context->database = db->path();
    context->containerId = id;
    context->container = name;
    *phProv = providers().add(std::move(context));
    return TRUE;
}

std::optional<std::string> optionalAnsi(LPCSTR text) {
    if (!text) return std::nullopt;
    return ansiToUtf8(text);
}

std::optional<std::string> optionalWide(LPCWSTR text) {
    if (!text) return std::nullopt;
    return toUtf8(text);
}

// The next container name of the context's provider after its cursor.
BOOL enumContainers(ProviderContext& context, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    std::lock_guard lock(context.enumMutex);
    if (isTokenBackend(context.provider)) {
        if ((dwFlags & CRYPT_FIRST) || context.tokenNext == 0) {
            if (!TokenContainer::enumerate(context.provider, context.tokenNames)) return FALSE;
            context.tokenNext = 0;
        }
        if (context.tokenNext >= context.tokenNames.size()) return fail(ERROR_NO_MORE_ITEMS);
        if (!giveText(context.tokenNames[context.tokenNext], pbData, pdwDataLen)) return FALSE;
        if (pbData) ++context.tokenNext;
        return TRUE;
    }
    if (dwFlags & CRYPT_FIRST) context.enumAfter = 0;
    DbConnection* db = databaseOf(context);
    if (!db) return fail(NTE_FAIL);
    DbStatement st;
    if (st.prepare(*db,
                   "SELECT id, name FROM key_containers WHERE keyset = ?1 AND id > ?2 "
                   "ORDER BY id LIMIT 1") != SQLITE_OK)
        return fail(NTE_FAIL);
    st.bindText(1, context.provider.keyset);
    st.bind(2, context.enumAfter);
    int rc = st.step();
    if (rc == SQLITE_DONE) return fail(ERROR_NO_MORE_ITEMS);
    if (rc != SQLITE_ROW) return fail(NTE_FAIL);
    if (!giveText(utf8ToAnsi(st.columnText(1)), pbData, pdwDataLen)) return FALSE;
    if (pbData) context.enumAfter = st.columnInt64(0);
    return TRUE;
}

// The key-slot of a CryptGenKey algorithm; 0 for another algorithm.
DWORD slotOfAlgorithm(ALG_ID algid) {
    switch (algid) {
        case AT_KEYEXCHANGE:
        case CALG_RSA_KEYX:
            return AT_KEYEXCHANGE;
        case AT_SIGNATURE:
        case CALG_RSA_SIGN:
            return AT_SIGNATURE;
        default:
            return 0;
    }
}

}  // namespace

// ---- layer helpers (key_container.h)

std::string defaultKeyContainerName() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name)
        return found->pw_name;
    const char* user = getenv("USER");
    return user && *user ? user : "user";
}

BOOL cryptStoreKeyPair(HCRYPTPROV hProv, DWORD dwKeySpec, EVP_PKEY* key, DWORD dwFlags,
                       HCRYPTKEY* phKey) {
    if (phKey) *phKey = 0;
    ProviderPtr context = findProvider(hProv);
    if (!context) return fail(NTE_BAD_UID);
    if (dwFlags & ~kKeyFlags) return fail(NTE_BAD_FLAGS);
    // Keys are made on a token, never written to it.
    if (isTokenBackend(context->provider)) return fail(NTE_PERM);
    if ((dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) || !key ||
        !EVP_PKEY_is_a(key, "RSA"))
        return fail(NTE_BAD_ALGID);
    auto bits = static_cast<DWORD>(EVP_PKEY_get_bits(key));
    if (const MemoryPtr& memory = context->memory) {
        std::lock_guard lock(memory->mutex);
        if (memory->deleted) return fail(NTE_BAD_KEYSET);
        EVP_PKEY_up_ref(key);
        memory->slots[dwKeySpec] = MemorySlot{dwFlags, bits, openssl::EvpPkeyPtr(key)};
    } else {
        if (context->containerId == 0) return fail(NTE_BAD_KEYSET);
        DbConnection* db = databaseOf(*context);
        if (!db) return fail(NTE_BAD_KEYSET);
        DbTransaction txn;
        if (txn.begin(*db, DbTransaction::Mode::Immediate) != SQLITE_OK) return fail(NTE_FAIL);
        if (!containerExists(*db, context->containerId)) return fail(NTE_BAD_KEYSET);
        SealedKeyPlace place{context->provider.keyset, foldContainerName(context->container),
                             dwKeySpec};
        DWORD error = storeSealedKey(*db, context->containerId, place, dwFlags, key);
        if (error) return fail(error);
        if (txn.commit() != SQLITE_OK) return fail(NTE_FAIL);
    }
    if (phKey) {
        EVP_PKEY_up_ref(key);
        *phKey = addKeyHandle(context, dwKeySpec, dwFlags, bits, openssl::EvpPkeyPtr(key));
    }
    return TRUE;
}

openssl::EvpPkeyPtr cryptKeyPair(HCRYPTKEY hKey) {
    std::optional<KeyPtr> object = keys().find(hKey);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    EVP_PKEY_up_ref((*object)->key.get());
    return openssl::EvpPkeyPtr((*object)->key.get());
}

BOOL cryptAllowKeyUse(HCRYPTKEY hKey, const char* operation) {
    std::optional<KeyPtr> object = keys().find(hKey);
    if (!object) return fail(ERROR_INVALID_HANDLE);
    const KeyObject& key = **object;
    if (!(key.flags & CRYPT_USER_PROTECTED)) return TRUE;
    if (key.provider->silent) return fail(NTE_SILENT_CONTEXT);
    KeyUseRequest request{key.provider->provider.name, key.provider->container, key.keySpec,
                          operation ? operation : ""};
    return askConsent(request) ? TRUE : fail(ERROR_CANCELLED);
}

openssl::EvpPkeyPtr cryptUsePrivateKey(HCRYPTPROV hProv, DWORD dwKeySpec, const char* operation) {
    if (ProviderPtr context = findProvider(hProv); context && context->token) {
        // Only the public half of a token key is in this process.
        SetLastError(NTE_BAD_KEY_STATE);
        return nullptr;
    }
    HCRYPTKEY hKey = 0;
    if (!CryptGetUserKey(hProv, dwKeySpec, &hKey)) return nullptr;
    openssl::EvpPkeyPtr pair;
    if (cryptAllowKeyUse(hKey, operation)) pair = cryptKeyPair(hKey);
    DWORD error = GetLastError();
    CryptDestroyKey(hKey);
    SetLastError(error);
    return pair;
}

BOOL cryptSignWithPrivateKey(HCRYPTPROV hProv, DWORD dwKeySpec, const char* operation,
                             const EVP_MD* md, const BYTE* digest, size_t digestLength,
                             std::vector<BYTE>& signature) {
    ProviderPtr context = findProvider(hProv);
    if (!context) return fail(NTE_BAD_UID);
    if (context->token) {
        // The slot must be one the container answers for.
        HCRYPTKEY hKey = 0;
        if (!CryptGetUserKey(hProv, dwKeySpec, &hKey)) return FALSE;
        CryptDestroyKey(hKey);
        return context->token->sign(md, digest, digestLength, signature);
    }
    openssl::EvpPkeyPtr key = cryptUsePrivateKey(hProv, dwKeySpec, operation);
    if (!key) return FALSE;
    // With a signature digest set, OpenSSL's PKCS#1 padding wraps the digest in the
    // algorithm's DigestInfo before the private-key operation.
    openssl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    size_t length = 0;
    bool ok = ctx && EVP_PKEY_sign_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1 &&
              EVP_PKEY_sign(ctx.get(), nullptr, &length, digest, digestLength) == 1;
    if (ok) {
        signature.assign(length, 0);
        ok = EVP_PKEY_sign(ctx.get(), signature.data(), &length, digest, digestLength) == 1;
    }
    ERR_clear_error();
    if (!ok) return fail(NTE_FAIL);
    signature.resize(length);
    return TRUE;
}

// ---- the platform's calls
//
// Key generation and import put key pairs into a slot with cryptStoreKeyPair; export
// works on a key handle's pair from cryptKeyPair; every use of a private key goes
// through cryptUsePrivateKey.

BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR pszContainer, LPCSTR pszProvider,
                          DWORD dwProvType, DWORD dwFlags) {
    std::optional<std::string> container = optionalAnsi(pszContainer);
    std::optional<std::string> provider = optionalAnsi(pszProvider);
    return acquire(phProv, container ? &*container : nullptr, provider ? &*provider : nullptr,
                   dwProvType, dwFlags);
}

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR pszContainer, LPCWSTR pszProvider,
                          DWORD dwProvType, DWORD dwFlags) {
    std::optional<std::string> container = optionalWide(pszContainer);
    std::optional<std::string> provider = optionalWide(pszProvider);
    return acquire(phProv, container ? &*container : nullptr, provider ? &*provider : nullptr,
                   dwProvType, dwFlags);
}

BOOL cryptAcquireTemporaryContext(HCRYPTPROV* phProv, LPCSTR pszContainer, LPCSTR pszProvider,
                                  DWORD dwProvType) {
    std::optional<std::string> container = optionalAnsi(pszContainer);
    std::optional<std::string> provider = optionalAnsi(pszProvider);
    if (!container || container->empty()) return fail(NTE_BAD_KEYSET_PARAM);
    return acquire(phProv, &*container, provider ? &*provider : nullptr, dwProvType,
                   CRYPT_NEWKEYSET, true);
}

BOOL CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags) {
    if (pdwReserved) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags) return fail(NTE_BAD_FLAGS);
    ProviderPtr context = findProvider(hProv);
    if (!context) return fail(NTE_BAD_UID);
    context->refs.fetch_add(1);
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    ProviderPtr context = findProvider(hProv);
    if (!context) return fail(NTE_BAD_UID);
    if (context->refs.fetch_sub(1) == 1) providers().remove(hProv);
    return dwFlags ? fail(NTE_BAD_FLAGS) : TRUE;
}

BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
    ProviderPtr context = findProvider(hProv);
    if (!context) return fail(NTE_BAD_UID);
    switch (dwParam) {
        case PP_CONTAINER:
        case PP_UNIQUE_CONTAINER:
            if (context->containerId == 0 && !context->token && !context->memory)
                return fail(NTE_BAD_KEYSET);
            return giveText(utf8ToAnsi(context->container), pbData, pdwDataLen);
        case PP_NAME:
            return giveText(utf8ToAnsi(context->provider.name), pbData, pdwDataLen);
        case PP_PROVTYPE:
            return giveDword(context->provider.type, pbData, pdwDataLen);
        case PP_ENUMCONTAINERS:
            if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
            return enumContainers(*context, pbData, pdwDataLen, dwFlags);
        default:
            return fail(NTE_BAD_TYPE);
    }
}

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    if (!phUserKey) return fail(ERROR_INVALID_PARAMETER);
    *phUserKey = 0;
    ProviderPtr context = findProvider(hProv);
    if (!context) return fail(NTE_BAD_UID);
    if (context->token) return tokenUserKey(context, dwKeySpec, phUserKey);
    if (context->memory) return memoryUserKey(context, dwKeySpec, phUserKey);
    if (context->containerId == 0) return fail(NTE_NO_KEY);
    DbConnection* db = databaseOf(*context);
    if (!db) return fail(NTE_BAD_KEYSET);
    DbTransaction txn;
    if (txn.begin(*db, DbTransaction::Mode::Deferred) != SQLITE_OK) return fail(NTE_FAIL);
    if (!containerExists(*db, context->containerId)) return fail(NTE_BAD_KEYSET);
    DbStatement st;
    if (st.prepare(*db,
                   "SELECT flags, bits, private_key FROM container_keys "
                   "WHERE container_id = ?1 AND key_spec = ?2") != SQLITE_OK)
        return fail(NTE_FAIL);
    st.bind(1, context->containerId);
    st.bind(2, dwKeySpec);
    int rc = st.step();
    if (rc == SQLITE_DONE) return fail(NTE_NO_KEY);
    if (rc != SQLITE_ROW) return fail(NTE_FAIL);
    // A key that does not open is one whose master key this user lacks (the database
    // was copied without it), as the platform answers for keys its logon secret cannot
    // open.
    SecretBytes der;
    SealedKeyPlace place{context->provider.keyset, foldContainerName(context->container),
                         dwKeySpec};
    if (!openPrivateKey(*db, place, st.columnBlob(2), der)) return fail(NTE_BAD_KEY_STATE);
    openssl::EvpPkeyPtr key = decodePkcs8(der);
    if (!key) {
        ERR_clear_error();
        return fail(NTE_BAD_DATA);
    }
    *phUserKey = addKeyHandle(context, dwKeySpec, static_cast<DWORD>(st.columnInt64(0)),
                              static_cast<DWORD>(st.columnInt64(1)), std::move(key));
    return TRUE;
}

BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    if (!phKey) return fail(ERROR_INVALID_PARAMETER);
    *phKey = 0;
    ProviderPtr context = findProvider(hProv);
    if (!context) return fail(NTE_BAD_UID);
    DWORD slot = slotOfAlgorithm(Algid);
    if (!slot) return fail(NTE_BAD_ALGID);
    DWORD keyFlags = dwFlags & 0xFFFF;
    if (keyFlags & ~kKeyFlags) return fail(NTE_BAD_FLAGS);
    DWORD bits = dwFlags >> 16;
    if (bits == 0) bits = context->provider.defaultKeyBits;
    if (bits < kMinKeyBits || bits > kMaxKeyBits) return fail(ERROR_INVALID_PARAMETER);
    if (bits % kKeyBitsStep) return fail(NTE_BAD_FLAGS);
    if (isTokenBackend(context->provider)) {
        // A token key never leaves the token; its PIN, not a consent, protects it.
        if (keyFlags & CRYPT_EXPORTABLE) return fail(NTE_BAD_FLAGS);
        if (!context->token) return fail(NTE_BAD_KEYSET);
        openssl::EvpPkeyPtr publicKey;
        if (!context->token->generate(bits, publicKey)) return FALSE;
        *phKey = addKeyHandle(context, slot, 0, bits, std::move(publicKey));
        return TRUE;
    }
    if (context->containerId == 0 && !context->memory) return fail(NTE_BAD_KEYSET);
    // OpenSSL's RSA generator uses the public exponent 65537 unless told otherwise.
    openssl::EvpPkeyPtr pair(EVP_RSA_gen(bits));
    if (!pair) {
        ERR_clear_error();
        return fail(NTE_FAIL);
    }
    return cryptStoreKeyPair(hProv, slot, pair.get(), keyFlags, phKey);
}

BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags) {
    std::optional<KeyPtr> object = keys().find(hKey);
    if (!object) return fail(ERROR_INVALID_HANDLE);
    if (dwFlags) return fail(NTE_BAD_FLAGS);
    const KeyObject& key = **object;
    switch (dwParam) {
        case KP_ALGID:
            return giveDword(key.keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX, pbData,
                             pdwDataLen);
        case KP_KEYLEN:
            return giveDword(key.bits, pbData, pdwDataLen);
        case KP_PERMISSIONS: {
            DWORD permissions =
                CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC;
            if (key.flags & CRYPT_EXPORTABLE) permissions |= CRYPT_EXPORT;
            return giveDword(permissions, pbData, pdwDataLen);
        }
        default:
            return fail(NTE_BAD_TYPE);
    }
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) {
    return keys().remove(hKey) ? TRUE : fail(ERROR_INVALID_HANDLE);
}
