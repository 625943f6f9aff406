#include "platform/crypt/key_protection.h"

#include <fcntl.h>
#include <libsecret/secret.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/store/user_database.h"
#include "platform/system/rpc.h"
#include "platform/system/shared_library.h"
#include "platform/text/ascii.h"

namespace {

constexpr BYTE kMagic[4] = {'K', 'S', 'K', '1'};
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
constexpr size_t kMasterKeyBytes = 32;
constexpr char kSecretServiceMethod[] = "secret-service";
constexpr char kFileMethod[] = "file";

using CipherCtxPtr = openssl::Holder<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

// ---- where the master key lives

struct Record {
    KeyProtection protection = KeyProtection::None;
    std::string keyId;
};

int readRecord(DbConnection& db, Record& out) {
    DbStatement st;
    int rc = st.prepare(db, "SELECT method, key_id FROM key_protection WHERE id = 1");
    if (rc != SQLITE_OK) return rc;
    rc = st.step();
    if (rc == SQLITE_DONE) return SQLITE_OK;
    if (rc != SQLITE_ROW) return rc;
    std::string method = st.columnText(0);
    out.protection = method == kSecretServiceMethod ? KeyProtection::SecretService
                     : method == kFileMethod        ? KeyProtection::File
                                                    : KeyProtection::None;
    out.keyId = st.columnText(1);
    return SQLITE_OK;
}

// The key file of a database: "kestrune.key" beside "kestrune.db".
std::string keyFilePath(const std::string& databasePath) {
    std::string stem = databasePath;
    if (stem.size() > 3 && stem.compare(stem.size() - 3, 3, ".db") == 0)
        stem.resize(stem.size() - 3);
    return stem + ".key";
}

bool readKeyFile(const std::string& path, SecretBytes& key) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              st.st_size == static_cast<off_t>(kMasterKeyBytes);
    if (ok) {
        key.resize(kMasterKeyBytes);
        ok = ::read(fd, key.data(), kMasterKeyBytes) == static_cast<ssize_t>(kMasterKeyBytes);
    }
    ::close(fd);
    if (!ok) key.clear();
    return ok;
}

// Puts `key` at `path` unless a key file is there already, whose key then replaces
// `key`: link() never replaces, so two processes setting up at once agree on one key.
bool establishKeyFile(const std::string& path, SecretBytes& key) {
    if (readKeyFile(path, key)) return true;
    std::string temporary = path + ".XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 &&
              ::write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size()) &&
              ::fsync(fd) == 0;
    ::close(fd);
    bool linked = ok && ::link(temporary.c_str(), path.c_str()) == 0;
    bool raced = ok && !linked && errno == EEXIST;
    ::unlink(temporary.c_str());
    if (linked) return true;
    return raced && readKeyFile(path, key);
}

// A Secret Service that does not answer once is not waited for again by this process.
std::atomic<bool>& secretServiceSilent() {
    static std::atomic<bool> silent{false};
    return silent;
}

// Without a session bus there is nobody to ask, and GLib would try to start one.
bool sessionBusReachable() {
    const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    return runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 &&
           S_ISSOCK(st.st_mode);
}

// libsecret, opened at the first use of the Secret Service instead of linked: it brings
// GLib, GIO and libgcrypt, whose loading every start of a program would pay although most
// runs never reach a stored key. The GLib functions come through the same handle.
struct SecretLibrary {
    gboolean (*storeSync)(const SecretSchema*, const gchar*, const gchar*, const gchar*,
                          GCancellable*, GError**, ...) = nullptr;
    gchar* (*lookupNonpageableSync)(const SecretSchema*, GCancellable*, GError**, ...) = nullptr;
    void (*passwordFree)(gchar*) = nullptr;
    GCancellable* (*cancellableNew)() = nullptr;
    void (*cancellableCancel)(GCancellable*) = nullptr;
    void (*objectUnref)(gpointer) = nullptr;
    void (*errorFree)(GError*) = nullptr;
};

