// Private keys at rest: sealed in the user database under a master key kept in the
// Secret Service or a 0600 key file, read back by Python's sqlite3 and opened with the
// cryptography package, never found in plain in any file of the home, migrated from a
// database of the previous schema, and useless in a copy without the master key.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/wincrypt.h"
#include "platform/store/user_database.h"
#include "tests/host_script.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using nlohmann::json;
using testing_support::filesHolding;
using testing_support::readFile;
using testing_support::runCommand;

const std::string kFixtures = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/";
const std::string kSealedKeys =
    "python3 " + std::string(KSCAPI_SOURCE_DIR) + "/tests/sealed_keys.py ";
const std::string kGoodFilter = "\"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good\"";
const std::string kSignGood = "SelectSigner " + kGoodFilter + " 0 0\nSignPkcs7 \"text\" 0\n";

// The modulus and private exponent of a PEM key as the openssl command prints them, as
// lower-case hex and as the big-endian bytes a file would hold.
struct KeyNumbers {
    std::string modulusHex;
    std::string modulus;
    std::string exponent;
};

std::string hexDigitsOnly(const std::string& text) {
    std::string out;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            out.push_back(static_cast<char>(std::tolower(c)));
    return out;
}

KeyNumbers numbersOf(const std::string& pemCommand) {
    KeyNumbers n;
    std::string modulus = runCommand(pemCommand + " | openssl rsa -modulus -noout");
    n.modulusHex = hexDigitsOnly(modulus.substr(modulus.find('=') + 1));
    n.modulus = testing_support::unhex(n.modulusHex);
    std::string text = runCommand(pemCommand + " | openssl rsa -text -noout");
    std::smatch m;
    std::regex exponent("privateExponent:([0-9a-f:\\s]+)prime1");
    if (std::regex_search(text, m, exponent)) {
        std::string hex = hexDigitsOnly(m[1]);
        if (hex.rfind("00", 0) == 0) hex.erase(0, 2);  // the sign octet of the text form
        n.exponent = testing_support::unhex(hex);
    }
    return n;
}

json sealedKeys(const std::string& home, bool withKeyFile) {
    return json::parse(runCommand(kSealedKeys + home + "/kestrune.db" +
                                  (withKeyFile ? " " + home + "/kestrune.key" : "")));
}

class KeyProtection : public host_script::HostScript {
  protected:
    std::string home() const { return dir_.file("home"); }
    // The result line of each operation of `script`, run on `folder` as home.
    std::map<std::string, json> runIn(const std::string& folder, const std::string& script) {
        testing_support::writeFile(dir_.file("ops-script"), script);
        std::istringstream out(runCommand(std::string(KSCAPI_HOST_PATH) + " --home " + folder +
                                          " --ui none run " + dir_.file("ops-script")));
        std::map<std::string, json> results;
        for (std::string line; std::getline(out, line);) {
            json l = json::parse(line);
            if (l.contains("op")) results[l["op"]] = l;
        }
        return results;
    }
    std::pair<int, int64_t> signIn(const std::string& folder) {
        json sign = runIn(folder, kSignGood)["SignPkcs7"];
        return {sign.value("lastError", -1), sign.value("capiError", int64_t{0})};
    }
};

