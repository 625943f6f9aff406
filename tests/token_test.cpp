// Smart cards through PKCS#11, with SoftHSM tokens made afresh for every test in a
// SOFTHSM2_CONF folder of its own: the fixture key and certificate go onto the token with
// pkcs11-tool, the control finds the certificate in "MY" and signs on the token, and the
// results are checked with the openssl command line. The provider's module is the test
// module over SoftHSM that can also lock its PIN, lose its token and want a PIN for
// every signature.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "control/capi_engine_internal.h"
#include "core/byte_buffer.h"
#include "host_script.h"
#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/store/user_database.h"
#include "platform/token/pkcs11.h"
#include "tests/dialog_fakes.h"

namespace {

using host_script::Lines;
using testing_support::readFile;
using testing_support::runCommand;
using testing_support::writeFile;

const std::string kSign = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/sign/";
const std::string kCa = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/enroll_ca.sh";
const std::string kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kProvider = "Kestrune Token CSP";
constexpr const char* kGoodFilter = "S_C=TW,S_O=Kestrune Test,S_CN=Sign Good";
constexpr const char* kPin = "123456";

std::string base64Decoded(const std::string& text) {
    ByteBuffer bytes;
    if (!bytes.decodeBase64Text(text.c_str())) return {};
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.length());
}

// Saves an environment variable and puts it back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_.empty())
            unsetenv(name_);
        else
            setenv(name_, old_.c_str(), 1);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::string old_;
};

class Token : public host_script::HostScript {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.file("tokens"));
        writeFile(dir_.file("softhsm2.conf"),
                  "directories.tokendir = " + dir_.file("tokens") +
                      "\nobjectstore.backend = file\nlog.level = ERROR\n");
        conf_ = std::make_unique<ScopedEnv>("SOFTHSM2_CONF", dir_.file("softhsm2.conf"));
        state_ = std::make_unique<ScopedEnv>("KSCAPI_SHIM_STATE", dir_.file("pin-state"));
        slot_ = newCard();
        ASSERT_FALSE(slot_.empty());
        int status = -1;
        std::string out = runCommand(
            host() + "providers add-pkcs11 '" + kProvider + "' " + KSCAPI_TEST_PKCS11 + " 2>&1",
            &status);
        ASSERT_EQ(status, 0) << out;
    }

    // Another SoftHSM token labelled "Kestrune Card"; its slot id in decimal, empty when
    // softhsm2-util fails.
    std::string newCard() {
        int status = -1;
        std::string out = runCommand(
            "softhsm2-util --init-token --free --label 'Kestrune Card' "
            "--so-pin 12345678 --pin " +
                std::string(kPin) + " 2>&1",
            &status);
        size_t at = out.find("to slot ");
        EXPECT_EQ(status, 0) << out;
        if (status != 0 || at == std::string::npos) return {};
        return out.substr(at + 8, out.find_first_not_of("0123456789", at + 8) - at - 8);
    }

    // pkcs11-tool on the token in `slot` (default: the test's first), logged in.
    std::string tool(const std::string& args, int* status = nullptr, std::string slot = {}) {
        return runCommand("pkcs11-tool --module " + kSoftHsm + " --slot " +
                              (slot.empty() ? slot_ : slot) + " --login --pin " + kPin + " " +
                              args + " 2>&1",
                          status);
    }

    // The fixture's "Sign Good" key and certificate onto the token under CKA_ID `id`.
    void loadGoodKey(const std::string& id = "01a2", const std::string& slot = {}) {
        runCommand("openssl pkey -in " + kSign + "good.key.pem -outform DER -out " +
                   dir_.file("key.der"));
        int status = -1;
        std::string out = tool("--write-object " + dir_.file("key.der") + " --type privkey --id " +
                                   id + " --label signkey",
                               &status, slot);
        ASSERT_EQ(status, 0) << out;
        out = tool("--write-object " + kSign + "good.leaf.der --type cert --id " + id +
                       " --label signcert",
                   &status, slot);
        ASSERT_EQ(status, 0) << out;
    }

    // Pulls every token out of SoftHSM's folder (true) or puts them back (false).
    void pullOut(bool out) {
        std::filesystem::rename(dir_.file(out ? "tokens" : "pocket"),
                                dir_.file(out ? "pocket" : "tokens"));
        std::filesystem::create_directories(dir_.file("tokens"));
    }

    // The root and the intermediate as one PEM file for openssl's verifier.
    std::string caBundle() {
        std::string root = runCommand("openssl x509 -inform DER -in " + kSign + "root.der");
        std::string inter = runCommand("openssl x509 -inform DER -in " + kSign + "inter.der");
        writeFile(dir_.file("bundle.pem"), root + inter);
        return dir_.file("bundle.pem");
    }

    // openssl cms -verify on a SignPkcs7 result; the verifier's output with its status.
    bool verifiesWithOpenssl(const std::string& base64, std::string& out) {
        writeFile(dir_.file("msg.der"), base64Decoded(base64));
        int status = -1;
        out = runCommand("openssl cms -verify -binary -inform DER -in " + dir_.file("msg.der") +
                             " -out " + dir_.file("content") + " -CAfile " + caBundle() + " 2>&1",
                         &status);
        return status == 0;
    }

    // The CKA_ID of the first object pkcs11-tool lists ("  ID:         7b2d...").
    static std::string firstId(const std::string& listing) {
        size_t at = listing.find("ID:");
        if (at == std::string::npos) return {};
        size_t start = listing.find_first_not_of(' ', at + 3);
        return listing.substr(start, listing.find('\n', start) - start);
    }

    static std::string pinAnswer(const std::string& pin) {
        return "!dialog PinDialog ok {\"pin\":\"" + pin + "\"}\n";
    }
    static std::string selectGood() {
        return "SelectSigner \"" + std::string(kGoodFilter) + "\" 2 0\n";
    }

    std::unique_ptr<ScopedEnv> conf_;
    std::unique_ptr<ScopedEnv> state_;
    std::string slot_;
};

