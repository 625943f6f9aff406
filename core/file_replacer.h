// Replacing a file as a whole: the new content goes to a temporary file beside it, is
// flushed to the disk and then renamed over the old name, so that the name always holds
// either the old content or the complete new one, whenever the process stops.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

#include "core/byte_buffer.h"
#include "platform/system/types.h"

class FileReplacer {
  public:
    // Runs once the new content is written and flushed to the temporary file (given by
    // its path in the file system's encoding), right before it takes the old file's
    // place. Returning false stops the replacement there, as a failed rename would, with
    // the last error the hook set. Tests fail or kill the process at this point.
    using BeforeRename = std::function<bool(const std::string& temporaryPath)>;

    FileReplacer() = default;
    explicit FileReplacer(BeforeRename beforeRename) : beforeRename_(std::move(beforeRename)) {}

    // Puts `size` bytes at `path` (narrow, ANSI code page). The temporary file lies in the
    // same folder, named after the file with a leading dot; it takes the mode, owner and
    // group of the file it replaces (mode 0600 for a new file). What is at `path` is
    // replaced, never written through: a symbolic link there becomes the new file. The
    // folder is flushed after the rename. True on success. False with the last error
    // (ERROR_INVALID_PARAMETER for an empty path or one ending in the separator,
    // ERROR_ACCESS_DENIED for a folder at `path`, else from errno), `path` untouched
    // and the temporary file removed.
    bool replace(const std::string& path, const BYTE* data, size_t size) const;
    bool replace(const std::string& path, const ByteBuffer& content) const {
        return replace(path, content.data(), static_cast<size_t>(content.length()));
    }

  private:
    BeforeRename beforeRename_;
};
