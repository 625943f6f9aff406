// The browser bridge's host: kscapi-bridge driven through its standard input as a
// browser drives it, with well-formed, malformed and hostile messages; the origin rules,
// the consent answers, reply chunks and the host manifests.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/bridge/bridge_command.h"
#include "host/bridge/bridge_session.h"
#include "host/bridge/native_messaging.h"
#include "host/bridge/origin_policy.h"
#include "platform/registry/registry.h"
#include "platform/text/codepage.h"
#include "tests/bridge_process.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"
#include "ui/dialogs.h"
#include "ui/scripted_backend.h"

namespace {

using namespace bridge_test;
using testing_support::runCommand;
using testing_support::TempDir;

struct StreamCase {
    const char* name;
    std::string input;
    std::vector<std::string> codes;  // one per reply; "ok" for a reply without error
};

TEST_F(BridgeHost, MalformedStreamsGetErrorRepliesAndBoundedMemory) {
    const uint32_t over = bridge::kMaxRequestBytes + 1;
    const StreamCase cases[] = {
        {"truncated length", std::string("\x05\x00", 2), {"truncated"}},
        {"truncated body", header(100) + "{\"id\":1", {"truncated"}},
        {"2 GiB length", header(0x80000000u) + "{}", {"too_large"}},
        {"4 GiB length", header(0xFFFFFFFFu), {"too_large"}},
        {"oversized body read past",
         header(over) + std::string(over, '{') + kHello,
         {"too_large", "ok"}},
        {"bad JSON", frame("{bad") + kHello, {"bad_json", "ok"}},
        {"empty message", frame("") + kHello, {"bad_json", "ok"}},
        {"invalid UTF-8", frame("{\"id\":1,\"type\":\"hel\xff\"}") + kHello, {"bad_json", "ok"}},
        {"lone surrogate", frame(R"({"id":1,"type":"\ud800"})") + kHello, {"bad_json", "ok"}},
        {"not an object", frame("[1,2]") + kHello, {"bad_message", "ok"}},
        {"id not an integer", frame(R"({"id":"1","type":"hello"})"), {"bad_message"}},
        {"no type", frame(R"({"id":1})"), {"bad_message"}},
        {"unknown type", frame(R"({"id":1,"type":"exec"})"), {"unknown_type"}},
        {"create without owner",
         frame(R"({"id":1,"type":"create","origin":"https://a.example"})"),
         {"bad_message"}},
        {"create without origin",
         frame(R"({"id":1,"type":"create","owner":"t"})"),
         {"bad_message"}},
        {"overlong owner",
         frame(json({{"id", 1},
                     {"type", "create"},
                     {"origin", "https://a.example"},
                     {"owner", std::string(600, 'o')}})
                   .dump()),
         {"bad_message"}},
        {"call without object",
         frame(R"({"id":1,"type":"call","origin":"https://a.example","owner":"t","op":"Hash"})"),
         {"bad_message"}},
        {"call of an object never made",
         frame(R"({"id":1,"type":"call","origin":"https://a.example","owner":"t","object":7,)"
               R"("op":"GetVersion","args":[]})"),
         {"no_object"}},
        {"release of an object never made",
         frame(R"({"id":1,"type":"release","origin":"https://a.example","owner":"t","object":1})"),
         {"no_object"}},
    };
    // The host's own size after a well-formed session: a sanitizer build starts far larger.
    long baseKiB = 0;
    {
        BridgeProcess bridge(dir_);
        ASSERT_TRUE(bridge.write(kHello));
        bridge.closeInput();
        while (bridge.reply()) {
        }
        bridge.finish(&baseKiB);
    }
    for (const StreamCase& c : cases) {
        BridgeProcess bridge(dir_);
        ASSERT_TRUE(bridge.write(c.input)) << c.name;
        bridge.closeInput();
        std::vector<std::string> codes;
        while (auto reply = bridge.reply()) codes.push_back(codeOf(*reply));
        long peakKiB = 0;
        int status = bridge.finish(&peakKiB);
        EXPECT_EQ(codes, c.codes) << c.name;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name << " " << status;
        // The body limit is 16 MiB; the host never holds an oversized one.
        EXPECT_LT(peakKiB, baseKiB + 64 * 1024) << c.name;
    }
}

struct CallCase {
    const char* name;
    json message;  // merged over a valid call of Hash("abc", 3) on object 1
    std::string code;
};

TEST_F(BridgeHost, CallsWithWrongOperationsOrArgumentsAreRefused) {
    ASSERT_EQ(bridge::rememberOrigin("https://bank.example"), ERROR_SUCCESS);
    BridgeProcess bridge(dir_);
    json created = bridge.request(
        {{"id", 1}, {"type", "create"}, {"origin", "https://bank.example"}, {"owner", "tab-1"}});
    ASSERT_EQ(created["object"], 1) << created;
    const json base = {{"type", "call"},   {"origin", "https://bank.example"},
                       {"owner", "tab-1"}, {"object", 1},
                       {"op", "Hash"},     {"args", {"abc", 3}}};
    const CallCase cases[] = {
        {"unknown operation", {{"op", "NoSuchOp"}, {"args", json::array()}}, "unknown_op"},
        {"name in another case", {{"op", "hash"}}, "unknown_op"},
        {"op not a string", {{"op", 11}}, "bad_message"},
        {"too few arguments", {{"args", {"abc"}}}, "bad_arguments"},
        {"too many arguments", {{"args", {"abc", 3, 4}}}, "bad_arguments"},
        {"args not an array", {{"args", {{"text", "abc"}}}}, "bad_arguments"},
        {"string for an int", {{"args", {"abc", "3"}}}, "bad_arguments"},
        {"number for a string", {{"args", {1, 3}}}, "bad_arguments"},
        {"fraction for an int", {{"args", {"abc", 1.5}}}, "bad_arguments"},
        {"int above 32 bits", {{"args", {"abc", 4294967296LL}}}, "bad_arguments"},
        {"int below 32 bits", {{"args", {"abc", -2147483649LL}}}, "bad_arguments"},
        {"boolean for an int", {{"args", {"abc", true}}}, "bad_arguments"},
        {"null for an int", {{"args", {"abc", nullptr}}}, "bad_arguments"},
        {"object of another owner", {{"owner", "tab-2"}}, "no_object"},
        {"object of another origin", {{"origin", "https://evil.example"}}, "no_object"},
        {"object id as text", {{"object", "1"}}, "bad_message"},
    };
    int id = 10;
    for (const CallCase& c : cases) {
        json message = base;
        message.update(c.message);
        message["id"] = ++id;
        json reply = bridge.request(message);
        EXPECT_EQ(codeOf(reply), c.code) << c.name << ": " << reply;
        EXPECT_EQ(reply["id"], id) << c.name;
    }
    // After all of that the object still works. 0x80000003 arrives from script as a
    // positive number; its low bits pick SHA-256 of the UTF-16LE text.
    std::string expected =
        runCommand("printf 'a\\0b\\0c\\0' | openssl dgst -sha256 -r | cut -c1-64");
    expected.resize(64);
    for (char& ch : expected) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    json message = base;
    message["id"] = 50;
    message["args"] = {"abc", 2147483651LL};
    json hash = bridge.request(message);
    EXPECT_EQ(hash["ret"], expected) << hash;
    EXPECT_EQ(hash["lastError"], 0);
    message["id"] = 51;
    message["args"] = {nullptr, 3};
    json empty = bridge.request(message);
    EXPECT_EQ(empty["ret"], "");
    EXPECT_EQ(empty["lastError"], 5005);
    json release = bridge.request({{"id", 52}, {"type", "releaseOwner"}, {"owner", "tab-1"}});
    EXPECT_EQ(release["released"], 1);
    EXPECT_EQ(bridge.request({{"id", 53}, {"type", "hello"}})["objects"], 0);
    EXPECT_EQ(bridge.finish(), 0);
}

struct HostileCase {
    const char* name;
    std::string body;  // sent after the create of object 1, then a hello
    std::string code;
    json id;  // of the refusal
};

// `head`, then `piece` repeated while the text stays under `bytes`, then `tail`.
std::string filled(std::string head, const std::string& piece, const std::string& tail,
                   size_t bytes) {
    while (head.size() + piece.size() + tail.size() <= bytes) head += piece;
    return head + tail;
}

TEST_F(BridgeHost, HostileMessagesAreRefusedWhileTheyAreRead) {
    ASSERT_EQ(bridge::rememberOrigin("https://bank.example"), ERROR_SUCCESS);
    const std::string create =
        frame(R"({"id":1,"type":"create","origin":"https://bank.example","owner":"t"})");
    const std::string call =
        R"({"id":7,"type":"call","origin":"https://bank.example","owner":"t","object":1,)"
        R"("op":"Hash","args":)";
    const size_t big = bridge::kMaxRequestBytes - 64;
    std::string seventeen = call + "[null", fields = R"({"id":7)";
    for (int i = 0; i < 16; ++i) seventeen += ",null";
    for (int i = 0; i < 16; ++i) fields += ",\"f" + std::to_string(i) + "\":0";
    const HostileCase cases[] = {
        {"16 MiB of empty objects as arguments", filled(call + "[", "{},", "{}]}", big),
         "bad_arguments", 7},
        {"16 MiB of nested arrays as an argument", filled(call + "[", "[", "", big),
         "bad_arguments", 7},
        {"16 MiB of nested objects in a field", filled(R"({"id":7,"x":)", "{\"x\":", "", big),
         "bad_message", 7},
        {"16 MiB of empty objects outside an object", filled("[", "{},", "{}]", big), "bad_message",
         nullptr},
        {"16 MiB of empty objects as arguments, the id after them",
         filled(R"({"args":[)", "{},", R"({}],"id":7})", big), "bad_arguments", 7},
        {"17 arguments", seventeen + "]}", "bad_arguments", 7},
        {"17 fields", fields + "}", "bad_message", 7},
        {"a repeated field",
         R"({"id":7,"type":"create","origin":"https://bank.example",)"
         R"("origin":"https://evil.example","owner":"t"})",
         "bad_message", 7},
        {"a boolean argument", call + R"(["abc",true]})", "bad_arguments", 7},
        {"a fraction as an argument", call + R"(["abc",3.0]})", "bad_arguments", 7},
    };
    // AddressSanitizer's shadow memory and freed-memory quarantine about double what a host
    // holds; the bounds below are for the host as shipped.
#if defined(__SANITIZE_ADDRESS__)
    constexpr long kInstrumented = 3;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    constexpr long kInstrumented = 3;
#else
    constexpr long kInstrumented = 1;
#endif
#else
    constexpr long kInstrumented = 1;
#endif
    // Sends `body` after a create and before a hello: the replies, and the host's peak.
    auto session = [&](const std::string& body, std::vector<json>& replies) {
        BridgeProcess bridge(dir_);
        if (!bridge.write(create + frame(body) + kHello)) return -1L;
        for (int i = 0; i < 3; ++i) replies.push_back(bridge.reply().value_or(json()));
        long peakKiB = bridge.highWaterKiB();
        return bridge.finish() == 0 ? peakKiB : -1L;
    };
    std::vector<json> replies;
    const long baseKiB = session(R"({"id":7,"type":"hello"})", replies);
    ASSERT_GT(baseKiB, 0);
    for (const HostileCase& c : cases) {
        replies.clear();
        long peakKiB = session(c.body, replies);
        ASSERT_GT(peakKiB, 0) << c.name;
        EXPECT_EQ(codeOf(replies[0]), "ok") << c.name;
        EXPECT_EQ(codeOf(replies[1]), c.code) << c.name << ": " << replies[1];
        EXPECT_EQ(replies[1]["id"], c.id) << c.name;
        EXPECT_EQ(codeOf(replies[2]), "ok") << c.name;
        // The message itself, and not much more: no tree is built of it.
        EXPECT_LT(peakKiB - baseKiB,
                  kInstrumented * (2 * static_cast<long>(c.body.size() / 1024) + 4096))
            << c.name;
    }
    // The largest message a page may send: one text of 16 MiB, hashed; the digest is
    // python's of the same UTF-16LE text.
    const size_t chars = big - call.size() - 16;
    replies.clear();
    long peakKiB = session(call + "[\"" + std::string(chars, 'a') + "\",3]}", replies);
    ASSERT_GT(peakKiB, 0);
    std::string expected =
        runCommand("python3 -c \"import hashlib;print(hashlib.sha256(('a'*" +
                   std::to_string(chars) + ").encode('utf-16le')).hexdigest().upper(),end='')\"");
    EXPECT_EQ(replies[1]["ret"], expected);
    // About six times the message: its text as UTF-8, as UTF-16 and the engine's copies.
    EXPECT_LT(peakKiB - baseKiB, kInstrumented * 8 * static_cast<long>(big / 1024));
}

TEST_F(BridgeHost, ADialogWaitingInOneHostLeavesAnotherAnswering) {
    ASSERT_EQ(bridge::rememberOrigin("https://bank.example"), ERROR_SUCCESS);
    const std::vector<std::string> wait = {"KSCAPI_BRIDGE_ANSWER_WAIT_MS=20000"};
    BridgeProcess asking(dir_, "", wait), other(dir_, "", wait);
    ASSERT_TRUE(asking.write(
        frame(R"({"id":1,"type":"create","origin":"https://new.example","owner":"t"})")));
    for (int i = 0;
         i < 500 &&
         testing_support::readFile(dir_.file("log")).find("\"dialog\":\"OriginConsent\"") ==
             std::string::npos;
         ++i)
        usleep(20 * 1000);
    json created = other.request(
        {{"id", 1}, {"type", "create"}, {"origin", "https://bank.example"}, {"owner", "t"}});
    ASSERT_EQ(created["object"], 1) << created;
    auto start = std::chrono::steady_clock::now();
    json version = other.request({{"id", 2},
                                  {"type", "call"},
                                  {"origin", "https://bank.example"},
                                  {"owner", "t"},
                                  {"object", 1},
                                  {"op", "GetVersion"},
                                  {"args", json::array()}});
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(codeOf(version), "ok") << version;
    EXPECT_LT(elapsed, std::chrono::milliseconds(100));
    // The answer appended now goes to the dialog that waits for it, and is marked taken.
    std::FILE* answers = std::fopen(dir_.file("answers").c_str(), "a");
    ASSERT_NE(answers, nullptr);
    std::fputs("OriginConsent cancel\n", answers);
    std::fclose(answers);
    EXPECT_EQ(codeOf(asking.reply().value_or(json())), "origin_denied");
    EXPECT_EQ(testing_support::readFile(dir_.file("answers")), "#riginConsent cancel\n");
}

TEST_F(BridgeHost, ConsentAnswersDecideAndAreKeptAsChosen) {
    ASSERT_EQ(bridge::setDevelopmentMode(true), ERROR_SUCCESS);
    BridgeProcess bridge(dir_,
                         "OriginConsent ok {\"answer\":\"once\"}\n"
                         "OriginConsent cancel\n"
                         "OriginConsent ok {\"answer\":\"always\"}\n");
    auto create = [&bridge](int id, const std::string& origin) {
        return codeOf(
            bridge.request({{"id", id}, {"type", "create"}, {"origin", origin}, {"owner", "tab"}}));
    };
    EXPECT_EQ(create(1, "https://once.example"), "ok");
    EXPECT_EQ(create(2, "https://once.example"), "ok");  // not asked again this session
    EXPECT_EQ(create(3, "https://denied.example"), "origin_denied");
    EXPECT_EQ(create(4, "https://denied.example"), "origin_denied");
    EXPECT_EQ(create(5, "http://localhost:8443"), "ok");
    EXPECT_EQ(create(6, "http://intranet.example"), "origin_refused");
    EXPECT_EQ(create(7, "https://bank.example/path"), "origin_refused");
    EXPECT_EQ(bridge.finish(), 0);
    EXPECT_EQ(bridge::rememberedOrigins(), std::vector<std::string>{"http://localhost:8443"});
    // Three dialogs: the refused origins and the repeated ones are never asked about.
    std::string log = testing_support::readFile(dir_.file("log"));
    size_t dialogs = 0;
    for (size_t at = 0; (at = log.find("\"dialog\":\"OriginConsent\"", at)) != std::string::npos;
         ++at)
        ++dialogs;
    EXPECT_EQ(dialogs, 3u) << log;
    EXPECT_NE(log.find("\"title\":\"" + ansiToUtf8(toAnsi(u"網站要求使用憑證")) +
                       " - https://once.example\""),
              std::string::npos)
        << log;
}

TEST_F(BridgeHost, RefusedLocalOriginsAreToldOfDevelopmentMode) {
    BridgeProcess bridge(dir_);
    const std::pair<const char*, bool> cases[] = {
        {"http://localhost", true},
        {"http://127.0.0.1:8080", true},
        {"http://[::1]:3000", true},
        {"http://intranet.example", false},
    };
    int id = 0;
    for (const auto& [origin, local] : cases) {
        json reply =
            bridge.request({{"id", ++id}, {"type", "create"}, {"origin", origin}, {"owner", "t"}});
        EXPECT_EQ(codeOf(reply), "origin_refused") << reply;
        std::string message = reply["error"]["message"].get<std::string>();
        EXPECT_NE(message.find(origin), std::string::npos) << message;
        EXPECT_EQ(message.find("`kscapi bridge develop on`") != std::string::npos, local)
            << message;
    }
    // The command named is the one that lets them in.
    int status = -1;
    runCommand(std::string(KSCAPI_HOST_PATH) + " bridge develop on", &status);
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(bridge::developmentMode());
}

// How many dialogs of `kind` the host's log reports.
size_t dialogsIn(const std::string& log, const std::string& kind) {
    size_t count = 0;
    const std::string needle = "\"dialog\":\"" + kind + "\"";
    for (size_t at = 0; (at = log.find(needle, at)) != std::string::npos; ++at) ++count;
    return count;
}

TEST_F(BridgeHost, PagesSignAndTakeKeysOnlyWithTheUsersConsent) {
    const std::string sign = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/sign/";
    int status = -1;
    runCommand(std::string(KSCAPI_HOST_PATH) + " store import-pfx " + sign + "good.pfx secret",
               &status);
    ASSERT_EQ(status, 0);
    runCommand("cp " + sign + "good.pfx " + dir_.file("good.pfx"));
    const std::string thumbprint = runCommand("openssl x509 -inform DER -in " + sign +
                                              "good.leaf.der -noout -fingerprint "
                                              "-sha1 | sed 's/.*=//; s/://g' | tr -d '\\n'");
    ASSERT_EQ(bridge::rememberOrigin("https://bank.example"), ERROR_SUCCESS);
    const std::string filter = "S_C=TW,S_O=Kestrune Test,S_CN=Sign Good";
    const std::string out = dir_.file("out");

    auto session = [&](const std::string& answers,
                       const std::function<void(const std::function<json(json)>&)>& run) {
        testing_support::writeFile(dir_.file("log"), "");
        BridgeProcess bridge(dir_, answers);
        json created = bridge.request(
            {{"id", 1}, {"type", "create"}, {"origin", "https://bank.example"}, {"owner", "tab"}});
        ASSERT_EQ(created["object"], 1) << created;
        int id = 1;
        auto call = [&](json opAndArgs) {
            json message = {{"id", ++id},
                            {"type", "call"},
                            {"origin", "https://bank.example"},
                            {"owner", "tab"},
                            {"object", 1}};
            message.update(opAndArgs);
            return bridge.request(message);
        };
        json selected = call({{"op", "SelectSigner"}, {"args", {filter, 0, 0}}});
        ASSERT_EQ(selected["ret"], 0) << selected << testing_support::readFile(dir_.file("log"));
        run(call);
        EXPECT_EQ(bridge.finish(), 0);
    };
    struct Refused {
        const char* what;
        json call;
        int capiError;  // -1: not checked
    };
    const Refused refused[] = {
        {"PKCS#7 signature", {{"op", "SignPkcs7"}, {"args", {"pay 1", 0x800}}}, 1223},
        {"PKCS#1 signature", {{"op", "SignPkcs1"}, {"args", {"pay 1", 0}}}, 1223},
        {"PFX export that would delete",
         {{"op", "ExportPfxFromIE"}, {"args", {filter, out, "page-chosen-1", 0x1000, 0}}},
         -1},
        {"mobile text from the store",
         {{"op", "ExportMobileFromIE"}, {"args", {filter, "pw", 0, 0}}},
         -1},
        {"mobile text from a PFX file",
         {{"op", "ExportMobileFromPfx"}, {"args", {dir_.path(), "good.pfx", "secret", 0, 0}}},
         -1},
    };
    session(
        "SignConsent cancel\nSignConsent cancel\nKeyExportConsent cancel\n"
        "KeyExportConsent cancel\nKeyExportConsent cancel\nSignConsent ok {\"further\":true}\n"
        // The user confirms the PFX file the page named; the key still needs consent.
        "PfxSaveDialog ok " +
            json({{"browse", dir_.file("good.pfx")}, {"password", "secret"}}).dump() + "\n",
        [&](const std::function<json(json)>& call) {
            for (const Refused& c : refused) {
                json reply = call(c.call);
                EXPECT_EQ(reply["lastError"], 5070) << c.what << reply;
                if (c.capiError >= 0) {
                    EXPECT_EQ(reply["capiError"], c.capiError) << c.what;
                }
                if (reply["ret"].is_string()) {
                    EXPECT_EQ(reply["ret"], "") << c.what;
                }
            }
            EXPECT_FALSE(std::filesystem::exists(out));
            // Allowed once with "further": this page signs on with the certificate unasked.
            for (const char* text : {"pay 2", "pay 3"}) {
                json reply = call({{"op", "SignPkcs7"}, {"args", {text, 0x800}}});
                ASSERT_EQ(reply["lastError"], 0) << reply;
                testing_support::writeFile(dir_.file("sig.b64"), reply["ret"].get<std::string>());
                int verified = -1;
                std::string content =
                    runCommand("openssl base64 -d -A -in " + dir_.file("sig.b64") +
                                   " | openssl cms -verify -noverify -inform DER 2>/dev/null",
                               &verified);
                EXPECT_EQ(verified, 0);
                EXPECT_EQ(content, text);
            }
        });
    std::string log = testing_support::readFile(dir_.file("log"));
    EXPECT_EQ(dialogsIn(log, "SignConsent"), 3u) << log;
    EXPECT_EQ(dialogsIn(log, "KeyExportConsent"), 3u) << log;
    for (const char* shown : {"\"site\":\"https://bank.example\"", "\"deletes\":true",
                              "\"how\":\"mobile\"", "\"content\":\"pay 1\""})
        EXPECT_NE(log.find(shown), std::string::npos) << shown << log;
    EXPECT_NE(log.find("\"thumbprint\":\"" + thumbprint + "\""), std::string::npos) << log;
    // Still in the personal store: the refused export deleted nothing.
    EXPECT_NE(runCommand(std::string(KSCAPI_HOST_PATH) + " store list MY").find(thumbprint),
              std::string::npos);

    // A new page (a new host process) is asked again.
    session("SignConsent cancel\n", [&](const std::function<json(json)>& call) {
        json reply = call({{"op", "SignPkcs7"}, {"args", {"pay 4", 0x800}}});
        EXPECT_EQ(reply["lastError"], 5070) << reply;
        EXPECT_EQ(reply["capiError"], 1223);
    });
    EXPECT_EQ(dialogsIn(testing_support::readFile(dir_.file("log")), "SignConsent"), 1u);
}

TEST(BridgeOrigins, FormsAsBrowsersSerialiseThem) {
    using bridge::OriginForm;
    const std::pair<const char*, OriginForm> cases[] = {
        {"https://bank.example", OriginForm::Secure},
        {"https://bank.example:8443", OriginForm::Secure},
        {"https://[2001:db8::1]", OriginForm::Secure},
        {"https://10.0.0.1", OriginForm::Secure},
        {"http://localhost", OriginForm::Local},
        {"http://localhost:3000", OriginForm::Local},
        {"http://127.0.0.1:8080", OriginForm::Local},
        {"http://[::1]:8080", OriginForm::Local},
        {"http://bank.example", OriginForm::Insecure},
        {"http://localhost.evil.example", OriginForm::Insecure},
        {"http://127.0.0.2", OriginForm::Insecure},
        {"https://bank.example/", OriginForm::Malformed},
        {"https://bank.example/path", OriginForm::Malformed},
        {"https://user@bank.example", OriginForm::Malformed},
        {"https://Bank.example", OriginForm::Malformed},
        {"https://bank.example:0", OriginForm::Malformed},
        {"https://bank.example:65536", OriginForm::Malformed},
        {"https://bank.example:08443", OriginForm::Malformed},
        {"https://", OriginForm::Malformed},
        {"https://.example", OriginForm::Malformed},
        {"https://[::1", OriginForm::Malformed},
        {"null", OriginForm::Malformed},
        {"file://", OriginForm::Malformed},
        {"chrome-extension://jelgkoacpkcodhcjecmjolbfilfknojp", OriginForm::Malformed},
        {"HTTPS://bank.example", OriginForm::Malformed},
    };
    for (const auto& [origin, form] : cases)
        EXPECT_EQ(bridge::classifyOrigin(origin), form) << origin;
}

TEST(BridgeOrigins, PolicyAsksOnceAndHonoursDevelopmentMode) {
    TempHome home;
    std::vector<std::string> asked;
    ui::OriginChoice next = ui::OriginChoice::Once;
    bridge::OriginPolicy policy([&](const std::string& origin) {
        asked.push_back(origin);
        return next;
    });
    using bridge::Admission;
    EXPECT_EQ(policy.admit("http://localhost:3000"), Admission::Refused);  // mode off
    ASSERT_EQ(bridge::setDevelopmentMode(true), ERROR_SUCCESS);
    EXPECT_EQ(policy.admit("http://localhost:3000"), Admission::Allowed);
    next = ui::OriginChoice::Always;
    EXPECT_EQ(policy.admit("https://bank.example"), Admission::Allowed);
    next = ui::OriginChoice::Deny;
    EXPECT_EQ(policy.admit("https://evil.example"), Admission::Denied);
    EXPECT_EQ(policy.admit("https://evil.example"), Admission::Denied);
    EXPECT_EQ(policy.admit("https://bank.example"), Admission::Allowed);
    EXPECT_EQ(policy.admit("http://bank.example"), Admission::Refused);
    EXPECT_EQ(asked, (std::vector<std::string>{"http://localhost:3000", "https://bank.example",
                                               "https://evil.example"}));
    // A new session asks again except for the origin allowed for good.
    bridge::OriginPolicy later([&](const std::string& origin) {
        asked.push_back(origin);
        return ui::OriginChoice::Deny;
    });
    EXPECT_EQ(later.admit("https://bank.example"), Admission::Allowed);
    EXPECT_EQ(later.admit("http://localhost:3000"), Admission::Denied);
    EXPECT_EQ(asked.size(), 4u);
    EXPECT_EQ(bridge::forgetOrigin("https://bank.example"), ERROR_SUCCESS);
    EXPECT_EQ(bridge::forgetOrigin("https://bank.example"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(bridge::rememberedOrigins().empty());
}

TEST(BridgeDialogs, ConsentAnswersAndCaptionsWithTheRequester) {
    ui::ScriptedBackend backend(nullptr);
    const std::pair<json, std::string> answers[] = {
        {{{"answer", "once"}}, ""},
        {{{"answer", "always"}}, ""},
        {{{"answer", "maybe"}}, "OriginConsent answer answer must be \"once\" or \"always\""},
        {json::object(), "OriginConsent answers need {\"answer\":...}"},
    };
    for (const auto& [values, reason] : answers) {
        std::string why;
        EXPECT_EQ(backend.queue("OriginConsent", ui::DialogOutcome::Ok, values, why),
                  reason.empty())
            << values;
        EXPECT_EQ(why, reason);
    }
    EXPECT_EQ(ui::shownCaption("T"), "T");
    {
        ui::ScopedDialogRequester requester("https://bank.example");
        EXPECT_EQ(ui::shownCaption("T"), "T - https://bank.example");
    }
    EXPECT_EQ(ui::shownCaption("T"), "T");
}

TEST(BridgeFraming, LongRepliesSplitIntoChunksThatJoin) {
    // Quotes and backslashes double inside a chunk's string: the worst case for size.
    std::string reply = R"({"id":7,"ret":")" + std::string(3 * 1024 * 1024, '"') + "\"}";
    std::vector<std::string> chunks = bridge::chunkReply(reply, "7");
    ASSERT_GT(chunks.size(), 1u);
    std::string joined;
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_LE(chunks[i].size(), bridge::kMaxReplyBytes);
        json chunk = json::parse(chunks[i]);
        EXPECT_EQ(chunk["id"], 7);
        EXPECT_EQ(chunk["chunk"], i);
        EXPECT_EQ(chunk["chunks"], chunks.size());
        joined += chunk["data"].get<std::string>();
    }
    EXPECT_EQ(joined, reply);
    EXPECT_EQ(bridge::chunkReply("{\"id\":1}", "1"), std::vector<std::string>{"{\"id\":1}"});
}

TEST(BridgeCommand, InstallsAndRemovesTheHostManifests) {
    TempDir home;
    std::string cli = "HOME=" + home.path() + " XDG_CONFIG_HOME= " + KSCAPI_HOST_PATH + " bridge ";
    int status = -1;
    std::string out = runCommand(cli + "install --host " + KSCAPI_BRIDGE_PATH, &status);
    ASSERT_EQ(status, 0) << out;
    const std::pair<const char*, const char*> places[] = {
        {"chromium", "/.config/chromium/NativeMessagingHosts/com.kestrune.kscapi.json"},
        {"chrome", "/.config/google-chrome/NativeMessagingHosts/com.kestrune.kscapi.json"},
        {"firefox", "/.mozilla/native-messaging-hosts/com.kestrune.kscapi.json"},
    };
    for (const auto& [browser, place] : places) {
        json manifest = json::parse(testing_support::readFile(home.path() + place));
        EXPECT_EQ(manifest["name"], "com.kestrune.kscapi") << browser;
        EXPECT_EQ(manifest["type"], "stdio") << browser;
        EXPECT_EQ(manifest["path"], std::filesystem::absolute(KSCAPI_BRIDGE_PATH).string());
        if (std::string(browser) == "firefox")
            EXPECT_EQ(manifest["allowed_extensions"], json({"kscapi@kestrune.example"}));
        else
            EXPECT_EQ(manifest["allowed_origins"],
                      json({"chrome-extension://jelgkoacpkcodhcjecmjolbfilfknojp/"}));
    }
    runCommand(cli + "uninstall --browser chrome", &status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(std::filesystem::exists(home.path() + places[1].second));
    EXPECT_TRUE(std::filesystem::exists(home.path() + places[0].second));

    json missing =
        json::parse(runCommand(cli + "install --host /nonexistent/kscapi-bridge 2>&1", &status));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(missing["code"], ENOENT);
    runCommand(cli + "install --browser safari 2>/dev/null", &status);
    EXPECT_EQ(status, 2);
    json revoke =
        json::parse(runCommand(cli + "origins revoke https://never.example 2>&1", &status));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(revoke["code"], ERROR_FILE_NOT_FOUND);
}

}  // namespace