TEST_F(Token, ProviderIsListedWithTypeOne) {
    std::string out = runCommand(host() + "providers list");
    auto line = out.find(std::string("\"name\":\"") + kProvider + "\"");
    ASSERT_NE(line, std::string::npos) << out;
    std::string entry = out.substr(line, out.find('\n', line) - line);
    EXPECT_NE(entry.find("\"type\":1"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\"backend\":\"pkcs11\""), std::string::npos) << entry;
    // The enrollment takes it by name.
    Lines lines = run("SetProviderName \"" + std::string(kProvider) + "\"\n");
    EXPECT_EQ(call(lines, "SetProviderName")["ret"], 0);
}

// The certificate is shown in "MY" while the token holds it, pointing at the token's
// key, and never copied into the database.
TEST_F(Token, CertificateAppearsInMyWhileOnTheToken) {
    EXPECT_EQ(runCommand(host() + "store list MY"), "");
    loadGoodKey("c0ffee");
    std::string listed = runCommand(host() + "store list MY");
    EXPECT_NE(listed.find("\"container\":\"c0ffee\""), std::string::npos) << listed;
    EXPECT_NE(listed.find(std::string("\"provider\":\"") + kProvider + "\""), std::string::npos);
    EXPECT_NE(listed.find("\"hasKey\":true"), std::string::npos) << listed;
    EXPECT_EQ(containers(), 0u);
    int status = -1;
    runCommand("softhsm2-util --delete-token --token 'Kestrune Card' >/dev/null 2>&1", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(runCommand(host() + "store list MY"), "");
}

TEST_F(Token, SignPkcs7WithTheRightPinVerifies) {
    loadGoodKey();
    Lines lines = run(selectGood() + "GetCertSubjectCN\n" + pinAnswer(kPin) +
                      "SignPkcs7 \"on the card\" 0\n");
    ASSERT_EQ(call(lines, "SelectSigner")["ret"], 0);
    EXPECT_EQ(call(lines, "GetCertSubjectCN")["ret"], "Sign Good");
    nlohmann::json signed7 = call(lines, "SignPkcs7");
    ASSERT_EQ(signed7["lastError"], 0) << signed7;
    std::string out;
    EXPECT_TRUE(verifiesWithOpenssl(signed7["ret"], out)) << out;
    // UTF-16LE of the text, as the control signs it by default.
    std::string expected;
    for (char c : std::string("on the card")) expected += std::string{c, '\0'};
    EXPECT_EQ(readFile(dir_.file("content")), expected);
    EXPECT_EQ(dialogs(lines, "PinDialog"), 1);
    for (const auto& l : lines) EXPECT_EQ(l.dump().find(kPin), std::string::npos) << l;
    EXPECT_EQ(containers(), 0u);
}

// Each way a login can end, as SignPkcs7 reports it.
TEST_F(Token, PinOutcomesOfSignPkcs7) {
    loadGoodKey();
    struct Case {
        const char* what;
        std::string answer;
        int lastError;
        DWORD capiError;
    } cases[] = {
        {"wrong PIN", pinAnswer("000000"), 3206, SCARD_W_WRONG_CHV},
        {"cancelled", "!dialog PinDialog cancel\n", 5070, SCARD_W_CANCELLED_BY_USER},
        {"dialog not shown", "!dialog PinDialog fail\n", 5070, SCARD_W_CANCELLED_BY_USER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(dir_.file("pin-state"), "0\n");
        Lines lines = run(selectGood() + c.answer + "SignPkcs7 \"x\" 0\n");
        nlohmann::json result = call(lines, "SignPkcs7");
        EXPECT_EQ(result["ret"], "");
        EXPECT_EQ(result["lastError"], c.lastError);
        EXPECT_EQ(static_cast<DWORD>(result["capiError"].get<int64_t>()), c.capiError);
    }
}

// Three wrong PINs lock the card; the dialog warns before the last try, and a locked card
// is refused without asking, even for the right PIN.
TEST_F(Token, WrongPinsLockTheCard) {
    loadGoodKey();
    Lines lines = run(selectGood() + pinAnswer("111111") + "SignPkcs7 \"x\" 0\n" +
                      pinAnswer("222222") + "SignPkcs7 \"x\" 0\n" + pinAnswer("333333") +
                      "SignPkcs7 \"x\" 0\n" + pinAnswer(kPin) + "SignPkcs7 \"x\" 0\n");
    Lines signs = calls(lines, "SignPkcs7");
    ASSERT_EQ(signs.size(), 4u);
    EXPECT_EQ(signs[0]["lastError"], 3206);
    EXPECT_EQ(signs[1]["lastError"], 3206);
    EXPECT_EQ(signs[2]["lastError"], 3204);
    EXPECT_EQ(static_cast<DWORD>(signs[2]["capiError"].get<int64_t>()), SCARD_W_CHV_BLOCKED);
    EXPECT_EQ(signs[3]["lastError"], 3204);
    std::vector<std::string> texts;
    for (const auto& l : lines)
        if (l.contains("dialog") && l["dialog"] == "PinDialog") texts.push_back(l["text"]);
    ASSERT_EQ(texts.size(), 3u) << "no dialog once the card is locked";
    EXPECT_EQ(texts[0], "請輸入智慧卡「Kestrune Card」的 PIN 碼。");
    EXPECT_NE(texts[1].find("剩下的嘗試次數不多"), std::string::npos) << texts[1];
    EXPECT_NE(texts[2].find("再輸入一次錯誤的 PIN 碼，智慧卡就會鎖住"), std::string::npos)
        << texts[2];
}

TEST_F(Token, SignPkcs1SignsOnTheToken) {
    loadGoodKey();
    Lines lines = run(selectGood() + pinAnswer(kPin) + "SignPkcs1 \"abc\" 0\n");
    nlohmann::json result = call(lines, "SignPkcs1");
    ASSERT_EQ(result["lastError"], 0) << result;
    std::string text = result["ret"];
    ASSERT_EQ(text.size(), 512u);
    writeFile(dir_.file("sig"), testing_support::unhex(text));
    // SHA-1 of the UTF-16LE bytes, by Python.
    runCommand(
        "python3 -c \"import hashlib,sys; open(sys.argv[1],'wb').write(hashlib.sha1("
        "'abc'.encode('utf-16-le')).digest())\" " +
        dir_.file("digest"));
    runCommand("openssl pkey -in " + kSign + "good.key.pem -pubout -out " + dir_.file("pub.pem"));
    int status = -1;
    std::string out = runCommand("openssl pkeyutl -verify -pubin -inkey " + dir_.file("pub.pem") +
                                     " -in " + dir_.file("digest") + " -sigfile " +
                                     dir_.file("sig") + " -pkeyopt digest:sha1 2>&1",
                                 &status);
    EXPECT_EQ(status, 0) << out;
}

// The key cannot leave the card: the mobile export refuses it and the token still holds
// it, sensitive and never extractable.
TEST_F(Token, KeyNeverLeavesTheToken) {
    loadGoodKey();
    Lines lines =
        run("!dialog CertListDialog ok {\"index\":0}\n"
            "ExportMobileFromIE \"" +
            std::string(kGoodFilter) + "\" \"mobile-pass\" 0 0\n");
    nlohmann::json result = call(lines, "ExportMobileFromIE");
    EXPECT_EQ(result["ret"], "");
    EXPECT_EQ(result["lastError"], 5205) << result;
    EXPECT_EQ(containers(), 0u);
    std::string objects = tool("--list-objects --type privkey");
    EXPECT_NE(objects.find("ID:         01a2"), std::string::npos) << objects;
    EXPECT_NE(objects.find("sensitive"), std::string::npos) << objects;
}

// A request from the token's provider: the pair is made on the token and signs the
// request there; the answer is not taken, as only "Microsoft" providers are searched.
TEST_F(Token, CreatePkcs10GeneratesTheKeyOnTheToken) {
    Lines lines = run("SetProviderName \"" + std::string(kProvider) + "\"\n" + pinAnswer(kPin) +
                      "CreatePKCS10 \"Card Holder\" 2048 0\n");
    ASSERT_EQ(call(lines, "SetProviderName")["ret"], 0);
    nlohmann::json request = call(lines, "CreatePKCS10");
    ASSERT_EQ(request["lastError"], 0) << request;
    EXPECT_EQ(dialogs(lines, "PinDialog"), 1) << "one login for the key and the signature";
    writeFile(dir_.file("req.der"), base64Decoded(request["ret"]));
    int status = -1;
    std::string out = runCommand("openssl req -inform DER -in " + dir_.file("req.der") +
                                     " -verify -noout -subject -nameopt RFC2253 2>&1",
                                 &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("CN=Card Holder"), std::string::npos) << out;
    EXPECT_EQ(containers(), 0u) << "nothing of the key in the user database";

    std::string objects = tool("--list-objects --type privkey");
    EXPECT_NE(objects.find("sensitive"), std::string::npos) << objects;
    EXPECT_NE(objects.find("never extractable"), std::string::npos) << objects;
    // The token's public key is the request's.
    std::string requestKey =
        runCommand("openssl req -inform DER -in " + dir_.file("req.der") + " -noout -pubkey");
    std::string onToken = tool("--read-object --type pubkey --id " + firstId(objects) + " -o " +
                               dir_.file("pub.der"));
    std::string tokenKey =
        runCommand("openssl pkey -pubin -inform DER -in " + dir_.file("pub.der"));
    EXPECT_EQ(tokenKey, requestKey) << onToken;

    std::filesystem::create_directories(dir_.file("ca"));
    ASSERT_EQ(system((kCa + " init " + dir_.file("ca") + " >/dev/null 2>&1").c_str()), 0);
    ASSERT_EQ(
        system((kCa + " issue " + dir_.file("ca") + " " + dir_.file("req.der") + " >/dev/null 2>&1")
                   .c_str()),
        0);
    ByteBuffer answer;
    std::string p7b = readFile(dir_.file("ca/answer.p7b"));
    ASSERT_TRUE(answer.encodeBase64(reinterpret_cast<const uint8_t*>(p7b.data()),
                                    static_cast<int32_t>(p7b.size())));
    Lines accepted = run("AcceptPKCS7 \"" + std::string(answer.str()) + "\"\n");
    EXPECT_EQ(call(accepted, "AcceptPKCS7")["lastError"], 5204);
}

// A card pulled out after the login: the signature cannot be made.
TEST_F(Token, RemovedCardFailsTheSignature) {
    loadGoodKey();
    ScopedEnv removal("KSCAPI_SHIM_REMOVE_AFTER_LOGIN", "1");
    Lines lines = run(selectGood() + pinAnswer(kPin) + "SignPkcs7 \"x\" 0\n");
    nlohmann::json result = call(lines, "SignPkcs7");
    EXPECT_EQ(result["ret"], "");
    EXPECT_EQ(result["lastError"], 5061);
    EXPECT_EQ(static_cast<DWORD>(result["capiError"].get<int64_t>()), SCARD_W_REMOVED_CARD);
}

// A signature card: its key wants the PIN again for every signature, after the login.
TEST_F(Token, AlwaysAuthenticateKeyAsksThePinForEverySignature) {
    loadGoodKey();
    ScopedEnv signaturePin("KSCAPI_SHIM_CONTEXT_PIN", "654321");
    struct Case {
        std::string answer;  // to the second PIN dialog of the signature
        int lastError;
        DWORD capiError;
    } cases[] = {
        {pinAnswer("654321"), 0, 0},
        {pinAnswer("654321"), 0, 0},
        {pinAnswer("000000"), 3206, SCARD_W_WRONG_CHV},
        {"!dialog PinDialog cancel\n", 5070, SCARD_W_CANCELLED_BY_USER},
    };
    std::string script = selectGood();
    for (const Case& c : cases) script += pinAnswer(kPin) + c.answer + "SignPkcs7 \"x\" 0\n";
    Lines lines = run(script);
    Lines signs = calls(lines, "SignPkcs7");
    ASSERT_EQ(signs.size(), std::size(cases));
    for (size_t i = 0; i < signs.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(signs[i]["lastError"], cases[i].lastError) << signs[i];
        std::string out;
        if (cases[i].lastError == 0)
            EXPECT_TRUE(verifiesWithOpenssl(signs[i]["ret"], out)) << out;
        else
            EXPECT_EQ(static_cast<DWORD>(signs[i]["capiError"].get<int64_t>()), cases[i].capiError);
    }
    // The login's dialog, then the signature's, which says it is for this one only.
    std::vector<std::string> texts;
    for (const auto& l : lines)
        if (l.contains("dialog") && l["dialog"] == "PinDialog") texts.push_back(l["text"]);
    ASSERT_EQ(texts.size(), 2 * std::size(cases));
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(texts[i].find("此 PIN 碼僅授權這一次簽章") != std::string::npos, i % 2 == 1)
            << texts[i];
}

// Two cards of one label, each with its own certificate and one certificate on both:
// the list shows each certificate once, with the card it is on told by its reader, and
// the PIN dialog names that card.
TEST_F(Token, TwoCardsOfOneLabelAreToldApart) {
    std::string second = newCard();
    ASSERT_FALSE(second.empty());
    loadGoodKey("01a2");
    loadGoodKey("01a2", second);
    int status = -1;
    std::string out =
        tool("--write-object " + kSign + "expired.leaf.der --type cert --id 02 " + "--label other",
             &status, second);
    ASSERT_EQ(status, 0) << out;
    // SoftHSM describes a slot as "SoftHSM slot ID 0x<slot id in hex>".
    auto reader = [](const std::string& slot) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "%llx", std::stoull(slot));
        return "SoftHSM slot ID 0x" + std::string(hex);
    };
    auto card = [&](const std::string& slot) { return "Kestrune Card (" + reader(slot) + ")"; };
    // The certificate both cards hold goes with the card the module lists first; SoftHSM
    // lists its tokens in no set order, so neither that card nor the rows' order is fixed.
    std::string listing = runCommand("pkcs11-tool --module " + kSoftHsm + " -L 2>&1");
    ASSERT_NE(listing.find(reader(second)), std::string::npos) << listing;
    const std::string& first =
        listing.find(reader(slot_)) < listing.find(reader(second)) ? slot_ : second;

    std::vector<std::string> holders;
    for (const auto& l : run("!dialog CertListDialog cancel\nSelectSigner \"\" 0 0\n"))
        if (l.contains("dialog") && l["dialog"] == "CertListDialog")
            for (const auto& row : l["rows"]) holders.push_back(row[0]);
    std::vector<std::string> expected{"Sign Good（" + card(first) + "）",
                                      "Sign Expired Chain（" + card(second) + "）"};
    auto good = std::find(holders.begin(), holders.end(), expected[0]);
    ASSERT_NE(good, holders.end()) << nlohmann::json(holders).dump();
    const std::string index = std::to_string(good - holders.begin());
    std::sort(holders.begin(), holders.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(holders, expected);

    Lines lines = run("!dialog CertListDialog ok {\"index\":" + index + "}\n" + pinAnswer(kPin) +
                      "SelectSigner \"\" 0 0\nSignPkcs7 \"x\" 0\n");
    ASSERT_EQ(call(lines, "SelectSigner")["ret"], 0) << nlohmann::json(lines).dump();
    ASSERT_EQ(call(lines, "SignPkcs7")["lastError"], 0) << call(lines, "SignPkcs7");
    std::string pinToken;
    for (const auto& l : lines)
        if (l.contains("dialog") && l["dialog"] == "PinDialog") pinToken = l["token"];
    EXPECT_EQ(pinToken, card(first));
}

// One control while cards come and go: a card put in after it started is found, one
// pulled out between the choice and the signature is reported so, and put back signs.
TEST_F(Token, CardsComeAndGoWhileTheControlRuns) {
    loadGoodKey();
    pullOut(true);
    ScopedEnv home("KSCAPI_HOME", dir_.file("home"));
    {
        CapiEngine engine;
        ScriptedDialogs dialogs;
        const std::u16string filter(kGoodFilter, kGoodFilter + strlen(kGoodFilter));
        dialogs.queue("PfxFileDialog", ui::DialogOutcome::Cancel);
        EXPECT_EQ(engine.SelectSigner(filter, 2, 0), 5070) << "no card yet";
        pullOut(false);
        ASSERT_EQ(engine.SelectSigner(filter, 2, 0), 0);
        struct Step {
            const char* what;
            bool present;
            int32_t lastError;
            uint32_t capiError;
        } steps[] = {
            {"put in after the start", true, 0, 0},
            {"pulled out after the choice", false, 5061, SCARD_W_REMOVED_CARD},
            {"put back", true, 0, 0},
        };
        bool present = true;
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            if (step.present != present) pullOut(!step.present);
            present = step.present;
            if (step.present) dialogs.queue("PinDialog", ui::DialogOutcome::Ok, {{"pin", kPin}});
            std::string signature = engine.SignPkcs7(u"x", 0);
            ASSERT_EQ(engine.GetErrorCode(), step.lastError);
            std::string out;
            if (step.lastError == 0)
                EXPECT_TRUE(verifiesWithOpenssl(signature, out)) << out;
            else
                EXPECT_EQ(static_cast<uint32_t>(engine.GetCapiErrorCode()), step.capiError);
        }
        EXPECT_EQ(std::count_if(
                      dialogs.lines.begin(), dialogs.lines.end(),
                      [](const nlohmann::json& l) { return l.value("dialog", "") == "PinDialog"; }),
                  2)
            << "a PIN dialog for each signature made, none for the pulled-out card";
    }
    closeUserDatabase();
}

