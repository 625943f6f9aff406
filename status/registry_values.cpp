#include "status/registry_values.h"

#include <cstdio>
#include <cstring>

#include "platform/registry/registry.h"
#include "platform/text/ascii.h"
#include "status/error_codes.h"
#include "ui/caller_guard.h"

namespace {

// 255 bytes hold the longest value the page-facing read returns.
constexpr DWORD kStringBufferSize = 255;
// Data lengths travel as 32-bit counts; anything longer cannot be stored.
constexpr size_t kMaxValueBytes = 0x7FFFFFFF;

// Opens the caller's HKEY_CURRENT_USER: HKEY_CURRENT_USER itself, or the key below it
// that the caller guard names, created when missing. Registry paths have no step up, so
// no path opened below that key leads out of it.
bool openCallerRoot(RegKeyHolder& root) {
    std::string rootPath = ui::callerGuard().registryRoot();
    if (rootPath.empty()) {
        root = RegKeyHolder(HKEY_CURRENT_USER);
        return true;
    }
    return RegCreateKeyExA(HKEY_CURRENT_USER, rootPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           MAXIMUM_ALLOWED, nullptr, root.out(), nullptr) == ERROR_SUCCESS;
}

ErrorCode writeValue(const std::string& strName, DWORD type, const BYTE* data, size_t size,
                     ErrorPair& status) {
    std::string keyPath, valueName;
    if (!splitRegistryPath(strName, keyPath, valueName)) {
        return status.fail(err::kBadParameter);
    }
    RegKeyHolder root, key;
    // A new handle even for an empty key path, so that `key` never holds `root`'s.
    if (!ui::callerGuard().mayStoreValue(keyPath, valueName, size) || !openCallerRoot(root) ||
        RegCreateKeyExA(root.get(), keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        MAXIMUM_ALLOWED, nullptr, key.out(), nullptr) != ERROR_SUCCESS) {
        return status.fail(err::kAccessDenied);
    }
    if (size > kMaxValueBytes || RegSetValueExA(key.get(), valueName.c_str(), 0, type, data,
                                                static_cast<DWORD>(size)) != ERROR_SUCCESS)
        return status.fail(err::kAccessDenied);
    return status.lastError;
}

}  // namespace

bool splitRegistryPath(const std::string& strName, std::string& keyPath, std::string& valueName) {
    size_t last = std::string::npos;
    // A trail byte may be 0x5C: only a whole character separates.
    for (size_t i = 0; i < strName.size(); i += text::ansiCharLength(strName, i))
        if (strName[i] == '\\') last = i;
    if (last == std::string::npos) return false;
    keyPath = strName.substr(0, last);
    valueName = strName.substr(last + 1);
    return true;
}

std::string regReadHKCU(const std::string& strName, ErrorPair& status) {
    std::string keyPath, valueName;
    if (!splitRegistryPath(strName, keyPath, valueName)) {
        status.fail(err::kBadParameter);
        return std::string();
    }
    RegKeyHolder root, key;
    if (!openCallerRoot(root) ||
        RegOpenKeyExA(root.get(), keyPath.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) {
        status.fail(err::kAccessDenied);
        return std::string();
    }
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &type, nullptr, nullptr) !=
        ERROR_SUCCESS)
        return std::string();
    if (type == REG_SZ) {
        char buffer[kStringBufferSize] = {};
        DWORD size = sizeof buffer;
        if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr,
                             reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
            return std::string();
        return std::string(buffer, strnlen(buffer, size));
    }
    if (type == REG_DWORD) {
        // Zeroed first: a value stored with fewer than 4 bytes reads as those bytes alone.
        BYTE bytes[4] = {};
        DWORD size = sizeof bytes;
        if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr, bytes, &size) !=
            ERROR_SUCCESS)
            return std::string();
        auto value = static_cast<int32_t>(
            static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
        char text[16];
        std::snprintf(text, sizeof text, "%d", value);
        return text;
    }
    return std::string();
}

ErrorCode regWriteHKCUInt(const std::string& strName, int32_t dw, ErrorPair& status) {
    auto v = static_cast<uint32_t>(dw);
    const BYTE bytes[4] = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8),
                           static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
    return writeValue(strName, REG_DWORD, bytes, sizeof bytes, status);
}

ErrorCode regWriteHKCUStr(const std::string& strName, const std::string& str, ErrorPair& status) {
    return writeValue(strName, REG_SZ, reinterpret_cast<const BYTE*>(str.data()), str.size(),
                      status);
}
