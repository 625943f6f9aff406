// Holders that change a piece of process state for one test and put it back.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/text/codepage.h"

// Sets (or, with nullopt, unsets) an environment variable; restores the old value.
class ScopedEnvVar {
  public:
    ScopedEnvVar(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        apply(value);
    }
    ~ScopedEnvVar() { apply(old_); }
    ScopedEnvVar(const ScopedEnvVar&) = delete;
    ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

  private:
    void apply(const std::optional<std::string>& value) {
        if (value)
            setenv(name_.c_str(), value->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    std::string name_;
    std::optional<std::string> old_;
};

// A time zone for the test's duration.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* tz) : tz_("TZ", std::string(tz)) { tzset(); }

  private:
    // Members end in reverse order: TZ is put back first, then the zone is read again.
    struct Rezone {
        ~Rezone() { tzset(); }
    } rezone_;
    ScopedEnvVar tz_;
};

// The process ANSI code page for the test's duration.
class ScopedAnsiCodePage {
  public:
    explicit ScopedAnsiCodePage(UINT codePage) : previous_(GetACP()) {
        ok_ = SetProcessAnsiCodePage(codePage);
    }
    ~ScopedAnsiCodePage() { SetProcessAnsiCodePage(previous_); }
    ScopedAnsiCodePage(const ScopedAnsiCodePage&) = delete;
    ScopedAnsiCodePage& operator=(const ScopedAnsiCodePage&) = delete;
    bool ok() const { return ok_; }

  private:
    UINT previous_;
    bool ok_ = false;
};

// A fresh temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kscapi-XXXXXX").string();
        if (const char* made = mkdtemp(pattern.data())) path_ = made;
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    // The folder in the file system's encoding (UTF-8).
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};
