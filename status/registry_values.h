// Small settings a page keeps under HKEY_CURRENT_USER. The page names key and value in
// one path whose last backslash separates them: "Software\Demo\Count" is the value
// Count of the key Software\Demo, "\Name" a value of HKEY_CURRENT_USER itself and
// "Software\Demo\" the key's default value. Arguments are narrow strings in the ANSI
// code page. The caller clears status.lastError first; these functions only record
// failures (never status.capiError).
#pragma once

#include <cstdint>
#include <string>

#include "status/error_pair.h"

// The value as text: a REG_SZ up to its first zero byte or its stored length, a
// REG_DWORD as a signed decimal number. Empty with lastError 0 for a missing value, a
// string longer than 255 bytes or a value of another type. Failure (empty result):
// 5005 for an empty path or one without a backslash, 5906 when the key cannot be opened
// (also when it does not exist).
std::string regReadHKCU(const std::string& strName, ErrorPair& status);
// Writes dw as a REG_DWORD (4 bytes, little-endian), creating the key and the keys
// above it as needed. Returns status.lastError: 0, 5005 (path) or 5906 (key not
// created or value not written).
ErrorCode regWriteHKCUInt(const std::string& strName, int32_t dw, ErrorPair& status);
// Writes str as a REG_SZ of exactly its bytes (no terminating zero is stored; an empty
// str stores empty data). Returns status.lastError as regWriteHKCUInt does.
ErrorCode regWriteHKCUStr(const std::string& strName, const std::string& str, ErrorPair& status);

// Splits a path at its last backslash into key path and value name, skipping the trail
// bytes of double-byte characters of the ANSI code page (a Big5 trail byte may be 0x5C).
// False for an empty path or one without a backslash.
bool splitRegistryPath(const std::string& strName, std::string& keyPath, std::string& valueName);
