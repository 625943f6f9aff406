#include "host/store_command.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "store/cert_store.h"
#include "tests/cert_fixtures.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using Json = nlohmann::ordered_json;

struct Outcome {
    int code;
    std::vector<Json> lines;
    Json error;
};

Outcome parseOutput(int code, const std::string& out, const std::string& err) {
    Outcome r{code, {}, nullptr};
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) r.lines.push_back(Json::parse(line));
    if (!err.empty() && err[0] == '{') r.error = Json::parse(err);
    return r;
}

Outcome store(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    int code = runStoreCommand(args, out, err);
    return parseOutput(code, out.str(), err.str());
}

Outcome keys(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    int code = runKeysCommand(args, out, err);
    return parseOutput(code, out.str(), err.str());
}

class StoreCommand : public ::testing::Test {
  protected:
    TempHome home_;
};

// The validity times openssl reports, in the compact layout (read with TZ=UTC).
std::pair<std::string, std::string> opensslDates(const std::string& der) {
    std::string text = testing_support::runCommand("TZ=UTC openssl x509 -inform DER -in " + der +
                                                   " -noout -startdate -enddate -dateopt iso_8601");
    std::smatch m;
    std::regex date(
        "notBefore=(\\d+)-(\\d+)-(\\d+) (\\d+):(\\d+):(\\d+)Z\\s+"
        "notAfter=(\\d+)-(\\d+)-(\\d+) (\\d+):(\\d+):(\\d+)Z");
    if (!std::regex_search(text, m, date)) return {};
    std::string before, after;
    for (int i = 1; i <= 6; ++i) before += m[i].str();
    for (int i = 7; i <= 12; ++i) after += m[i].str();
    return {before, after};
}

TEST_F(StoreCommand, ListShowsWhatOpensslReportsForTheFixtures) {
    ScopedTimeZone utc("UTC");
    const char* names[] = {"root", "signer", "crlsign", "attrs", "empty_subject", "long_ascii"};
    for (const char* name : names) {
        Outcome added = store({"add", "root", fixturePath(std::string(name) + ".der")});
        ASSERT_EQ(added.code, 0) << name << added.error;
        ASSERT_EQ(added.lines.size(), 1u);
    }
    Outcome list = store({"list", "ROOT"});
    ASSERT_EQ(list.code, 0);
    ASSERT_EQ(list.lines.size(), std::size(names));
    for (size_t i = 0; i < std::size(names); ++i) {
        std::map<std::string, std::string> expect = loadExpect(names[i]);
        const Json& line = list.lines[i];
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(line["thumbprint"], expect["sha1"]);
        // The X.500 text is cut at 511 characters, as every reader of a certificate sees it.
        EXPECT_EQ(line["subject"], expect["subject_x500"].substr(0, 511));
        EXPECT_EQ(line["issuer"], expect["issuer_x500"].substr(0, 511));
        EXPECT_EQ(line["serial"], expect["serial"]);
        EXPECT_EQ(line["keyUsage"].get<int>(), std::stoi(expect["keyusage"], nullptr, 16));
        auto [notBefore, notAfter] = opensslDates(fixturePath(std::string(names[i]) + ".der"));
        EXPECT_EQ(line["notBefore"], notBefore);
        EXPECT_EQ(line["notAfter"], notAfter);
        EXPECT_EQ(line["hasKey"], false);
        EXPECT_TRUE(line["container"].is_null());
        EXPECT_TRUE(line["provider"].is_null());
    }
    // PEM works as well as DER; adding again replaces.
    Outcome pem = store({"add", "ROOT", fixturePath("root.pem")});
    ASSERT_EQ(pem.code, 0);
    EXPECT_EQ(pem.lines[0]["thumbprint"], loadExpect("root")["sha1"]);
    EXPECT_EQ(store({"list", "ROOT"}).lines.size(), std::size(names));
    EXPECT_TRUE(store({"list"}).lines.empty());  // MY
}

TEST_F(StoreCommand, DeleteByThumbprint) {
    ASSERT_EQ(store({"add", "CA", fixturePath("signer.der")}).code, 0);
    std::string sha1 = loadExpect("signer")["sha1"];
    std::string lower = sha1;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Outcome deleted = store({"delete", "ca", lower});
    ASSERT_EQ(deleted.code, 0);
    EXPECT_EQ(deleted.lines[0], (Json{{"deleted", sha1}, {"count", 1}}));
    EXPECT_TRUE(store({"list", "CA"}).lines.empty());
    Outcome again = store({"delete", "CA", sha1});
    EXPECT_EQ(again.code, 1);
    EXPECT_EQ(again.error["code"], CRYPT_E_NOT_FOUND);
}