// Null when libsecret is not installed or lacks a function: the Secret Service is then
// treated as one that does not answer. Never unloaded (GLib cannot be).
const SecretLibrary* secretLibrary() {
    return shared_library::functions<SecretLibrary>(
        "libsecret-1.so.0", [](void* handle, SecretLibrary& library) {
            using shared_library::bind;
            return bind(handle, "secret_password_store_sync", library.storeSync) &&
                   bind(handle, "secret_password_lookup_nonpageable_sync",
                        library.lookupNonpageableSync) &&
                   bind(handle, "secret_password_free", library.passwordFree) &&
                   bind(handle, "g_cancellable_new", library.cancellableNew) &&
                   bind(handle, "g_cancellable_cancel", library.cancellableCancel) &&
                   bind(handle, "g_object_unref", library.objectUnref) &&
                   bind(handle, "g_error_free", library.errorFree);
        });
}

const SecretSchema* masterKeySchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.kestrune.KeyProtection";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0].name = "key-id";
        s.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        return s;
    }();
    return &schema;
}

// Cancels a Secret Service call that takes longer than the timeout: an unlock prompt
// nobody answers, a service that is being started and never comes up.
class CallDeadline {
  public:
    explicit CallDeadline(const SecretLibrary& library)
        : library_(library), cancellable_(library.cancellableNew()) {
        watcher_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            if (!done_.wait_for(lock, std::chrono::milliseconds(kSecretServiceTimeoutMs),
                                [this] { return finished_; }))
                library_.cancellableCancel(cancellable_);
        });
    }
    ~CallDeadline() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_one();
        watcher_.join();
        library_.objectUnref(cancellable_);
    }
    CallDeadline(const CallDeadline&) = delete;
    CallDeadline& operator=(const CallDeadline&) = delete;
    GCancellable* cancellable() const { return cancellable_; }

  private:
    const SecretLibrary& library_;
    GCancellable* cancellable_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread watcher_;
};

// The master key is kept as lower-case hex, and only that form is read back.
int hexValue(char c) {
    return c >= 'A' && c <= 'F' ? -1 : text::hexDigitValue(c);
}

bool storeInSecretService(const std::string& keyId, const SecretBytes& key) {
    if (secretServiceSilent() || !sessionBusReachable()) return false;
    const SecretLibrary* library = secretLibrary();
    if (!library) return false;
    std::string text = text::hexOf(key.data(), key.size(), true);
    GError* error = nullptr;
    gboolean stored;
    {
        CallDeadline deadline(*library);
        stored = library->storeSync(
            masterKeySchema(), SECRET_COLLECTION_DEFAULT, "Kestrune private key protection",
            text.c_str(), deadline.cancellable(), &error, "key-id", keyId.c_str(), nullptr);
    }
    OPENSSL_cleanse(text.data(), text.size());
    if (error) library->errorFree(error);
    if (!stored) secretServiceSilent() = true;
    return stored;
}

bool lookUpInSecretService(const std::string& keyId, SecretBytes& key) {
    if (secretServiceSilent() || !sessionBusReachable()) return false;
    const SecretLibrary* library = secretLibrary();
    if (!library) return false;
    GError* error = nullptr;
    gchar* text;
    {
        CallDeadline deadline(*library);
        text = library->lookupNonpageableSync(masterKeySchema(), deadline.cancellable(), &error,
                                              "key-id", keyId.c_str(), nullptr);
    }
    if (error) {
        // An answer without the item is no silence; a failure to answer is.
        secretServiceSilent() = true;
        library->errorFree(error);
    }
    if (!text) return false;
    size_t length = std::strlen(text);
    bool ok = length == 2 * kMasterKeyBytes;
    if (ok) key.resize(kMasterKeyBytes);
    for (size_t i = 0; ok && i < kMasterKeyBytes; ++i) {
        int high = hexValue(text[2 * i]), low = hexValue(text[2 * i + 1]);
        ok = high >= 0 && low >= 0;
        if (ok) key.data()[i] = static_cast<BYTE>(high << 4 | low);
    }
    library->passwordFree(text);
    if (!ok) key.clear();
    return ok;
}