TEST_F(KeyProtection, StoredKeysAreSealedUnderTheKeyFile) {
    importIntoMy(kFixtures + "sign/good.pfx");
    KeyNumbers good = numbersOf("cat " + kFixtures + "sign/good.key.pem");
    ASSERT_FALSE(good.exponent.empty());

    json read = sealedKeys(home(), true);
    EXPECT_EQ(read["protection"], "file");
    ASSERT_EQ(read["keys"].size(), 1u);
    EXPECT_EQ(read["keys"][0]["magic"], "KSK1");
    EXPECT_EQ(read["keys"][0]["plain"], false);
    EXPECT_EQ(read["keys"][0]["modulus"], good.modulusHex);
    EXPECT_EQ(filesHolding(home(), good.exponent), std::vector<std::string>{});

    struct stat st {};
    ASSERT_EQ(stat((home() + "/kestrune.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 32);
    json listed = json::parse(runCommand(host() + "keys list"));
    EXPECT_EQ(listed["protection"], "file");
    EXPECT_EQ(signIn(home()).first, 0);
}

TEST_F(KeyProtection, ACopyOfTheDatabaseWithoutItsMasterKeyOpensNoKey) {
    importIntoMy(kFixtures + "sign/good.pfx");
    struct Case {
        const char* what;
        bool withKeyFile;
        int signError;
        int exportError;  // the key is not exportable: 5205 once it opens
        int64_t platformError;
    } cases[] = {
        {"database and key file", true, 0, 5205, 0},
        // The signer is found; its key does not open.
        {"database alone", false, 5061, 5204, static_cast<int32_t>(NTE_BAD_KEY_STATE)},
    };
    for (const Case& c : cases) {
        std::string copy = dir_.file(std::string("copy-") + (c.withKeyFile ? "1" : "0"));
        std::filesystem::create_directories(copy);
        for (const char* name : {"kestrune.db", "kestrune.db-wal", "kestrune.key"}) {
            bool isKey = std::string(name) == "kestrune.key";
            if ((isKey && !c.withKeyFile) || !std::filesystem::exists(home() + "/" + name))
                continue;
            std::filesystem::copy_file(home() + "/" + name, copy + "/" + name);
        }
        std::map<std::string, json> results =
            runIn(copy, kSignGood + "ExportMobileFromIE " + kGoodFilter + " pw12345678 0 0\n");
        EXPECT_EQ(results["SignPkcs7"]["lastError"], c.signError) << c.what;
        EXPECT_EQ(results["ExportMobileFromIE"]["lastError"], c.exportError) << c.what;
        if (c.platformError) {
            EXPECT_EQ(results["SignPkcs7"]["capiError"], c.platformError) << c.what;
            EXPECT_EQ(results["ExportMobileFromIE"]["capiError"], c.platformError) << c.what;
        }
    }
}

TEST(KeyProtectionInProcess, AKeyWithoutItsMasterKeyAnswersBadKeyState) {
    TempHome original;
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "kept", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 512u << 16, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    closeUserDatabase();
    TempHome copy;
    std::filesystem::copy_file(original.database(), copy.database());
    ASSERT_TRUE(CryptAcquireContextA(&prov, "kept", nullptr, PROV_RSA_FULL, 0));
    EXPECT_FALSE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE));
    CryptReleaseContext(prov, 0);
}

// A database of the previous schema holds its keys as plain PKCS#8; the first opening
// seals them in place and leaves no plain byte of them in the files.
TEST(KeyProtectionInProcess, APreviousSchemaMigratesInPlace) {
    TempHome home;
    testing_support::TempDir keys;
    struct Row {
        const char* name;
        int keySpec;
        int flags;
    } rows[] = {{"Legacy-Exchange", AT_KEYEXCHANGE, CRYPT_EXPORTABLE},
                {"legacy-signature", AT_SIGNATURE, CRYPT_USER_PROTECTED}};
    std::vector<KeyNumbers> numbers;
    {
        std::span<const DbMigration> all = userDatabaseMigrations();
        DbConnection old;
        ASSERT_EQ(old.open(home.database(), all.first(all.size() - 1)), SQLITE_OK);
        for (const Row& r : rows) {
            std::string pem = keys.file(std::string(r.name) + ".pem");
            runCommand("openssl genrsa -out " + pem + " 1024 2>/dev/null");
            numbers.push_back(numbersOf("cat " + pem));
            std::string der = runCommand("openssl pkcs8 -topk8 -nocrypt -outform DER -in " + pem);
            DbStatement st;
            ASSERT_EQ(st.prepare(old,
                                 "INSERT INTO key_containers(provider, keyset, name, fold) "
                                 "VALUES ('Microsoft Enhanced Cryptographic Provider v1.0', "
                                 "'rsa', ?1, upper(?1))"),
                      SQLITE_OK);
            st.bindText(1, r.name);
            ASSERT_EQ(st.step(), SQLITE_DONE);
            DbStatement key;
            ASSERT_EQ(key.prepare(old, "INSERT INTO container_keys VALUES (?1, ?2, ?3, 1024, ?4)"),
                      SQLITE_OK);
            key.bind(1, old.lastInsertId());
            key.bind(2, r.keySpec);
            key.bind(3, r.flags);
            key.bindBlob(4, der.data(), der.size());
            ASSERT_EQ(key.step(), SQLITE_DONE);
        }
    }

    DbConnection* db = userDatabase();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->schemaVersion(), static_cast<int>(userDatabaseMigrations().size()));
    json read = sealedKeys(home.path(), true);
    ASSERT_EQ(read["keys"].size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(read["keys"][i]["magic"], "KSK1");
        EXPECT_EQ(read["keys"][i]["modulus"], numbers[i].modulusHex);
        EXPECT_EQ(filesHolding(home.path(), numbers[i].exponent), std::vector<std::string>{});
        // Nothing lost: the key and its flags as they were.
        HCRYPTPROV prov = 0;
        ASSERT_TRUE(CryptAcquireContextA(&prov, rows[i].name, nullptr, PROV_RSA_FULL, 0));
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptGetUserKey(prov, rows[i].keySpec, &key));
        openssl::EvpPkeyPtr pair = cryptKeyPair(key);
        BIGNUM* n = nullptr;
        ASSERT_TRUE(EVP_PKEY_get_bn_param(pair.get(), "n", &n));
        char* hex = BN_bn2hex(n);
        EXPECT_EQ(hexDigitsOnly(hex), numbers[i].modulusHex);
        OPENSSL_free(hex);
        BN_free(n);
        DWORD permissions = 0, size = sizeof permissions;
        ASSERT_TRUE(
            CryptGetKeyParam(key, KP_PERMISSIONS, reinterpret_cast<BYTE*>(&permissions), &size, 0));
        EXPECT_EQ((permissions & CRYPT_EXPORT) != 0, rows[i].flags == CRYPT_EXPORTABLE);
        CryptDestroyKey(key);
        CryptReleaseContext(prov, 0);
    }
}

