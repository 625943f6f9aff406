// System and version information with the platform's record layouts. There is no
// Windows version here: the plain version record reports the kernel's version, and
// the extended query fails, as it does on a system that is not Windows.
#pragma once

#include "platform/types.h"

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148);

struct OSVERSIONINFOEXA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
static_assert(sizeof(OSVERSIONINFOEXA) == 156);

constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
constexpr BYTE VER_NT_WORKSTATION = 1;
constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM = 5;
constexpr WORD PROCESSOR_ARCHITECTURE_IA64 = 6;
constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM64 = 12;
constexpr int SM_SERVERR2 = 89;

struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    uintptr_t dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};

// Fills the record whose dwOSVersionInfoSize says which layout it is: 148 bytes (plain)
// gets the kernel's version; 156 bytes (extended) fails with ERROR_NOT_SUPPORTED, since
// no Windows version exists to report. Any other size fails with
// ERROR_INSUFFICIENT_BUFFER. FALSE on failure, with the last error set.
BOOL GetVersionExA(OSVERSIONINFOA* lpVersionInformation);
// The processor architecture (from the machine the process runs on), page size and
// processor count.
void GetSystemInfo(SYSTEM_INFO* lpSystemInfo);
// System metrics; SM_SERVERR2 and anything unknown are 0 here.
int GetSystemMetrics(int nIndex);

// Reads an environment variable into `lpBuffer` (nSize characters including the
// terminator). Returns the length copied; when the buffer is too small, the size needed
// (terminator included) and nothing copied; 0 with ERROR_ENVVAR_NOT_FOUND when unset.
DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
