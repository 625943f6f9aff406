// A regular file opened for reading front to back in pieces, so that a file of any
// size passes through bounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class FileReader {
  public:
    FileReader() = default;
    ~FileReader() { close(); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Opens the regular file at the narrow (ANSI code page) path read-only and notes its
    // length. False, nothing open, for an empty path, a file that cannot be opened, or
    // anything but a regular file (a directory, a device, a pipe).
    bool open(const std::string& path);
    // The file's length when it was opened (0 when nothing is open).
    uint64_t size() const { return size_; }
    // Reads up to `capacity` bytes into `buffer`. Returns the number read, 0 at the end
    // of the file, -1 on a read error or when nothing is open.
    int64_t read(void* buffer, size_t capacity);
    // Closes the file; does nothing when none is open.
    void close();

  private:
    int fd_ = -1;
    uint64_t size_ = 0;
};
