// CreatePKCS10 and AcceptPKCS7 on an engine in this process, against the openssl-made
// authority of tests/fixtures/enroll_ca.sh: key lengths and refusals, and the answers an
// authority may send back (bare certificates, authorities only, keys elsewhere, the
// signature slot, the same answer twice, entries that are no certificate).
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <filesystem>
#include <string>
#include <vector>

#include "control/capi_engine_internal.h"
#include "core/byte_buffer.h"
#include "platform/crypt/key_container.h"
#include "status/error_codes.h"
#include "tests/dialog_fakes.h"
#include "tests/enrollment_support.h"
#include "tests/openssl_cli.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"
#include "ui/consent_dialogs.h"
#include "ui/dialogs.h"

using testing_support::readFile;
using testing_support::runCommand;
using testing_support::writeFile;

namespace {

using namespace store_test;
using namespace enrollment_test;

const std::string kCa = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/enroll_ca.sh";

std::string base64(const std::string& bytes) {
    ByteBuffer text;
    text.encodeBase64(bytes.data(), static_cast<int32_t>(bytes.size()));
    return text.str();
}

std::string unbase64(const std::string& text) {
    ByteBuffer bytes;
    if (!bytes.decodeBase64Text(text.c_str())) return {};
    return bytes.str();
}

std::u16string wide(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// The user of these tests says yes to every root-install dialog.
class RootsAllowed final : public ui::DialogBackend {
  public:
    const char* name() const override { return "roots-allowed"; }
    ui::FileChooserAnswer fileChooser(const ui::FileChooserModel&) override {
        return {ui::DialogOutcome::Failed, {}};
    }
    int messageBox(const std::string&, const std::string&, UINT) override { return ui::IDOK; }
    ui::DialogOutcome runRootInstallDialog(ui::RootInstallDialog& dialog) override {
        dialog.pressYes();
        return ui::DialogOutcome::Ok;
    }
};

class EnrollOperations : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(ca_);
        ASSERT_EQ(sh("init " + ca_), 0);
    }
    int sh(const std::string& args) {
        int status = -1;
        runCommand(kCa + " " + args + " 2>&1", &status);
        return status;
    }
    std::string file(const std::string& name) const { return home_.path() + "/" + name; }
    std::string ca(const std::string& name) const { return ca_ + "/" + name; }
    // A request of the engine's chosen provider, saved as DER in `name`.
    std::string request(CapiEngine& engine, const std::string& cn, int bits = 1024,
                        const std::string& name = "req.der") {
        std::string text = engine.CreatePKCS10(wide(cn), bits, 1);
        writeFile(file(name), unbase64(text));
        return text.empty() ? std::string() : file(name);
    }
    // The authority's answer to a request file (Base64 of certificates-only PKCS#7).
    std::string answer(const std::string& requestFile, const std::string& key = "") {
        EXPECT_EQ(sh("issue " + ca_ + " " + requestFile + " " + key), 0);
        return base64(readFile(ca("answer.p7b")));
    }
    std::string der(const std::string& pem) {
        runCommand("openssl x509 -in " + pem + " -outform DER -out " + file("x.der"));
        return readFile(file("x.der"));
    }
    std::vector<std::string> store(const char* name) {
        StorePtr s = openSystem(name);
        return thumbprints(s.get());
    }
    std::string sha1(const std::string& pem) {
        std::string bytes = der(pem);
        CertContextHolder cert = parse(std::vector<BYTE>(bytes.begin(), bytes.end()));
        return thumbprint(cert.get());
    }
    size_t containers() {
        std::vector<KeyContainerRecord> all;
        EXPECT_TRUE(listKeyContainers(all));
        return all.size();
    }

    TempHome home_;
    std::string ca_ = home_.path() + "/ca";
    ui::ScopedBackend roots_{std::make_unique<RootsAllowed>()};
};

