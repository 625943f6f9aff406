// The containers of the user database (rows of key_containers, their keys sealed in
// container_keys) and those of this process's memory.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>

#include "platform/crypt/key_container_internal.h"
#include "platform/crypt/key_protection.h"

namespace key_containers {

namespace {

constexpr auto& fail = failWithLastError;

}  // namespace

std::mutex& memoryMutex() {
    static std::mutex mutex;
    return mutex;
}

// In the order they were made.
std::vector<MemoryPtr>& memoryContainers() {
    static std::vector<MemoryPtr> all;
    return all;
}

// The live memory container of that set and folded name beside the current database.
MemoryPtr findMemoryContainer(const std::string& keyset, const std::string& folded) {
    std::string database = userDatabasePath();
    std::lock_guard lock(memoryMutex());
    for (const MemoryPtr& c : memoryContainers())
        if (c->database == database && c->keyset == keyset && c->fold == folded) return c;
    return nullptr;
}

// Removes it from the process; contexts still open on it see it gone.
bool deleteMemoryContainer(const std::string& keyset, const std::string& folded) {
    MemoryPtr found = findMemoryContainer(keyset, folded);
    if (!found) return false;
    {
        std::lock_guard lock(found->mutex);
        found->deleted = true;
        found->slots.clear();
    }
    std::lock_guard lock(memoryMutex());
    auto& all = memoryContainers();
    all.erase(std::remove(all.begin(), all.end(), found), all.end());
    return true;
}

// SQLITE_ROW with *id (and the name as it was created, when `stored` is given),
// SQLITE_DONE, or an error.
int findContainer(DbConnection& db, const CryptProviderInfo& provider, std::string_view name,
                  int64_t* id, std::string* stored) {
    DbStatement st;
    int rc = st.prepare(db, "SELECT id, name FROM key_containers WHERE keyset = ?1 AND fold = ?2");
    if (rc != SQLITE_OK) return rc;
    st.bindText(1, provider.keyset);
    st.bindText(2, foldContainerName(name));
    rc = st.step();
    if (rc == SQLITE_ROW) {
        *id = st.columnInt64(0);
        if (stored) *stored = st.columnText(1);
    }
    return rc;
}

bool containerExists(DbConnection& db, int64_t id) {
    DbStatement st;
    if (st.prepare(db, "SELECT 1 FROM key_containers WHERE id = ?1") != SQLITE_OK) return false;
    st.bind(1, id);
    return st.step() == SQLITE_ROW;
}

BOOL createContainer(DbConnection& db, const CryptProviderInfo& provider, const std::string& name,
                     int64_t* id) {
    DbTransaction txn;
    if (txn.begin(db, DbTransaction::Mode::Immediate) != SQLITE_OK) return fail(NTE_FAIL);
    int rc = findContainer(db, provider, name, id);
    if (rc == SQLITE_ROW || findMemoryContainer(provider.keyset, foldContainerName(name)))
        return fail(NTE_EXISTS);
    if (rc != SQLITE_DONE) return fail(NTE_FAIL);
    DbStatement st;
    if (st.prepare(db,
                   "INSERT INTO key_containers(provider, keyset, name, fold) "
                   "VALUES (?1, ?2, ?3, ?4)") != SQLITE_OK)
        return fail(NTE_FAIL);
    st.bindText(1, provider.name);
    st.bindText(2, provider.keyset);
    st.bindText(3, name);
    st.bindText(4, foldContainerName(name));
    if (st.step() != SQLITE_DONE) return fail(NTE_FAIL);
    *id = db.lastInsertId();
    return txn.commit() == SQLITE_OK ? TRUE : fail(NTE_FAIL);
}

// A memory container of the name goes with the stored one: once a certificate took its
// key, both are the same container.
BOOL deleteContainer(DbConnection& db, const CryptProviderInfo& provider, const std::string& name) {
    bool inMemory = deleteMemoryContainer(provider.keyset, foldContainerName(name));
    DbTransaction txn;
    if (txn.begin(db, DbTransaction::Mode::Immediate) != SQLITE_OK) return fail(NTE_FAIL);
    int64_t id = 0;
    int rc = findContainer(db, provider, name, &id);
    if (rc == SQLITE_DONE) return inMemory ? TRUE : fail(NTE_BAD_KEYSET);
    if (rc != SQLITE_ROW) return fail(NTE_FAIL);
    DbStatement st;
    if (st.prepare(db, "DELETE FROM key_containers WHERE id = ?1") != SQLITE_OK)
        return fail(NTE_FAIL);
    st.bind(1, id);
    if (st.step() != SQLITE_DONE) return fail(NTE_FAIL);
    return txn.commit() == SQLITE_OK ? TRUE : fail(NTE_FAIL);
}

// A new memory container; NTE_EXISTS when the name is taken in the database or the
// process.
BOOL createMemoryContainer(DbConnection& db, const CryptProviderInfo& provider,
                           const std::string& name, MemoryPtr* out) {
    int64_t id = 0;
    int rc = findContainer(db, provider, name, &id);
    if (rc == SQLITE_ROW) return fail(NTE_EXISTS);
    if (rc != SQLITE_DONE) return fail(NTE_FAIL);
    auto container = std::make_shared<MemoryContainer>();
    container->database = db.path();
    container->provider = provider.name;
    container->keyset = provider.keyset;
    container->name = name;
    container->fold = foldContainerName(name);
    std::lock_guard lock(memoryMutex());
    for (const MemoryPtr& c : memoryContainers())
        if (c->database == container->database && c->keyset == container->keyset &&
            c->fold == container->fold)
            return fail(NTE_EXISTS);
    memoryContainers().push_back(container);
    *out = std::move(container);
    return TRUE;
}

// ---- sealed keys

namespace {

// PKCS#8 DER of a key pair, in a wiped buffer.
bool encodePkcs8(EVP_PKEY* key, SecretBytes& out) {
    openssl::Pkcs8Ptr p8(EVP_PKEY2PKCS8(key));
    if (!p8) return false;
    unsigned char* der = nullptr;
    int length = i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der);
    if (length <= 0 || !der) return false;
    out = SecretBytes(der, static_cast<size_t>(length));
    OPENSSL_clear_free(der, static_cast<size_t>(length));
    return true;
}

}  // namespace