// Master keys this process has read, by where they came from; wiped at exit.
std::mutex& cacheMutex() {
    static std::mutex mutex;
    return mutex;
}
std::map<std::string, SecretBytes>& keyCache() {
    static std::map<std::string, SecretBytes> cache;
    return cache;
}

std::string cacheName(DbConnection& db, const Record& record) {
    // A file key belongs to the folder it is in: a copy of the database elsewhere does
    // not find it through this cache.
    return record.protection == KeyProtection::File
               ? std::string(kFileMethod) + ":" + keyFilePath(db.path()) + ":" + record.keyId
               : std::string(kSecretServiceMethod) + ":" + record.keyId;
}

void remember(const std::string& name, const SecretBytes& key) {
    std::lock_guard lock(cacheMutex());
    keyCache()[name] = SecretBytes(key.data(), key.size());
}

bool masterKey(DbConnection& db, SecretBytes& key) {
    Record record;
    if (readRecord(db, record) != SQLITE_OK || record.protection == KeyProtection::None)
        return false;
    std::string name = cacheName(db, record);
    {
        std::lock_guard lock(cacheMutex());
        auto found = keyCache().find(name);
        if (found != keyCache().end()) {
            key = SecretBytes(found->second.data(), found->second.size());
            return true;
        }
    }
    bool found = record.protection == KeyProtection::File
                     ? readKeyFile(keyFilePath(db.path()), key)
                     : lookUpInSecretService(record.keyId, key);
    if (found) remember(name, key);
    return found;
}

std::string associatedData(const SealedKeyPlace& place) {
    std::string out;
    out.append(place.keyset).push_back('\0');
    out.append(place.fold).push_back('\0');
    out.append(std::to_string(place.keySpec)).push_back('\0');
    return out;
}

bool seal(const SecretBytes& key, const SealedKeyPlace& place, const SecretBytes& der,
          std::vector<BYTE>& sealed) {
    std::string aad = associatedData(place);
    sealed.assign(sizeof kMagic + kNonceBytes + der.size() + kTagBytes, 0);
    std::memcpy(sealed.data(), kMagic, sizeof kMagic);
    BYTE* nonce = sealed.data() + sizeof kMagic;
    BYTE* body = nonce + kNonceBytes;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int length = 0, last = 0;
    bool ok =
        ctx && RAND_bytes(nonce, kNonceBytes) == 1 &&
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce) == 1 &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &length, reinterpret_cast<const BYTE*>(aad.data()),
                          static_cast<int>(aad.size())) == 1 &&
        EVP_EncryptUpdate(ctx.get(), body, &length, der.data(), static_cast<int>(der.size())) ==
            1 &&
        EVP_EncryptFinal_ex(ctx.get(), body + length, &last) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, body + der.size()) == 1;
    if (!ok) sealed.clear();
    return ok;
}

bool open(const SecretBytes& key, const SealedKeyPlace& place, const std::vector<BYTE>& sealed,
          SecretBytes& der) {
    der.clear();
    if (sealed.size() < sizeof kMagic + kNonceBytes + kTagBytes ||
        std::memcmp(sealed.data(), kMagic, sizeof kMagic) != 0)
        return false;
    std::string aad = associatedData(place);
    const BYTE* nonce = sealed.data() + sizeof kMagic;
    const BYTE* body = nonce + kNonceBytes;
    size_t bodySize = sealed.size() - sizeof kMagic - kNonceBytes - kTagBytes;
    BYTE tag[kTagBytes];
    std::memcpy(tag, body + bodySize, kTagBytes);
    der.resize(bodySize);
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int length = 0, last = 0;
    bool ok =
        ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce) == 1 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &length, reinterpret_cast<const BYTE*>(aad.data()),
                          static_cast<int>(aad.size())) == 1 &&
        EVP_DecryptUpdate(ctx.get(), der.data(), &length, body, static_cast<int>(bodySize)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), der.data() + length, &last) == 1;
    if (!ok) der.clear();
    return ok;
}

