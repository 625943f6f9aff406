// The SQLite functions the programs call, defined here and forwarded to the installed
// libsqlite3, which is opened at the first database opened instead of linked: most runs
// (a hash, a signature with a PFX file, a bridge call answered from memory) never open
// the user database, and every start paid for mapping and relocating the library.
// Callers include <sqlite3.h> as usual. The definitions are hidden, so a host that links
// SQLite itself and loads the module keeps its own.
#pragma GCC visibility push(hidden)
#include <sqlite3.h>
#pragma GCC visibility pop

#include "platform/system/shared_library.h"

namespace {

struct SqliteLibrary {
#define KSCAPI_SQLITE_ENTRY(name) decltype(&::sqlite3_##name) name = nullptr
#define KSCAPI_SQLITE_FUNCTIONS(X) \
    X(open);                       \
    X(open_v2);                    \
    X(close);                      \
    X(close_v2);                   \
    X(errmsg);                     \
    X(exec);                       \
    X(busy_timeout);               \
    X(changes);                    \
    X(get_autocommit);             \
    X(last_insert_rowid);          \
    X(prepare_v2);                 \
    X(step);                       \
    X(reset);                      \
    X(finalize);                   \
    X(clear_bindings);             \
    X(bind_blob64);                \
    X(bind_int64);                 \
    X(bind_text64);                \
    X(bind_zeroblob);              \
    X(column_blob);                \
    X(column_bytes);               \
    X(column_int);                 \
    X(column_int64);               \
    X(column_text);                \
    X(column_type);
    KSCAPI_SQLITE_FUNCTIONS(KSCAPI_SQLITE_ENTRY)
#undef KSCAPI_SQLITE_ENTRY
};

bool bindAll(void* handle, SqliteLibrary& functions) {
    bool bound = true;
#define KSCAPI_SQLITE_BIND(name) \
    bound = bound && shared_library::bind(handle, "sqlite3_" #name, functions.name)
    KSCAPI_SQLITE_FUNCTIONS(KSCAPI_SQLITE_BIND)
#undef KSCAPI_SQLITE_BIND
    return bound;
}

// Null when libsqlite3 is not installed or lacks one of the functions: no database
// opens then.
const SqliteLibrary* library() {
    return shared_library::functions<SqliteLibrary>("libsqlite3.so.0", bindAll);
}

// For the functions that take a connection or a statement: those exist only when a
// database was opened, so the library is loaded.
const SqliteLibrary& opened() {
    return *library();
}

}  // namespace

extern "C" {

int sqlite3_open_v2(const char* filename, sqlite3** db, int flags, const char* vfs) {
    if (const SqliteLibrary* lib = library()) return lib->open_v2(filename, db, flags, vfs);
    *db = nullptr;
    return SQLITE_CANTOPEN;
}

int sqlite3_open(const char* filename, sqlite3** db) {
    if (const SqliteLibrary* lib = library()) return lib->open(filename, db);
    *db = nullptr;
    return SQLITE_CANTOPEN;
}

// Closing nothing succeeds, as it does in SQLite, whether or not the library loaded.
int sqlite3_close_v2(sqlite3* db) {
    return db ? opened().close_v2(db) : SQLITE_OK;
}

int sqlite3_close(sqlite3* db) {
    return db ? opened().close(db) : SQLITE_OK;
}

const char* sqlite3_errmsg(sqlite3* db) {
    if (const SqliteLibrary* lib = library()) return lib->errmsg(db);
    return "the SQLite library (libsqlite3.so.0) is not installed";
}

int sqlite3_exec(sqlite3* db, const char* sql, int (*callback)(void*, int, char**, char**),
                 void* context, char** error) {
    return opened().exec(db, sql, callback, context, error);
}

int sqlite3_busy_timeout(sqlite3* db, int ms) {
    return opened().busy_timeout(db, ms);
}

int sqlite3_changes(sqlite3* db) {
    return opened().changes(db);
}

int sqlite3_get_autocommit(sqlite3* db) {
    return opened().get_autocommit(db);
}

sqlite3_int64 sqlite3_last_insert_rowid(sqlite3* db) {
    return opened().last_insert_rowid(db);
}

int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** statement,
                       const char** tail) {
    return opened().prepare_v2(db, sql, bytes, statement, tail);
}

int sqlite3_step(sqlite3_stmt* statement) {
    return opened().step(statement);
}

int sqlite3_reset(sqlite3_stmt* statement) {
    return opened().reset(statement);
}

// Finalizing no statement succeeds, as in SQLite.
int sqlite3_finalize(sqlite3_stmt* statement) {
    return statement ? opened().finalize(statement) : SQLITE_OK;
}

int sqlite3_clear_bindings(sqlite3_stmt* statement) {
    return opened().clear_bindings(statement);
}

int sqlite3_bind_blob64(sqlite3_stmt* statement, int index, const void* data, sqlite3_uint64 bytes,
                        void (*destructor)(void*)) {
    return opened().bind_blob64(statement, index, data, bytes, destructor);
}

int sqlite3_bind_int64(sqlite3_stmt* statement, int index, sqlite3_int64 value) {
    return opened().bind_int64(statement, index, value);
}

int sqlite3_bind_text64(sqlite3_stmt* statement, int index, const char* text, sqlite3_uint64 bytes,
                        void (*destructor)(void*), unsigned char encoding) {
    return opened().bind_text64(statement, index, text, bytes, destructor, encoding);
}

int sqlite3_bind_zeroblob(sqlite3_stmt* statement, int index, int bytes) {
    return opened().bind_zeroblob(statement, index, bytes);
}

const void* sqlite3_column_blob(sqlite3_stmt* statement, int column) {
    return opened().column_blob(statement, column);
}

int sqlite3_column_bytes(sqlite3_stmt* statement, int column) {
    return opened().column_bytes(statement, column);
}

int sqlite3_column_int(sqlite3_stmt* statement, int column) {
    return opened().column_int(statement, column);
}

sqlite3_int64 sqlite3_column_int64(sqlite3_stmt* statement, int column) {
    return opened().column_int64(statement, column);
}

const unsigned char* sqlite3_column_text(sqlite3_stmt* statement, int column) {
    return opened().column_text(statement, column);
}

int sqlite3_column_type(sqlite3_stmt* statement, int column) {
    return opened().column_type(statement, column);
}

}  // extern "C"
