// One kscapi-bridge process on pipes, driven as a browser drives it, with scripted
// dialogs, and the fixture of a registered module in a private home; shared by the
// tests of the bridge.
#pragma once

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/temp_home.h"
#include "tests/test_support.h"

extern char** environ;

namespace bridge_test {

using json = nlohmann::json;
using testing_support::runCommand;
using testing_support::TempDir;

inline std::string header(uint32_t length) {
    return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

inline std::string frame(const std::string& body) {
    return header(static_cast<uint32_t>(body.size())) + body;
}

inline const std::string kHello = frame(R"({"id":99,"type":"hello"})");

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
