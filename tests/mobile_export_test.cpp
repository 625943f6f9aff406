// The mobile exports driven through the host as a page would, each text decoded by
// tests/decode_mobile.py (Python's base64 and hashlib, `openssl enc` for the triple DES)
// and compared with what the openssl command line says about the key and certificate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "mobile/mobile_record_internal.h"
#include "platform/crypt/wincrypt.h"
#include "store/cert_store.h"
#include "tests/openssl_cli.h"
#include "tests/store_support.h"
#include "tests/test_support.h"

using nlohmann::json;
using testing_support::runCommand;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

const std::string kFixtures = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/";
const std::string kPfx = kFixtures + "pfx";
const std::string kMobile = kFixtures + "mobile";
// Local time differs from UTC here, so the record's times show which one was used.
const std::string kTimeZone = "Asia/Taipei";
const std::string kUserOne = "S_C=TW,S_O=Kestrune Test,S_CN=PFX User One";
constexpr int64_t kNteBadKey = -2146893821;       // 0x80090003
constexpr int64_t kNteBadKeyState = -2146893813;  // 0x8009000B
constexpr int64_t kNoKeyProperty = -2146885621;   // 0x8009200B CRYPT_E_NO_KEY_PROPERTY
constexpr int64_t kAsn1BadTag = -2146881278;      // 0x8009310B CRYPT_E_ASN1_BADTAG

std::string q(const std::string& text) {
    return json(text).dump();
}

std::string hexOf(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    return hex;
}

class MobileExport : public ::testing::Test {
  protected:
    std::string host() const {
        return "TZ=" + kTimeZone + " " + KSCAPI_HOST_PATH + " --home " + dir_.file("home") + " ";
    }
    void importIntoMy(const std::string& pfx, bool exportable) {
        int status = -1;
        runCommand(host() + "store import-pfx " + pfx + " secret" +
                       (exportable ? " --exportable" : "") + " >/dev/null",
                   &status);
        ASSERT_EQ(status, 0);
    }
    std::vector<json> run(const std::string& script) {
        writeFile(dir_.file("script"), script);
        std::istringstream out(runCommand(host() + "--ui script run " + dir_.file("script")));
        std::vector<json> lines;
        for (std::string line; std::getline(out, line);) lines.push_back(json::parse(line));
        return lines;
    }
    // The result lines of the calls, in order, without the dialog lines.
    std::vector<json> calls(const std::string& script) {
        std::vector<json> out;
        for (json& line : run(script))
            if (line.contains("op")) out.push_back(std::move(line));
        return out;
    }
    std::string storeList() { return runCommand(host() + "store list MY"); }
    size_t containers() {
        std::string out = runCommand(host() + "keys list");
        return static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
    }
    // The record inside a text, by the independent decoder; null when it does not decode.
    json decode(const std::string& text, const std::string& password) {
        writeFile(dir_.file("text"), text);
        std::string out =
            runCommand("python3 " + std::string(KSCAPI_SOURCE_DIR) + "/tests/decode_mobile.py '" +
                       hexOf(password) + "' cp950 < " + dir_.file("text"));
        return out.empty() ? json() : json::parse(out);
    }
    // Every field of the record against the key and certificate files.
    static void expectRecord(const json& record, const std::string& der, const std::string& key) {
        ASSERT_TRUE(record.is_object());
        auto numbers = openssl_cli::rsaNumbers(key);
        openssl_cli::CertFields cert = openssl_cli::certFields(der, kTimeZone);
        int bits = std::stoi(numbers["bits"]);
        EXPECT_EQ(record["tag"], "ZELK");
        EXPECT_EQ(record["bitLen"], bits);
        EXPECT_EQ(record["exponent"], 65537);
        const std::pair<const char*, const char*> fields[] = {
            {"n", "modulus"},        {"p", "prime1"},     {"q", "prime2"},
            {"dp", "exponent1"},     {"dq", "exponent2"}, {"qinv", "coefficient"},
            {"d", "privateExponent"}};
        for (const auto& [field, name] : fields)
            EXPECT_EQ(openssl_cli::normalHex(record[field]), numbers[name]) << field;
        EXPECT_EQ(record["n"].get<std::string>().size(), size_t(bits / 4));
        EXPECT_EQ(record["p"].get<std::string>().size(), size_t(bits / 8));
        EXPECT_EQ(record["cn"], cert.commonName);
        EXPECT_EQ(record["serial"], cert.serial);
        EXPECT_EQ(record["thumbprint"], cert.sha1);
        EXPECT_EQ(record["notBefore"], cert.notBefore);
        EXPECT_EQ(record["notAfter"], cert.notAfter);
        EXPECT_EQ(record["der"], hexOf(testing_support::readFile(der)));
        size_t variable =
            (record["cnHex"].get<std::string>().size() +
             record["serial"].get<std::string>().size() + record["der"].get<std::string>().size()) /
            2;
        EXPECT_EQ(record["recordLength"], 72 + 9 * bits / 16 + variable);
    }