TEST_F(EnrollOperations, RequestsOfEachLengthAndRefusalsBeforeAnyContainer) {
    CapiEngine engine;
    struct Refusal {
        const char* what;
        const char16_t* provider;  // null: none chosen
        const char16_t* cn;
        int bits;
        ErrorCode code;
    };
    const Refusal refusals[] = {
        {"4096 bits", u"Microsoft Enhanced Cryptographic Provider v1.0", u"A", 4096, 5301},
        {"768 bits", u"Microsoft Enhanced Cryptographic Provider v1.0", u"A", 768, 5301},
        {"no common name", u"Microsoft Enhanced Cryptographic Provider v1.0", u"", 1024, 5005},
    };
    {
        CapiEngine fresh;  // no provider chosen yet
        EXPECT_EQ(fresh.CreatePKCS10(u"A", 1024, 1), "");
        EXPECT_EQ(fresh.lastError, err::kCspName);
        EXPECT_EQ(fresh.capiError, 0u);
    }
    for (const Refusal& c : refusals) {
        ASSERT_EQ(engine.SetProviderName(c.provider), 0);
        engine.capiError = 5;
        EXPECT_EQ(engine.CreatePKCS10(c.cn, c.bits, 1), "") << c.what;
        EXPECT_EQ(engine.lastError, c.code) << c.what;
        EXPECT_EQ(engine.capiError, 0u) << c.what;
    }
    EXPECT_EQ(containers(), 0u);

    std::vector<std::string> keys;
    for (int bits : {512, 1024, 2048}) {
        std::string req = request(engine, "Length " + std::to_string(bits), bits);
        ASSERT_FALSE(req.empty()) << bits;
        EXPECT_EQ(engine.lastError, 0);
        std::string text = runCommand("openssl req -inform DER -in " + req + " -noout -text");
        EXPECT_NE(text.find("Public-Key: (" + std::to_string(bits) + " bit)"), std::string::npos)
            << text;
        keys.push_back(runCommand("openssl req -inform DER -in " + req + " -noout -pubkey"));
    }
    // A second request of the same length: another container, another key.
    keys.push_back(runCommand("openssl req -inform DER -in " + request(engine, "Again", 2048) +
                              " -noout -pubkey"));
    EXPECT_EQ(containers(), 4u);
    EXPECT_NE(keys[2], keys[3]);
}

// The signature bits of genKeyFlags, taken out before the key options are read.
TEST_F(EnrollOperations, RequestsSignedWithSha256OrSha512) {
    CapiEngine engine;
    ASSERT_EQ(engine.SetProviderName(u"Microsoft Enhanced Cryptographic Provider v1.0"), 0);
    struct Case {
        int32_t genKeyFlags;
        int bits;
        const char* algorithm;  // as openssl names it
        uint32_t keyOptions;    // what the key-options step kept
    };
    const Case cases[] = {
        {0x100, 512, "sha256WithRSAEncryption", 0},  {0x101, 1024, "sha256WithRSAEncryption", 1},
        {0x300, 2048, "sha512WithRSAEncryption", 0}, {0x205, 1024, "sha512WithRSAEncryption", 1},
        {0x1, 1024, "sha1WithRSAEncryption", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.genKeyFlags);
        std::string text = engine.CreatePKCS10(u"Digest", c.bits, c.genKeyFlags);
        ASSERT_EQ(engine.lastError, 0);
        EXPECT_EQ(engine.enrollment.genKeyFlags, c.keyOptions);
        writeFile(file("req.der"), unbase64(text));
        int status = -1;
        std::string out = runCommand(
            "openssl req -inform DER -in " + file("req.der") + " -noout -verify -text 2>&1",
            &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find(std::string("Signature Algorithm: ") + c.algorithm), std::string::npos)
            << out;
    }
    // Python's cryptography on a SHA-512 request.
    writeFile(file("req.der"), unbase64(engine.CreatePKCS10(u"Digest", 1024, 0x200)));
    int status = -1;
    std::string out = runCommand(
        "python3 -c \"import sys; from cryptography import x509; "
        "r=x509.load_der_x509_csr(open(sys.argv[1],'rb').read()); "
        "assert r.is_signature_valid and r.signature_hash_algorithm.name == 'sha512'\" " +
            file("req.der") + " 2>&1",
        &status);
    EXPECT_EQ(status, 0) << out;

    // 512 bits cannot hold a SHA-512 DigestInfo: refused before any container is made.
    size_t before = containers();
    EXPECT_EQ(engine.CreatePKCS10(u"Too small", 512, 0x300), "");
    EXPECT_EQ(engine.lastError, 5302);
    EXPECT_EQ(engine.capiError, 0x80090004u);  // NTE_BAD_LEN
    EXPECT_EQ(containers(), before);
}

