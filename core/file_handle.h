// An open file descriptor, closed in close() and on destruction, and the whole-buffer
// read and write loops over it.
#pragma once

#include <cstddef>

class FileHandle {
  public:
    explicit FileHandle(int fd = -1) : fd_(fd) {}
    ~FileHandle() { close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes the descriptor; does nothing when none is held.
    void close();

  private:
    int fd_;
};

// Reads exactly `n` bytes. False on a read error or an early end of the file.
bool readAll(int fd, void* dst, size_t n);
// Writes all `n` bytes. False on a write error.
bool writeAll(int fd, const void* src, size_t n);
