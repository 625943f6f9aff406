// Every test run gets a fresh per-user folder, the default code page and no machine-wide
// files, so no test reads or writes the developer's own state or sees an installation.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

class FreshHome : public ::testing::Environment {
  public:
    void SetUp() override {
        char tmpl[] = "/tmp/kscapi-test-XXXXXX";
        const char* dir = mkdtemp(tmpl);
        ASSERT_NE(dir, nullptr);
        home_ = dir;
        setenv("KSCAPI_HOME", home_.c_str(), 1);
        unsetenv("KSCAPI_ACP");
        // An installed package's machine-wide registration and providers stay out of the
        // run; tests that need them point these at files of their own.
        setenv("KSCAPI_MACHINE_HIVE", (home_ + "/no-machine.reg").c_str(), 1);
        setenv("KSCAPI_PROVIDERS_DIR", (home_ + "/no-providers.d").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

  private:
    std::string home_;
};
