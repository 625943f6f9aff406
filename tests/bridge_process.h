// A kscapi-bridge process driven through its standard input and output as a browser
// drives it, and the framing of its messages.
#pragma once

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/temp_home.h"
#include "tests/test_support.h"

extern char** environ;

namespace testing_support {

inline std::string header(uint32_t length) {
    return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

inline std::string frame(const std::string& body) {
    return header(static_cast<uint32_t>(body.size())) + body;
}

// One kscapi-bridge process on pipes, with the scripted dialogs of `answers` (the file is
// left as it is when `answers` is empty and it exists: hosts in one folder share it) and
// the variables `extra` ("NAME=VALUE") added to its environment, started in the folder
// `workingFolder` when one is given (a browser starts it in a folder of its choosing).
class BridgeProcess {
  public:
    explicit BridgeProcess(const TempDir& dir, const std::string& answers = "",
                           const std::vector<std::string>& extra = {},
                           const std::string& workingFolder = "") {
        if (!answers.empty() || !std::filesystem::exists(dir.file("answers")))
            testing_support::writeFile(dir.file("answers"), answers);
        std::vector<std::string> env(extra);
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
        if (!workingFolder.empty())
            posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
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
    std::optional<nlohmann::json> reply() {
        uint32_t length = 0;
        if (!readAll(reinterpret_cast<char*>(&length), sizeof length)) return std::nullopt;
        std::string body(length, '\0');
        if (!readAll(body.data(), length)) return std::nullopt;
        return nlohmann::json::parse(body, nullptr, false);
    }
    nlohmann::json request(const nlohmann::json& message) {
        write(frame(message.dump()));
        return reply().value_or(nlohmann::json());
    }
    // The host's own peak resident size so far, in KiB, while it runs (a child's rusage
    // would count its parent's memory from before the exec).
    long highWaterKiB() const {
        std::string status = testing_support::readFile("/proc/" + std::to_string(pid_) + "/status");
        size_t at = status.find("VmHWM:");
        return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
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

}  // namespace testing_support

// The names the bridge's test suites share: a registered module in a private home, and
// the code of a reply ("ok" when it carries no error).
namespace bridge_test {

using json = nlohmann::json;
using testing_support::BridgeProcess;
using testing_support::frame;
using testing_support::header;
using testing_support::runCommand;
using testing_support::TempDir;

inline const std::string kHello = frame(R"({"id":99,"type":"hello"})");

inline std::string codeOf(const json& reply) {
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

}  // namespace bridge_test