openssl::EvpPkeyPtr decodePkcs8(const SecretBytes& der) {
    const unsigned char* p = der.data();
    openssl::Pkcs8Ptr p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
    if (!p8) return nullptr;
    openssl::EvpPkeyPtr key(EVP_PKCS82PKEY(p8.get()));
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA")) return nullptr;
    return key;
}

DWORD storeSealedKey(DbConnection& db, int64_t containerId, const SealedKeyPlace& place,
                     DWORD flags, EVP_PKEY* key) {
    SecretBytes der;
    if (!encodePkcs8(key, der)) {
        ERR_clear_error();
        return NTE_BAD_DATA;
    }
    std::vector<BYTE> sealed;
    if (!sealPrivateKey(db, place, der, sealed)) return NTE_FAIL;
    DbStatement st;
    if (st.prepare(db,
                   "INSERT OR REPLACE INTO container_keys(container_id, key_spec, flags, bits, "
                   "private_key) VALUES (?1, ?2, ?3, ?4, ?5)") != SQLITE_OK)
        return NTE_FAIL;
    st.bind(1, containerId);
    st.bind(2, place.keySpec);
    st.bind(3, flags);
    st.bind(4, EVP_PKEY_get_bits(key));
    st.bindBlob(5, sealed.data(), sealed.size());
    return st.step() == SQLITE_DONE ? 0 : NTE_FAIL;
}

}  // namespace key_containers

using namespace key_containers;

int installMemoryContainers(DbConnection& db, std::string_view folded) {
    std::vector<MemoryPtr> named;
    {
        std::lock_guard lock(memoryMutex());
        for (const MemoryPtr& c : memoryContainers())
            if (c->database == db.path() && c->fold == folded && !c->installed) named.push_back(c);
    }
    for (const MemoryPtr& c : named) {
        std::lock_guard lock(c->mutex);
        DbStatement st;
        int rc = st.prepare(db,
                            "INSERT OR IGNORE INTO key_containers(provider, keyset, name, fold) "
                            "VALUES (?1, ?2, ?3, ?4)");
        if (rc != SQLITE_OK) return rc;
        st.bindText(1, c->provider);
        st.bindText(2, c->keyset);
        st.bindText(3, c->name);
        st.bindText(4, c->fold);
        if ((rc = st.step()) != SQLITE_DONE) return rc;
        // A stored container of the name is the one the certificate means already.
        if (db.changes() == 0) continue;
        int64_t id = db.lastInsertId();
        for (const auto& [keySpec, slot] : c->slots)
            if (storeSealedKey(db, id, {c->keyset, c->fold, keySpec}, slot.flags, slot.key.get()))
                return SQLITE_ERROR;
        // Marked before the caller commits: should it roll back, the container is still
        // found in memory, as the database does not have it.
        c->installed = true;
    }
    return SQLITE_OK;
}

bool listKeyContainers(std::vector<KeyContainerRecord>& out) {
    out.clear();
    DbConnection* db = userDatabase();
    DbStatement st;
    if (!db || st.prepare(*db,
                          "SELECT c.id, c.provider, c.name, k.key_spec, k.flags, k.bits, "
                          "c.owner_pid "
                          "FROM key_containers c LEFT JOIN container_keys k "
                          "ON k.container_id = c.id ORDER BY c.id, k.key_spec") != SQLITE_OK) {
        SetLastError(NTE_FAIL);
        return false;
    }
    std::string protection = keyProtectionName(recordedKeyProtection(*db));
    int64_t last = 0;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        if (out.empty() || st.columnInt64(0) != last) {
            last = st.columnInt64(0);
            out.push_back({st.columnText(1), st.columnText(2), {}, st.columnInt64(6), protection});
        }
        if (!st.columnIsNull(3))
            out.back().slots.push_back({static_cast<DWORD>(st.columnInt64(3)),
                                        static_cast<DWORD>(st.columnInt64(4)),
                                        static_cast<DWORD>(st.columnInt64(5))});
    }
    if (rc != SQLITE_DONE) {
        SetLastError(NTE_FAIL);
        return false;
    }
    std::lock_guard lock(memoryMutex());
    for (const MemoryPtr& c : memoryContainers()) {
        if (c->database != db->path() || c->installed) continue;
        KeyContainerRecord record{c->provider, c->name, {}, ::getpid(), kMemoryProtection};
        std::lock_guard slotsLock(c->mutex);
        for (const auto& [keySpec, slot] : c->slots)
            record.slots.push_back({keySpec, slot.flags, slot.bits});
        out.push_back(std::move(record));
    }
    return true;
}
