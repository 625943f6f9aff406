// `kscapi doctor`: checks, one line each, what a web page needs to reach the control on
// this machine for this user, and says for each failure the command that fixes it.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace host {

struct DoctorCheck {
    std::string name;  // e.g. "manifest chromium"
    bool ok = false;
    bool needed = true;  // a failure of a check that is not needed is only a warning
    std::string detail;  // what was found, or what is wrong
    std::string fix;     // the command that fixes it; empty when ok
};

// The system files the checks read; installedPlaces() gives the installation's, tests
// point them elsewhere.
struct DoctorPlaces {
    struct Browser {
        std::string name;            // chromium, chrome, firefox
        std::string systemManifest;  // where the package puts the host manifest
    };
    std::vector<Browser> browsers;
    std::string chromiumExtension;  // the extension folder Chromium loads for every profile
    std::string firefoxPolicies;    // the enterprise policy file installing the XPI
};
DoctorPlaces installedPlaces();

// The key-protection mode of the user's keys at rest, as the key tools report it.
std::string keyProtectionMode();

// Runs every check. `dialogBackend` is the backend the bridge would use ("gtk", "none",
// "script"). Never fails: each problem is a check that is not ok.
std::vector<DoctorCheck> runDoctorChecks(const DoctorPlaces& places,
                                         const std::string& dialogBackend);

// `kscapi doctor [--json]`: prints the checks (text, or one JSON object per line with
// --json). Returns 0 when every needed check is ok, 1 when one is not, 2 for a usage error.
int runDoctor(const std::vector<std::string>& args, const std::string& dialogBackend,
              std::ostream& out, std::ostream& err);

}  // namespace host
