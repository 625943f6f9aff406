// Files and paths. The engine holds paths as narrow strings in the ANSI code page; this
// layer converts them to the file system's encoding (UTF-8) at the system call and
// converts paths it returns back to the ANSI code page.
#pragma once

#include <string>

#include "platform/system/types.h"

// The separator the engine inserts between a folder and a name on this platform.
constexpr char kPathSeparator = '/';

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD MAX_PATH = 260;

// The path in the file system's encoding (UTF-8) for a narrow ANSI path.
std::string nativePath(const std::string& ansiPath);
// A path the file system returned (UTF-8), as a narrow ANSI string.
std::string ansiPath(const std::string& nativePath);

// TRUE when a file or directory exists at the path; FALSE (ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND) otherwise.
BOOL PathFileExistsA(LPCSTR pszPath);
// FILE_ATTRIBUTE_* bits of the path, or INVALID_FILE_ATTRIBUTES with the last error.
DWORD GetFileAttributesA(LPCSTR lpFileName);
// Creates one directory level (mode 0700). FALSE with ERROR_ALREADY_EXISTS,
// ERROR_PATH_NOT_FOUND or ERROR_ACCESS_DENIED.
BOOL CreateDirectoryA(LPCSTR lpPathName, void* lpSecurityAttributes);
// The last-error value for an errno from a file system call.
DWORD lastErrorFromErrno(int e);

// The per-user data folder: $KSCAPI_HOME, else ${XDG_DATA_HOME:-$HOME/.local/share}/kestrune,
// created with mode 0700 on first use. Returned in the file system's encoding (UTF-8);
// empty when it cannot be determined or created.
std::string userDataFolder();