    TempDir dir_;
};

TEST_F(MobileExport, RecordCarriesTheKeyAndTheCertificate) {
    struct Case {
        std::string folder, file, der, key;
    } cases[] = {
        // 1024 bits, a Big5 common name, a serial whose DER keeps a leading 00.
        {kMobile, "rsa1024.pfx", kMobile + "/rsa1024.der", kMobile + "/rsa1024.key.pem"},
        {kPfx, "modern.pfx", kPfx + "/user1.der", kPfx + "/user1.key.pem"},
        // No common name: a field of length 0.
        {kMobile, "no_cn.pfx", kMobile + "/no_cn.der", kMobile + "/rsa1024.key.pem"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto lines = calls("ExportMobileFromPfx " + q(c.folder) + " " + q(c.file) +
                           " secret 0 0\nGetCapiErrorCode\n");
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0]["lastError"], 0);
        EXPECT_EQ(lines[1]["ret"], 0);
        expectRecord(decode(lines[0]["ret"], "secret"), c.der, c.key);
    }
    EXPECT_EQ(containers(), 0u);
}

TEST_F(MobileExport, SameTextTwiceAndTheFilesFirstKeyedCertificate) {
    auto ids = store_test::fixtureThumbprints();
    auto lines = calls("ExportMobileFromPfx " + q(kMobile) + " rsa1024.pfx secret 0 0\n" +
                       "ExportMobileFromPfx " + q(kMobile) + " rsa1024.pfx secret 1 0\n" +
                       // The CA comes first and has no key.
                       "ExportMobileFromPfx " + q(kMobile) + " ca_first.pfx secret 0 0\n" +
                       // user2, ca, user1, both users keyed.
                       "ExportMobileFromPfx " + q(kPfx) + " two_keys.pfx secret 0 0\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0]["ret"], "");
    EXPECT_EQ(lines[0]["ret"], lines[1]["ret"]);
    EXPECT_EQ(decode(lines[2]["ret"], "secret")["thumbprint"], ids["user1"]);
    EXPECT_EQ(decode(lines[3]["ret"], "secret")["thumbprint"], ids["user2"]);
    EXPECT_EQ(containers(), 0u);
}

TEST_F(MobileExport, PfxFailuresLeaveNoKeyBehind) {
    writeFile(dir_.file("text.pfx"), "not a pfx");
    writeFile(dir_.file("empty.pfx"), "");
    struct Case {
        std::string folder, file, password;
        int keyUsage;
        int lastError;
        int64_t capiError;
    } cases[] = {
        {kPfx, "absent.pfx", "secret", 0, 5902, 0},
        {dir_.path(), "empty.pfx", "secret", 0, 5401, 38},  // ERROR_HANDLE_EOF
        {dir_.path(), "text.pfx", "secret", 0, 5207, kAsn1BadTag},
        {kPfx, "modern.pfx", "wrong", 0, 5208, 86},  // ERROR_INVALID_PASSWORD
        {kPfx, "certs_only.pfx", "secret", 0, 5010, 0},
        {kPfx, "key_only.pfx", "secret", 0, 5010, 0},
        // user1 allows digitalSignature and keyEncipherment, not nonRepudiation.
        {kPfx, "modern.pfx", "secret", 0x40, 5017, 0},
        {kPfx, "modern.pfx", "secret", 0xA0, 0, 0},
        {kMobile, "rsa1000.pfx", "secret", 0, 5205, kNteBadKey},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " " + std::to_string(c.keyUsage));
        auto lines = calls("ExportMobileFromPfx " + q(c.folder) + " " + q(c.file) + " " +
                           q(c.password) + " 0 " + std::to_string(c.keyUsage) + "\n");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0]["lastError"], c.lastError);
        EXPECT_EQ(lines[0]["capiError"], c.capiError);
        EXPECT_EQ(lines[0]["ret"] == "", c.lastError != 0);
    }
    EXPECT_EQ(containers(), 0u);
}

