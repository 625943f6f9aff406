// Version resources. A module built here carries its file version in an ELF section
// (kKestruneVersionSection) holding a VS_FIXEDFILEINFO record; these calls read it back
// from the module file, as the platform reads a version resource.
#pragma once

#include "platform/system/types.h"

struct VS_FIXEDFILEINFO {
    DWORD dwSignature;  // 0xFEEF04BD
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;
constexpr const char* kKestruneVersionSection = "kestrune_version";

// Bytes of the file's version information, 0 when it has none: ERROR_FILE_NOT_FOUND
// (no such file, or not a regular file), ERROR_ACCESS_DENIED, or
// ERROR_RESOURCE_TYPE_NOT_FOUND (not an ELF file of this byte order, no version section,
// or a malformed one). A name without a separator is searched for as libraries are: the
// folder of the running program, then each non-empty entry of $LD_LIBRARY_PATH; a ".dll"
// name also matches lib<name>.so. *lpdwHandle (optional) is set to 0.
DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle);
// Copies the version information into the caller's buffer of dwLen bytes (cut to dwLen
// when shorter). FALSE with the errors above, or ERROR_INSUFFICIENT_BUFFER when dwLen
// cannot hold a VS_FIXEDFILEINFO.
BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);
// Looks up a value in a block that GetFileVersionInfoA filled; "\" (the root block)
// gives a pointer into the block at its VS_FIXEDFILEINFO. FALSE with
// ERROR_RESOURCE_TYPE_NOT_FOUND for any other block or a wrong signature,
// ERROR_INVALID_PARAMETER for null arguments or a block not aligned for the record.
BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen);
// Full path (ANSI code page) of the module holding `hModule` (an address inside it;
// null for the main program). Returns the length copied; a short buffer gets the path
// cut to nSize - 1 characters, the result nSize and ERROR_INSUFFICIENT_BUFFER; 0 with
// ERROR_MOD_NOT_FOUND for an address outside every module.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
