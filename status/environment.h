// Environment queries behind GetVersion, GetMacAddress and GetWindowsSystemName, and the
// folders the engine computes at construction. Results are narrow text in the process's
// ANSI code page. The functions that take an ErrorPair only record failures: the caller
// clears lastError first.
#pragma once

#include <string>

#include "platform/system/sysinfo.h"
#include "status/error_pair.h"

// The module's file version as "major.minor.patch.tweak". Looks for the module by its
// application name ("KestruneATL.dll", searched as libraries are), then by the path of
// the module holding this code. Failure: empty, with 5004 and the platform error.
std::string queryModuleVersion(ErrorPair& status);
// The file version recorded in the file at `path` (ANSI code page), formatted as above.
// Failure: empty, with 5004 and the platform error of the failing version call.
std::string versionFromFile(const std::string& path, ErrorPair& status);

// The network adapters' hardware addresses, "XX-XX-XX-XX-XX-XX" each (the first six
// bytes of the address field whatever its stated length), joined by line feeds, in the
// adapter list's order. Failure (no adapters, more than 16, the list unavailable): empty,
// with 5001 and capiError untouched.
std::string macAddressList(ErrorPair& status);

// The Windows edition's name for an extended version record (null: the version query
// failed), the processor architecture and a system-metric reader (null: the system's).
// A combination the edition table does not list gives the empty string. Pure apart from
// `systemMetric`.
std::string windowsSystemNameFor(const OSVERSIONINFOEXA* info, WORD processorArchitecture,
                                 int (*systemMetric)(int));
// The edition name of the running system; here the extended version query fails, so
// this is the text for a system that is not Windows.
std::string windowsSystemName();

// $HOME read through a 255-character buffer; empty when unset or too long.
std::string homeFolderFromEnvironment();
// The first existing of home/桌面 and home/Desktop, else home itself; empty for an empty
// home.
std::string defaultFolderFor(const std::string& home);
