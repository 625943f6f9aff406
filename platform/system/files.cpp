#include "platform/system/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/system/last_error.h"
#include "platform/text/codepage.h"

std::string nativePath(const std::string& ansiPathText) {
    return ansiToUtf8(ansiPathText);
}

std::string ansiPath(const std::string& nativePathText) {
    return utf8ToAnsi(nativePathText);
}

DWORD lastErrorFromErrno(int e) {
    switch (e) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
            return 112;  // ERROR_DISK_FULL
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

namespace {
// A missing leaf is "file not found"; a missing folder on the way is "path not found".
DWORD notFoundError(const std::string& native) {
    auto slash = native.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
    struct stat st {};
    if (::stat(native.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}
}  // namespace

BOOL PathFileExistsA(LPCSTR pszPath) {
    if (!pszPath || !*pszPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string native = nativePath(pszPath);
    struct stat st {};
    if (::stat(native.c_str(), &st) == 0) return TRUE;
    SetLastError(errno == ENOENT ? notFoundError(native) : lastErrorFromErrno(errno));
    return FALSE;
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    if (!lpFileName || !*lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string native = nativePath(lpFileName);
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0) {
        SetLastError(errno == ENOENT ? notFoundError(native) : lastErrorFromErrno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (::access(native.c_str(), W_OK) != 0) attributes |= FILE_ATTRIBUTE_READONLY;
    auto slash = native.find_last_of('/');
    std::string leaf = slash == std::string::npos ? native : native.substr(slash + 1);
    if (!leaf.empty() && leaf[0] == '.' && leaf != "." && leaf != "..")
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, void* /*lpSecurityAttributes*/) {
    if (!lpPathName || !*lpPathName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::string native = nativePath(lpPathName);
    if (::mkdir(native.c_str(), 0700) == 0) return TRUE;
    int e = errno;
    SetLastError(e == ENOENT ? ERROR_PATH_NOT_FOUND : lastErrorFromErrno(e));
    return FALSE;
}

std::string userDataFolder() {
    std::string dir;
    if (const char* h = std::getenv("KSCAPI_HOME"); h && *h) {
        dir = h;
    } else {
        std::string base;
        if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') {
            base = x;
        } else if (const char* home = std::getenv("HOME"); home && *home) {
            base = std::string(home) + "/.local/share";
        } else {
            return std::string();
        }
        dir = base + "/kestrune";
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? dir : std::string();
    // Create every missing level; only the last one is ours and private.
    for (size_t pos = 1; (pos = dir.find('/', pos)) != std::string::npos; ++pos) {
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return std::string();
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
    ::chmod(dir.c_str(), 0700);
    return dir;
}
