// A private $KSCAPI_HOME for one test: made on construction, the previous value and the
// calling thread's database connection restored and the folder removed on destruction.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/store/user_database.h"

class TempHome {
  public:
    TempHome() {
        if (const char* old = getenv("KSCAPI_HOME")) previous_ = old;
        char tmpl[] = "/tmp/kscapi-home-XXXXXX";
        if (const char* dir = mkdtemp(tmpl)) path_ = dir;
        setenv("KSCAPI_HOME", path_.c_str(), 1);
    }
    ~TempHome() {
        closeUserDatabase();
        if (previous_)
            setenv("KSCAPI_HOME", previous_->c_str(), 1);
        else
            unsetenv("KSCAPI_HOME");
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& path() const { return path_; }
    std::string database() const { return path_ + "/kestrune.db"; }

  private:
    std::string path_;
    std::optional<std::string> previous_;
};
