// The current user's registry, with the platform's calls, flags and result codes, kept
// in the per-user database (platform/store/user_database.h) so that every process of the user
// sees the same keys.
//
// Paths: "\" separates key names (it is the registry's separator, not a file path's).
// A subkey path must not begin with "\" (ERROR_BAD_PATHNAME, as the platform answers
// for HKEY_CURRENT_USER); runs of "\" inside a path count as one and trailing ones are
// ignored. A null or empty subkey path names the key itself. Names arrive in the ANSI
// code page, are split after conversion (a Big5 trail byte 0x5C is no separator) and are
// stored as UTF-8. Key and value names keep their case and compare case-insensitively
// (ASCII, Latin-1, Greek, Cyrillic and full-width Latin letters). Value data is stored as
// the bytes given, whatever the type. Subkeys enumerate in case-insensitive name order,
// values in the order they were first set.
//
// Results are LONG error codes (ERROR_SUCCESS = 0), returned rather than set as the
// thread's last error. Handles are process-wide and valid in any thread until closed;
// a handle belongs to the database of the $KSCAPI_HOME it was opened under and is
// ERROR_INVALID_HANDLE after that folder changes.
#pragma once

#include <cstdint>

#include "platform/system/filetime.h"
#include "platform/system/last_error.h"
#include "platform/system/types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using PFILETIME = FILETIME*;

// Predefined keys. HKEY_CLASSES_ROOT is the per-user class registration,
// HKEY_CURRENT_USER\Software\Classes. Closing them is a no-op.
#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)(intptr_t)(LONG)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)(intptr_t)(LONG)0x80000001)

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_LITTLE_ENDIAN = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;
constexpr DWORD REG_QWORD_LITTLE_ENDIAN = 11;

// Access rights.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM DELETE = 0x00010000;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM WRITE_DAC = 0x00040000;
constexpr REGSAM WRITE_OWNER = 0x00080000;
constexpr REGSAM STANDARD_RIGHTS_ALL = 0x001F0000;
constexpr REGSAM SYNCHRONIZE = 0x00100000;
constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;
constexpr REGSAM MAXIMUM_ALLOWED = 0x02000000;
constexpr REGSAM GENERIC_ALL = 0x10000000;
constexpr REGSAM GENERIC_EXECUTE = 0x20000000;
constexpr REGSAM GENERIC_WRITE = 0x40000000;
constexpr REGSAM GENERIC_READ = 0x80000000;

// RegCreateKeyExA options and dispositions.
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Result codes of the registry calls besides those in last_error.h.
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_REGISTRY_CORRUPT = 1015;
constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
constexpr DWORD ERROR_KEY_DELETED = 1018;

// Longest key name (one path segment) and value name, in UTF-16 code units.
constexpr DWORD kMaxKeyNameChars = 255;
constexpr DWORD kMaxValueNameChars = 16383;

// Opens an existing key below hKey for the access in samDesired (generic rights and
// MAXIMUM_ALLOWED map to key rights). ulOptions is ignored. Success: *phkResult is a new
// handle the caller closes with RegCloseKey. Failure: *phkResult null;
// ERROR_FILE_NOT_FOUND (a key on the path is missing), ERROR_BAD_PATHNAME,
// ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER (null phkResult, overlong name),
// ERROR_KEY_DELETED (hKey was deleted), ERROR_REGISTRY_IO_FAILED (database).
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// RegOpenKeyExA with MAXIMUM_ALLOWED, except that a null or empty lpSubKey returns
// hKey itself in *phkResult (no new handle), as the platform does.
LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
// Opens the key below hKey, creating it and every missing key on the path in one
// transaction. The rights of hKey do not matter, as on the platform. Reserved must be 0;
// lpClass, lpSecurityAttributes and REG_OPTION_VOLATILE are accepted and ignored (keys
// always persist). *lpdwDisposition (optional) receives REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY. Success: *phkResult is a new handle the caller closes.
// Failure: *phkResult null, codes as RegOpenKeyExA (never ERROR_FILE_NOT_FOUND),
// nothing created.
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, const void* lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);
// RegCreateKeyExA with MAXIMUM_ALLOWED, except that a null or empty lpSubKey returns
// hKey itself in *phkResult (no new handle), as the platform does.
LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
// Releases a handle. ERROR_SUCCESS (also for the predefined keys) or
// ERROR_INVALID_HANDLE.
LONG RegCloseKey(HKEY hKey);

