// `kscapi reset`: removes the current user's state (the database with its registry,
// certificates and keys, and the certificate viewer's folder) after saying what goes.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace host {

// `kscapi reset [--yes]`. Prints how many key pairs, key containers and certificates the
// database holds and asks on `in` for "y"/"yes" unless --yes is given. Only the files this
// control makes in the state folder are removed (the database, its journal files, the
// viewer's folder), the database files overwritten with zeros first since they hold
// private keys; the folder itself goes when that leaves it empty. Returns 0 when removed
// (or nothing was there), 1 when refused or a file could not be removed, 2 for a usage
// error.
int runReset(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err);

}  // namespace host
