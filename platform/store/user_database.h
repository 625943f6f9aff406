// The per-user SQLite database ($KSCAPI_HOME/kestrune.db) that holds the state the
// platform keeps per user: the registry, and later the certificate stores and key
// containers. Several processes (pages, hosts) use it at once: the file is in WAL mode
// with a busy timeout, and every writer takes the write lock up front
// (DbTransaction::Mode::Immediate) so that no write is lost to a lock upgrade.
//
// The holders below own one SQLite handle each and return SQLite result codes
// (SQLITE_OK, SQLITE_ROW, SQLITE_DONE, ...); they never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
class DbConnection;

// One step of the schema: the statements that bring the database from version - 1 to
// version, then `apply` (when given) for what SQL alone cannot do, in the same
// transaction; it returns SQLITE_OK or the failing code. Versions start at 1 and follow
// each other without gaps.
struct DbMigration {
    int version;
    const char* sql;
    int (*apply)(DbConnection& db) = nullptr;
};

// The schema of the user database, oldest step first.
std::span<const DbMigration> userDatabaseMigrations();

// One open connection.
class DbConnection {
  public:
    DbConnection() = default;
    ~DbConnection() { close(); }
    DbConnection(const DbConnection&) = delete;
    DbConnection& operator=(const DbConnection&) = delete;
    DbConnection(DbConnection&& other) noexcept;
    DbConnection& operator=(DbConnection&& other) noexcept;

    // Opens the database file at `path` (UTF-8), creating it with mode 0600, sets WAL
    // journal, the busy timeout and foreign keys, then applies the migrations whose
    // version is above the file's PRAGMA user_version, all in one write transaction;
    // after a step with code (which rewrites rows) the log is checkpointed and emptied,
    // so the rows' old contents leave the files. A file newer than the last migration is opened as
    // it is. Returns SQLITE_OK, or the failing SQLite code with the connection closed and the
    // file's schema unchanged.
    int open(const std::string& path, std::span<const DbMigration> migrations);
    // Closes the connection. Idempotent.
    void close();
    // Gives up the handle without closing it and returns it: a connection inherited
    // across fork() must be neither used nor closed by the child.
    sqlite3* release();

    bool isOpen() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }
    // The file this connection was opened on (UTF-8).
    const std::string& path() const { return path_; }

    // Runs statements that return no rows. Returns SQLITE_OK or the failing code.
    int exec(const char* sql);
    // Rowid of the last row this connection inserted, and rows changed by its last
    // INSERT, UPDATE or DELETE.
    int64_t lastInsertId() const;
    int changes() const;
    // PRAGMA user_version, or -1 when it cannot be read.
    int schemaVersion();
    // SQLite's text for the last failure on this connection.
    std::string errorMessage() const;

    // How long a statement waits for another process's lock before SQLITE_BUSY.
    static constexpr int kBusyTimeoutMs = 15000;

  private:
    int configure();
    int migrate(std::span<const DbMigration> migrations);

    sqlite3* db_ = nullptr;
    std::string path_;
};

// One prepared statement. Bind indexes start at 1, column indexes at 0.
class DbStatement {
  public:
    DbStatement() = default;
    ~DbStatement() { close(); }
    DbStatement(const DbStatement&) = delete;
    DbStatement& operator=(const DbStatement&) = delete;
    DbStatement(DbStatement&& other) noexcept;
    DbStatement& operator=(DbStatement&& other) noexcept;

    // Compiles one statement. Returns SQLITE_OK or the failing code (statement closed).
    int prepare(DbConnection& db, std::string_view sql);
    // Finalizes the statement. Idempotent.
    void close();
    bool isOpen() const { return stmt_ != nullptr; }

    // Each returns SQLITE_OK or the failing code. Text and blobs are copied.
    int bind(int index, int64_t value);
    int bindText(int index, std::string_view text);
    int bindBlob(int index, const void* data, size_t size);

    // SQLITE_ROW with a row to read, SQLITE_DONE at the end, or the failing code.
    int step();
    // Makes the statement ready to run again; bindings are cleared.
    void reset();

    bool columnIsNull(int col) const;
    int64_t columnInt64(int col) const;
    std::string columnText(int col) const;
    std::vector<uint8_t> columnBlob(int col) const;
    // Byte length of a text or blob column.
    size_t columnBytes(int col) const;

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

// One transaction, rolled back unless commit() succeeded. Writers use Mode::Immediate:
// it takes the write lock at begin (waiting up to the busy timeout), so a later write in
// the transaction cannot fail on a lock held by another process.
class DbTransaction {
  public:
    enum class Mode { Deferred, Immediate };

    DbTransaction() = default;
    ~DbTransaction() { close(); }
    DbTransaction(const DbTransaction&) = delete;
    DbTransaction& operator=(const DbTransaction&) = delete;

    // Starts the transaction. Returns SQLITE_OK or the failing code.
    int begin(DbConnection& db, Mode mode);
    // Commits. Returns SQLITE_OK, or the failing code with the transaction rolled back.
    int commit();
    // Rolls back an open transaction. Idempotent.
    void close();

  private:
    DbConnection* db_ = nullptr;
};

// The calling thread's connection to the user database, opened and migrated on first
// use, and reopened when $KSCAPI_HOME names another folder (or after fork()). The
// connection belongs to the thread; callers must not close it. Null when the folder
// cannot be determined or the database cannot be opened; *rc (when given) then holds
// the SQLite code (SQLITE_CANTOPEN without a folder).
DbConnection* userDatabase(int* rc = nullptr);
// Closes the calling thread's connection; the next userDatabase() opens it again.
void closeUserDatabase();
// The database file's path (UTF-8) for the current $KSCAPI_HOME; empty without a folder.
std::string userDatabasePath();