TEST_F(StoreCommand, ImportPfxKeepsTheKeysOfTheCertificatesItAdds) {
    Outcome imported = store({"import-pfx", store_test::pfxFixture("two_keys.pfx"), "secret"});
    ASSERT_EQ(imported.code, 0) << imported.error;
    // user2 and user1 have keys; the CA certificate is not installed.
    auto sha1 = store_test::fixtureThumbprints();
    ASSERT_EQ(imported.lines.size(), 2u);
    EXPECT_EQ(imported.lines[0]["thumbprint"], sha1["user2"]);
    EXPECT_EQ(imported.lines[1]["thumbprint"], sha1["user1"]);
    Outcome my = store({"list", "MY"});
    ASSERT_EQ(my.lines.size(), 2u);
    EXPECT_EQ(my.lines[0]["hasKey"], true);
    EXPECT_EQ(my.lines[0]["provider"], MS_ENHANCED_PROV_A);
    EXPECT_EQ(my.lines[1]["provider"], MS_STRONG_PROV_A);
    Outcome list = keys({"list"});
    ASSERT_EQ(list.lines.size(), 2u);
    // Stored in the order the certificates took them: user2's key first.
    EXPECT_EQ(list.lines[0]["container"], my.lines[0]["container"]);
    EXPECT_EQ(list.lines[0]["slots"],
              Json::parse(R"([{"keySpec":2,"slot":"AT_SIGNATURE","bits":2048,)"
                          R"("exportable":false,"userProtected":false}])"));

    ASSERT_EQ(
        store({"import-pfx", store_test::pfxFixture("modern.pfx"), "secret", "--exportable"}).code,
        0);
    // user1 again: its new, exportable key replaces the container of the first import.
    Outcome after = keys({"list"});
    ASSERT_EQ(after.lines.size(), 2u);
    EXPECT_EQ(after.lines[0]["container"], list.lines[0]["container"]);
    EXPECT_NE(after.lines[1]["container"], list.lines[1]["container"]);
    EXPECT_EQ(after.lines[1]["slots"][0]["exportable"], true);
}

TEST_F(StoreCommand, FailedImportsLeaveNoKeys) {
    struct Case {
        const char* what;
        const char* file;
        const char* password;
        int code;
        DWORD capiError;
    };
    const Case cases[] = {
        {"wrong password", "modern.pfx", "guess", 5208, ERROR_INVALID_PASSWORD},
        {"no keyed certificate", "certs_only.pfx", "secret", 5204, 0},
        {"not a PFX", "user1.der", "secret", 5207, CRYPT_E_ASN1_CORRUPT},
    };
    for (const Case& c : cases) {
        Outcome r = store({"import-pfx", store_test::pfxFixture(c.file), c.password});
        EXPECT_EQ(r.code, 1) << c.what;
        EXPECT_EQ(r.error["code"], c.code) << c.what;
        EXPECT_EQ(r.error["capiError"], c.capiError) << c.what;
        EXPECT_TRUE(keys({"list"}).lines.empty()) << c.what;
        EXPECT_TRUE(store({"list", "MY"}).lines.empty()) << c.what;
    }
}

TEST_F(StoreCommand, ALoadedFileLeavesNoKeysOnceClosed) {
    {
        PfxStore pfx;
        ASSERT_EQ(pfx.Load(store_test::pfxFixture("two_keys.pfx"), "secret", 1), 0);
        EXPECT_EQ(keys({"list"}).lines.size(), 2u);
    }
    EXPECT_TRUE(keys({"list"}).lines.empty());
}

