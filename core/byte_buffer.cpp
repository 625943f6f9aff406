#include "core/byte_buffer.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/file_handle.h"
#include "platform/system/files.h"

namespace {

// Storage is content plus the two zero bytes behind it.
BYTE* allocateZeroed(int32_t size) {
    return static_cast<BYTE*>(std::calloc(static_cast<size_t>(size) + 2, 1));
}

void wipeAndFree(BYTE* p, int32_t length) {
    if (!p) return;
    OPENSSL_cleanse(p, static_cast<size_t>(length) + 2);
    std::free(p);
}

}  // namespace

ByteBuffer::ByteBuffer(int32_t size) {
    allocate(size);
}

ByteBuffer::~ByteBuffer() {
    release();
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept : data_(other.data_), length_(other.length_) {
    other.data_ = nullptr;
    other.length_ = 0;
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = other.data_;
        length_ = other.length_;
        other.data_ = nullptr;
        other.length_ = 0;
    }
    return *this;
}

void ByteBuffer::release() {
    wipeAndFree(data_, length_);
    data_ = nullptr;
    length_ = 0;
}

bool ByteBuffer::allocate(int32_t size) {
    release();
    if (size < 1) return false;
    BYTE* p = allocateZeroed(size);
    if (!p) return false;
    data_ = p;
    length_ = size;
    return true;
}

bool ByteBuffer::append(const void* src, int32_t count) {
    if (!src || count < 1) return false;
    if (length_ > INT32_MAX - count) return false;
    int32_t newLength = length_ + count;
    BYTE* p = allocateZeroed(newLength);
    if (!p) return false;
    if (data_) std::memcpy(p, data_, static_cast<size_t>(length_));
    // The old storage is freed only after both copies, so src may lie inside it.
    std::memcpy(p + length_, src, static_cast<size_t>(count));
    wipeAndFree(data_, length_);
    data_ = p;
    length_ = newLength;
    return true;
}

bool ByteBuffer::assign(const void* src, int32_t count) {
    if (!src || count < 1) {
        release();
        return false;
    }
    BYTE* p = allocateZeroed(count);
    if (!p) {
        release();
        return false;
    }
    std::memcpy(p, src, static_cast<size_t>(count));
    release();
    data_ = p;
    length_ = count;
    return true;
}

bool ByteBuffer::assignReversed(const void* src, int32_t count) {
    if (!assign(src, count)) return false;
    for (int32_t i = 0, j = count - 1; i < j; ++i, --j) std::swap(data_[i], data_[j]);
    return true;
}

bool ByteBuffer::loadFromFile(const std::string& path) {
    release();
    if (path.empty()) return false;
    // Non-blocking, so that opening a pipe without a writer cannot hang; only regular
    // files are read.
    FileHandle fd(::open(nativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_size <= 0 || st.st_size > INT32_MAX) return false;
    if (!allocate(static_cast<int32_t>(st.st_size))) return false;
    if (!readAll(fd.get(), data_, static_cast<size_t>(length_))) {
        release();
        return false;
    }
    return true;
}

bool ByteBuffer::saveToFile(const std::string& path) const {
    if (path.empty()) return false;
    FileHandle fd(::open(nativePath(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid()) return false;
    if (!data_) return true;
    bool ok = writeAll(fd.get(), data_, static_cast<size_t>(length_));
    fd.close();
    return ok;
}

bool ByteBuffer::deleteFile(const std::string& path) {
    if (path.empty()) return false;
    return ::unlink(nativePath(path).c_str()) == 0;
}
