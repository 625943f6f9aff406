#include "core/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system/files.h"

bool FileReader::open(const std::string& path) {
    close();
    if (path.empty()) return false;
    // Non-blocking, so that opening a pipe with no writer returns at once and fails the
    // regular-file test instead of waiting; reads of a regular file never block anyway.
    int fd = ::open(nativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        ::close(fd);
        return false;
    }
    // The whole file is read once, in order: let the kernel read ahead further.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd_ = fd;
    size_ = static_cast<uint64_t>(st.st_size);
    return true;
}

int64_t FileReader::read(void* buffer, size_t capacity) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t r = ::read(fd_, buffer, capacity);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

void FileReader::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0;
}
