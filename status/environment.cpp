#include "status/environment.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/system/adapters.h"
#include "platform/system/files.h"
#include "platform/system/version_info.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"
#include "status/version_resource.h"

namespace {

// Reads and formats the version information of a file whose size query already
// answered `size`; a size of 0 is that query's failure and is recorded as such.
std::string readVersion(const std::string& path, DWORD size, ErrorPair& status) {
    if (size == 0) {
        status.failWithPlatform(err::kNotSupported);
        return std::string();
    }
    // DWORD elements keep the block aligned for the record VerQueryValueA points into.
    std::vector<DWORD> block((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) {
        status.failWithPlatform(err::kNotSupported);
        return std::string();
    }
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        status.failWithPlatform(err::kNotSupported);
        return std::string();
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    char text[64];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", static_cast<int>(info->dwFileVersionMS >> 16),
                  static_cast<int>(info->dwFileVersionMS & 0xFFFF),
                  static_cast<int>(info->dwFileVersionLS >> 16),
                  static_cast<int>(info->dwFileVersionLS & 0xFFFF));
    return text;
}

}  // namespace

std::string versionFromFile(const std::string& path, ErrorPair& status) {
    DWORD handle = 0;
    return readVersion(path, GetFileVersionInfoSizeA(path.c_str(), &handle), status);
}

std::string queryModuleVersion(ErrorPair& status) {
    std::string path = std::string(kModuleApplicationName) + ".dll";
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) {
        // The record itself is an address inside the module that holds this code, and
        // referring to it here links it into every binary that uses the engine.
        char own[255] = {};
        GetModuleFileNameA(const_cast<VS_FIXEDFILEINFO*>(&kModuleVersionRecord), own, sizeof(own));
        path = own;
        size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    }
    return readVersion(path, size, status);
}

std::string macAddressList(ErrorPair& status) {
    // Room for 16 records, as the 10240-byte buffer the operation has always used.
    constexpr size_t kRecords = 10240 / sizeof(IP_ADAPTER_INFO);
    std::vector<IP_ADAPTER_INFO> buffer(kRecords);
    ULONG length = static_cast<ULONG>(buffer.size() * sizeof(IP_ADAPTER_INFO));
    if (GetAdaptersInfo(buffer.data(), &length) != ERROR_SUCCESS) {
        status.fail(err::kGeneral);
        return std::string();
    }
    std::string list;
    for (const IP_ADAPTER_INFO* a = buffer.data(); a; a = a->Next) {
        char line[18];
        std::snprintf(line, sizeof(line), "%02X-%02X-%02X-%02X-%02X-%02X", a->Address[0],
                      a->Address[1], a->Address[2], a->Address[3], a->Address[4], a->Address[5]);
        if (!list.empty()) list.push_back('\n');
        list += line;
    }
    return list;
}

std::string windowsSystemNameFor(const OSVERSIONINFOEXA* info, WORD processorArchitecture,
                                 int (*systemMetric)(int)) {
    auto text = [](std::u16string_view name) { return toAnsi(name); };
    if (!systemMetric) systemMetric = GetSystemMetrics;
    if (!info) return text(u"非 Windows 作業系統");
    const DWORD major = info->dwMajorVersion;
    const DWORD minor = info->dwMinorVersion;
    const bool workstation = info->wProductType == VER_NT_WORKSTATION;
    switch (major) {
        case 4:
            if (minor == 0 && info->dwPlatformId == VER_PLATFORM_WIN32_NT)
                return text(u"Microsoft Windows NT 4.0");
            if (minor == 0 && info->dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
                return text(u"Microsoft Windows 95");
            if (minor == 10) return text(u"Microsoft Windows 98");
            if (minor == 90) return text(u"Microsoft Windows Me");
            return std::string();
        case 5:
            if (minor == 0) return text(u"Microsoft Windows 2000");
            if (minor == 1) return text(u"Microsoft Windows XP");
            if (minor != 2) return std::string();
            if (workstation && processorArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
                return text(u"Microsoft Windows XP Professional x64 Edition");
            // The R2 metric is read once per row, as the edition table is walked.
            if (systemMetric(SM_SERVERR2) == 0) return text(u"Microsoft Windows Server 2003");
            if (systemMetric(SM_SERVERR2) != 0) return text(u"Microsoft Windows Server 2003 R2");
            return std::string();
        case 6:
            if (minor == 0)
                return text(workstation ? u"Microsoft Windows Vista"
                                        : u"Microsoft Windows Server 2008");
            if (minor == 1)
                return text(workstation ? u"Microsoft Windows 7"
                                        : u"Microsoft Windows Server 2008 R2");
            return std::string();
        default:
            return text(u"Windows 系統無法識別");
    }
}

std::string windowsSystemName() {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = sizeof(version);
    bool known = GetVersionExA(&version) != FALSE;
    return windowsSystemNameFor(known ? &version : nullptr, system.wProcessorArchitecture,
                                GetSystemMetrics);
}

std::string homeFolderFromEnvironment() {
    char home[255] = {};
    DWORD length = GetEnvironmentVariableA("HOME", home, sizeof(home));
    // 0 is unset or empty; a length of the buffer or more is the size a longer value needs.
    if (length == 0 || length >= sizeof(home)) return std::string();
    return std::string(home, length);
}

std::string defaultFolderFor(const std::string& home) {
    if (home.empty()) return std::string();
    for (const std::string& name : {toAnsi(u"桌面"), std::string("Desktop")}) {
        std::string folder = home + kPathSeparator + name;
        if (PathFileExistsA(folder.c_str())) return folder;
    }
    return home;
}
