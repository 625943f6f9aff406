// The hashing operations behind Hash and HashFile: a digest of a text or of a file as
// upper-case hex. The caller clears the error pair first; these record only failures.
#pragma once

#include <cstdint>
#include <string>

#include "digest/digests.h"
#include "status/error_pair.h"

// The digest that the low three bits of dwFlags select: 1 MD5, 3 SHA-256, 4 SHA-512,
// every other value SHA-1.
DigestAlgorithm digestAlgorithmFromFlags(int32_t dwFlags);

// Digest of `text` (up to its first zero character): of its UTF-16LE code units, or,
// with flag 0x10, of its bytes in the process's ANSI code page. Returns 32, 40, 64 or
// 128 upper-case hex digits. Failure: "" with status.lastError 5005 for an empty text,
// 5002 when the hex text cannot be built.
std::string hashText(const std::u16string& text, int32_t dwFlags, ErrorPair& status);

// Digest of the bytes of a file, read in pieces so that files of any size hash in
// bounded memory. An empty `fileName` opens the file chooser and takes the chosen path.
// Flag 0x10 is ignored. Failure: "" with status.lastError 5070 when the chooser is left
// without OK, 5902 when nothing exists at the path, 1002 when it cannot be opened or
// read, is empty or is not a regular file, 5002 when the hex text cannot be built.
std::string hashFile(const std::u16string& fileName, int32_t dwFlags, ErrorPair& status);
