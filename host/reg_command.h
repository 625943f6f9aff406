// `kscapi reg ...`: the current user's registry values for people and scripts.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Runs one reg subcommand; `args` are the words after "reg", UTF-8 as the shell gives
// them:
//   get PATH                       one value ("Key\Sub\Name", split at the last "\")
//   set PATH --dword N | --sz S    writes the value as a page does, then prints it
//   list [KEY]                     the subkeys, then the values, of KEY (default: the root)
// Paths are relative to HKEY_CURRENT_USER. Each result is one JSON object per line on
// `out`; failures print one JSON object {"error", "code"} on `err`.
// Returns 0 on success, 1 when the registry operation failed, 2 for a usage error.
int runRegCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
