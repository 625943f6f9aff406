#include "platform/system/sysinfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/system/last_error.h"
#include "platform/text/codepage.h"

namespace {

// Reads one decimal field and steps over its '.' separator; stops at anything else so
// that "6.1.0-18-amd64" leaves the suffix alone.
DWORD nextVersionField(const char*& p) {
    DWORD value = 0;
    bool any = false;
    while (*p >= '0' && *p <= '9') {
        DWORD digit = static_cast<DWORD>(*p - '0');
        // Saturate rather than wrap: a silly release text must not look like a small number.
        value = value > (0xFFFFFFFFu - digit) / 10 ? 0xFFFFFFFFu : value * 10 + digit;
        any = true;
        ++p;
    }
    if (any && *p == '.') ++p;
    return value;
}

BOOL fillVersion(DWORD size, OSVERSIONINFOA* info) {
    if (size == sizeof(OSVERSIONINFOEXA)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (size != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    struct utsname u {};
    if (::uname(&u) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    versionFromKernelRelease(u.release, info);
    return TRUE;
}

}  // namespace

void versionFromKernelRelease(const char* release, OSVERSIONINFOA* info) {
    const char* text = release ? release : "";
    const char* p = text;
    info->dwMajorVersion = nextVersionField(p);
    info->dwMinorVersion = nextVersionField(p);
    info->dwBuildNumber = nextVersionField(p);
    info->dwPlatformId = VER_PLATFORM_UNIX;
    std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
    std::strncpy(info->szCSDVersion, text, sizeof(info->szCSDVersion) - 1);
}

WORD architectureFromMachine(const char* machine) {
    if (!machine) return PROCESSOR_ARCHITECTURE_UNKNOWN;
    std::string m = machine;
    if (m == "x86_64" || m == "amd64") return PROCESSOR_ARCHITECTURE_AMD64;
    if (m == "aarch64" || m == "arm64") return PROCESSOR_ARCHITECTURE_ARM64;
    if (m == "ia64") return PROCESSOR_ARCHITECTURE_IA64;
    if (m.size() == 4 && m[0] == 'i' && m[1] >= '3' && m[1] <= '6' && m.compare(2, 2, "86") == 0)
        return PROCESSOR_ARCHITECTURE_INTEL;
    if (m.compare(0, 3, "arm") == 0) return PROCESSOR_ARCHITECTURE_ARM;
    return PROCESSOR_ARCHITECTURE_UNKNOWN;
}

BOOL GetVersionExA(OSVERSIONINFOA* lpVersionInformation) {
    if (!lpVersionInformation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return fillVersion(lpVersionInformation->dwOSVersionInfoSize, lpVersionInformation);
}

BOOL GetVersionExA(OSVERSIONINFOEXA* lpVersionInformation) {
    if (!lpVersionInformation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Only a record that claims the plain size is written, and then only its plain part,
    // which has the same layout at the start of the extended record.
    DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA)) return fillVersion(size, nullptr);
    OSVERSIONINFOA plain{};
    plain.dwOSVersionInfoSize = size;
    if (!fillVersion(size, &plain)) return FALSE;
    lpVersionInformation->dwMajorVersion = plain.dwMajorVersion;
    lpVersionInformation->dwMinorVersion = plain.dwMinorVersion;
    lpVersionInformation->dwBuildNumber = plain.dwBuildNumber;
    lpVersionInformation->dwPlatformId = plain.dwPlatformId;
    std::memcpy(lpVersionInformation->szCSDVersion, plain.szCSDVersion, sizeof(plain.szCSDVersion));
    return TRUE;
}

void GetSystemInfo(SYSTEM_INFO* lpSystemInfo) {
    if (!lpSystemInfo) return;
    std::memset(lpSystemInfo, 0, sizeof(*lpSystemInfo));
    struct utsname u {};
    lpSystemInfo->wProcessorArchitecture =
        ::uname(&u) == 0 ? architectureFromMachine(u.machine) : PROCESSOR_ARCHITECTURE_UNKNOWN;
    long page = ::sysconf(_SC_PAGESIZE);
    lpSystemInfo->dwPageSize = page > 0 ? static_cast<DWORD>(page) : 4096;
    lpSystemInfo->dwAllocationGranularity = lpSystemInfo->dwPageSize;
    lpSystemInfo->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(lpSystemInfo->dwPageSize);
    lpSystemInfo->lpMaximumApplicationAddress =
        reinterpret_cast<LPVOID>(sizeof(void*) == 8 ? 0x00007FFFFFFEFFFFull : 0xBFFEFFFFull);
    long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    DWORD count = cpus > 0 ? static_cast<DWORD>(cpus) : 1;
    lpSystemInfo->dwNumberOfProcessors = count;
    constexpr DWORD maskBits = sizeof(uintptr_t) * 8;
    lpSystemInfo->dwActiveProcessorMask =
        count >= maskBits ? ~uintptr_t{0} : (uintptr_t{1} << count) - 1;
    switch (lpSystemInfo->wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64:
            lpSystemInfo->dwProcessorType = 8664;
            break;
        case PROCESSOR_ARCHITECTURE_INTEL:
            lpSystemInfo->dwProcessorType = 586;
            break;
        case PROCESSOR_ARCHITECTURE_IA64:
            lpSystemInfo->dwProcessorType = 2200;
            break;
        default:
            lpSystemInfo->dwProcessorType = 0;
            break;
    }
}

int GetSystemMetrics(int /*nIndex*/) {
    return 0;
}

DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    if (!lpName || !*lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* value = std::getenv(ansiToUtf8(lpName).c_str());
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    std::string ansi = utf8ToAnsi(value);
    if (!lpBuffer || nSize <= ansi.size()) return static_cast<DWORD>(ansi.size() + 1);
    std::memcpy(lpBuffer, ansi.c_str(), ansi.size() + 1);
    if (ansi.empty()) SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(ansi.size());
}
