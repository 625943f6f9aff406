// System and version information with the platform's record layouts. There is no
// Windows version here: the plain version record reports the kernel's version, and
// the extended query fails, as it does on a system that is not Windows.
#pragma once

#include "platform/system/types.h"

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

// Platform id of the plain record on this system (the value Windows gave Win32s, which
// nothing here can be mistaken for).
constexpr DWORD VER_PLATFORM_UNIX = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
constexpr BYTE VER_NT_WORKSTATION = 1;
constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM = 5;
constexpr WORD PROCESSOR_ARCHITECTURE_IA64 = 6;
constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM64 = 12;
constexpr WORD PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF;
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
// ERROR_INSUFFICIENT_BUFFER; a null record with ERROR_INVALID_PARAMETER. FALSE on
// failure, with the last error set.
// The kernel's release "6.1.0-18-amd64" reads as major 6, minor 1, build 0; the platform
// id is VER_PLATFORM_UNIX (0), which no Windows edition carries, and szCSDVersion holds
// the whole release text.
BOOL GetVersionExA(OSVERSIONINFOA* lpVersionInformation);
// The same call for the extended record, so callers need no cast.
BOOL GetVersionExA(OSVERSIONINFOEXA* lpVersionInformation);
// The processor architecture (from the machine the process runs on), page size and
// processor count.
void GetSystemInfo(SYSTEM_INFO* lpSystemInfo);
// System metrics; SM_SERVERR2 and anything unknown are 0 here.
int GetSystemMetrics(int nIndex);

// Helpers of the layer, exposed for tests: the version fields of a kernel release text
// (missing or non-numeric parts are 0), and the architecture of a uname machine name
// (x86_64 9, aarch64 12, i386-i686 0, arm* 5, ia64 6, else PROCESSOR_ARCHITECTURE_UNKNOWN).
void versionFromKernelRelease(const char* release, OSVERSIONINFOA* info);
WORD architectureFromMachine(const char* machine);

// Reads an environment variable into `lpBuffer` (nSize characters including the
// terminator). Returns the length copied; when the buffer is too small, the size needed
// (terminator included) and nothing copied; 0 with ERROR_ENVVAR_NOT_FOUND when unset
// (ERROR_INVALID_PARAMETER for a null or empty name). An empty value returns 0 with the
// last error ERROR_SUCCESS. The name is taken in the ANSI code page and the value, which
// the system holds in UTF-8, is handed out in the ANSI code page.
DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
