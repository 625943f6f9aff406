#include "platform/store/user_database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>

#include "platform/crypt/key_protection.h"
#include "platform/crypt/temporary_keys_internal.h"
#include "platform/system/files.h"

namespace {

// Registry keys form a tree below the row with id 1 (HKEY_CURRENT_USER). Names keep
// the case they were created with; `fold` is the upper-cased form that lookups and the
// sort order of subkeys use. Subkeys reference their parent without ON DELETE CASCADE:
// a cascade runs as nested triggers and fails on deep trees, so deleting a tree
// removes all of its rows in one statement instead. Values go with their key.
constexpr char kRegistrySchema[] = R"sql(
CREATE TABLE registry_keys(
    id INTEGER PRIMARY KEY,
    parent_id INTEGER REFERENCES registry_keys(id),
    name TEXT NOT NULL,
    fold TEXT NOT NULL,
    last_write INTEGER NOT NULL DEFAULT 0
);
CREATE UNIQUE INDEX registry_keys_by_parent ON registry_keys(parent_id, fold);
CREATE TABLE registry_values(
    id INTEGER PRIMARY KEY,
    key_id INTEGER NOT NULL REFERENCES registry_keys(id) ON DELETE CASCADE,
    name TEXT NOT NULL,
    fold TEXT NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    UNIQUE(key_id, fold)
);
INSERT INTO registry_keys(id, parent_id, name, fold) VALUES (1, NULL, '', '');
INSERT INTO registry_keys(id, parent_id, name, fold) VALUES (2, 1, 'Software', 'SOFTWARE');
INSERT INTO registry_keys(id, parent_id, name, fold) VALUES (3, 2, 'Classes', 'CLASSES');
)sql";

// Certificates of the system stores ("MY", "ROOT", "CA"): the row id gives the order
// in which they were added and never comes back (AUTOINCREMENT), so an enumeration can
// go on after the last id it has seen. `revision` grows with every change of a row's
// properties, so that a process holding a copy knows when to read them again.
// Properties are stored per id in the layer's portable form.
constexpr char kCertStoreSchema[] = R"sql(
CREATE TABLE store_certs(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    store TEXT NOT NULL,
    sha1 BLOB NOT NULL,
    der BLOB NOT NULL,
    revision INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX store_certs_by_hash ON store_certs(store, sha1);
CREATE TABLE store_cert_properties(
    cert_id INTEGER NOT NULL REFERENCES store_certs(id) ON DELETE CASCADE,
    prop_id INTEGER NOT NULL,
    value BLOB NOT NULL,
    PRIMARY KEY(cert_id, prop_id)
);
)sql";

// Key containers per provider, named case-insensitively (`fold` is the name with ASCII
// letters upper-cased), each with at most one key pair per slot (1 AT_KEYEXCHANGE,
// 2 AT_SIGNATURE): its CRYPT_EXPORTABLE / CRYPT_USER_PROTECTED flags, its size in bits
// and the private key as PKCS#8 DER.
constexpr char kKeyContainerSchema[] = R"sql(
CREATE TABLE key_containers(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    provider TEXT NOT NULL,
    name TEXT NOT NULL,
    fold TEXT NOT NULL,
    UNIQUE(provider, fold)
);
CREATE TABLE container_keys(
    container_id INTEGER NOT NULL REFERENCES key_containers(id) ON DELETE CASCADE,
    key_spec INTEGER NOT NULL CHECK(key_spec IN (1, 2)),
    flags INTEGER NOT NULL,
    bits INTEGER NOT NULL,
    private_key BLOB NOT NULL,
    PRIMARY KEY(container_id, key_spec)
);
)sql";

