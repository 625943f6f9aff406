// Enrollment through the kscapi host against a certification authority made with the
// openssl command line (tests/fixtures/enroll_ca.sh, run in a temporary folder): the
// request checked by openssl, issued by the authority, the answer accepted, the stores
// and the key binding as `kscapi store list` shows them, and signing with the new key.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "host_script.h"
#include "platform/crypt/wincrypt.h"
#include "test_support.h"

using host_script::Lines;
using testing_support::readFile;
using testing_support::runCommand;
using testing_support::writeFile;

namespace {

const std::string kCa = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/enroll_ca.sh";

std::string fromBase64(const std::string& text) {
    ByteBuffer bytes;
    if (!bytes.decodeBase64Text(text.c_str())) return {};
    return std::string(bytes.text());
}

std::string toBase64(const std::string& bytes) {
    ByteBuffer text;
    if (!text.encodeBase64(bytes.data(), static_cast<int32_t>(bytes.size()))) return {};
    return text.str();
}

// The UTF-16BE bytes of a UTF-8 text, as Python encodes it.
std::string utf16be(const std::string& utf8, const std::string& folder) {
    writeFile(folder + "/name.txt", utf8);
    runCommand(
        "python3 -c \"import sys; open(sys.argv[2],'wb').write(open(sys.argv[1],"
        "encoding='utf-8').read().encode('utf-16-be'))\" " +
        folder + "/name.txt " + folder + "/name.bin");
    return readFile(folder + "/name.bin");
}

class EnrollThroughHost : public host_script::HostScript {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(ca_);
        int status = -1;
        runCommand(kCa + " init " + ca_, &status);
        ASSERT_EQ(status, 0);
    }
    std::string ca(const std::string& file) const { return ca_ + "/" + file; }
    // The request text of a CreatePKCS10 result line, written to `file` as DER.
    std::string saveRequest(const nlohmann::json& line, const std::string& file) {
        std::string der = fromBase64(line["ret"].get<std::string>());
        writeFile(dir_.file(file), der);
        return dir_.file(file);
    }
    // The authority's answer to a request file, as Base64 text; `key` (a PEM public key)
    // replaces the request's key when given.
    std::string issue(const std::string& requestFile, const std::string& key = "") {
        int status = -1;
        runCommand(kCa + " issue " + ca_ + " " + requestFile + " " + key, &status);
        EXPECT_EQ(status, 0);
        return toBase64(readFile(ca("answer.p7b")));
    }
    Lines tool(const std::string& args) {
        std::istringstream out(runCommand(host() + args));
        Lines lines;
        for (std::string line; std::getline(out, line);)
            lines.push_back(nlohmann::json::parse(line));
        return lines;
    }
    std::string sha1Of(const std::string& pem) {
        std::string out = runCommand("openssl x509 -in " + pem + " -noout -fingerprint -sha1");
        std::string hex;
        for (char c : out.substr(out.find('=') + 1))
            if (std::isxdigit(static_cast<unsigned char>(c))) hex.push_back(c);
        return hex;
    }
    // openssl's verdict on a PKCS#7 signature of `content` against the test root.
    bool verifies(const std::string& message, const std::string& content) {
        writeFile(dir_.file("msg.der"), fromBase64(message));
        writeFile(dir_.file("bundle.pem"), readFile(ca("root.pem")) + readFile(ca("inter.pem")));
        int status = -1;
        std::string out = runCommand(
            "openssl cms -verify -binary -inform DER -in " + dir_.file("msg.der") + " -CAfile " +
                dir_.file("bundle.pem") + " -out " + dir_.file("out") + " 2>&1",
            &status);
        EXPECT_EQ(status, 0) << out;
        return status == 0 && readFile(dir_.file("out")) == content;
    }

    std::string ca_ = dir_.file("ca");
};

