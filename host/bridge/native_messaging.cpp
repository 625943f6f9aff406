#include "host/bridge/native_messaging.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace bridge {

size_t MessageReader::readFully(char* to, size_t size, bool& failed) {
    char scratch[64 * 1024];
    size_t done = 0;
    while (done < size) {
        size_t want = size - done;
        char* into = to ? to + done : scratch;
        if (!to && want > sizeof scratch) want = sizeof scratch;
        ssize_t n = ::read(fd_, into, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failed = true;
            return done;
        }
        if (n == 0) return done;
        done += static_cast<size_t>(n);
    }
    return done;
}

ReadStatus MessageReader::next(std::string& body, uint64_t& announced) {
    body.clear();
    announced = 0;
    bool failed = false;
    uint32_t length = 0;
    size_t got = readFully(reinterpret_cast<char*>(&length), sizeof length, failed);
    if (failed) return ReadStatus::Failed;
    if (got == 0) return ReadStatus::End;
    if (got < sizeof length) return ReadStatus::Truncated;
    announced = length;
    if (length > limit_) return ReadStatus::TooLarge;
    body.resize(length);
    got = readFully(body.data(), length, failed);
    if (failed) return ReadStatus::Failed;
    if (got < length) {
        body.clear();
        return ReadStatus::Truncated;
    }
    return ReadStatus::Message;
}

bool MessageReader::skip(uint64_t announced) {
    bool failed = false;
    return readFully(nullptr, static_cast<size_t>(announced), failed) == announced && !failed;
}

bool writeMessage(int fd, const std::string& body) {
    if (body.size() > UINT32_MAX) return false;
    auto length = static_cast<uint32_t>(body.size());
    std::string frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    frame += body;
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = ::write(fd, frame.data() + done, frame.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<std::string> chunkReply(const std::string& reply, const std::string& idJson,
                                    size_t limit) {
    if (reply.size() <= limit) return {reply};
    // Inside a JSON string a piece's quotes and backslashes double, and the frame around
    // it needs a little room: half the limit less a margin always fits.
    const size_t piece = limit / 2 - 256;
    const size_t count = (reply.size() + piece - 1) / piece;
    std::vector<std::string> chunks;
    chunks.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        nlohmann::ordered_json chunk;
        chunk["id"] = nlohmann::json::parse(idJson, nullptr, false);
        chunk["chunk"] = i;
        chunk["chunks"] = count;
        chunk["data"] = reply.substr(i * piece, piece);
        chunks.push_back(chunk.dump());
    }
    return chunks;
}

}  // namespace bridge