// The built-in RSA providers share one set of containers (`keyset` 'rsa'); a provider
// registered for the user has its own ('provider:' and its upper-cased name). A name
// that existed under several built-in providers before they shared keeps its oldest
// container in the shared set; the younger ones stay in sets of their own, listed but
// no longer opened, so that no key is lost.
constexpr char kSharedKeysetSchema[] = R"sql(
ALTER TABLE key_containers ADD COLUMN keyset TEXT NOT NULL DEFAULT '';
UPDATE key_containers SET keyset = 'rsa'
 WHERE provider IN ('Microsoft Base Cryptographic Provider v1.0',
                    'Microsoft Enhanced Cryptographic Provider v1.0',
                    'Microsoft Strong Cryptographic Provider')
   AND NOT EXISTS (SELECT 1 FROM key_containers AS older
                    WHERE older.fold = key_containers.fold AND older.id < key_containers.id
                      AND older.provider IN ('Microsoft Base Cryptographic Provider v1.0',
                                             'Microsoft Enhanced Cryptographic Provider v1.0',
                                             'Microsoft Strong Cryptographic Provider'));
UPDATE key_containers SET keyset = 'provider:' || upper(provider) WHERE keyset = '';
CREATE UNIQUE INDEX key_containers_by_keyset ON key_containers(keyset, fold);
)sql";

// A container that a PFX load creates belongs to the loading process until a
// certificate in a system store is given its key: its owner columns name the process
// (see platform/system/process_identity_internal.h), and a container whose owner has ended without
// making it permanent is removed when the database is next opened. NULL owner_pid:
// permanent, as every container made before this step is.
constexpr char kContainerOwnerSchema[] = R"sql(
ALTER TABLE key_containers ADD COLUMN owner_boot TEXT;
ALTER TABLE key_containers ADD COLUMN owner_pidns TEXT;
ALTER TABLE key_containers ADD COLUMN owner_pid INTEGER;
ALTER TABLE key_containers ADD COLUMN owner_start INTEGER;
CREATE INDEX key_containers_temporary ON key_containers(owner_pid) WHERE owner_pid IS NOT NULL;
)sql";

// Private keys are sealed under the database's master key (platform/crypt/key_protection.h);
// the step records where that key lives and seals the keys stored before.
constexpr char kKeyProtectionSchema[] = R"sql(
CREATE TABLE key_protection(
    id INTEGER PRIMARY KEY CHECK(id = 1),
    method TEXT NOT NULL CHECK(method IN ('secret-service', 'file')),
    key_id TEXT NOT NULL
);
)sql";

// clang-format off
constexpr DbMigration kMigrations[] = {
    {1, kRegistrySchema},
    {2, kCertStoreSchema},
    {3, kKeyContainerSchema},
    {4, kSharedKeysetSchema},
    {5, kContainerOwnerSchema},
    {6, kKeyProtectionSchema, setUpKeyProtection},
};
// clang-format on

// SQLite gives the -wal and -shm files the mode of the database file, so making the
// database private before SQLite first opens it keeps all three private.
bool preparePrivateFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && (st.st_mode & 077) != 0) ok = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    for (const char* suffix : {"-wal", "-shm"}) ::chmod((path + suffix).c_str(), 0600);
    return ok;
}

struct ThreadDatabase {
    DbConnection connection;
    pid_t pid = 0;
    // Handles inherited across fork(): kept reachable, never used or closed.
    std::vector<sqlite3*> inherited;
};

ThreadDatabase& threadDatabase() {
    thread_local ThreadDatabase t;
    return t;
}

}  // namespace

std::span<const DbMigration> userDatabaseMigrations() {
    return kMigrations;
}

// ---- DbConnection

DbConnection::DbConnection(DbConnection&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), path_(std::move(other.path_)) {}

DbConnection& DbConnection::operator=(DbConnection&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
        path_ = std::move(other.path_);
    }
    return *this;
}

int DbConnection::open(const std::string& path, std::span<const DbMigration> migrations) {
    close();
    if (path.empty() || !preparePrivateFile(path)) return SQLITE_CANTOPEN;
    int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        close();
        return rc;
    }
    path_ = path;
    rc = configure();
    if (rc == SQLITE_OK) rc = migrate(migrations);
    if (rc != SQLITE_OK) close();
    return rc;
}

