// Paths the operations build from a folder and a file name the page or a dialog gave.
#pragma once

#include <string>

// The folder, the platform's separator unless the folder is empty or already ends in
// one, then the name. Narrow strings in the ANSI code page; nothing is checked.
std::string joinPath(const std::string& folder, const std::string& name);