TEST_F(MobileExport, PfxDialogFillsWhatThePageLeftOut) {
    std::string script =
        "PresetPasswdLengthRange 0 8\n"
        "!dialog PfxSaveDialog ok {\"password\":\"secret\"}\n"
        "ExportMobileFromPfx " +
        q(kMobile) +
        " rsa1024.pfx \"\" 0 0\n"
        "!dialog PfxSaveDialog ok {\"browse\":" +
        q(kPfx + "/empty_password.pfx") +
        "}\n"
        "ExportMobileFromPfx \"\" \"\" secret 0 0\n"
        "!dialog PfxSaveDialog cancel\n"
        "ExportMobileFromPfx " +
        q(kMobile) +
        " rsa1024.pfx \"\" 0 0\n"
        "!dialog PfxSaveDialog fail\n"
        "ExportMobileFromPfx " +
        q(kMobile) + " rsa1024.pfx \"\" 0 0\n";
    auto lines = run(script);
    std::vector<json> dialogs, results;
    for (const json& l : lines) {
        if (l.contains("dialog") && l["dialog"] == "PfxSaveDialog") dialogs.push_back(l);
        if (l.contains("op") && l["op"] == "ExportMobileFromPfx") results.push_back(l);
    }
    ASSERT_EQ(results.size(), 4u);
    ASSERT_EQ(dialogs.size(), 3u);  // the one that fails shows nothing
    EXPECT_EQ(dialogs[0]["title"], "憑證匯出");
    EXPECT_EQ(dialogs[0]["path"], kMobile + "/rsa1024.pfx");
    EXPECT_EQ(dialogs[0]["max"], 8);
    EXPECT_EQ(dialogs[0]["folderMode"], false);
    EXPECT_EQ(results[0]["lastError"], 0);
    EXPECT_EQ(decode(results[0]["ret"], "secret")["bitLen"], 1024);
    // The dialog's empty password replaces the page's: the key comes from SHA-1("").
    EXPECT_EQ(results[1]["lastError"], 0);
    expectRecord(decode(results[1]["ret"], ""), kPfx + "/user1.der", kPfx + "/user1.key.pem");
    EXPECT_EQ(results[2]["lastError"], 5070);
    EXPECT_EQ(results[3]["lastError"], 5002);
    EXPECT_EQ(results[2]["ret"], "");
    EXPECT_EQ(results[3]["ret"], "");
}

TEST_F(MobileExport, FromThePersonalStore) {
    importIntoMy(kPfx + "/modern.pfx", true);
    std::string before = storeList();
    std::string script = "ExportMobileFromIE " + q(kUserOne) +
                         " secret 0 0\n"
                         // Mode 1 shows the list even for one candidate.
                         "!dialog CertListDialog ok {\"index\":0}\n"
                         "ExportMobileFromIE " +
                         q(kUserOne) +
                         " secret 1 0\n"
                         "!dialog CertListDialog cancel\n"
                         "ExportMobileFromIE " +
                         q(kUserOne) +
                         " secret 1 0\n"
                         "!dialog PasswordDialog ok {\"password\":\"\"}\n"
                         "ExportMobileFromIE " +
                         q(kUserOne) +
                         " \"\" 0 0\n"
                         "!dialog PasswordDialog cancel\n"
                         "ExportMobileFromIE " +
                         q(kUserOne) +
                         " \"\" 0 0\n"
                         "ExportMobileFromIE \"S_CN=Nobody\" secret 0 0\n";
    auto lines = run(script);
    std::vector<std::string> opened;
    std::vector<json> results;
    for (const json& l : lines) {
        if (l.contains("dialog")) opened.push_back(l["dialog"]);
        if (l.contains("op")) results.push_back(l);
    }
    std::vector<std::string> expectedDialogs = {"CertListDialog", "CertListDialog",
                                                "PasswordDialog", "PasswordDialog"};
    EXPECT_EQ(opened, expectedDialogs);
    ASSERT_EQ(results.size(), 6u);
    std::string der = kPfx + "/user1.der", key = kPfx + "/user1.key.pem";
    expectRecord(decode(results[0]["ret"], "secret"), der, key);
    EXPECT_EQ(results[1]["ret"], results[0]["ret"]);
    EXPECT_EQ(results[2]["lastError"], 5070);
    expectRecord(decode(results[3]["ret"], ""), der, key);
    EXPECT_EQ(results[4]["lastError"], 5070);
    EXPECT_EQ(results[5]["lastError"], 5010);
    for (size_t i : {0, 1, 3}) EXPECT_EQ(results[i]["capiError"], 0);
    EXPECT_EQ(storeList(), before);
}