void DbConnection::close() {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    path_.clear();
}

sqlite3* DbConnection::release() {
    path_.clear();
    return std::exchange(db_, nullptr);
}

int DbConnection::configure() {
    int rc = sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    if (rc != SQLITE_OK) return rc;
    // FULL makes a commit durable once it returns: registry values and key containers
    // are written rarely, and a write reported as done must survive a power loss.
    // secure_delete overwrites what is deleted, so that a removed private key does not
    // linger in the file's free pages.
    rc = exec("PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL; PRAGMA secure_delete = ON;");
    if (rc != SQLITE_OK) return rc;
    // Switching a new file to WAL needs an exclusive lock and SQLite answers SQLITE_BUSY
    // at once, without the busy handler, while another process holds the file: wait here
    // as the busy timeout would. Once one process has switched, the mode stays in the file.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        DbStatement mode;
        rc = mode.prepare(*this, "PRAGMA journal_mode = WAL");
        if (rc == SQLITE_OK) rc = mode.step();
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) return SQLITE_OK;
        if ((rc & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) return rc;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int DbConnection::migrate(std::span<const DbMigration> migrations) {
    if (migrations.empty()) return SQLITE_OK;
    int latest = migrations.back().version;
    int current = schemaVersion();
    if (current < 0) return SQLITE_ERROR;
    if (current >= latest) return SQLITE_OK;
    DbTransaction txn;
    int rc = txn.begin(*this, DbTransaction::Mode::Immediate);
    if (rc != SQLITE_OK) return rc;
    // Another process may have migrated while this one waited for the lock.
    current = schemaVersion();
    if (current < 0) return SQLITE_ERROR;
    bool rewrote = false;
    for (const DbMigration& m : migrations) {
        if (m.version <= current) continue;
        if (m.version != current + 1) return SQLITE_MISUSE;
        rc = exec(m.sql);
        if (rc == SQLITE_OK && m.apply) {
            rc = m.apply(*this);
            rewrote = true;
        }
        if (rc != SQLITE_OK) return rc;
        rc = exec(("PRAGMA user_version = " + std::to_string(m.version)).c_str());
        if (rc != SQLITE_OK) return rc;
        current = m.version;
    }
    rc = txn.commit();
    // With secure_delete the pages written over the old rows hold nothing of them; the
    // checkpoint puts those pages into the file and empties the log. A checkpoint that
    // cannot finish now (a reader holds the log) is done by a later one.
    if (rc == SQLITE_OK && rewrote) exec("PRAGMA wal_checkpoint(TRUNCATE)");
    return rc;
}

int DbConnection::exec(const char* sql) {
    if (!db_) return SQLITE_MISUSE;
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

int64_t DbConnection::lastInsertId() const {
    return db_ ? sqlite3_last_insert_rowid(db_) : 0;
}

int DbConnection::changes() const {
    return db_ ? sqlite3_changes(db_) : 0;
}

int DbConnection::schemaVersion() {
    DbStatement st;
    if (st.prepare(*this, "PRAGMA user_version") != SQLITE_OK || st.step() != SQLITE_ROW) return -1;
    return static_cast<int>(st.columnInt64(0));
}

std::string DbConnection::errorMessage() const {
    return db_ ? std::string(sqlite3_errmsg(db_)) : std::string("database not open");
}

// ---- DbStatement

DbStatement::DbStatement(DbStatement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)) {}

DbStatement& DbStatement::operator=(DbStatement&& other) noexcept {
    if (this != &other) {
        close();
        stmt_ = std::exchange(other.stmt_, nullptr);
    }
    return *this;
}

int DbStatement::prepare(DbConnection& db, std::string_view sql) {
    close();
    if (!db.isOpen()) return SQLITE_MISUSE;
    int rc =
        sqlite3_prepare_v2(db.handle(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) close();
    return rc;
}

void DbStatement::close() {
    if (stmt_) sqlite3_finalize(stmt_);
    stmt_ = nullptr;
}

int DbStatement::bind(int index, int64_t value) {
    return stmt_ ? sqlite3_bind_int64(stmt_, index, value) : SQLITE_MISUSE;
}

int DbStatement::bindText(int index, std::string_view text) {
    if (!stmt_) return SQLITE_MISUSE;
    // An empty view may carry a null pointer, which SQLite would bind as NULL.
    return sqlite3_bind_text64(stmt_, index, text.empty() ? "" : text.data(), text.size(),
                               SQLITE_TRANSIENT, SQLITE_UTF8);
}

int DbStatement::bindBlob(int index, const void* data, size_t size) {
    if (!stmt_) return SQLITE_MISUSE;
    if (size == 0) return sqlite3_bind_zeroblob(stmt_, index, 0);
    return sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_TRANSIENT);
}

int DbStatement::step() {
    return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE;
}

void DbStatement::reset() {
    if (!stmt_) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

bool DbStatement::columnIsNull(int col) const {
    return !stmt_ || sqlite3_column_type(stmt_, col) == SQLITE_NULL;
}

int64_t DbStatement::columnInt64(int col) const {
    return stmt_ ? sqlite3_column_int64(stmt_, col) : 0;
}

std::string DbStatement::columnText(int col) const {
    if (!stmt_) return std::string();
    const unsigned char* text = sqlite3_column_text(stmt_, col);
    if (!text) return std::string();
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt_, col)));
}

