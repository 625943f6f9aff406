// Small helpers shared by the test suites.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/text/codepage.h"

namespace testing_support {

// Bytes from a hex string (no separators).
inline std::string unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// A temporary folder removed with its contents at the end of the scope.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/kscapi-dir-XXXXXX";
        const char* d = mkdtemp(tmpl);
        path_ = d ? d : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Sets the process ANSI code page for one scope and restores the previous one.
class ScopedCodePage {
  public:
    explicit ScopedCodePage(UINT cp) : previous_(GetACP()) { SetProcessAnsiCodePage(cp); }
    ~ScopedCodePage() { SetProcessAnsiCodePage(previous_); }
    ScopedCodePage(const ScopedCodePage&) = delete;
    ScopedCodePage& operator=(const ScopedCodePage&) = delete;

  private:
    UINT previous_;
};

// Runs a shell command and returns its standard output.
inline std::string runCommand(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

inline std::string readFile(const std::string& path) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

inline void writeFile(const std::string& path, const std::string& content) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

// The names of the files below `folder` whose bytes hold `needle`: where a secret must
// not be.
inline std::vector<std::string> filesHolding(const std::string& folder, const std::string& needle) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file() &&
            readFile(entry.path().string()).find(needle) != std::string::npos)
            out.push_back(entry.path().filename().string());
    return out;
}

}  // namespace testing_support
