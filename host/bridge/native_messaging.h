// The browsers' native messaging framing on a pair of file descriptors: each message is a
// 32-bit length in the machine's byte order followed by that many bytes of UTF-8 JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bridge {

// Browsers refuse a single message from the host above 1 MiB.
constexpr size_t kMaxReplyBytes = 1024 * 1024;
// What the host accepts from the browser in one message; a page's text to sign travels
// in one. Longer messages are read past (never stored) and answered with an error.
constexpr uint32_t kMaxRequestBytes = 16 * 1024 * 1024;

enum class ReadStatus {
    Message,    // `body` holds one whole message
    End,        // the input ended cleanly between messages
    Truncated,  // the input ended inside a length or a body
    TooLarge,   // the length was above the limit; the body is still unread
    Failed,     // a read error other than the end
};

// Reads messages from `fd` (not owned). The reader never holds more than `limit` bytes
// of one message, whatever length the sender announces.
class MessageReader {
  public:
    explicit MessageReader(int fd, uint32_t limit = kMaxRequestBytes) : fd_(fd), limit_(limit) {}

    // The next message. `announced` receives the length the sender gave (for TooLarge,
    // Message and a Truncated body). After TooLarge call skip() to read past the body.
    ReadStatus next(std::string& body, uint64_t& announced);
    // Reads past the body of a TooLarge message a little at a time, so that the next
    // call reads the following message. False when the input ended (or failed) first.
    bool skip(uint64_t announced);

  private:
    // Reads exactly `size` bytes into `to` (null: discards them). Returns the bytes read,
    // fewer only at the end of the input or on an error (`failed` set).
    size_t readFully(char* to, size_t size, bool& failed);

    int fd_;
    uint32_t limit_;
};

// Writes one message to `fd` in a single framed write. False when the message exceeds
// what the 32-bit length can carry or the write fails.
bool writeMessage(int fd, const std::string& body);

// Splits a reply too long for one message into chunk messages that the extension joins:
// {"id":ID,"chunk":I,"chunks":N,"data":PIECE} (ID the request's id as JSON), each at most `limit`
// bytes, where the pieces concatenated give `reply` back. `reply` must be ASCII (JSON serialised
// with every non-ASCII character escaped), so a piece can end anywhere. A reply that fits comes
// back as the only element, unchanged.
std::vector<std::string> chunkReply(const std::string& reply, const std::string& idJson,
                                    size_t limit = kMaxReplyBytes);

}  // namespace bridge
