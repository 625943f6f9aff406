#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "platform/system/process_identity_internal.h"

namespace {

std::string readSmallFile(const std::string& path, bool* missing) {
    if (missing) *missing = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (missing) *missing = errno == ENOENT || errno == ESRCH;
        return std::string();
    }
    std::string text;
    char buffer[1024];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > 16384) break;
    }
    ::close(fd);
    return text;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string pidNamespaceOf(const std::string& procRoot, const std::string& who) {
    char target[128];
    ssize_t n = ::readlink((procRoot + "/" + who + "/ns/pid").c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

ProcessIdentity computeIdentity() {
    ProcessIdentity self;
    self.boot = trimmed(readSmallFile("/proc/sys/kernel/random/boot_id", nullptr));
    self.pidNamespace = pidNamespaceOf("/proc", "self");
    self.pid = ::getpid();
    bool missing = false;
    readProcessStartTime("/proc", self.pid, &self.startTime, &missing);
    return self;
}

struct CachedIdentity {
    std::mutex mutex;
    ProcessIdentity identity;
};

}  // namespace

const ProcessIdentity& currentProcessIdentity() {
    static CachedIdentity cache;
    std::lock_guard lock(cache.mutex);
    // A child of fork() inherits the parent's cache; its pid tells it apart.
    if (cache.identity.pid != ::getpid()) cache.identity = computeIdentity();
    return cache.identity;
}

bool readProcessStartTime(const std::string& procRoot, int64_t pid, uint64_t* startTime,
                          bool* missing) {
    *missing = false;
    if (pid <= 0) {
        *missing = true;
        return false;
    }
    std::string stat = readSmallFile(procRoot + "/" + std::to_string(pid) + "/stat", missing);
    // The command name (field 2) is in parentheses and may itself hold spaces and
    // parentheses: the fields after it start behind the last ')'.
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::string_view rest(stat);
    rest.remove_prefix(close + 1);
    // Field 3 is the first behind the name; field 22 is the twentieth.
    for (int field = 3; field <= 22; ++field) {
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        size_t end = rest.find(' ');
        std::string_view value = rest.substr(0, end);
        if (value.empty()) return false;
        if (field == 22) {
            std::string digits(value);
            char* stop = nullptr;
            errno = 0;
            unsigned long long ticks = std::strtoull(digits.c_str(), &stop, 10);
            if (errno != 0 || *stop != '\0' || digits.front() == '-') return false;
            *startTime = ticks;
            return true;
        }
        if (end == std::string_view::npos) return false;
        rest.remove_prefix(end);
    }
    return false;
}

ProcessState processState(const ProcessIdentity& owner, const std::string& procRoot) {
    const ProcessIdentity& self = currentProcessIdentity();
    // Every process of an earlier boot has ended.
    if (!owner.boot.empty() && !self.boot.empty() && owner.boot != self.boot)
        return ProcessState::Gone;
    if (owner.pidNamespace != self.pidNamespace) return ProcessState::Unknown;
    uint64_t startTime = 0;
    bool missing = false;
    if (!readProcessStartTime(procRoot, owner.pid, &startTime, &missing))
        return missing ? ProcessState::Gone : ProcessState::Unknown;
    return startTime == owner.startTime ? ProcessState::Running : ProcessState::Gone;
}
