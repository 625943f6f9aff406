#include "digest/hash_operations.h"

#include <memory>

#include "core/file_reader.h"
#include "platform/system/files.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"
#include "ui/caller_guard.h"
#include "ui/dialogs.h"

namespace {

constexpr int32_t kAnsiText = 0x10;
// Pieces in which a file is read into one reused buffer. The kernel's copy from the page
// cache and the digest's pass over the same bytes both stay in the core's cache at this
// size; 1 MiB pieces evicted each piece before the digest read it and spent a third more
// time (SHA-256 of a cached 512 MiB file). Larger pieces than 64 KiB gain nothing, as
// few system calls remain. A read-only mmap with MADV_SEQUENTIAL was measured too: 1-2%
// faster at best, within the noise, and a file shrinking under the mapping would kill
// the process with SIGBUS, which a host that loads the module cannot be asked to catch.
constexpr size_t kReadPiece = 64 * 1024;

// Feeds the digest with `feed` (a callable taking the digest, false on failure) and
// writes the hex of the result into `hex`. False when feeding fails; `hexFailed` tells
// a failed hex conversion apart.
template <class Digest, class Feed>
bool digestToHex(Feed&& feed, ByteBuffer& hex, bool& hexFailed) {
    Digest digest;
    if (!feed(digest)) return false;
    digest.final();
    hexFailed = !hex.encodeHex(digest.result.data(), digest.result.length());
    return !hexFailed;
}

template <class Feed>
bool digestToHex(DigestAlgorithm algorithm, Feed&& feed, ByteBuffer& hex, bool& hexFailed) {
    switch (algorithm) {
        case DigestAlgorithm::MD5:
            return digestToHex<Md5Digest>(feed, hex, hexFailed);
        case DigestAlgorithm::SHA256:
            return digestToHex<Sha256Digest>(feed, hex, hexFailed);
        case DigestAlgorithm::SHA512:
            return digestToHex<Sha512Digest>(feed, hex, hexFailed);
        case DigestAlgorithm::SHA1:
            break;
    }
    return digestToHex<Sha1Digest>(feed, hex, hexFailed);
}

// Shows the file chooser of HashFile, with `path` as its initial file. True, with the
// chosen path, when the user confirmed a file.
bool chooseFile(std::string& path) {
    ui::FileChooserModel model;
    model.initialFile = path;
    model.title = toAnsi(u"請選擇檔案");
    model.filter = "All Files (*.*)|*.*||";
    model.defaultExtension = "*.*";
    model.options = ui::OFN_HIDEREADONLY | ui::OFN_OVERWRITEPROMPT | ui::OFN_NOVALIDATE;
    ui::FileChooserAnswer answer = ui::showFileChooser(model);
    if (answer.outcome != ui::DialogOutcome::Ok) return false;
    path = answer.path;
    return true;
}

}  // namespace

DigestAlgorithm digestAlgorithmFromFlags(int32_t dwFlags) {
    switch (dwFlags & 7) {
        case 1:
            return DigestAlgorithm::MD5;
        case 3:
            return DigestAlgorithm::SHA256;
        case 4:
            return DigestAlgorithm::SHA512;
        default:
            return DigestAlgorithm::SHA1;
    }
}

std::string hashText(const std::u16string& text, int32_t dwFlags, ErrorPair& status) {
    // A text ends at its first zero character, as the control's copy of an argument does.
    std::u16string_view message(text.c_str());
    if (message.empty()) {
        status.fail(err::kBadParameter);
        return "";
    }
    std::string bytes;
    if (dwFlags & kAnsiText) {
        bytes = toAnsi(message);
    } else {
        bytes.reserve(message.size() * 2);
        for (char16_t unit : message) {
            bytes.push_back(static_cast<char>(unit & 0xff));
            bytes.push_back(static_cast<char>(unit >> 8));
        }
    }
    ByteBuffer hex;
    bool hexFailed = false;
    auto feed = [&bytes](auto& digest) {
        digest.update(bytes.data(), bytes.size());
        return true;
    };
    if (!digestToHex(digestAlgorithmFromFlags(dwFlags), feed, hex, hexFailed)) {
        status.fail(err::kAllocation);
        return "";
    }
    return hex.str();
}

std::string hashFile(const std::u16string& fileName, int32_t dwFlags, ErrorPair& status) {
    std::string path = toAnsi(fileName);
    if (path.empty() || !ui::callerGuard().useGivenPath(path, ui::PathUse::ReadFile)) {
        if (!chooseFile(path)) {
            status.fail(err::kCancelled);
            return "";
        }
        ui::callerGuard().pathHanded(path, ui::PathUse::ReadFile);
    }
    if (!PathFileExistsA(path.c_str())) {
        status.fail(err::kFileNotFound);
        return "";
    }
    FileReader file;
    // An empty file fails as a file that cannot be read: there is nothing to digest.
    if (!file.open(path) || file.size() == 0) {
        status.fail(err::kFileRead);
        return "";
    }
    // A small file needs no more room than itself. No memory for the piece fails as a
    // whole-file load without memory would.
    const size_t pieceSize =
        file.size() < kReadPiece ? static_cast<size_t>(file.size()) : kReadPiece;
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[pieceSize]);
    if (!piece) {
        status.fail(err::kFileRead);
        return "";
    }
    // Exactly the length the file had when it was opened is digested; a file that ends
    // early or fails to read is not digested at all.
    auto feed = [&](auto& digest) {
        uint64_t remaining = file.size();
        while (remaining > 0) {
            size_t want = remaining < pieceSize ? static_cast<size_t>(remaining) : pieceSize;
            int64_t got = file.read(piece.get(), want);
            if (got <= 0) return false;
            digest.update(piece.get(), static_cast<size_t>(got));
            remaining -= static_cast<uint64_t>(got);
        }
        return true;
    };
    ByteBuffer hex;
    bool hexFailed = false;
    if (!digestToHex(digestAlgorithmFromFlags(dwFlags), feed, hex, hexFailed)) {
        status.fail(hexFailed ? err::kAllocation : err::kFileRead);
        return "";
    }
    return hex.str();
}
