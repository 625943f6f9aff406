// Signing through the host as a page would, every result checked by the openssl command
// line: bare PKCS#1 signatures with `openssl pkeyutl -verify` over the digest Python's
// hashlib computes from the content bytes, PKCS#7 messages with `openssl cms -verify`.
// Fixtures: tests/fixtures/make_sign_chains.sh.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "control/capi_engine_internal.h"
#include "core/byte_buffer.h"
#include "host_script.h"
#include "platform/crypt/key_container.h"
#include "status/error_messages.h"
#include "temp_home.h"
#include "test_support.h"
#include "ui/dialogs.h"
#include "ui/scripted_backend.h"

using host_script::Lines;
using testing_support::readFile;
using testing_support::runCommand;
using testing_support::writeFile;

namespace {

const std::string kSign = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/sign/";

std::string decodeText(const std::string& text, bool base64) {
    if (!base64) return testing_support::unhex(text);
    ByteBuffer bytes;
    if (!bytes.decodeBase64Text(text.c_str())) return {};
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.length());
}

// The bytes a text is signed as, made by Python: UTF-16LE, or Big5 (cp950).
std::string contentBytes(const std::string& utf8, bool ansi, const std::string& path) {
    writeFile(path + ".txt", utf8);
    runCommand(
        "python3 -c \"import sys; t=open(sys.argv[1],encoding='utf-8').read(); "
        "open(sys.argv[2],'wb').write(t.encode('" +
        std::string(ansi ? "cp950" : "utf-16-le") + "'))\" " + path + ".txt " + path);
    return readFile(path);
}

class Signing : public host_script::HostScript {
  protected:
    // good.pfx's key in "MY", its issuer in "CA", the root in "ROOT"; selected.
    void selectGoodSigner(bool trustRoot = true) {
        importIntoMy(kSign + "good.pfx");
        addToStore("CA", kSign + "inter.der");
        if (trustRoot) addToStore("ROOT", kSign + "root.der");
    }
    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string leafPem(const std::string& name) {
        std::string pem = file(name + ".pem");
        runCommand("openssl x509 -inform DER -in " + kSign + name + ".leaf.der -out " + pem);
        return pem;
    }
};

// ---- PKCS#1

struct Pkcs1Case {
    const char* text;  // UTF-8
    int flags;
    const char* python;  // digest of the content bytes b, as Python's hashlib computes it
    const char* digest;  // openssl's name of the digest in the DigestInfo
};