TEST_F(EnrollOperations, BareCertificatesAreBoundWithoutClassification) {
    CapiEngine engine;
    ASSERT_EQ(engine.SetProviderName(u"Microsoft Enhanced Cryptographic Provider v1.0"), 0);
    answer(request(engine, "Bare"));
    const std::string leafDer = der(ca("leaf.pem"));
    struct Case {
        const char* what;
        std::string text;
    };
    const Case cases[] = {
        {"Base64 of DER", base64(leafDer)},
        {"PEM armour", readFile(ca("leaf.pem"))},
    };
    size_t expected = 0;
    for (const Case& c : cases) {
        engine.capiError = 5;
        EXPECT_EQ(engine.AcceptPKCS7(wide(c.text)), 0) << c.what;
        EXPECT_EQ(engine.capiError, 0u);
        EXPECT_EQ(store("MY").size(), ++expected) << c.what;
    }
    EXPECT_TRUE(store("ROOT").empty());
    EXPECT_TRUE(store("CA").empty());
}

TEST_F(EnrollOperations, AnswersAndTheirCodes) {
    registerSoftwareProvider(kOtherProvider, PROV_RSA_FULL);
    CapiEngine engine;
    ASSERT_EQ(engine.SetProviderName(wide(kOtherProvider)), 0);
    std::string elsewhere = answer(request(engine, "Elsewhere"));
    ASSERT_EQ(sh("authorities " + ca_), 0);
    std::string authorities = base64(readFile(ca("authorities.p7b")));

    struct Case {
        const char* what;
        std::string text;
        ErrorCode code;
        bool platformError;
        size_t roots, intermediates;
    };
    const Case cases[] = {
        {"empty", "", err::kBadParameter, false, 0, 0},
        {"armour without its footer", "-----BEGIN PKCS7-----\nMIIB\n", err::kBase64, false, 0, 0},
        {"only blanks", " \r\n ", err::kBase64, false, 0, 0},
        {"neither message nor certificate", base64("\x30\x03\x02\x01\x05"), err::kCertFormat, true,
         0, 0},
        {"authorities only", authorities, err::kNoKey, false, 1, 1},
        {"key in a provider without Microsoft in its name", elsewhere, err::kNoPrivateKey, false, 1,
         1},
    };
    for (const Case& c : cases) {
        engine.capiError = 5;
        EXPECT_EQ(engine.AcceptPKCS7(wide(c.text)), c.code) << c.what;
        EXPECT_EQ(engine.lastError, c.code) << c.what;
        EXPECT_EQ(engine.capiError != 0, c.platformError) << c.what << " " << engine.capiError;
        EXPECT_EQ(store("ROOT").size(), c.roots) << c.what;
        EXPECT_EQ(store("CA").size(), c.intermediates) << c.what;
        EXPECT_TRUE(store("MY").empty()) << c.what;
    }
    EXPECT_EQ(store("ROOT")[0], sha1(ca("root.pem")));
    EXPECT_EQ(store("CA")[0], sha1(ca("inter.pem")));
}

// The key-provider property of the certificates in "MY", in order.
std::vector<std::pair<std::string, DWORD>> boundKeys() {
    std::vector<std::pair<std::string, DWORD>> out;
    StorePtr my = openSystem("MY");
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my.get(), nullptr); c;
         c = CertEnumCertificatesInStore(my.get(), c)) {
        DWORD size = 0;
        CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size);
        std::vector<uint64_t> storage((size + 7) / 8 + 1);
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, storage.data(),
                                               &size)) {
            out.emplace_back("", 0);
            continue;
        }
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(storage.data());
        out.emplace_back(toUtf8(info->pwszContainerName), info->dwKeySpec);
    }
    return out;
}

