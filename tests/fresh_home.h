// Every test run gets a fresh per-user folder and the default code page, so no test
// reads or writes the developer's own state.
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
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

  private:
    std::string home_;
};
