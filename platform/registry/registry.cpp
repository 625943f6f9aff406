#include "platform/registry/registry.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store/user_database.h"
#include "platform/system/handle_table_internal.h"
#include "platform/text/codepage.h"

namespace {

constexpr int64_t kRootKeyId = 1;  // HKEY_CURRENT_USER, made by the first migration

// ---- names

// Upper-case form of one UTF-16 unit for the letters users of this system meet: ASCII,
// Latin-1, Greek, Cyrillic (all in Big5 or common in names) and full-width Latin (Big5).
char16_t upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') return c - 0x20;
    if (c < 0x80) return c;
    if (c >= 0x00E0 && c <= 0x00FE && c != 0x00F7) return c - 0x20;
    if (c == 0x00FF) return 0x0178;
    if (c >= 0x03B1 && c <= 0x03C9) return c == 0x03C2 ? 0x03A3 : c - 0x20;
    if (c >= 0x0430 && c <= 0x044F) return c - 0x20;
    if (c >= 0x0450 && c <= 0x045F) return c - 0x50;
    if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
    return c;
}

std::string foldName(std::string_view utf8) {
    bool ascii = true;
    for (char c : utf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        std::string out(utf8);
        for (char& c : out)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
        return out;
    }
    std::u16string wide = fromUtf8(utf8);
    for (char16_t& c : wide) c = upcase(c);
    return toUtf8(wide);
}

size_t utf16Length(std::string_view utf8) {
    size_t units = 0;
    for (char c : utf8) {
        auto b = static_cast<unsigned char>(c);
        if ((b & 0xC0) != 0x80) units += b >= 0xF0 ? 2 : 1;
    }
    return units;
}

struct Name {
    std::string utf8;
    std::string fold;
};

Name makeName(std::string_view utf8) {
    return Name{std::string(utf8), foldName(utf8)};
}

// Splits a subkey path after converting it, so that a double-byte character whose trail
// byte is 0x5C stays whole.
LONG parseKeyPath(LPCSTR subKey, std::vector<Name>& out) {
    out.clear();
    if (!subKey || !*subKey) return ERROR_SUCCESS;
    if (subKey[0] == '\\') return ERROR_BAD_PATHNAME;
    std::string utf8 = ansiToUtf8(subKey);
    size_t start = 0;
    while (start <= utf8.size()) {
        size_t end = utf8.find('\\', start);
        if (end == std::string::npos) end = utf8.size();
        if (end > start) {
            std::string_view part(utf8.data() + start, end - start);
            if (utf16Length(part) > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
            out.push_back(makeName(part));
        }
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

LONG parseValueName(LPCSTR valueName, Name& out) {
    out = makeName(valueName ? ansiToUtf8(valueName) : std::string());
    return utf16Length(out.utf8) > kMaxValueNameChars ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

// ---- database results

LONG fromSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return ERROR_SUCCESS;
        case SQLITE_NOMEM:
            return ERROR_OUTOFMEMORY;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return ERROR_REGISTRY_CORRUPT;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

int64_t nowFileTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
    constexpr int64_t kEpochDelta = 116444736000000000LL;
    return kEpochDelta + static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

void putFileTime(PFILETIME ft, int64_t value) {
    if (!ft) return;
    ft->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) & 0xFFFFFFFFu);
    ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) >> 32);
}

// ---- handles

struct OpenKey {
    int64_t id = 0;
    REGSAM access = 0;
    std::string database;
};

// Registry handles are numbers from 0x1004 on, stepping by 4.
HandleTable<OpenKey>& handles() {
    static HandleTable<OpenKey> table(0x1004);
    return table;
}

bool findHandle(HKEY h, OpenKey& out) {
    std::optional<OpenKey> found = handles().find(reinterpret_cast<uintptr_t>(h));
    if (found) out = std::move(*found);
    return found.has_value();
}

HKEY addHandle(OpenKey key) {
    return reinterpret_cast<HKEY>(handles().add(std::move(key)));
}

bool isPredefined(HKEY h) {
    return h == HKEY_CURRENT_USER || h == HKEY_CLASSES_ROOT;
}

