// Full paths the operations build from a folder and a file name.
#pragma once

#include <string>

// The folder, the separator unless the folder is empty or already ends in one, then the
// name: "/certs" and "a.pfx" give "/certs/a.pfx", "/" gives "/a.pfx", "" gives "a.pfx".
std::string joinPath(const std::string& folder, const std::string& name);