// A module named as p11-kit's configuration names it (user configuration is skipped for
// root, so the system's is used): the names and SoftHSM's library as `p11-kit
// list-modules` shows them.
TEST_F(Token, ProviderAddedByP11KitModuleName) {
    std::istringstream shown(runCommand("p11-kit list-modules 2>/dev/null"));
    std::map<std::string, std::string> modules;  // name: library, as p11-kit prints them
    for (std::string line; std::getline(shown, line);)
        if (!line.empty() && line[0] != ' ' && line.find(": ") != std::string::npos)
            modules[line.substr(0, line.find(": "))] = line.substr(line.find(": ") + 2);
    if (!modules.count("softhsm2")) GTEST_SKIP() << "p11-kit offers no softhsm2 module";
    std::istringstream listed(runCommand(host() + "providers list-pkcs11"));
    std::set<std::string> names;
    for (std::string line; std::getline(listed, line);) {
        nlohmann::json entry = nlohmann::json::parse(line);
        names.insert(entry["module"].get<std::string>());
        EXPECT_EQ(entry["path"].get<std::string>().front(), '/') << line;
    }
    std::set<std::string> expected;
    for (const auto& [name, library] : modules) expected.insert(name);
    EXPECT_EQ(names, expected);
    struct Case {
        const char* module;
        int status;
        std::string shown;  // in the output
    } cases[] = {
        {"softhsm2", 0, "\"module\":\"" + modules["softhsm2"] + "\""},
        {"no-such-module", 1,
         "{\"error\":\"p11-kit has no module named no-such-module\",\"code\":2}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module);
        int status = -1;
        std::string out =
            runCommand(host() + "providers add-pkcs11 Named " + c.module + " 2>&1", &status);
        EXPECT_EQ(status, c.status) << out;
        EXPECT_NE(out.find(c.shown), std::string::npos) << out;
    }
    std::string providers = runCommand(host() + "providers list");
    size_t named = providers.find("\"name\":\"Named\"");
    ASSERT_NE(named, std::string::npos) << providers;
    EXPECT_NE(providers.substr(named, providers.find('\n', named) - named)
                  .find("\"module\":\"" + modules["softhsm2"] + "\""),
              std::string::npos)
        << providers;
}

TEST(Pkcs11Errors, ModuleAnswersMapToPlatformCodes) {
    struct Case {
        CK_RV rv;
        DWORD code;
    } cases[] = {
        {CKR_OK, ERROR_SUCCESS},
        {CKR_PIN_INCORRECT, SCARD_W_WRONG_CHV},
        {CKR_PIN_LEN_RANGE, SCARD_W_WRONG_CHV},
        {CKR_PIN_LOCKED, SCARD_W_CHV_BLOCKED},
        {CKR_FUNCTION_CANCELED, SCARD_W_CANCELLED_BY_USER},
        {CKR_DEVICE_REMOVED, SCARD_W_REMOVED_CARD},
        {CKR_TOKEN_NOT_PRESENT, SCARD_W_REMOVED_CARD},
        {CKR_SESSION_HANDLE_INVALID, SCARD_W_REMOVED_CARD},
        {CKR_DEVICE_MEMORY, NTE_NO_MEMORY},
        {CKR_MECHANISM_INVALID, NTE_BAD_ALGID},
        {CKR_KEY_FUNCTION_NOT_PERMITTED, NTE_BAD_KEY},
        {CKR_USER_NOT_LOGGED_IN, NTE_PERM},
        {CKR_GENERAL_ERROR, NTE_FAIL},
    };
    for (const Case& c : cases) EXPECT_EQ(pkcs11::cryptErrorOfCkr(c.rv), c.code) << c.rv;
}

TEST(Pkcs11Modules, NotAModuleIsRefused) {
    CK_RV rv = CKR_OK;
    EXPECT_EQ(pkcs11::Module::load("/nonexistent/module.so", &rv), nullptr);
    EXPECT_EQ(rv, static_cast<CK_RV>(CKR_GENERAL_ERROR));
    testing_support::TempDir dir;
    int status = -1;
    std::string out = runCommand(std::string(KSCAPI_HOST_PATH) + " --home " + dir.file("home") +
                                     " providers add-pkcs11 Broken /nonexistent/module.so 2>&1",
                                 &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_EQ(runCommand(std::string(KSCAPI_HOST_PATH) + " --home " + dir.file("home") +
                         " providers list")
                  .find("Broken"),
              std::string::npos);
}

}  // namespace
