// `kscapi demo`: the whole life of a key in two throw-away homes, driven through the
// control's interface as a page would drive it, with a small OpenSSL certification
// authority on the other side. No dialog is needed.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace host {

// Arguments: [--json] (JSON lines instead of the readable report) [--keep] (leave the
// throw-away folder and print where it is). Returns 0 when every step succeeded, 1 when
// one failed, 2 for bad arguments.
int runDemo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace host