const Pkcs1Case kPkcs1Cases[] = {
    {"abc", 0x0, "sha1(b)", "sha1"},
    {"abc", 0x100, "sha1(b)", "sha1"},
    {"abc", 0x800, "sha1(b)", "sha1"},
    {"憑證 signed text", 0x800, "sha1(b)", "sha1"},
    {"憑證 signed text", 0x0, "sha1(b)", "sha1"},
    {"憑證", 0x1000, "md5(b)", "md5"},
    {"憑證", 0x1900, "md5(b)", "md5"},
    {"憑證", 0x2000, "sha1(md5(b).digest())", "sha1"},
    {"憑證", 0x2900, "sha1(md5(b).digest())", "sha1"},
    // Both digest bits: MD5 wins.
    {"憑證", 0x3000, "md5(b)", "md5"},
    // Bits this operation does not read change nothing.
    {"abc", 0x0400'0200, "sha1(b)", "sha1"},
    {"abc", 0x4000, "sha256(b)", "sha256"},
    {"憑證", 0x8900, "sha512(b)", "sha512"},
    // SHA-512 wins over SHA-256, either over the MD5 bits.
    {"憑證", 0xF000, "sha512(b)", "sha512"},
    {"憑證", 0x7100, "sha256(b)", "sha256"},
};

// Python's cryptography verifies an RSA PKCS#1 v1.5 signature (sig, big-endian) over
// the file content with the named hash.
bool cryptographyVerifies(const std::string& pubPem, const std::string& content,
                          const std::string& sig, const char* hash) {
    int status = -1;
    runCommand(
        "python3 -c \"import sys; from cryptography.hazmat.primitives import hashes, "
        "serialization; from cryptography.hazmat.primitives.asymmetric import padding; "
        "k=serialization.load_pem_public_key(open(sys.argv[1],'rb').read()); "
        "k.verify(open(sys.argv[3],'rb').read(), open(sys.argv[2],'rb').read(), "
        "padding.PKCS1v15(), hashes." +
            std::string(hash) + "())\" " + pubPem + " " + content + " " + sig + " 2>&1",
        &status);
    return status == 0;
}

TEST_F(Signing, Pkcs1SignaturesVerifyOverTheNamedDigest) {
    selectGoodSigner();
    std::string script = "SelectSigner \"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good\" 0 0\n";
    for (const auto& c : kPkcs1Cases)
        script += "SignPkcs1 \"" + std::string(c.text) + "\" " + std::to_string(c.flags) + "\n";
    Lines lines = run(script);
    ASSERT_EQ(call(lines, "SelectSigner")["ret"], 0);
    Lines results = calls(lines, "SignPkcs1");
    ASSERT_EQ(results.size(), std::size(kPkcs1Cases));
    std::string pub = file("good.pub.pem");
    runCommand("openssl pkey -in " + kSign + "good.key.pem -pubout -out " + pub);

    for (size_t i = 0; i < results.size(); ++i) {
        const Pkcs1Case& c = kPkcs1Cases[i];
        SCOPED_TRACE(std::string(c.text) + " flags " + std::to_string(c.flags));
        ASSERT_EQ(results[i]["lastError"], 0);
        std::string text = results[i]["ret"];
        bool base64 = c.flags & 0x100;
        // A 2048-bit key: 256 bytes, 512 hex digits or 344 Base64 characters.
        EXPECT_EQ(text.size(), base64 ? 344u : 512u);
        if (!base64) {
            EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        }
        writeFile(file("sig"), decodeText(text, base64));

        std::string content = file("content");
        contentBytes(c.text, c.flags & 0x800, content);
        runCommand(
            "python3 -c \"import sys; from hashlib import md5, sha1, sha256, sha512; "
            "b=open(sys.argv[1],'rb').read(); open(sys.argv[2],'wb').write(" +
            std::string(c.python) + ".digest())\" " + content + " " + file("digest"));
        int status = -1;
        std::string out =
            runCommand("openssl pkeyutl -verify -pubin -inkey " + pub + " -in " + file("digest") +
                           " -sigfile " + file("sig") + " -pkeyopt digest:" + c.digest + " 2>&1",
                       &status);
        EXPECT_EQ(status, 0) << out;
        if (c.flags == 0x4000) {
            EXPECT_TRUE(cryptographyVerifies(pub, content, file("sig"), "SHA256"));
        }
    }
    // UTF-16LE and ANSI bytes of the same text sign differently, even for plain ASCII.
    EXPECT_NE(results[0]["ret"], results[2]["ret"]);
    EXPECT_NE(results[3]["ret"], results[4]["ret"]);
}

// ---- PKCS#7

struct Pkcs7Case {
    int flags;
    int certificates;  // in the message, with the root trusted
};

const Pkcs7Case kPkcs7Cases[] = {
    {0x0, 1},    {0x100, 0},  {0x200, 3},  {0x300, 3},  {0x400, 1},  {0x800, 1},
    {0x1000, 1}, {0x2000, 1}, {0x2C00, 1}, {0x3700, 3}, {0x4000, 1}, {0x8400, 1},
    {0x6000, 1}, {0xF000, 1}, {0x5400, 1}, {0x8A00, 3},
};

// How `openssl cms -print` names the digest algorithm the flags choose.
std::string printedDigest(int flags) {
    if (flags & 0x8000) return "sha512 (2.16.840.1.101.3.4.2.3)";
    if (flags & 0x4000) return "sha256 (2.16.840.1.101.3.4.2.1)";
    return (flags & 0x1000) ? "md5WithRSAEncryption" : "sha1";
}

TEST_F(Signing, Pkcs7MessagesVerifyWithOpenssl) {
    selectGoodSigner();
    const std::string text = "憑證 PKCS#7 content";
    std::string script = "SelectSigner \"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good\" 0 0\n";
    for (const auto& c : kPkcs7Cases)
        script += "SignPkcs7 \"" + text + "\" " + std::to_string(c.flags) + "\n";
    time_t before = time(nullptr);
    Lines lines = run(script);
    time_t after = time(nullptr);
    Lines results = calls(lines, "SignPkcs7");
    ASSERT_EQ(results.size(), std::size(kPkcs7Cases));
    std::string leaf = leafPem("good");
    std::string inter = file("inter.pem");
    runCommand("openssl x509 -inform DER -in " + kSign + "inter.der -out " + inter);
    // openssl cms takes no untrusted intermediates here: the bundle trusts the root and
    // the intermediate both, which still checks every signature of the chain.
    std::string bundle = file("bundle.pem");
    std::string root = file("root.pem");
    runCommand("openssl x509 -inform DER -in " + kSign + "root.der -out " + root);
    writeFile(bundle, readFile(root) + readFile(inter));

    for (size_t i = 0; i < results.size(); ++i) {
        const Pkcs7Case& c = kPkcs7Cases[i];
        SCOPED_TRACE("flags " + std::to_string(c.flags));
        ASSERT_EQ(results[i]["lastError"], 0);
        std::string der = decodeText(results[i]["ret"], true);
        ASSERT_FALSE(der.empty());
        writeFile(file("msg.der"), der);
        std::string content = contentBytes(text, c.flags & 0x800, file("content"));

        std::string verify = "openssl cms -verify -binary -inform DER -in " + file("msg.der") +
                             " -out " + file("out") + " -CAfile " + bundle;
        if (c.flags & 0x400) verify += " -content " + file("content");
        // Without certificates in the message the verifier is given the signer's.
        if (c.certificates == 0) verify += " -certfile " + leaf;
        int status = -1;
        std::string out = runCommand(verify + " 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_EQ(readFile(file("out")), content);

        std::string printed =
            runCommand("openssl cms -cmsout -print -inform DER -in " + file("msg.der") + " 2>&1");
        size_t certs = 0;
        for (size_t at = 0; (at = printed.find("cert_info:", at)) != std::string::npos; ++at)
            ++certs;
        EXPECT_EQ(certs, static_cast<size_t>(c.certificates));
        // The digest algorithm identifier is the one the flags name, in the message's
        // list and in the signer's information.
        std::string digest = printedDigest(c.flags);
        size_t first = printed.find(digest);
        ASSERT_NE(first, std::string::npos) << digest;
        if (c.flags & 0xC000) {
            EXPECT_NE(printed.find(digest, first + 1), std::string::npos);
            EXPECT_EQ(printed.find("sha1 ("), std::string::npos);
        }
        if (c.flags == 0x8400) {
            // No attributes: the signature, which ends the message, covers the content.
            writeFile(file("sig"), der.substr(der.size() - 256));
            std::string pub = file("good.pub.pem");
            runCommand("openssl pkey -in " + kSign + "good.key.pem -pubout -out " + pub);
            EXPECT_TRUE(cryptographyVerifies(pub, file("content"), file("sig"), "SHA512"));
        }
        // Detached: no content inside.
        EXPECT_EQ(printed.find("eContent: <ABSENT>") != std::string::npos, (c.flags & 0x400) != 0);
        bool signingTime = printed.find("signingTime") != std::string::npos;
        EXPECT_EQ(signingTime, (c.flags & 0x2000) != 0);
        if (signingTime) {
            // The time of the call, in UTC (UTCTime, to the second).
            int status2 = -1;
            std::string when =
                runCommand("openssl cms -cmsout -print -inform DER -in " + file("msg.der") +
                               " | grep -A2 signingTime | grep -o 'UTCTIME:.*' | cut -d: -f2-",
                           &status2);
            struct tm tm {};
            ASSERT_TRUE(strptime(when.c_str(), "%b %d %H:%M:%S %Y", &tm)) << when;
            time_t t = timegm(&tm);
            EXPECT_GE(t, before - 1);
            EXPECT_LE(t, after + 1);
        }
    }
}

// ---- The signer's chain

struct ChainCase {
    const char* name;
    const char* pfx;
    const char* intermediate;  // into "CA", or null
    bool trustRoot;
    int code;  // of SignPkcs7 with 0x200
    int certificates;
};

const ChainCase kChainCases[] = {
    {"trusted", "good", "inter.der", true, 0, 3},
    {"untrusted root accepted", "good", "inter.der", false, 0, 3},
    {"expired intermediate accepted", "expired", "inter_expired.der", true, 0, 3},
    {"bad signature refused", "badsig", "inter.der", true, 5202, 0},
    {"no issuer anywhere refused", "good", nullptr, true, 5202, 0},
};

TEST_F(Signing, ChainIsJudgedBeforeItTravels) {
    for (const auto& c : kChainCases) {
        SCOPED_TRACE(c.name);
        runCommand("rm -rf " + file("home"));
        importIntoMy(kSign + c.pfx + ".pfx");
        if (c.intermediate) addToStore("CA", kSign + c.intermediate);
        // An untrusted root is still found, in "CA".
        addToStore(c.trustRoot ? "ROOT" : "CA", kSign + "root.der");
        Lines lines = run("SelectSigner \"\" 2 0\nSignPkcs7 \"chain\" 0x200\n");
        ASSERT_EQ(call(lines, "SelectSigner")["ret"], 0);
        nlohmann::json result = call(lines, "SignPkcs7");
        EXPECT_EQ(result["lastError"], c.code);
        if (c.code != 0) {
            EXPECT_EQ(result["ret"], "");
            continue;
        }
        writeFile(file("msg.der"), decodeText(result["ret"], true));
        std::string printed =
            runCommand("openssl cms -cmsout -print -inform DER -in " + file("msg.der"));
        size_t certs = 0;
        for (size_t at = 0; (at = printed.find("cert_info:", at)) != std::string::npos; ++at)
            ++certs;
        EXPECT_EQ(certs, static_cast<size_t>(c.certificates));
    }
}

// ---- Failures

TEST_F(Signing, FailuresReportTheirCodesAndReturnNothing) {
    selectGoodSigner();
    std::string script =
        // Nothing selected yet.
        "SignPkcs1 \"abc\" 0\n"
        "SignPkcs7 \"abc\" 0\n"
        "SelectSigner \"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good\" 0 0\n"
        // Empty content is refused before the signer is looked at.
        "SignPkcs1 \"\" 0\n"
        "SignPkcs7 \"\" 0\n"
        // A failed selection clears the earlier signer.
        "!dialog PfxFileDialog cancel\n"
        "SelectSigner \"S_CN=Nobody\" 0 0\n"
        "SignPkcs1 \"abc\" 0\n";
    Lines lines = run(script);
    EXPECT_EQ(call(lines, "SignPkcs1", 0)["lastError"], 5067);
    EXPECT_EQ(call(lines, "SignPkcs7", 0)["lastError"], 5067);
    EXPECT_EQ(call(lines, "SignPkcs1", 1)["lastError"], 5005);
    EXPECT_EQ(call(lines, "SignPkcs7", 1)["lastError"], 5005);
    EXPECT_EQ(call(lines, "SelectSigner", 1)["ret"], 5070);
    EXPECT_EQ(call(lines, "SignPkcs1", 2)["lastError"], 5067);
    for (const auto& l : lines) {
        if (l.contains("op") && l["op"].get<std::string>().rfind("Sign", 0) == 0 &&
            l["op"] != "SelectSigner") {
            EXPECT_EQ(l["ret"], "");
        }
    }
}

// The selection lives in one object, so these drive the engine in this process while
// the store or the file changes under it.
class SigningInProcess : public ::testing::Test {
  protected:
    SigningInProcess()
        : backend_([this](const std::string& line) { reports.push_back(line); }),
          scope_(ui::makeForwardingBackend(backend_)) {}
    void tool(const std::string& args) {
        int status = -1;
        runCommand(
            std::string(KSCAPI_HOST_PATH) + " --home " + home_.path() + " " + args + " >/dev/null",
            &status);
        ASSERT_EQ(status, 0) << args;
    }
    void queuePfx(const std::string& path, const std::string& password) {
        std::string reason;
        ASSERT_TRUE(backend_.queue("PfxFileDialog", ui::DialogOutcome::Ok,
                                   {{"browse", path}, {"password", password}}, reason))
            << reason;
    }
    size_t containers() {
        std::vector<KeyContainerRecord> all;
        EXPECT_TRUE(listKeyContainers(all));
        return all.size();
    }

    TempHome home_;
    std::vector<std::string> reports;
    ui::ScriptedBackend backend_;
    ui::ScopedBackend scope_;
};

TEST_F(SigningInProcess, SignerRemovedFromMyIsNotFound) {
    tool("store import-pfx " + kSign + "good.pfx secret");
    CapiEngine engine;
    ASSERT_EQ(engine.SelectSigner(u"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good", 0, 0), 0);
    EXPECT_EQ(engine.SignPkcs1(u"abc", 0).size(), 512u);
    tool("store delete MY " + engine.signerThumbprint);
    EXPECT_EQ(engine.SignPkcs1(u"abc", 0), "");
    EXPECT_EQ(engine.lastError, 5067);
    EXPECT_EQ(engine.SignPkcs7(u"abc", 0), "");
    EXPECT_EQ(engine.lastError, 5067);
    // The selection itself is untouched.
    EXPECT_EQ(engine.GetCertSubjectCN(), "Sign Good");
}

TEST_F(SigningInProcess, SignerFromAPfxFileIsReloadedForEachSignature) {
    std::string folder = home_.path() + "/pfx";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(kSign + "good.pfx", folder + "/mine.pfx");
    CapiEngine engine;
    queuePfx(folder + "/mine.pfx", "secret");
    ASSERT_EQ(engine.SelectSigner(u"", 0, 0), 0);
    EXPECT_EQ(engine.GetSignerPfxFilePath(), folder);
    EXPECT_EQ(engine.GetSignerPfxFileName(), "mine.pfx");
    EXPECT_EQ(engine.SignPkcs1(u"from a file", 0).size(), 512u);
    EXPECT_EQ(engine.lastError, 0);
    EXPECT_FALSE(engine.SignPkcs7(u"from a file", 0).empty());
    EXPECT_EQ(engine.lastError, 0);
    // Each load's key containers are gone after the call.
    EXPECT_EQ(containers(), 0u);

    std::filesystem::rename(folder + "/mine.pfx", folder + "/moved.pfx");
    EXPECT_EQ(engine.SignPkcs1(u"from a file", 0), "");
    EXPECT_EQ(engine.lastError, 1102);
    EXPECT_EQ(engine.capiError, 0u);
    EXPECT_EQ(engine.SignPkcs7(u"from a file", 0x400), "");
    EXPECT_EQ(engine.lastError, 1102);
    // 1102 has no text of its own.
    EXPECT_EQ(engine.GetErrorMsg(), errorMessage(1102));
    EXPECT_EQ(engine.GetCertSubjectCN(), "Sign Good");

    // Another file at the old place holds no certificate with the signer's thumbprint.
    std::filesystem::copy_file(kSign + "expired.pfx", folder + "/mine.pfx");
    EXPECT_EQ(engine.SignPkcs1(u"from a file", 0), "");
    EXPECT_EQ(engine.lastError, 5067);
}

// Messages keep their bytes now that they are streamed into their text. The SHA-256 of
// each Base64 text was taken (Python's hashlib) from `kscapi --home H run` of
// SelectSigner and these SignPkcs7 calls over the same text, H holding good.pfx in "MY",
// inter.der in "CA" and root.der in "ROOT", before the streaming. No signing time: the
// bytes are fixed.
TEST_F(SigningInProcess, MessagesKeepTheirBytes) {
    tool("store import-pfx " + kSign + "good.pfx secret");
    tool("store add CA " + kSign + "inter.der");
    tool("store add ROOT " + kSign + "root.der");
    CapiEngine engine;
    ASSERT_EQ(engine.SelectSigner(u"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good", 0, 0), 0);
    // 1,000,003 digits "0123456789...": more than one streamed piece in UTF-16.
    std::u16string text;
    for (int i = 0; i < 1000003; ++i) text.push_back(static_cast<char16_t>(u'0' + i % 10));
    struct Case {
        int flags;
        size_t length;
        const char* sha256;
    };
    const Case cases[] = {
        {0x0, 2668432, "8b2056860062cb71f6a206904a0900fcdd3a0685a3657378f8a28f8e38773eb0"},
        {0x100, 2667272, "9a1e00311f7963818cd0d39f44ecb5583dcde5889f9718fa5caf5619a0a8d694"},
        {0x200, 2670796, "8185d4194625494b8bd496abb21676e5878d069ada230e23cf2ba31088ba81d5"},
        {0x400, 1736, "9d9950ed9a4ad5d43c7fdce753686a93673938a1ba832fb9dcb064503cb74f85"},
        {0x800, 1335096, "d52ce62fa67ea71a2daee9b3955255a4853da0c3c3e5211e0669549b5bb1d76e"},
        {0x1000, 2668444, "c099306ed98e74feb00a5177766fe917a5a16e3ffd89b90fbaa50385b490024b"},
        {0x700, 4100, "9aeb7cda1ccf7d429b39fe5813ec89db10de7158bcd888ca15c0207c84fd5520"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        std::string message = engine.SignPkcs7(text, c.flags);
        EXPECT_EQ(engine.lastError, 0);
        EXPECT_EQ(message.size(), c.length);
        unsigned char digest[32];
        unsigned int length = 0;
        ASSERT_EQ(
            EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha256(), nullptr), 1);
        std::string hex;
        for (unsigned int i = 0; i < length; ++i) {
            static constexpr char kDigits[] = "0123456789abcdef";
            hex += kDigits[digest[i] >> 4];
            hex += kDigits[digest[i] & 15];
        }
        EXPECT_EQ(hex, c.sha256);
    }
}

}  // namespace