TEST_F(EnrollOperations, SignatureSlotKeysAreFoundOnTheSecondComparison) {
    // A container with two key pairs; the certificate is for the signature one.
    HCRYPTKEY exchange = 0, signature = 0;
    CryptProvHolder prov;
    ASSERT_TRUE(CryptAcquireContextA(prov.out(), "TWO-SLOTS", MS_STRONG_PROV_A, PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 1024u << 16, &exchange));
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 1024u << 16, &signature));
    openssl::EvpPkeyPtr pair = cryptKeyPair(signature);
    CryptDestroyKey(exchange);
    CryptDestroyKey(signature);
    FILE* f = fopen(file("sig.pub").c_str(), "w");
    ASSERT_NE(f, nullptr);
    PEM_write_PUBKEY(f, pair.get());
    fclose(f);
    runCommand("openssl req -new -newkey rsa:1024 -nodes -keyout " + file("other.key") +
               " -subj /CN=Signature -outform DER -out " + file("other.der") + " 2>/dev/null");
    std::string text = answer(file("other.der"), file("sig.pub"));

    CapiEngine engine;
    ASSERT_EQ(engine.AcceptPKCS7(wide(text)), 0) << engine.capiError;
    // Accepting the same answer again adds the certificate again.
    ASSERT_EQ(engine.AcceptPKCS7(wide(text)), 0);
    auto bound = boundKeys();
    ASSERT_EQ(bound.size(), 2u);
    for (const auto& [container, keySpec] : bound) {
        EXPECT_EQ(container, "TWO-SLOTS");
        EXPECT_EQ(keySpec, AT_SIGNATURE);
    }
    std::vector<std::string> my = store("MY");
    EXPECT_EQ(my[0], my[1]);
    // The stores hold the authorities once: they are replaced, not added again.
    EXPECT_EQ(store("ROOT").size(), 1u);
    EXPECT_EQ(store("CA").size(), 1u);
}

// DER of one element: tag, definite length, content (X.690 section 8.1).
std::string element(unsigned char tag, const std::string& content) {
    std::string out(1, static_cast<char>(tag));
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<char>(n));
    } else {
        std::string length;
        for (; n; n >>= 8) length.insert(length.begin(), static_cast<char>(n & 0xFF));
        out.push_back(static_cast<char>(0x80 | length.size()));
        out += length;
    }
    return out + content;
}

TEST_F(EnrollOperations, EntriesThatAreNoCertificateArePassedOver) {
    CapiEngine engine;
    ASSERT_EQ(engine.SetProviderName(u"Microsoft Base Cryptographic Provider v1.0"), 0);
    answer(request(engine, "Among Others"));
    // SignedData (RFC 2315 section 9.1) whose certificates are a SEQUENCE that is no
    // certificate and then the issued certificate.
    const std::string oidSignedData = "\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02";
    const std::string oidData = "\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01";
    std::string certificates = std::string("\x30\x03\x02\x01\x05", 5) + der(ca("leaf.pem"));
    std::string signedData =
        element(0x30, std::string("\x02\x01\x01", 3) + element(0x31, "") + element(0x30, oidData) +
                          element(0xA0, certificates) + element(0x31, ""));
    std::string message = element(0x30, oidSignedData + element(0xA0, signedData));
    writeFile(file("mixed.p7b"), message);
    // openssl reads the layout, and refuses the entry that is no certificate.
    int status = -1;
    runCommand("openssl asn1parse -inform DER -in " + file("mixed.p7b") + " >/dev/null 2>&1",
               &status);
    ASSERT_EQ(status, 0);
    runCommand("openssl pkcs7 -inform DER -in " + file("mixed.p7b") + " -noout 2>/dev/null",
               &status);
    EXPECT_NE(status, 0);

    EXPECT_EQ(engine.AcceptPKCS7(wide(base64(message))), 0) << engine.capiError;
    EXPECT_EQ(store("MY"), std::vector<std::string>{sha1(ca("leaf.pem"))});
}

TEST_F(EnrollOperations, ASelfIssuedCertificateIsARootEvenForTheRequestedKey) {
    CapiEngine engine;
    ASSERT_EQ(engine.SetProviderName(u"Microsoft Enhanced Cryptographic Provider v1.0"), 0);
    std::string req = request(engine, "Self");
    runCommand("openssl req -inform DER -in " + req + " -pubkey -noout -out " + file("self.pub"));
    runCommand("openssl genrsa -out " + file("t.key") + " 1024 2>/dev/null");
    runCommand("openssl x509 -req -inform DER -in " + req + " -signkey " + file("t.key") +
               " -force_pubkey " + file("self.pub") + " -days 1 -out " + file("self.pem") +
               " 2>/dev/null");
    writeFile(file("self.chain"), readFile(file("self.pem")));
    runCommand("openssl crl2pkcs7 -nocrl -certfile " + file("self.chain") + " -outform DER -out " +
               file("self.p7b"));
    EXPECT_EQ(engine.AcceptPKCS7(wide(base64(readFile(file("self.p7b"))))), err::kNoKey);
    EXPECT_EQ(store("ROOT"), std::vector<std::string>{sha1(file("self.pem"))});
    EXPECT_TRUE(store("MY").empty());
}