// The desktop's Secret Service holds the master key when one answers: a session bus
// with GNOME Keyring, unlocked, in a home of the test's own.
TEST_F(KeyProtection, TheSecretServiceHoldsTheMasterKeyWhenOneAnswers) {
    if (runCommand("command -v dbus-run-session >/dev/null && command -v gnome-keyring-daemon "
                   ">/dev/null && echo found") != "found\n")
        GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is missing (scripts/setup "
                        "installs dbus and gnome-keyring)";
    std::string desktop = dir_.file("desktop");
    std::filesystem::create_directories(desktop + "/run");
    std::filesystem::permissions(desktop + "/run", std::filesystem::perms::owner_all);
    testing_support::writeFile(dir_.file("sign-script"), kSignGood);
    std::string session =
        "env HOME=" + desktop + " XDG_DATA_HOME=" + desktop + "/data XDG_RUNTIME_DIR=" + desktop +
        "/run dbus-run-session -- sh -c 'printf test | gnome-keyring-daemon --unlock "
        "--components=secrets >/dev/null && " +
        host() + "store import-pfx " + kFixtures + "sign/good.pfx secret >/dev/null && " + host() +
        "keys list && " + host() + "--ui none run " + dir_.file("sign-script") + "' 2>/dev/null";
    std::istringstream out(runCommand(session));
    std::vector<json> lines;
    for (std::string line; std::getline(out, line);) {
        lines.push_back(json::parse(line));
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0]["protection"], "secret-service");
    EXPECT_EQ(call(lines, "SignPkcs7")["lastError"], 0);
    EXPECT_FALSE(std::filesystem::exists(home() + "/kestrune.key"));
    EXPECT_EQ(sealedKeys(home(), false)["keys"][0]["magic"], "KSK1");
    // Without that session nobody holds the key.
    EXPECT_EQ(signIn(home()).second, static_cast<int32_t>(NTE_BAD_KEY_STATE));
}

}  // namespace
