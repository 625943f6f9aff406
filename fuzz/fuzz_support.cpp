#include "fuzz/fuzz_support.h"

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>

#include "platform/store/user_database.h"
#include "platform/text/codepage.h"
#include "ui/dialogs.h"

namespace fuzz {

namespace {

std::string g_root, g_home, g_fixtures;

// Runs after the thread's database connection has been closed by its own destructor.
void removeRoot() {
    std::error_code ec;
    if (!g_root.empty()) std::filesystem::remove_all(g_root, ec);
}

void makeFolder(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), ec.message().c_str());
        std::abort();
    }
}

}  // namespace

void initialize() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kscapi-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_root = pattern;
    g_home = g_root + "/home";
    g_fixtures = g_root + "/fixtures";
    makeFolder(g_home);
    makeFolder(g_fixtures);
    std::atexit(removeRoot);

    setenv("KSCAPI_HOME", g_home.c_str(), 1);
    setenv("HOME", g_home.c_str(), 1);
    setenv("XDG_DATA_HOME", g_home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", g_home.c_str(), 1);
    unsetenv("KSCAPI_ACP");
    setenv("TZ", "UTC", 1);
    tzset();
    SetProcessAnsiCodePage(950);
    ui::setBackend(ui::makeNoneBackend());
}

const std::string& home() {
    return g_home;
}

const std::string& fixtures() {
    return g_fixtures;
}

void resetHome() {
    closeUserDatabase();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(g_home, ec))
        std::filesystem::remove_all(entry.path(), ec);
}

std::vector<uint8_t> sourceFile(const std::string& relative) {
    std::string path = std::string(KSCAPI_SOURCE_DIR) + "/" + relative;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) bytes.clear();
    if (bytes.empty()) {
        std::fprintf(stderr, "cannot read the fixture %s\n", path.c_str());
        std::abort();
    }
    return bytes;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

bool wellFormedUtf16(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c >= 0xDC00 && c <= 0xDFFF) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            ++i;
        }
    }
    return true;
}

std::u16string unitsFromBytes(std::string_view bytes) {
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        units.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                              (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    return units;
}

}  // namespace fuzz