// Where a new database's master key goes: the Secret Service when it answers, else the
// key file. The key is made here unless a key file beside the database holds one.
KeyProtection placeNewMasterKey(DbConnection& db, const std::string& keyId, SecretBytes& key) {
    key.resize(kMasterKeyBytes);
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) return KeyProtection::None;
    if (storeInSecretService(keyId, key)) return KeyProtection::SecretService;
    if (establishKeyFile(keyFilePath(db.path()), key)) return KeyProtection::File;
    return KeyProtection::None;
}

struct StoredKey {
    int64_t rowid;
    std::string keyset;
    std::string fold;
    DWORD keySpec;
    SecretBytes der;
};

int sealStoredKeys(DbConnection& db, const SecretBytes& key) {
    std::vector<StoredKey> rows;
    {
        DbStatement st;
        int rc = st.prepare(db,
                            "SELECT k.rowid, c.keyset, c.fold, k.key_spec, k.private_key "
                            "FROM container_keys k JOIN key_containers c ON c.id = k.container_id");
        if (rc != SQLITE_OK) return rc;
        while ((rc = st.step()) == SQLITE_ROW)
            rows.push_back({st.columnInt64(0), st.columnText(1), st.columnText(2),
                            static_cast<DWORD>(st.columnInt64(3)), SecretBytes(st.columnBlob(4))});
        if (rc != SQLITE_DONE) return rc;
    }
    DbStatement update;
    int rc = update.prepare(db, "UPDATE container_keys SET private_key = ?1 WHERE rowid = ?2");
    if (rc != SQLITE_OK) return rc;
    for (const StoredKey& row : rows) {
        std::vector<BYTE> sealed;
        if (!seal(key, {row.keyset, row.fold, row.keySpec}, row.der, sealed)) return SQLITE_ERROR;
        update.bindBlob(1, sealed.data(), sealed.size());
        update.bind(2, row.rowid);
        rc = update.step();
        if (rc != SQLITE_DONE) return rc;
        update.reset();
    }
    return SQLITE_OK;
}

}  // namespace

const char* keyProtectionName(KeyProtection protection) {
    switch (protection) {
        case KeyProtection::SecretService:
            return kSecretServiceMethod;
        case KeyProtection::File:
            return kFileMethod;
        default:
            return "";
    }
}

KeyProtection recordedKeyProtection(DbConnection& db) {
    Record record;
    return readRecord(db, record) == SQLITE_OK ? record.protection : KeyProtection::None;
}

bool sealPrivateKey(DbConnection& db, const SealedKeyPlace& place, const SecretBytes& der,
                    std::vector<BYTE>& sealed) {
    SecretBytes key;
    return masterKey(db, key) && seal(key, place, der, sealed);
}

bool openPrivateKey(DbConnection& db, const SealedKeyPlace& place, const std::vector<BYTE>& sealed,
                    SecretBytes& der) {
    SecretBytes key;
    return masterKey(db, key) && open(key, place, sealed, der);
}

int setUpKeyProtection(DbConnection& db) {
    std::string keyId;
    if (newUpperCaseUuidText(keyId) != RPC_S_OK) return SQLITE_CANTOPEN;
    SecretBytes key;
    KeyProtection protection = placeNewMasterKey(db, keyId, key);
    if (protection == KeyProtection::None) return SQLITE_CANTOPEN;
    DbStatement st;
    int rc = st.prepare(db, "INSERT INTO key_protection(id, method, key_id) VALUES (1, ?1, ?2)");
    if (rc != SQLITE_OK) return rc;
    st.bindText(1, keyProtectionName(protection));
    st.bindText(2, keyId);
    rc = st.step();
    if (rc != SQLITE_DONE) return rc;
    remember(cacheName(db, {protection, keyId}), key);
    return sealStoredKeys(db, key);
}