TEST_F(MobileExport, StoreKeysThatCannotBeExported) {
    importIntoMy(kPfx + "/modern.pfx", false);
    int status = -1;
    runCommand(host() + "store add MY " + kPfx + "/user2.der >/dev/null", &status);
    ASSERT_EQ(status, 0);
    std::string script =
        "ExportMobileFromIE " + q(kUserOne) +
        " secret 0 0\n"
        // Both users match the empty filter: the list decides, and user2 has no key.
        "!dialog CertListDialog ok {\"index\":1}\n"
        "ExportMobileFromIE \"\" secret 0 0\n";
    auto lines = calls(script);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["lastError"], 5205);
    EXPECT_EQ(lines[0]["capiError"], kNteBadKeyState);
    EXPECT_EQ(lines[1]["lastError"], 5204);
    EXPECT_EQ(lines[1]["capiError"], kNoKeyProperty);
    EXPECT_EQ(lines[0]["ret"], "");
    EXPECT_EQ(lines[1]["ret"], "");
}

// A blob of the PRIVATEKEYBLOB layout with zero numbers, cut or padded to `length`.
std::vector<BYTE> rsaBlob(BYTE type, ALG_ID algorithm, DWORD magic, DWORD bits, size_t length) {
    BLOBHEADER header{type, CUR_BLOB_VERSION, 0, algorithm};
    RSAPUBKEY rsa{magic, bits, 65537};
    std::vector<BYTE> blob(sizeof header + sizeof rsa + length);
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, &rsa, sizeof rsa);
    blob.resize(length);
    return blob;
}

TEST(MobileRecord, RefusesBlobsOfAnotherShape) {
    std::string der = testing_support::readFile(kMobile + "/rsa1024.der");
    CertContextHolder cert = store_test::parse(std::vector<BYTE>(der.begin(), der.end()));
    ASSERT_TRUE(cert);
    constexpr size_t k1024 = 20 + 9 * 1024 / 16;
    struct Case {
        const char* what;
        std::vector<BYTE> blob;
        int lastError;
    } cases[] = {
        {"an RSA private key", rsaBlob(7, CALG_RSA_KEYX, RSA2_MAGIC, 1024, k1024), 0},
        {"a signature key", rsaBlob(7, CALG_RSA_SIGN, RSA2_MAGIC, 1024, k1024), 0},
        {"a public key blob", rsaBlob(6, CALG_RSA_KEYX, RSA1_MAGIC, 1024, k1024), 5205},
        {"magic of a public key", rsaBlob(7, CALG_RSA_KEYX, RSA1_MAGIC, 1024, k1024), 5205},
        {"a DSS key", rsaBlob(7, 0x2200, 0x32535344, 1024, k1024), 5205},
        {"1000 bits", rsaBlob(7, CALG_RSA_KEYX, RSA2_MAGIC, 1000, 20 + 2 * 125 + 5 * 63), 5205},
        {"one byte short", rsaBlob(7, CALG_RSA_KEYX, RSA2_MAGIC, 1024, k1024 - 1), 5205},
        {"a length that would wrap", rsaBlob(7, CALG_RSA_KEYX, RSA2_MAGIC, 0xFFFFFFF0, k1024),
         5205},
        {"0 bits", rsaBlob(7, CALG_RSA_KEYX, RSA2_MAGIC, 0, k1024), 5205},
        {"header cut", rsaBlob(7, CALG_RSA_KEYX, RSA2_MAGIC, 1024, 19), 5205},
        {"no blob", {}, 5063},
    };
    for (const Case& c : cases) {
        ByteBuffer blob;
        if (!c.blob.empty()) blob.assign(c.blob.data(), static_cast<int32_t>(c.blob.size()));
        ErrorPair status{1, 1};
        std::string text = buildMobileRecord(cert.get(), "pw", blob, status);
        EXPECT_EQ(status.lastError, c.lastError) << c.what;
        EXPECT_EQ(status.capiError, 0u) << c.what;
        EXPECT_EQ(text.empty(), c.lastError != 0) << c.what;
    }
    ByteBuffer blob;
    std::vector<BYTE> good = rsaBlob(7, CALG_RSA_KEYX, RSA2_MAGIC, 1024, k1024);
    blob.assign(good.data(), static_cast<int32_t>(good.size()));
    ErrorPair status;
    EXPECT_EQ(buildMobileRecord(nullptr, "pw", blob, status), "");
    EXPECT_EQ(status.lastError, 5063);
}

}  // namespace
