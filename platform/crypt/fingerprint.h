// Fingerprints shown to the user: a digest of bytes as upper-case hex, for dialogs that
// name content too long to show whole.
#pragma once

#include <string>
#include <string_view>

// SHA-256 of `bytes` in upper-case hex (64 characters); empty if the digest fails.
std::string sha256Fingerprint(std::string_view bytes);
