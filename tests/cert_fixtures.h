// Certificate fixtures made by tests/fixtures/make_certs.sh, and scoped changes of the
// process state that certificate texts depend on.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "core/byte_buffer.h"
#include "platform/text/codepage.h"

inline std::string fixturePath(const std::string& file) {
    return std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/certs/" + file;
}

// The DER bytes of certs/<name>.der (empty buffer when missing).
inline ByteBuffer loadCert(const std::string& name) {
    ByteBuffer der;
    der.loadFromFile(fixturePath(name + ".der"));
    return der;
}

// The key=value lines of certs/<name>.expect: what openssl reports for the certificate.
inline std::map<std::string, std::string> loadExpect(const std::string& name) {
    std::map<std::string, std::string> values;
    std::ifstream in(fixturePath(name + ".expect"), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

// Sets the process ANSI code page for the scope.
class ScopedCodePage {
  public:
    explicit ScopedCodePage(UINT codePage) : saved_(GetACP()) { SetProcessAnsiCodePage(codePage); }
    ~ScopedCodePage() { SetProcessAnsiCodePage(saved_); }
    ScopedCodePage(const ScopedCodePage&) = delete;
    ScopedCodePage& operator=(const ScopedCodePage&) = delete;

  private:
    UINT saved_;
};

// Sets TZ for the scope.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = getenv("TZ")) saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

  private:
    std::optional<std::string> saved_;
};
