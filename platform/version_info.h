// Version resources. A module built here carries its file version in an ELF section
// (kKestruneVersionSection) holding a VS_FIXEDFILEINFO record; these calls read it back
// from the module file, as the platform reads a version resource.
#pragma once

#include "platform/types.h"

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

// Bytes of the file's version information, 0 (ERROR_RESOURCE_TYPE_NOT_FOUND, or
// ERROR_FILE_NOT_FOUND) when it has none. A name without a separator is searched for
// as libraries are: the folder of the running program, then $LD_LIBRARY_PATH; a
// ".dll" name also matches lib<name>.so.
DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle);
// Copies the version information into the caller's buffer of dwLen bytes.
BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);
// Looks up a value in version information; "\\" (the root block) gives the
// VS_FIXEDFILEINFO. FALSE when absent or malformed.
BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen);
// Full path (ANSI code page) of the module holding `hModule` (an address inside it;
// null for the main program). Returns the length copied; a short buffer gets the path
// cut to nSize - 1 characters and ERROR_INSUFFICIENT_BUFFER; 0 on failure.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
