#include "core/file_replacer.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/file_handle.h"
#include "platform/system/files.h"
#include "platform/system/last_error.h"

namespace {

// Long enough to tell the file by, short enough that the temporary name fits wherever
// the file's own name does.
constexpr size_t kNameKept = 64;

bool failWithErrno() {
    SetLastError(errno ? lastErrorFromErrno(errno) : ERROR_INVALID_FUNCTION);
    return false;
}

// The temporary file, removed unless it took the file's place.
class TemporaryName {
  public:
    explicit TemporaryName(std::string path) : path_(std::move(path)) {}
    ~TemporaryName() { close(); }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    // Removes the file unless it was kept; idempotent.
    void close() {
        if (path_.empty()) return;
        int saved = errno;
        ::unlink(path_.c_str());
        errno = saved;
        path_.clear();
    }
    void keep() { path_.clear(); }

  private:
    std::string path_;
};

// A rename is durable once the folder's entry is on the disk; a folder that cannot be
// flushed (some file systems refuse) leaves the rename done all the same.
void flushFolder(const std::string& folder) {
    FileHandle dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

bool FileReplacer::replace(const std::string& path, const BYTE* data, size_t size) const {
    std::string native = nativePath(path);
    size_t slash = native.find_last_of('/');
    std::string leaf = slash == std::string::npos ? native : native.substr(slash + 1);
    if (leaf.empty()) return failWithLastError(ERROR_INVALID_PARAMETER);
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : native.substr(0, slash);

    struct stat old {};
    bool replacing = ::stat(native.c_str(), &old) == 0;
    if (replacing && S_ISDIR(old.st_mode)) return failWithLastError(ERROR_ACCESS_DENIED);

    std::string temporary = folder + "/." + leaf.substr(0, kNameKept) + ".XXXXXX";
    FileHandle fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) return failWithErrno();
    TemporaryName cleanup(temporary);
    if (replacing) {
        // Only the owner or root may give a file away; for the owner it is a no-op.
        if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0 && errno != EPERM)
            return failWithErrno();
    }
    mode_t mode = replacing ? (old.st_mode & 07777) : 0600;
    if (::fchmod(fd.get(), mode) != 0) return failWithErrno();
    if (size > 0 && !writeAll(fd.get(), data, size)) return failWithErrno();
    if (::fsync(fd.get()) != 0) return failWithErrno();
    fd.close();
    if (beforeRename_ && !beforeRename_(temporary)) return false;
    if (::rename(temporary.c_str(), native.c_str()) != 0) return failWithErrno();
    cleanup.keep();
    flushFolder(folder);
    return true;
}
