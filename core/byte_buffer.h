// The one container for binary data: an owned byte array of exact size that always
// keeps two zero bytes behind its content, so text built in it is at once a
// zero-terminated narrow string. Storage is wiped before it is freed, because buffers
// carry key bytes and passwords as often as they carry certificates.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/system/types.h"

// Standard padded Base64 (RFC 4648 section 4) of `count` bytes on one line, as
// ByteBuffer::encodeBase64 makes it, written into `out` (replaced) without a buffer
// between. False, `out` empty, for a null source, count < 1 or above INT32_MAX.
bool base64Text(const void* src, size_t count, std::string& out);

// The same Base64 for bytes that arrive in pieces, appended to `out` as they come, so
// that a large encoding never has to exist whole beside its text. Once finish() is
// called, what was appended equals base64Text of the pieces joined. add() and finish()
// throw std::bad_alloc when `out` cannot grow; reserving `out` beforehand avoids that
// growth and its copies.
class Base64Appender {
  public:
    explicit Base64Appender(std::string& out) : out_(out) {}
    void add(const void* src, size_t count);
    void finish();

  private:
    std::string& out_;
    BYTE carry_[3] = {};
    size_t carried_ = 0;  // bytes of an unfinished group, 0 to 2
};

class ByteBuffer {
  public:
    ByteBuffer() = default;
    // As the empty constructor, then allocate(size).
    explicit ByteBuffer(int32_t size);
    ~ByteBuffer();
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;

    // The content (null when empty) and its length in bytes. The two bytes at
    // data()[length()] and data()[length() + 1] are zero whenever data() is not null.
    BYTE* data() { return data_; }
    const BYTE* data() const { return data_; }
    int32_t length() const { return length_; }
    bool empty() const { return data_ == nullptr; }
    // The content as a narrow string (empty buffer: empty string).
    std::string_view text() const {
        return data_ ? std::string_view(reinterpret_cast<const char*>(data_), length_)
                     : std::string_view();
    }
    std::string str() const { return std::string(text()); }

    // Wipes and frees the storage; the buffer is empty afterwards.
    void release();
    // Replaces the content by `size` zero bytes. False (buffer left empty) when size < 1
    // or memory runs out.
    bool allocate(int32_t size);
    // Appends `count` bytes from `src`, which may point into this buffer's own content.
    // False, buffer unchanged, when src is null, count < 1 or the length would overflow.
    bool append(const void* src, int32_t count);
    // Replaces the content by the `count` source bytes in reverse order. False (buffer
    // empty) when src is null or count < 1.
    bool assignReversed(const void* src, int32_t count);
    // Replaces the content by a copy of `count` bytes. False (buffer empty) when src is
    // null or count < 1.
    bool assign(const void* src, int32_t count);

    // Replaces the content by the whole file at the narrow (ANSI code page) path. False,
    // buffer empty, for an empty path, a file that cannot be opened or read, an empty
    // file, or one longer than a 32-bit signed length.
    bool loadFromFile(const std::string& path);
    // Writes the content to the file, creating it (mode 0600) or truncating it. An empty
    // buffer leaves an empty file and succeeds. False for an empty path or a failed open
    // or write; the buffer never changes.
    bool saveToFile(const std::string& path) const;
    // Removes the file. True exactly when the removal succeeded.
    static bool deleteFile(const std::string& path);

    // Replaces the content by the upper-case hex digits of `count` bytes (2 per byte).
    // False, buffer empty, for a null source or count < 1.
    bool encodeHex(const void* src, int32_t count);
    // Replaces the content by standard padded Base64 (RFC 4648 section 4) of `count`
    // bytes on one line. False, buffer empty, for a null source or count < 1.
    bool encodeBase64(const void* src, int32_t count);
    // Replaces the content by the bytes of Base64 text, with or without "----" armour
    // lines. False, buffer empty, for a null or empty text, incomplete armour, an empty
    // body or no group decoded.
    bool decodeBase64Text(const char* text);

  private:
    BYTE* data_ = nullptr;
    int32_t length_ = 0;
};
