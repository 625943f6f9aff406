// Queries about the control and the machine it runs on.
#pragma once

#include <string>

#include "status/error_pair.h"

// The control's file version read from its module ("4.0.1.2"), or empty with 5004 and
// the platform error recorded in `status`.
std::string queryModuleVersion(ErrorPair& status);
// The network adapters' hardware addresses, one per line, or empty with 5001.
std::string macAddressList(ErrorPair& status);
// The Windows edition name; on this platform the text for a system that is not Windows.
std::string windowsSystemName();
// $HOME read into a 255-character buffer; empty when unset or longer.
std::string homeFolderFromEnvironment();
// The folder file dialogs start in: home's localised desktop, else its Desktop, else home.
std::string defaultFolderFor(const std::string& home);