TEST_F(EnrollOperations, RootsGoInOnlyWhenTheUserSaysYes) {
    CapiEngine engine;
    ASSERT_EQ(sh("authorities " + ca_), 0);
    const std::string authorities = base64(readFile(ca("authorities.p7b")));
    // The dialog's facts, as openssl reads them from the certificate.
    ScopedTimeZone taipei("Asia/Taipei");
    writeFile(file("root.der"), der(ca("root.pem")));
    const openssl_cli::CertFields facts = openssl_cli::certFields(file("root.der"), "Asia/Taipei");
    auto shownDate = [](const std::string& compact) {  // YYYYMMDDhhmmss
        return compact.substr(0, 4) + "/" + compact.substr(4, 2) + "/" + compact.substr(6, 2) +
               " " + compact.substr(8, 2) + ":" + compact.substr(10, 2) + ":" +
               compact.substr(12, 2);
    };
    struct Case {
        const char* what;
        ui::DialogOutcome answer;
        size_t roots;
    };
    const Case cases[] = {
        {"no", ui::DialogOutcome::Cancel, 0},
        {"no dialog", ui::DialogOutcome::Failed, 0},
        {"yes", ui::DialogOutcome::Ok, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StorePtr trusted = openSystem("ROOT");
        while (PCCERT_CONTEXT old = CertEnumCertificatesInStore(trusted.get(), nullptr))
            CertDeleteCertificateFromStore(old);
        ScriptedDialogs dialogs;
        dialogs.queue("RootInstallDialog", c.answer, nlohmann::json::object());
        // The classification stands whatever the answer: the message holds no end entity.
        EXPECT_EQ(engine.AcceptPKCS7(wide(authorities)), err::kNoKey);
        EXPECT_EQ(store("ROOT").size(), c.roots);
        EXPECT_EQ(store("CA").size(), 1u);
        if (c.answer == ui::DialogOutcome::Failed) continue;
        ASSERT_EQ(dialogs.lines.size(), 1u);
        const nlohmann::json& shown = dialogs.lines[0];
        EXPECT_EQ(shown["dialog"], "RootInstallDialog");
        EXPECT_EQ(shown["thumbprint"], facts.sha1);
        EXPECT_NE(shown["subject"].get<std::string>().find("CN=" + facts.commonName),
                  std::string::npos)
            << shown;
        EXPECT_EQ(shown["notBefore"], shownDate(facts.notBefore));
        EXPECT_EQ(shown["notAfter"], shownDate(facts.notAfter));
        EXPECT_NE(shown["text"].get<std::string>().find(toUtf8(u"都會被信任")), std::string::npos);
    }
    // A root already trusted is not asked about again.
    ScriptedDialogs quiet;
    EXPECT_EQ(engine.AcceptPKCS7(wide(authorities)), err::kNoKey);
    EXPECT_TRUE(quiet.lines.empty());
}

TEST_F(EnrollOperations, AMessageOfMoreThanSixteenCertificatesIsRefusedWhole) {
    CapiEngine engine;
    runCommand("openssl genrsa -out " + file("r.key") + " 1024 2>/dev/null");
    std::string chain;
    for (int i = 0; i < 17; ++i) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely of overlap on "r" + text.
        std::string name = "r";
        name += std::to_string(i);
        name += ".pem";
        const std::string pem = file(name);
        runCommand("openssl req -x509 -new -key " + file("r.key") + " -subj /CN=Root" +
                   std::to_string(i) + " -days 1 -out " + pem + " 2>/dev/null");
        chain += readFile(pem);
        if (i == 15) {
            // Sixteen still count as a reply.
            writeFile(file("sixteen.pem"), chain);
            runCommand("openssl crl2pkcs7 -nocrl -certfile " + file("sixteen.pem") +
                       " -outform DER -out " + file("sixteen.p7b"));
        }
    }
    writeFile(file("seventeen.pem"), chain);
    runCommand("openssl crl2pkcs7 -nocrl -certfile " + file("seventeen.pem") +
               " -outform DER -out " + file("seventeen.p7b"));
    EXPECT_EQ(engine.AcceptPKCS7(wide(base64(readFile(file("seventeen.p7b"))))), err::kCertFormat);
    EXPECT_TRUE(store("ROOT").empty());
    EXPECT_TRUE(store("MY").empty());
    EXPECT_EQ(engine.AcceptPKCS7(wide(base64(readFile(file("sixteen.p7b"))))), err::kNoKey);
    EXPECT_EQ(store("ROOT").size(), 16u);
}

}  // namespace