REGSAM keyRights(REGSAM sam) {
    if (sam & (MAXIMUM_ALLOWED | GENERIC_ALL)) return KEY_ALL_ACCESS;
    REGSAM rights = sam & (KEY_ALL_ACCESS | SYNCHRONIZE);
    if (sam & GENERIC_READ) rights |= KEY_READ;
    if (sam & GENERIC_WRITE) rights |= KEY_WRITE;
    if (sam & GENERIC_EXECUTE) rights |= KEY_EXECUTE;
    return rights;
}

// A handle resolved for one call: the calling thread's connection and the key row.
struct KeyRef {
    DbConnection* db = nullptr;
    int64_t id = 0;
    REGSAM access = 0;
};

// ---- rows

// Finds the child `name` of `parent`: SQLITE_ROW (*id set), SQLITE_DONE or an error.
int findChild(DbConnection& db, int64_t parent, const Name& name, int64_t* id) {
    DbStatement st;
    int rc = st.prepare(db, "SELECT id FROM registry_keys WHERE parent_id = ?1 AND fold = ?2");
    if (rc != SQLITE_OK) return rc;
    st.bind(1, parent);
    st.bindText(2, name.fold);
    rc = st.step();
    if (rc == SQLITE_ROW) *id = st.columnInt64(0);
    return rc;
}

// ERROR_SUCCESS when the key row exists, ERROR_KEY_DELETED when it is gone.
LONG checkKey(DbConnection& db, int64_t id) {
    DbStatement st;
    int rc = st.prepare(db, "SELECT 1 FROM registry_keys WHERE id = ?1");
    if (rc != SQLITE_OK) return fromSqlite(rc);
    st.bind(1, id);
    rc = st.step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : fromSqlite(rc);
}

