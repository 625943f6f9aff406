// The pieces of the key-container layer its files share: the built-in providers' set of
// containers, the memory containers of this process, the container rows of the user
// database with their sealed keys, and the consent asked before a protected key is used.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/key_protection.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/store/user_database.h"

namespace key_containers {

// The set of containers the built-in providers share. Registered providers get
// "provider:" and their folded name, which never equals it.
constexpr const char* kBuiltInKeyset = "rsa";
// Provider types run from 1 to this.
constexpr DWORD kMaxProvType = 999;

// A container of this process only. Its key pairs are OpenSSL objects, whose private
// numbers OpenSSL clears when the last reference goes.
struct MemorySlot {
    DWORD flags = 0;
    DWORD bits = 0;
    openssl::EvpPkeyPtr key;
};
struct MemoryContainer {
    std::string database;  // the user database it stands beside
    std::string provider;
    std::string keyset;
    std::string name;
    std::string fold;
    std::mutex mutex;
    std::map<DWORD, MemorySlot> slots;
    bool deleted = false;  // CRYPT_DELETEKEYSET: open contexts see NTE_BAD_KEYSET
    // Copied into the database for a certificate of a system store.
    std::atomic<bool> installed{false};
};
using MemoryPtr = std::shared_ptr<MemoryContainer>;

// The memory containers of the process, in the order they were made, under
// memoryMutex().
std::mutex& memoryMutex();
std::vector<MemoryPtr>& memoryContainers();
// The live memory container of that set and folded name beside the current database;
// null when there is none.
MemoryPtr findMemoryContainer(const std::string& keyset, const std::string& folded);
// Removes it from the process (false when there is none); contexts still open on it see
// it gone.
bool deleteMemoryContainer(const std::string& keyset, const std::string& folded);

// Rows of key_containers. findContainer gives SQLITE_ROW with *id (and the name as it
// was created, when `stored` is given), SQLITE_DONE, or the failing code.
int findContainer(DbConnection& db, const CryptProviderInfo& provider, std::string_view name,
                  int64_t* id, std::string* stored = nullptr);
bool containerExists(DbConnection& db, int64_t id);
// A new row; NTE_EXISTS when the name is taken in the database or the process, NTE_FAIL
// when the database fails.
BOOL createContainer(DbConnection& db, const CryptProviderInfo& provider, const std::string& name,
                     int64_t* id);
// Removes the row and a memory container of the name; NTE_BAD_KEYSET when neither is
// there, NTE_FAIL when the database fails.
BOOL deleteContainer(DbConnection& db, const CryptProviderInfo& provider, const std::string& name);
// A new memory container in *out; NTE_EXISTS when the name is taken in the database or
// the process.
BOOL createMemoryContainer(DbConnection& db, const CryptProviderInfo& provider,
                           const std::string& name, MemoryPtr* out);

// Writes the key pair, sealed for its place, into a slot of a stored container inside
// the caller's write transaction. 0, NTE_BAD_DATA (the key does not encode) or NTE_FAIL
// (no master key, database).
DWORD storeSealedKey(DbConnection& db, int64_t containerId, const SealedKeyPlace& place,
                     DWORD flags, EVP_PKEY* key);
// The RSA key pair of PKCS#8 DER; null for anything else.
openssl::EvpPkeyPtr decodePkcs8(const SecretBytes& der);

// What the hook of setKeyConsentHook answers; false without a hook or when it throws.
bool askConsent(const KeyUseRequest& request);

}  // namespace key_containers