std::vector<uint8_t> DbStatement::columnBlob(int col) const {
    if (!stmt_) return {};
    const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
    if (!data) return {};
    return std::vector<uint8_t>(data, data + sqlite3_column_bytes(stmt_, col));
}

size_t DbStatement::columnBytes(int col) const {
    return stmt_ ? static_cast<size_t>(sqlite3_column_bytes(stmt_, col)) : 0;
}

// ---- DbTransaction

int DbTransaction::begin(DbConnection& db, Mode mode) {
    close();
    int rc = db.exec(mode == Mode::Immediate ? "BEGIN IMMEDIATE" : "BEGIN");
    if (rc == SQLITE_OK) db_ = &db;
    return rc;
}

int DbTransaction::commit() {
    if (!db_) return SQLITE_MISUSE;
    int rc = db_->exec("COMMIT");
    if (rc != SQLITE_OK) {
        close();
        return rc;
    }
    db_ = nullptr;
    return SQLITE_OK;
}

void DbTransaction::close() {
    if (!db_) return;
    // Some failures end the transaction on their own; rolling back then is harmless.
    if (db_->isOpen() && !sqlite3_get_autocommit(db_->handle())) db_->exec("ROLLBACK");
    db_ = nullptr;
}

// ---- the calling thread's connection

std::string userDatabasePath() {
    std::string folder = userDataFolder();
    return folder.empty() ? std::string() : folder + "/kestrune.db";
}

DbConnection* userDatabase(int* rc) {
    ThreadDatabase& t = threadDatabase();
    pid_t pid = ::getpid();
    if (t.connection.isOpen() && t.pid != pid) t.inherited.push_back(t.connection.release());
    std::string path = userDatabasePath();
    if (path.empty()) {
        if (rc) *rc = SQLITE_CANTOPEN;
        return nullptr;
    }
    if (t.connection.isOpen() && t.connection.path() == path) {
        if (rc) *rc = SQLITE_OK;
        return &t.connection;
    }
    int result = t.connection.open(path, kMigrations);
    if (rc) *rc = result;
    if (result != SQLITE_OK) return nullptr;
    t.pid = pid;
    // Housekeeping: a failure here leaves the leftovers for the next opening.
    removeLeftoverKeyContainers(t.connection);
    return &t.connection;
}

void closeUserDatabase() {
    ThreadDatabase& t = threadDatabase();
    if (t.pid == ::getpid())
        t.connection.close();
    else if (t.connection.isOpen())
        t.inherited.push_back(t.connection.release());
}