// Reads a value (null or empty name: the key's default value). Needs KEY_QUERY_VALUE.
// *lpType (optional) receives the type. With lpData null, *lpcbData (optional) receives
// the data length. With lpData, *lpcbData is the buffer size on entry and the data
// length on return; a short buffer gives ERROR_MORE_DATA with the needed length in
// *lpcbData and the type in *lpType, the buffer untouched. The data comes back as it was
// stored: no terminator is added to string types. Failure: ERROR_FILE_NOT_FOUND (no such
// value), ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER (lpReserved not null, lpData
// without lpcbData), ERROR_INVALID_HANDLE, ERROR_KEY_DELETED, ERROR_REGISTRY_IO_FAILED.
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
// Creates or replaces a value with cbData bytes of lpData, stored as given (an existing
// value keeps the case of its name). Needs KEY_SET_VALUE. Failure: ERROR_ACCESS_DENIED,
// ERROR_NOACCESS (lpData null with cbData > 0), ERROR_INVALID_PARAMETER (overlong name),
// ERROR_INVALID_HANDLE, ERROR_KEY_DELETED, ERROR_REGISTRY_IO_FAILED; nothing written.
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData);
// Removes a value. Needs KEY_SET_VALUE. ERROR_FILE_NOT_FOUND when there is none.
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// Removes the key lpSubKey below hKey ("" : hKey's own key) with its values. A key that
// still has subkeys is refused with ERROR_ACCESS_DENIED, as is HKEY_CURRENT_USER itself.
// Failure: ERROR_INVALID_PARAMETER (null lpSubKey), ERROR_FILE_NOT_FOUND, and the
// handle and database codes.
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// Removes lpSubKey with all its subkeys and values in one transaction. With lpSubKey null
// the subkeys and values of hKey go and hKey stays; hKey then needs DELETE,
// KEY_ENUMERATE_SUB_KEYS and KEY_QUERY_VALUE (and KEY_SET_VALUE when it has values).
// HKEY_CURRENT_USER itself is refused with ERROR_ACCESS_DENIED, nothing removed.
LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);

// The dwIndex-th subkey of hKey in name order. Needs KEY_ENUMERATE_SUB_KEYS. On entry
// *lpcchName is the size of lpName including the terminator; on success it holds the
// name's length without it. A short buffer gives ERROR_MORE_DATA with *lpcchName
// unchanged (RegQueryInfoKeyA tells the longest name). lpClass receives "" when given;
// *lpftLastWriteTime (optional) the key's last write time. ERROR_NO_MORE_ITEMS past the
// last subkey.
LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// The dwIndex-th value of hKey. Needs KEY_QUERY_VALUE. The name follows the size rules
// of RegEnumKeyExA; type and data those of RegQueryValueExA (ERROR_MORE_DATA with the
// needed data length). ERROR_NO_MORE_ITEMS past the last value.
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Counts and longest lengths (ANSI bytes without terminator) of hKey's subkey names,
// value names and value data, and its last write time; every output is optional. Keys
// have no class (empty) and no security descriptor (0). Needs KEY_QUERY_VALUE.
LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);

// Owns one key handle and closes it with RegCloseKey. Holding a predefined key is
// harmless: closing it does nothing.
class RegKeyHolder {
  public:
    RegKeyHolder() = default;
    explicit RegKeyHolder(HKEY key) : key_(key) {}
    ~RegKeyHolder() { close(); }
    RegKeyHolder(const RegKeyHolder&) = delete;
    RegKeyHolder& operator=(const RegKeyHolder&) = delete;
    RegKeyHolder(RegKeyHolder&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
    RegKeyHolder& operator=(RegKeyHolder&& other) noexcept {
        if (this != &other) {
            close();
            key_ = other.key_;
            other.key_ = nullptr;
        }
        return *this;
    }

    // Where a Reg* call stores the handle it opens; the previous handle is closed first.
    PHKEY out() {
        close();
        return &key_;
    }
    HKEY get() const { return key_; }
    // Closes the handle. Idempotent.
    void close() {
        if (key_) RegCloseKey(key_);
        key_ = nullptr;
    }

  private:
    HKEY key_ = nullptr;
};