int touchKey(DbConnection& db, int64_t id) {
    DbStatement st;
    int rc = st.prepare(db, "UPDATE registry_keys SET last_write = ?1 WHERE id = ?2");
    if (rc != SQLITE_OK) return rc;
    st.bind(1, nowFileTime());
    st.bind(2, id);
    rc = st.step();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Follows `path` from `start`. ERROR_FILE_NOT_FOUND when a key on it is missing.
LONG walk(DbConnection& db, int64_t start, const std::vector<Name>& path, int64_t* id) {
    LONG status = checkKey(db, start);
    if (status != ERROR_SUCCESS) return status;
    int64_t current = start;
    for (const Name& name : path) {
        int rc = findChild(db, current, name, &current);
        if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
        if (rc != SQLITE_ROW) return fromSqlite(rc);
    }
    *id = current;
    return ERROR_SUCCESS;
}

// Follows `path` from `start`, creating what is missing. Runs inside the caller's write
// transaction.
LONG createPath(DbConnection& db, int64_t start, const std::vector<Name>& path, int64_t* id,
                bool* created) {
    LONG status = checkKey(db, start);
    if (status != ERROR_SUCCESS) return status;
    *created = false;
    int64_t current = start;
    DbStatement insert;
    for (const Name& name : path) {
        int rc = findChild(db, current, name, &current);
        if (rc == SQLITE_ROW) continue;
        if (rc != SQLITE_DONE) return fromSqlite(rc);
        if (!insert.isOpen()) {
            rc = insert.prepare(db,
                                "INSERT INTO registry_keys(parent_id, name, fold, last_write) "
                                "VALUES (?1, ?2, ?3, ?4)");
            if (rc != SQLITE_OK) return fromSqlite(rc);
        }
        insert.reset();
        insert.bind(1, current);
        insert.bindText(2, name.utf8);
        insert.bindText(3, name.fold);
        insert.bind(4, nowFileTime());
        rc = insert.step();
        if (rc != SQLITE_DONE) return fromSqlite(rc);
        rc = touchKey(db, current);
        if (rc != SQLITE_OK) return fromSqlite(rc);
        current = db.lastInsertId();
        *created = true;
    }
    *id = current;
    return ERROR_SUCCESS;
}

// The row of HKEY_CLASSES_ROOT, made again if someone removed it.
LONG classesRoot(DbConnection& db, int64_t* id) {
    static const std::vector<Name> kPath = {makeName("Software"), makeName("Classes")};
    LONG status = walk(db, kRootKeyId, kPath, id);
    if (status != ERROR_FILE_NOT_FOUND) return status;
    DbTransaction txn;
    int rc = txn.begin(db, DbTransaction::Mode::Immediate);
    if (rc != SQLITE_OK) return fromSqlite(rc);
    bool created = false;
    status = createPath(db, kRootKeyId, kPath, id, &created);
    if (status != ERROR_SUCCESS) return status;
    return fromSqlite(txn.commit());
}

LONG resolve(HKEY h, KeyRef& out) {
    OpenKey key;
    if (!isPredefined(h) && !findHandle(h, key)) return ERROR_INVALID_HANDLE;
    int rc = SQLITE_OK;
    out.db = userDatabase(&rc);
    if (!out.db) return fromSqlite(rc);
    if (h == HKEY_CURRENT_USER) {
        out.id = kRootKeyId;
        out.access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    if (h == HKEY_CLASSES_ROOT) {
        out.access = KEY_ALL_ACCESS;
        return classesRoot(*out.db, &out.id);
    }
    if (key.database != out.db->path()) return ERROR_INVALID_HANDLE;
    out.id = key.id;
    out.access = key.access;
    return ERROR_SUCCESS;
}

LONG resolveFor(HKEY h, REGSAM needed, KeyRef& out) {
    LONG status = resolve(h, out);
    if (status != ERROR_SUCCESS) return status;
    return (out.access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Copies a name with its terminator into a buffer of *size bytes.
LONG putName(const std::string& utf8, LPSTR buffer, LPDWORD size) {
    std::string ansi = utf8ToAnsi(utf8);
    if (ansi.size() >= *size) return ERROR_MORE_DATA;
    std::memcpy(buffer, ansi.c_str(), ansi.size() + 1);
    *size = static_cast<DWORD>(ansi.size());
    return ERROR_SUCCESS;
}

// Hands out value data by the two-call protocol of RegQueryValueExA.
LONG putData(DWORD type, const std::vector<uint8_t>& data, LPDWORD lpType, LPBYTE lpData,
             LPDWORD lpcbData) {
    if (lpType) *lpType = type;
    auto size = static_cast<DWORD>(data.size());
    if (!lpData) {
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(lpData, data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

// Removes the keys below `id` (and `id` itself when withSelf) with their values.
int deleteTree(DbConnection& db, int64_t id, bool withSelf) {
    DbStatement st;
    int rc = st.prepare(db, withSelf ? "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL "
                                       "SELECT k.id FROM registry_keys k JOIN tree ON "
                                       "k.parent_id = tree.id) "
                                       "DELETE FROM registry_keys WHERE id IN tree"
                                     : "WITH RECURSIVE tree(id) AS (SELECT id FROM "
                                       "registry_keys WHERE parent_id = ?1 UNION ALL "
                                       "SELECT k.id FROM registry_keys k JOIN tree ON "
                                       "k.parent_id = tree.id) "
                                       "DELETE FROM registry_keys WHERE id IN tree");
    if (rc != SQLITE_OK) return rc;
    st.bind(1, id);
    rc = st.step();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int64_t parentOf(DbConnection& db, int64_t id) {
    DbStatement st;
    if (st.prepare(db, "SELECT parent_id FROM registry_keys WHERE id = ?1") != SQLITE_OK) return 0;
    st.bind(1, id);
    return st.step() == SQLITE_ROW ? st.columnInt64(0) : 0;
}

// Steps `st` onto row `index` of hKey's subkeys or values: `sql` takes the key's id
// as ?1 and the index as ?2. ERROR_NO_MORE_ITEMS past the last row.
LONG enumRow(HKEY hKey, REGSAM needed, const char* sql, DWORD index, DbStatement& st) {
    KeyRef ref;
    LONG status = resolveFor(hKey, needed, ref);
    if (status != ERROR_SUCCESS) return status;
    status = checkKey(*ref.db, ref.id);
    if (status != ERROR_SUCCESS) return status;
    int rc = st.prepare(*ref.db, sql);
    if (rc != SQLITE_OK) return fromSqlite(rc);
    st.bind(1, ref.id);
    st.bind(2, index);
    rc = st.step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    return rc == SQLITE_ROW ? ERROR_SUCCESS : fromSqlite(rc);
}

// Runs `change` on one value of hKey in a write transaction that also records the key's
// last write time; nothing changes unless it returns ERROR_SUCCESS.
LONG changeValue(HKEY hKey, LPCSTR lpValueName,
                 const std::function<LONG(DbConnection&, int64_t, const Name&)>& change) {
    Name name;
    LONG status = parseValueName(lpValueName, name);
    if (status != ERROR_SUCCESS) return status;
    KeyRef ref;
    status = resolveFor(hKey, KEY_SET_VALUE, ref);
    if (status != ERROR_SUCCESS) return status;
    DbTransaction txn;
    int rc = txn.begin(*ref.db, DbTransaction::Mode::Immediate);
    if (rc != SQLITE_OK) return fromSqlite(rc);
    status = checkKey(*ref.db, ref.id);
    if (status == ERROR_SUCCESS) status = change(*ref.db, ref.id, name);
    if (status != ERROR_SUCCESS) return status;
    rc = touchKey(*ref.db, ref.id);
    if (rc != SQLITE_OK) return fromSqlite(rc);
    return fromSqlite(txn.commit());
}

// Parses a subkey path and resolves the handle it starts from.
LONG resolvePath(HKEY hKey, LPCSTR lpSubKey, KeyRef& ref, std::vector<Name>& path) {
    LONG status = parseKeyPath(lpSubKey, path);
    return status == ERROR_SUCCESS ? resolve(hKey, ref) : status;
}

// Keys carry no class: the class text is always empty.
void putEmptyClass(LPSTR lpClass, LPDWORD lpcchClass) {
    if (lpClass) lpClass[0] = '\0';
    if (lpcchClass) *lpcchClass = 0;
}

}  // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                   PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::vector<Name> path;
    KeyRef ref;
    LONG status = resolvePath(hKey, lpSubKey, ref, path);
    if (status != ERROR_SUCCESS) return status;
    int64_t id = 0;
    status = walk(*ref.db, ref.id, path, &id);
    if (status != ERROR_SUCCESS) return status;
    *phkResult = addHandle(OpenKey{id, keyRights(samDesired), ref.db->path()});
    return ERROR_SUCCESS;
}

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey) {
        KeyRef ref;
        LONG status = resolve(hKey, ref);
        if (status == ERROR_SUCCESS) status = checkKey(*ref.db, ref.id);
        *phkResult = status == ERROR_SUCCESS ? hKey : nullptr;
        return status;
    }
    return RegOpenKeyExA(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR /*lpClass*/,
                     DWORD /*dwOptions*/, REGSAM samDesired, const void* /*lpSecurityAttributes*/,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (Reserved != 0) return ERROR_INVALID_PARAMETER;
    std::vector<Name> path;
    KeyRef ref;
    LONG status = resolvePath(hKey, lpSubKey, ref, path);
    if (status != ERROR_SUCCESS) return status;
    DbTransaction txn;
    int rc = txn.begin(*ref.db, DbTransaction::Mode::Immediate);
    if (rc != SQLITE_OK) return fromSqlite(rc);
    int64_t id = 0;
    bool created = false;
    status = createPath(*ref.db, ref.id, path, &id, &created);
    if (status != ERROR_SUCCESS) return status;
    rc = txn.commit();
    if (rc != SQLITE_OK) return fromSqlite(rc);
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = addHandle(OpenKey{id, keyRights(samDesired), ref.db->path()});
    return ERROR_SUCCESS;
}

LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey) return RegOpenKeyA(hKey, lpSubKey, phkResult);
    return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED,
                           nullptr, phkResult, nullptr);
}

LONG RegCloseKey(HKEY hKey) {
    if (isPredefined(hKey)) return ERROR_SUCCESS;
    return handles().remove(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS
                                                               : ERROR_INVALID_HANDLE;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    Name name;
    LONG status = parseValueName(lpValueName, name);
    if (status != ERROR_SUCCESS) return status;
    KeyRef ref;
    status = resolveFor(hKey, KEY_QUERY_VALUE, ref);
    if (status != ERROR_SUCCESS) return status;
    DbStatement st;
    int rc = st.prepare(*ref.db,
                        "SELECT type, data FROM registry_values WHERE key_id = ?1 AND fold = ?2");
    if (rc != SQLITE_OK) return fromSqlite(rc);
    st.bind(1, ref.id);
    st.bindText(2, name.fold);
    rc = st.step();
    if (rc == SQLITE_DONE) {
        status = checkKey(*ref.db, ref.id);
        return status == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : status;
    }
    if (rc != SQLITE_ROW) return fromSqlite(rc);
    return putData(static_cast<DWORD>(st.columnInt64(0)), st.columnBlob(1), lpType, lpData,
                   lpcbData);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
    if (!lpData && cbData != 0) return ERROR_NOACCESS;
    return changeValue(
        hKey, lpValueName, [&](DbConnection& db, int64_t id, const Name& name) -> LONG {
            DbStatement st;
            int rc = st.prepare(db,
                                "INSERT INTO registry_values(key_id, name, fold, type, data) "
                                "VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT(key_id, fold) "
                                "DO UPDATE SET type = excluded.type, data = excluded.data");
            if (rc != SQLITE_OK) return fromSqlite(rc);
            st.bind(1, id);
            st.bindText(2, name.utf8);
            st.bindText(3, name.fold);
            st.bind(4, dwType);
            st.bindBlob(5, lpData, cbData);
            rc = st.step();
            return rc == SQLITE_DONE ? ERROR_SUCCESS : fromSqlite(rc);
        });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return changeValue(
        hKey, lpValueName, [](DbConnection& db, int64_t id, const Name& name) -> LONG {
            DbStatement st;
            int rc = st.prepare(db, "DELETE FROM registry_values WHERE key_id = ?1 AND fold = ?2");
            if (rc != SQLITE_OK) return fromSqlite(rc);
            st.bind(1, id);
            st.bindText(2, name.fold);
            rc = st.step();
            if (rc != SQLITE_DONE) return fromSqlite(rc);
            return db.changes() == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
        });
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    std::vector<Name> path;
    KeyRef ref;
    LONG status = resolvePath(hKey, lpSubKey, ref, path);
    if (status != ERROR_SUCCESS) return status;
    DbConnection& db = *ref.db;
    DbTransaction txn;
    int rc = txn.begin(db, DbTransaction::Mode::Immediate);
    if (rc != SQLITE_OK) return fromSqlite(rc);
    int64_t id = 0;
    status = walk(db, ref.id, path, &id);
    if (status != ERROR_SUCCESS) return status;
    if (id == kRootKeyId) return ERROR_ACCESS_DENIED;
    DbStatement children;
    rc = children.prepare(db, "SELECT 1 FROM registry_keys WHERE parent_id = ?1 LIMIT 1");
    if (rc != SQLITE_OK) return fromSqlite(rc);
    children.bind(1, id);
    rc = children.step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return fromSqlite(rc);
    int64_t parent = parentOf(db, id);
    rc = deleteTree(db, id, true);
    if (rc == SQLITE_OK) rc = touchKey(db, parent);
    if (rc != SQLITE_OK) return fromSqlite(rc);
    return fromSqlite(txn.commit());
}

LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    std::vector<Name> path;
    KeyRef ref;
    LONG status = resolvePath(hKey, lpSubKey, ref, path);
    if (status != ERROR_SUCCESS) return status;
    constexpr REGSAM kClearRights = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
    if (!lpSubKey && (ref.access & kClearRights) != kClearRights) return ERROR_ACCESS_DENIED;
    DbConnection& db = *ref.db;
    DbTransaction txn;
    int rc = txn.begin(db, DbTransaction::Mode::Immediate);
    if (rc != SQLITE_OK) return fromSqlite(rc);
    int64_t id = 0;
    status = walk(db, ref.id, path, &id);
    if (status != ERROR_SUCCESS) return status;
    if (lpSubKey) {
        if (id == kRootKeyId) return ERROR_ACCESS_DENIED;
        int64_t parent = parentOf(db, id);
        rc = deleteTree(db, id, true);
        if (rc == SQLITE_OK) rc = touchKey(db, parent);
    } else {
        DbStatement values;
        rc = values.prepare(db, "DELETE FROM registry_values WHERE key_id = ?1");
        if (rc != SQLITE_OK) return fromSqlite(rc);
        values.bind(1, id);
        rc = values.step();
        if (rc != SQLITE_DONE) return fromSqlite(rc);
        if (db.changes() > 0 && !(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        rc = deleteTree(db, id, false);
        if (rc == SQLITE_OK) rc = touchKey(db, id);
    }
    if (rc != SQLITE_OK) return fromSqlite(rc);
    return fromSqlite(txn.commit());
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    DbStatement st;
    LONG status = enumRow(hKey, KEY_ENUMERATE_SUB_KEYS,
                          "SELECT name, last_write FROM registry_keys WHERE parent_id = ?1 "
                          "ORDER BY fold LIMIT 1 OFFSET ?2",
                          dwIndex, st);
    if (status != ERROR_SUCCESS) return status;
    if (lpClass && *lpcchClass == 0) return ERROR_MORE_DATA;
    status = putName(st.columnText(0), lpName, lpcchName);
    if (status != ERROR_SUCCESS) return status;
    putEmptyClass(lpClass, lpcchClass);
    putFileTime(lpftLastWriteTime, st.columnInt64(1));
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    DbStatement st;
    LONG status = enumRow(hKey, KEY_QUERY_VALUE,
                          "SELECT name, type, data FROM registry_values WHERE key_id = ?1 "
                          "ORDER BY id LIMIT 1 OFFSET ?2",
                          dwIndex, st);
    if (status != ERROR_SUCCESS) return status;
    status = putName(st.columnText(0), lpValueName, lpcchValueName);
    if (status != ERROR_SUCCESS) return status;
    return putData(static_cast<DWORD>(st.columnInt64(1)), st.columnBlob(2), lpType, lpData,
                   lpcbData);
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    LONG status = resolveFor(hKey, KEY_QUERY_VALUE, ref);
    if (status != ERROR_SUCCESS) return status;
    DbConnection& db = *ref.db;
    // One read transaction, so that counts and lengths describe the same moment.
    DbTransaction txn;
    int rc = txn.begin(db, DbTransaction::Mode::Deferred);
    if (rc != SQLITE_OK) return fromSqlite(rc);
    DbStatement key;
    rc = key.prepare(db, "SELECT last_write FROM registry_keys WHERE id = ?1");
    if (rc != SQLITE_OK) return fromSqlite(rc);
    key.bind(1, ref.id);
    rc = key.step();
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW) return fromSqlite(rc);
    int64_t lastWrite = key.columnInt64(0);

    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
    DbStatement st;
    rc = st.prepare(db, "SELECT name FROM registry_keys WHERE parent_id = ?1");
    if (rc != SQLITE_OK) return fromSqlite(rc);
    st.bind(1, ref.id);
    while ((rc = st.step()) == SQLITE_ROW) {
        ++subKeys;
        maxSubKey = std::max(maxSubKey, static_cast<DWORD>(utf8ToAnsi(st.columnText(0)).size()));
    }
    if (rc != SQLITE_DONE) return fromSqlite(rc);
    rc = st.prepare(db, "SELECT name, length(data) FROM registry_values WHERE key_id = ?1");
    if (rc != SQLITE_OK) return fromSqlite(rc);
    st.bind(1, ref.id);
    while ((rc = st.step()) == SQLITE_ROW) {
        ++values;
        maxValueName =
            std::max(maxValueName, static_cast<DWORD>(utf8ToAnsi(st.columnText(0)).size()));
        maxValue = std::max(maxValue, static_cast<DWORD>(st.columnInt64(1)));
    }
    if (rc != SQLITE_DONE) return fromSqlite(rc);

    if (lpClass && *lpcchClass == 0) return ERROR_MORE_DATA;
    putEmptyClass(lpClass, lpcchClass);
    if (lpcSubKeys) *lpcSubKeys = subKeys;
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSubKey;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = values;
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxValueName;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = maxValue;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    putFileTime(lpftLastWriteTime, lastWrite);
    return ERROR_SUCCESS;
}
