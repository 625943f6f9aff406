// What the fuzz targets share: a throwaway per-user folder instead of the developer's,
// a dialog backend that shows nothing, fixed process settings so that every input runs
// the same way each time, and a check that makes libFuzzer keep the failing input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Called once from LLVMFuzzerInitialize. Makes a temporary folder (under $TMPDIR) that
// holds the per-user folder ($KSCAPI_HOME, also $HOME and the XDG folders) and a
// `fixtures` folder; sets TZ to UTC and the ANSI code page to 950; installs the `none`
// dialog backend. The folder is removed when the process exits normally.
void initialize();

// The per-user folder and the fixtures folder (absolute paths).
const std::string& home();
const std::string& fixtures();

// Closes the thread's user database and empties the per-user folder, so that the next
// input starts without registry values, certificates, key containers or files left by
// an earlier one.
void resetHome();

// The bytes of a file of the source tree, by its path relative to the tree's root
// (fixtures the targets compare against). Aborts when the file cannot be read.
std::vector<uint8_t> sourceFile(const std::string& relative);

// Writes bytes to a file; aborts when it cannot.
void writeFile(const std::string& path, const uint8_t* data, size_t size);

// True when the UTF-16 text has no lone surrogate.
bool wellFormedUtf16(std::u16string_view text);

// Arbitrary UTF-16 code units from bytes, two at a time (little-endian); an odd last
// byte is dropped.
std::u16string unitsFromBytes(std::string_view bytes);

[[noreturn]] inline void failCheck(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

}  // namespace fuzz

// A property of the code under test; when it does not hold the process aborts, which
// libFuzzer reports as a finding and saves the input for.
#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::fuzz::failCheck(__FILE__, __LINE__, #condition))
