// The browser bridge's host: kscapi-bridge driven through its standard input as a
// browser drives it, with well-formed, malformed and hostile messages; the origin rules,
// the consent answers, reply chunks and the host manifests.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "host/bridge/bridge_command.h"
#include "host/bridge/bridge_session.h"
#include "host/bridge/native_messaging.h"
#include "host/bridge/origin_policy.h"
#include "platform/codepage.h"
#include "platform/registry.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"
#include "ui/dialogs.h"
#include "ui/scripted_backend.h"

extern char** environ;

namespace {

using json = nlohmann::json;
using testing_support::runCommand;
using testing_support::TempDir;

std::string header(uint32_t length) {
    return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

std::string frame(const std::string& body) {
    return header(static_cast<uint32_t>(body.size())) + body;
}

const std::string kHello = frame(R"({"id":99,"type":"hello"})");

// One kscapi-bridge process on pipes, with the scripted dialogs of `answers`.
class BridgeProcess {
  public:
    explicit BridgeProcess(const TempDir& dir, const std::string& answers = "") {
        testing_support::writeFile(dir.file("answers"), answers);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "KSCAPI_BRIDGE_", 14) != 0) env.emplace_back(*e);
        env.push_back("KSCAPI_BRIDGE_UI=script");
        env.push_back("KSCAPI_BRIDGE_ANSWERS=" + dir.file("answers"));
        env.push_back("KSCAPI_BRIDGE_LOG=" + dir.file("log"));
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        char* argv[] = {const_cast<char*>(KSCAPI_BRIDGE_PATH), nullptr};
        if (posix_spawn(&pid_, KSCAPI_BRIDGE_PATH, &actions, nullptr, argv, envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        toHost_ = in[1];
        fromHost_ = out[0];
    }
    ~BridgeProcess() {
        closeInput();
        if (pid_ > 0) finish();
        if (fromHost_ >= 0) close(fromHost_);
    }

    bool write(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(toHost_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // The next reply, or nothing when the host closed its output.
    std::optional<json> reply() {
        uint32_t length = 0;
        if (!readAll(reinterpret_cast<char*>(&length), sizeof length)) return std::nullopt;
        std::string body(length, '\0');
        if (!readAll(body.data(), length)) return std::nullopt;
        return json::parse(body);
    }
    json request(const json& message) {
        write(frame(message.dump()));
        return reply().value_or(json());
    }
    void closeInput() {
        if (toHost_ >= 0) close(toHost_);
        toHost_ = -1;
    }
    // Waits for the exit: the wait status, and the peak resident size in KiB.
    int finish(long* peakKiB = nullptr) {
        closeInput();
        int status = -1;
        struct rusage usage {};
        wait4(pid_, &status, 0, &usage);
        pid_ = -1;
        if (peakKiB) *peakKiB = usage.ru_maxrss;
        return status;
    }

  private:
    bool readAll(char* to, size_t size) {
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::read(fromHost_, to + done, size - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    pid_t pid_ = -1;
    int toHost_ = -1;
    int fromHost_ = -1;
};

std::string codeOf(const json& reply) {
    return reply.contains("error") ? reply["error"]["code"].get<std::string>() : "ok";
}

class BridgeHost : public ::testing::Test {
  protected:
    void SetUp() override {
        int status = -1;
        runCommand(std::string(KSCAPI_HOST_PATH) + " register", &status);
        ASSERT_EQ(status, 0);
    }
    TempHome home_;
    TempDir dir_;
};

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
