// `kscapi bridge ...`: installs the native messaging host for the browsers, and manages
// the origins and the development mode of the browser bridge.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace bridge {

// The native messaging host's name, and the extension that may start it.
constexpr const char* kHostName = "com.kestrune.kscapi";
constexpr const char* kChromiumExtensionId = "jelgkoacpkcodhcjecmjolbfilfknojp";
constexpr const char* kFirefoxExtensionId = "kscapi@kestrune.example";

// Where `browser` (chromium, chrome or firefox) looks for the current user's host
// manifest named `kHostName`; empty for an unknown browser or when HOME is unset.
std::string manifestPath(const std::string& browser);

// The manifest text for `browser` naming the host executable `hostPath`.
std::string manifestText(const std::string& browser, const std::string& hostPath);

// Runs one bridge subcommand; `args` are the words after "bridge":
//   install [--browser chromium|chrome|firefox|all] [--host PATH]
//   uninstall [--browser chromium|chrome|firefox|all]
//   origins                       the origins allowed for good
//   origins revoke ORIGIN         forgets one, and what it added to the stores (so
//                                 that it starts with a fresh allowance)
//   develop on|off|status         local http: origins allowed or not
// Each result is one JSON object per line on `out`; failures print {"error","code"} on
// `err`. Returns 0 on success, 1 when the work failed, 2 for a usage error.
int runBridgeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace bridge