// The filter fixtures (tests/fixtures/filter/, make_filter_certs.sh) in MY: one CA and
// four end-entity certificates; what each filter accepts and the item each other one fails.
TEST_F(StoreCommand, FilterExplainsEveryCertificateItDoesNotAccept) {
    ScopedTimeZone utc("UTC");
    const std::string dir = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/filter/";
    const char* names[] = {"ca_a", "acme", "encipher", "expired", "no_usage"};
    std::map<std::string, std::string> byThumbprint;
    for (const char* name : names) {
        ASSERT_EQ(store({"add", "MY", dir + name + ".der"}).code, 0) << name;
        std::string sha1 = testing_support::runCommand(
            "openssl x509 -inform DER -in " + dir + name +
            ".der -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr -d '\\n'");
        byThumbprint[sha1] = name;
    }
    struct Failure {
        const char* label;
        const char* reason;  // a part of it
    };
    struct Case {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> matched;
        std::map<std::string, Failure> failed;  // some of the others
    } cases[] = {
        {{"S_C=US,S_O=ACME, Inc.,S_CN=abc", "0"},
         0,
         {"acme"},
         {{"ca_a", {"CA", "self-issued"}},
          {"encipher", {"S_C", "subject C \"TW\" is not named in the filter"}}}},
        // Without 0x8 every C, O and CN of the subject must be named.
        {{"S_CN=abc"}, 1, {}, {{"acme", {"S_C", "subject C \"US\" is not named in the filter"}}}},
        {{"S_CN=abc", "0x8"},
         0,
         {"acme"},
         {{"encipher", {"S_CN", "\"abc\" not in subject CN \"Encipher User\""}}}},
        {{"S_CN=abc,I_O=Kestrune Filter", "8"},
         1,
         {},
         {{"acme", {"I_O", "\"Kestrune Filter\" is not issuer O \"Other Trust\""}}}},
        {{"S_SN=0024", "8"}, 1, {}, {{"acme", {"S_SN", "\"0024\" is not subject SN \"24\""}}}},
        {{"S_O=Kestrune", "12", "--store", "my"},
         0,
         {"encipher", "no_usage"},
         {{"expired", {"VALIDITY", "expired: valid until 2012/01/01 00:00:00"}},
          {"acme", {"S_O", "\"Kestrune\" is not subject O \"ACME, Inc.\""}}}},
        {{"", "0", "0x80"}, 0, {"acme", "expired"}, {{"encipher", {"KEY_USAGE", "lacks 0x80"}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Json(c.args).dump());
        std::ostringstream out, err;
        int code = runFilterCommand(c.args, out, err);
        Outcome o = parseOutput(code, out.str(), err.str());
        ASSERT_EQ(o.code, c.code) << err.str();
        ASSERT_EQ(o.lines.size(), std::size(names));
        std::vector<std::string> matched;
        for (const Json& line : o.lines) {
            std::string name = byThumbprint[line["thumbprint"].get<std::string>()];
            if (line["match"] == true) {
                EXPECT_EQ(matched.size(), static_cast<size_t>(&line - &o.lines[0]));
                matched.push_back(name);
                continue;
            }
            auto expected = c.failed.find(name);
            if (expected == c.failed.end()) continue;
            EXPECT_EQ(line["failed"], expected->second.label) << name;
            EXPECT_NE(line["reason"].get<std::string>().find(expected->second.reason),
                      std::string::npos)
                << line["reason"];
        }
        EXPECT_EQ(matched, c.matched);
        if (c.code == 1) {
            EXPECT_EQ(o.error["code"], 5010);
        }
    }
    // Text that names no item would let every certificate through: refused.
    std::ostringstream out, err;
    EXPECT_EQ(runFilterCommand({"CN=abc"}, out, err), 2);
    EXPECT_EQ(Json::parse(err.str())["code"], ERROR_INVALID_PARAMETER);
    EXPECT_EQ(out.str(), "");
}

TEST_F(StoreCommand, UsageErrors) {
    const std::vector<std::vector<std::string>> storeCases = {
        {},
        {"list", "TRUST"},
        {"list", "MY", "ROOT"},
        {"add", "MY"},
        {"delete", "MY", "00"},
        {"delete", "MY", std::string(40, 'g')},
        {"import-pfx", "file"},
        {"import-pfx", "file", "pw", "--other"},
        {"export"},
    };
    for (const auto& args : storeCases) EXPECT_EQ(store(args).code, 2) << Json(args);
    std::ostringstream out, err;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"S_CN=a", "x"}, {"S_CN=a", "0", "0", "0"}, {"S_CN=a", "--store", "TRUST"}})
        EXPECT_EQ(runFilterCommand(args, out, err), 2) << Json(args);
    EXPECT_EQ(keys({}).code, 2);
    EXPECT_EQ(keys({"list", "MY"}).code, 2);
    Outcome missing = store({"add", "MY", home_.path() + "/missing.der"});
    EXPECT_EQ(missing.code, 1);
}

}  // namespace