TEST_F(EnrollThroughHost, RequestIssueAcceptAndSign) {
    const std::string name = "王小明";
    Lines made =
        run("SetProviderName \"Microsoft Enhanced Cryptographic Provider v1.0\"\n"
            "CreatePKCS10 \"" +
            name + "\" 2048 1\n");
    ASSERT_EQ(call(made, "SetProviderName")["ret"], 0);
    nlohmann::json created = call(made, "CreatePKCS10");
    ASSERT_EQ(created["lastError"], 0) << created;
    const std::string text = created["ret"];
    EXPECT_TRUE(std::regex_match(text, std::regex("[A-Za-z0-9+/]+=*"))) << "one line of Base64";
    std::string request = saveRequest(created, "req.der");

    int status = -1;
    std::string verdict =
        runCommand("openssl req -inform DER -in " + request + " -verify -noout 2>&1", &status);
    EXPECT_EQ(status, 0) << verdict;
    EXPECT_NE(verdict.find("verify OK"), std::string::npos) << verdict;
    std::string printed = runCommand("openssl req -inform DER -in " + request + " -noout -text");
    EXPECT_NE(printed.find("Public-Key: (2048 bit)"), std::string::npos) << printed;
    EXPECT_NE(printed.find("Exponent: 65537"), std::string::npos);
    EXPECT_NE(printed.find("sha1WithRSAEncryption"), std::string::npos);
    EXPECT_NE(printed.find("Attributes:"), std::string::npos);

    // One CN, a BMPString of exactly the name's UTF-16 code units.
    std::string parsed = runCommand("openssl asn1parse -inform DER -in " + request);
    std::smatch m;
    std::regex bmp(R"((\d+):d=\d+\s+hl=(\d+)\s+l=\s*(\d+)\s+prim:\s+BMPSTRING)");
    ASSERT_TRUE(std::regex_search(parsed, m, bmp)) << parsed;
    std::string rest = m.suffix();
    EXPECT_FALSE(std::regex_search(rest, bmp)) << "a second BMPString";
    size_t cns = 0;
    for (size_t at = 0; (at = parsed.find(":commonName", at)) != std::string::npos; ++at) ++cns;
    EXPECT_EQ(cns, 1u) << parsed;
    std::string der = readFile(request);
    size_t offset = std::stoul(m[1]) + std::stoul(m[2]);
    std::string value = der.substr(offset, std::stoul(m[3]));
    EXPECT_EQ(value, utf16be(name, dir_.path()));

    std::string answer = issue(request);
    Lines accepted = run("!dialog RootInstallDialog ok\nAcceptPKCS7 \"" + answer + "\"\n");
    ASSERT_EQ(call(accepted, "AcceptPKCS7")["ret"], 0) << call(accepted, "AcceptPKCS7");

    Lines containers = tool("keys list");
    ASSERT_EQ(containers.size(), 1u);
    const std::string container = containers[0]["container"];
    struct Installed {
        const char* store;
        const char* pem;
        bool keyed;
    };
    for (const Installed& c :
         {Installed{"ROOT", "root.pem", false}, Installed{"CA", "inter.pem", false},
          Installed{"MY", "leaf.pem", true}}) {
        Lines listed = tool(std::string("store list ") + c.store);
        ASSERT_EQ(listed.size(), 1u) << c.store;
        EXPECT_EQ(listed[0]["thumbprint"], sha1Of(ca(c.pem))) << c.store;
        EXPECT_EQ(listed[0]["hasKey"], c.keyed) << c.store;
        if (c.keyed) {
            EXPECT_EQ(listed[0]["container"], container);
            // The first provider that lists the shared containers is the one named.
            EXPECT_EQ(listed[0]["provider"], MS_DEF_PROV_A);
        }
    }

    // The new certificate signs.
    Lines signed_ = run("SelectSigner \"S_CN=" + name + "\" 0 0\nSignPkcs7 \"enrolled\" 0x800\n");
    ASSERT_EQ(call(signed_, "SelectSigner")["ret"], 0);
    nlohmann::json message = call(signed_, "SignPkcs7");
    ASSERT_EQ(message["lastError"], 0) << message;
    EXPECT_TRUE(verifies(message["ret"], "enrolled"));
}

TEST_F(EnrollThroughHost, ProtectedKeysAskBeforeEverySignature) {
    for (int flags : {2, 3}) {
        SCOPED_TRACE("genKeyFlags " + std::to_string(flags));
        const std::string name = "Protected " + std::to_string(flags);
        // Signing the request is the key's first use.
        Lines made =
            run("SetProviderName \"Microsoft Strong Cryptographic Provider\"\n"
                "!dialog KeyAccessDialog ok\n"
                "CreatePKCS10 \"" +
                name + "\" 1024 " + std::to_string(flags) + "\n");
        ASSERT_EQ(dialogs(made, "KeyAccessDialog"), 1);
        nlohmann::json created = call(made, "CreatePKCS10");
        ASSERT_EQ(created["lastError"], 0) << created;
        std::string answer = issue(saveRequest(created, "req.der"));
        Lines accepted = run("AcceptPKCS7 \"" + answer + "\"\n");
        ASSERT_EQ(call(accepted, "AcceptPKCS7")["ret"], 0);

        Lines lines = run("SelectSigner \"S_CN=" + name +
                          "\" 0 0\n"
                          "!dialog KeyAccessDialog cancel\n"
                          "SignPkcs7 \"text\" 0x800\n"
                          "!dialog KeyAccessDialog cancel\n"
                          "SignPkcs1 \"text\" 0x800\n"
                          "!dialog KeyAccessDialog ok\n"
                          "SignPkcs7 \"text\" 0x800\n");
        ASSERT_EQ(call(lines, "SelectSigner")["ret"], 0);
        EXPECT_EQ(dialogs(lines, "KeyAccessDialog"), 3);
        nlohmann::json refused7 = call(lines, "SignPkcs7", 0);
        EXPECT_EQ(refused7["ret"], "");
        EXPECT_EQ(refused7["lastError"], 5070);
        nlohmann::json refused1 = call(lines, "SignPkcs1");
        EXPECT_EQ(refused1["ret"], "");
        EXPECT_EQ(refused1["lastError"], 5061);
        EXPECT_EQ(refused1["capiError"], 1223);
        nlohmann::json allowed = call(lines, "SignPkcs7", 1);
        ASSERT_EQ(allowed["lastError"], 0) << allowed;
        EXPECT_TRUE(verifies(allowed["ret"], "text"));
        // The dialog names the container the certificate is bound to.
        for (const auto& l : lines)
            if (l.contains("dialog")) {
                EXPECT_EQ(l["container"], tool("store list MY").back()["container"]);
            }
    }
}

TEST_F(EnrollThroughHost, RefusedConsentWhileSigningTheRequestKeepsTheKey) {
    Lines made =
        run("SetProviderName \"Microsoft Enhanced Cryptographic Provider v1.0\"\n"
            "!dialog KeyAccessDialog cancel\n"
            "CreatePKCS10 \"Refused\" 1024 2\n");
    nlohmann::json created = call(made, "CreatePKCS10");
    EXPECT_EQ(created["ret"], "");
    EXPECT_EQ(created["lastError"], 5302);
    EXPECT_EQ(created["capiError"], 1223);
    Lines containers = tool("keys list");
    ASSERT_EQ(containers.size(), 1u);
    EXPECT_EQ(containers[0]["slots"].size(), 1u);
}

}  // namespace
