#include "platform/registry/registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/store/user_database.h"
#include "tests/temp_home.h"

namespace {

// Big5 spellings (python3: '許可'.encode('big5').hex()). Both carry a 0x5C trail byte.
const std::string kXuKe = "\xB3\x5C\xA5\x69";            // 許可
const std::string kAlphaBeta = "\xA3\x5C\xA3\x5D";       // αβ
const std::string kUpperAlphaBeta = "\xA3\x44\xA3\x45";  // ΑΒ

using Bytes = std::vector<BYTE>;

Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

LONG setValue(HKEY key, const char* name, DWORD type, const Bytes& data) {
    return RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

LONG getValue(HKEY key, const char* name, DWORD* type, Bytes* out) {
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    out->assign(size, 0);
    rc = RegQueryValueExA(key, name, nullptr, type, out->data(), &size);
    out->resize(size);
    return rc;
}

std::vector<std::string> subkeys(HKEY key) {
    std::vector<std::string> names;
    char name[300];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, size);
    }
    return names;
}

class Registry : public ::testing::Test {
  protected:
    HKEY create(const std::string& path, REGSAM sam = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, sam, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    LONG open(const std::string& path, REGSAM sam, HKEY* key) {
        return RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, sam, key);
    }
    TempHome home_;
};

TEST_F(Registry, PathFormsFollowThePlatform) {
    RegKeyHolder demo(create("Software\\Demo\\Sub"));
    ASSERT_EQ(setValue(demo.get(), "v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
    struct Case {
        const char* path;
        LONG expected;
    } cases[] = {
        {"Software\\Demo\\Sub", ERROR_SUCCESS},
        {"SOFTWARE\\demo\\sUB", ERROR_SUCCESS},
        {"Software\\\\Demo\\Sub", ERROR_SUCCESS},
        {"Software\\Demo\\Sub\\\\", ERROR_SUCCESS},
        {"\\Software\\Demo\\Sub", ERROR_BAD_PATHNAME},
        {"Software\\Demo\\Missing", ERROR_FILE_NOT_FOUND},
        {"Software\\Demo\\Sub\\Deeper", ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        RegKeyHolder key;
        EXPECT_EQ(open(c.path, KEY_READ, key.out()), c.expected) << c.path;
        if (c.expected != ERROR_SUCCESS) {
            EXPECT_EQ(key.get(), nullptr) << c.path;
            continue;
        }
        DWORD type = 0;
        Bytes data;
        EXPECT_EQ(getValue(key.get(), "V", &type, &data), ERROR_SUCCESS) << c.path;
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "\\New", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "New", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, NamesKeepCaseAndCompareWithoutIt) {
    RegKeyHolder parent(create("Software\\Names"));
    RegKeyHolder mixed(create("Software\\Names\\MixedCase"));
    RegKeyHolder again;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(parent.get(), "MIXEDCASE", 0, nullptr, 0, KEY_READ, nullptr,
                              again.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    // Big5 Greek and the 0x5C trail byte: one key, matched in the other case.
    RegKeyHolder greek(create("Software\\Names\\" + kUpperAlphaBeta));
    RegKeyHolder lower;
    EXPECT_EQ(open("Software\\Names\\" + kAlphaBeta, KEY_READ, lower.out()), ERROR_SUCCESS);
    RegKeyHolder xuke(create("Software\\Names\\" + kXuKe));
    EXPECT_EQ(subkeys(parent.get()),
              (std::vector<std::string>{"MixedCase", kUpperAlphaBeta, kXuKe}));  // code point order

    ASSERT_EQ(setValue(mixed.get(), "Count", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
    ASSERT_EQ(setValue(mixed.get(), "COUNT", REG_DWORD, {2, 0, 0, 0}), ERROR_SUCCESS);
    char name[32];
    DWORD nameSize = sizeof name, type = 0;
    BYTE data[8];
    DWORD size = sizeof data;
    ASSERT_EQ(RegEnumValueA(mixed.get(), 0, name, &nameSize, nullptr, &type, data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, nameSize), "Count");
    EXPECT_EQ(data[0], 2);
    nameSize = sizeof name;
    EXPECT_EQ(RegEnumValueA(mixed.get(), 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, QueryValueSizeProtocolAndDataAsGiven) {
    RegKeyHolder key(create("Software\\Data"));
    const Bytes binary = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_EQ(setValue(key.get(), "bin", REG_BINARY, binary), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "bin", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 10u);
    BYTE buffer[20];
    std::fill(std::begin(buffer), std::end(buffer), 0xEE);
    size = 9;
    type = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "bin", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(buffer[0], 0xEE);
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key.get(), "bin", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(Bytes(buffer, buffer + 10), binary);
    EXPECT_EQ(RegQueryValueExA(key.get(), "bin", nullptr, nullptr, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "bin", &reserved, nullptr, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key.get(), "none", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(key.get(), "bad", 0, REG_BINARY, nullptr, 3), ERROR_NOACCESS);

    struct Stored {
        const char* name;
        DWORD type;
        Bytes data;
    } stored[] = {
        {"sz", REG_SZ, bytes("abc")},
        {"szz", REG_SZ, {'a', 'b', 'c', 0}},
        {"short dword", REG_DWORD, {7, 0}},
        {"empty", REG_SZ, {}},
        {"", REG_EXPAND_SZ, bytes("%HOME%")},
        {"multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}},
        {"q", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const Stored& s : stored) ASSERT_EQ(setValue(key.get(), s.name, s.type, s.data), 0);
    for (const Stored& s : stored) {
        Bytes data;
        ASSERT_EQ(getValue(key.get(), s.name, &type, &data), ERROR_SUCCESS) << s.name;
        EXPECT_EQ(type, s.type) << s.name;
        EXPECT_EQ(data, s.data) << s.name;
    }
    Bytes data;
    EXPECT_EQ(getValue(key.get(), nullptr, &type, &data), ERROR_SUCCESS);  // default value
    EXPECT_EQ(data, bytes("%HOME%"));
}

TEST_F(Registry, AccessRightsOfTheHandle) {
    RegKeyHolder setup(create("Software\\Rights"));
    ASSERT_EQ(setValue(setup.get(), "v", REG_SZ, bytes("x")), ERROR_SUCCESS);
    RegKeyHolder reader, writer;
    ASSERT_EQ(open("Software\\Rights", KEY_READ, reader.out()), ERROR_SUCCESS);
    ASSERT_EQ(open("Software\\Rights", KEY_SET_VALUE, writer.out()), ERROR_SUCCESS);
    DWORD size = 0;
    char name[8];
    DWORD nameSize = sizeof name;
    EXPECT_EQ(setValue(reader.get(), "v", REG_SZ, bytes("y")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader.get(), "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeA(reader.get(), nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA(writer.get(), "v", nullptr, nullptr, nullptr, &size),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegEnumKeyExA(writer.get(), 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(setValue(writer.get(), "v", REG_SZ, bytes("z")), ERROR_SUCCESS);
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(getValue(reader.get(), "v", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, bytes("z"));
    // As on the platform, creating a subkey does not depend on the parent's rights.
    RegKeyHolder child;
    EXPECT_EQ(RegCreateKeyA(reader.get(), "Child", child.out()), ERROR_SUCCESS);
}

TEST_F(Registry, HandlesThatAreClosedForeignOrDeleted) {
    HKEY key = create("Software\\Gone\\Leaf");
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    auto garbage = reinterpret_cast<HKEY>(uintptr_t{0x12345});
    EXPECT_EQ(setValue(garbage, "v", REG_SZ, {}), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);

    RegKeyHolder leaf(create("Software\\Gone\\Leaf"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Gone"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Gone\\leaf"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Gone\\leaf"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(setValue(leaf.get(), "v", REG_SZ, {}), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueExA(leaf.get(), "v", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);

    // A handle belongs to the database it was opened in.
    RegKeyHolder mine(create("Software\\Mine"));
    {
        TempHome other;
        EXPECT_EQ(setValue(mine.get(), "v", REG_SZ, {}), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(setValue(mine.get(), "v", REG_SZ, {}), ERROR_SUCCESS);
}

TEST_F(Registry, DeleteTreeRemovesDeepTreesWhole) {
    std::string path = "Software\\Deep";
    for (int i = 0; i < 1200; ++i) path += "\\k" + std::to_string(i);
    RegKeyHolder leaf(create(path));
    ASSERT_EQ(setValue(leaf.get(), "v", REG_SZ, bytes("x")), ERROR_SUCCESS);
    RegKeyHolder top(create("Software\\Deep"));
    ASSERT_EQ(setValue(top.get(), "own", REG_SZ, bytes("x")), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(top.get(), nullptr), ERROR_SUCCESS);
    DWORD subKeys = 9, values = 9;
    ASSERT_EQ(RegQueryInfoKeyA(top.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                               &values, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 0u);
    EXPECT_EQ(values, 0u);
    RegKeyHolder again(create("Software\\Deep\\k0\\k1"));
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Deep"), ERROR_SUCCESS);
    HKEY gone = nullptr;
    EXPECT_EQ(open("Software\\Deep", KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Deep"), ERROR_FILE_NOT_FOUND);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(home_.database().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM registry_keys", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 3);  // root, Software, Classes
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST_F(Registry, EnumerationOrderAndBufferSizes) {
    RegKeyHolder key(create("Software\\Enum"));
    for (const char* name : {"b", "A", "_c", "Longer"}) {
        RegKeyHolder sub;
        ASSERT_EQ(RegCreateKeyA(key.get(), name, sub.out()), ERROR_SUCCESS);
    }
    // Upper-case order puts "_" (0x5F) after letters, as the platform sorts.
    EXPECT_EQ(subkeys(key.get()), (std::vector<std::string>{"A", "b", "Longer", "_c"}));
    char name[8];
    DWORD size = 6;  // "Longer" needs 7 with its terminator
    EXPECT_EQ(RegEnumKeyExA(key.get(), 2, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    size = 7;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 2, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(RegEnumKeyExA(key.get(), 4, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    ASSERT_EQ(setValue(key.get(), "z", REG_SZ, bytes("12345")), ERROR_SUCCESS);
    ASSERT_EQ(setValue(key.get(), "a", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
    DWORD nameSize = sizeof name, type = 0;
    BYTE data[4];
    DWORD dataSize = sizeof data;
    EXPECT_EQ(RegEnumValueA(key.get(), 0, name, &nameSize, nullptr, &type, data, &dataSize),
              ERROR_MORE_DATA);
    EXPECT_EQ(dataSize, 5u);
    nameSize = sizeof name;
    dataSize = sizeof data;
    EXPECT_EQ(RegEnumValueA(key.get(), 1, name, &nameSize, nullptr, &type, data, &dataSize),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(name), "a");
    EXPECT_EQ(type, REG_DWORD);

    DWORD subKeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
    FILETIME written{};
    ASSERT_EQ(RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr,
                               &values, &maxName, &maxData, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 4u);
    EXPECT_EQ(maxSub, 6u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 1u);
    EXPECT_EQ(maxData, 5u);
    EXPECT_GT(written.dwHighDateTime, 0x01D00000u);  // after 2014
}

TEST_F(Registry, ClassesRootIsTheUsersSoftwareClasses) {
    RegKeyHolder progId;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Kestrune.Test\\CurVer", progId.out()),
              ERROR_SUCCESS);
    ASSERT_EQ(setValue(progId.get(), "", REG_SZ, bytes("Kestrune.Test.1")), ERROR_SUCCESS);
    RegKeyHolder viaUser;
    ASSERT_EQ(open("software\\classes\\kestrune.test\\curver", KEY_READ, viaUser.out()),
              ERROR_SUCCESS);
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(getValue(viaUser.get(), "", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, bytes("Kestrune.Test.1"));
    ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Classes"), ERROR_SUCCESS);
    RegKeyHolder fresh;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Kestrune.Test", 0, KEY_READ, fresh.out()),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Again", fresh.out()), ERROR_SUCCESS);
}

TEST_F(Registry, DatabaseIsPrivateWalAndReadableByOtherTools) {
    RegKeyHolder key(create("Software\\" + kXuKe));
    ASSERT_EQ(setValue(key.get(), "v", REG_SZ, bytes("x")), ERROR_SUCCESS);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat st {};
        ASSERT_EQ(stat((home_.database() + suffix).c_str(), &st), 0) << suffix;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << suffix;
    }
    // Python's sqlite3 module reads what another process sees: WAL, schema version, and
    // key names stored as UTF-8 whatever the code page.
    std::string script = home_.path() + "/check.py";
    std::ofstream(script) << "import sqlite3, sys\n"
                             "db = sqlite3.connect(sys.argv[1])\n"
                             "print(db.execute('PRAGMA journal_mode').fetchone()[0])\n"
                             "print(db.execute('PRAGMA user_version').fetchone()[0])\n"
                             "print(db.execute(\"SELECT name FROM registry_keys WHERE "
                             "parent_id = 2 AND name <> 'Classes'\").fetchone()[0])\n";
    FILE* p = popen(("python3 " + script + " " + home_.database()).c_str(), "r");
    ASSERT_NE(p, nullptr);
    char out[256] = {};
    size_t n = fread(out, 1, sizeof out - 1, p);
    pclose(p);
    EXPECT_EQ(std::string(out, n), "wal\n" +
                                       std::to_string(userDatabaseMigrations().back().version) +
                                       "\n\xE8\xA8\xB1\xE5\x8F\xAF\n");  // 許可 in UTF-8
}

TEST_F(Registry, ValuesSurviveReopenAndHomeChanges) {
    RegKeyHolder key(create("Software\\Keep"));
    ASSERT_EQ(setValue(key.get(), "v", REG_SZ, bytes("kept")), ERROR_SUCCESS);
    key.close();
    closeUserDatabase();
    RegKeyHolder reopened;
    ASSERT_EQ(open("Software\\Keep", KEY_READ, reopened.out()), ERROR_SUCCESS);
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(getValue(reopened.get(), "v", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, bytes("kept"));
    {
        TempHome other;
        RegKeyHolder absent;
        EXPECT_EQ(open("Software\\Keep", KEY_READ, absent.out()), ERROR_FILE_NOT_FOUND);
    }
    RegKeyHolder back;
    EXPECT_EQ(open("Software\\Keep", KEY_READ, back.out()), ERROR_SUCCESS);
}

// Two processes write 1,000 distinct values each into one key at the same time; every
// write must land. The parent has the database open before it forks, so the children
// also exercise dropping an inherited connection.
TEST_F(Registry, TwoProcessesWritingConcurrentlyLoseNothing) {
    constexpr int kPerProcess = 1000;
    RegKeyHolder key(create("Software\\Concurrent"));
    key.close();
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            close(go[1]);
            char byte;
            if (read(go[0], &byte, 1) != 1) _exit(100);
            int failures = 0;
            RegKeyHolder mine;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Concurrent", 0, KEY_WRITE,
                              mine.out()) != ERROR_SUCCESS)
                _exit(101);
            for (int i = 0; i < kPerProcess; ++i) {
                std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
                DWORD value = static_cast<DWORD>(c * 100000 + i);
                if (RegSetValueExA(mine.get(), name.c_str(), 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&value), 4) != ERROR_SUCCESS)
                    ++failures;
            }
            _exit(failures > 99 ? 99 : failures);
        }
    }
    close(go[0]);
    ASSERT_EQ(write(go[1], "xx", 2), 2);
    close(go[1]);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    RegKeyHolder reader;
    ASSERT_EQ(open("Software\\Concurrent", KEY_READ, reader.out()), ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyA(reader.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &values, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 2u * kPerProcess);
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < kPerProcess; i += 97) {
            std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
            DWORD value = 0, size = 4;
            ASSERT_EQ(RegQueryValueExA(reader.get(), name.c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&value), &size),
                      ERROR_SUCCESS);
            EXPECT_EQ(value, static_cast<DWORD>(c * 100000 + i));
        }
    }
}

// Processes that open a new database at the same moment race to create and switch it
// to WAL; every one must get through.
TEST(UserDatabase, ProcessesOpeningANewDatabaseTogether) {
    for (int round = 0; round < 20; ++round) {
        TempHome home;
        pid_t children[3];
        for (pid_t& child : children) {
            child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                RegKeyHolder key;
                LONG rc = RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Race", key.out());
                _exit(rc == ERROR_SUCCESS ? 0 : 1);
            }
        }
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
    }
}

TEST_F(Registry, ThreadsShareHandles) {
    RegKeyHolder key(create("Software\\Threads"));
    auto writer = [&](int t) {
        for (int i = 0; i < 100; ++i) {
            std::string name = "t";
            name += std::to_string(t);
            name += "_";
            name += std::to_string(i);
            EXPECT_EQ(setValue(key.get(), name.c_str(), REG_SZ, bytes(name)), ERROR_SUCCESS);
        }
        closeUserDatabase();
    };
    std::thread a(writer, 0), b(writer, 1);
    a.join();
    b.join();
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &values, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 200u);
}

// ---- the database layer's schema steps

int userVersion(const std::string& path) {
    DbConnection db;
    if (db.open(path, {}) != SQLITE_OK) return -1;
    return db.schemaVersion();
}

bool hasTable(const std::string& path, const std::string& table) {
    DbConnection db;
    DbStatement st;
    if (db.open(path, {}) != SQLITE_OK ||
        st.prepare(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1") !=
            SQLITE_OK)
        return false;
    st.bindText(1, table);
    return st.step() == SQLITE_ROW;
}

TEST(UserDatabase, MigratesAnEmptyFileAndKeepsForeignTables) {
    TempHome home;
    {
        std::ofstream(home.database());  // an empty file is an empty database
        DbConnection other;
        ASSERT_EQ(other.open(home.database(), {}), SQLITE_OK);
        ASSERT_EQ(other.exec("CREATE TABLE notes(x); INSERT INTO notes VALUES (42)"), SQLITE_OK);
    }
    int rc = -1;
    ASSERT_NE(userDatabase(&rc), nullptr);
    EXPECT_EQ(rc, SQLITE_OK);
    closeUserDatabase();
    EXPECT_EQ(userVersion(home.database()), userDatabaseMigrations().back().version);
    EXPECT_TRUE(hasTable(home.database(), "registry_keys"));
    EXPECT_TRUE(hasTable(home.database(), "notes"));
}

TEST(UserDatabase, FailingStepRollsBackTheWholeMigration) {
    TempHome home;
    const DbMigration broken[] = {{1, "CREATE TABLE one(x)"}, {2, "CREATE TABLE two(x"}};
    DbConnection db;
    EXPECT_EQ(db.open(home.database(), broken), SQLITE_ERROR);
    EXPECT_FALSE(db.isOpen());
    EXPECT_EQ(userVersion(home.database()), 0);
    EXPECT_FALSE(hasTable(home.database(), "one"));

    const DbMigration gap[] = {{1, "CREATE TABLE one(x)"}, {3, "CREATE TABLE three(x)"}};
    EXPECT_EQ(db.open(home.database(), gap), SQLITE_MISUSE);
    EXPECT_EQ(userVersion(home.database()), 0);

    const DbMigration good[] = {{1, "CREATE TABLE one(x)"}, {2, "CREATE TABLE two(x)"}};
    ASSERT_EQ(db.open(home.database(), std::span(good, 1)), SQLITE_OK);
    ASSERT_EQ(db.open(home.database(), good), SQLITE_OK);  // only step 2 runs
    EXPECT_EQ(db.schemaVersion(), 2);
    // A file from a newer build opens as it is.
    ASSERT_EQ(db.open(home.database(), std::span(good, 1)), SQLITE_OK);
    EXPECT_EQ(db.schemaVersion(), 2);
}

TEST(UserDatabase, TransactionRollsBackUnlessCommitted) {
    TempHome home;
    DbConnection* db = userDatabase();
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(db->exec("CREATE TABLE t(x)"), SQLITE_OK);
    {
        DbTransaction txn;
        ASSERT_EQ(txn.begin(*db, DbTransaction::Mode::Immediate), SQLITE_OK);
        ASSERT_EQ(db->exec("INSERT INTO t VALUES (1)"), SQLITE_OK);
    }
    DbTransaction txn;
    ASSERT_EQ(txn.begin(*db, DbTransaction::Mode::Immediate), SQLITE_OK);
    DbStatement insert;
    ASSERT_EQ(insert.prepare(*db, "INSERT INTO t VALUES (?1)"), SQLITE_OK);
    ASSERT_EQ(insert.bindText(1, ""), SQLITE_OK);
    ASSERT_EQ(insert.step(), SQLITE_DONE);
    ASSERT_EQ(txn.commit(), SQLITE_OK);
    DbStatement count;
    ASSERT_EQ(count.prepare(*db, "SELECT count(*), typeof(min(x)) FROM t"), SQLITE_OK);
    ASSERT_EQ(count.step(), SQLITE_ROW);
    EXPECT_EQ(count.columnInt64(0), 1);
    EXPECT_EQ(count.columnText(1), "text");  // an empty text stays text, not NULL
}

TEST(UserDatabase, NoFolderNoDatabase) {
    TempHome home;
    std::string file = home.path() + "/plain-file";
    std::ofstream(file) << "x";
    setenv("KSCAPI_HOME", file.c_str(), 1);
    int rc = SQLITE_OK;
    EXPECT_EQ(userDatabase(&rc), nullptr);
    EXPECT_EQ(rc, SQLITE_CANTOPEN);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key),
              static_cast<LONG>(ERROR_REGISTRY_IO_FAILED));
}

}  // namespace
