#include "platform/system/sysinfo.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <cstring>
#include <string>

#include "platform/system/last_error.h"
#include "tests/scoped_state.h"

namespace {

// What `cmd` prints on its first line.
std::string commandOutput(const char* cmd) {
    std::string out;
    if (FILE* p = popen(cmd, "r")) {
        char line[256];
        if (fgets(line, sizeof(line), p)) out = line;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

TEST(KernelRelease, FieldsAreTheLeadingNumbers) {
    struct Case {
        const char* release;
        DWORD major, minor, build;
    } cases[] = {
        {"6.1.0-18-amd64", 6, 1, 0},
        {"5.15.153.1-microsoft-standard-WSL2", 5, 15, 153},
        {"3", 3, 0, 0},
        {"", 0, 0, 0},
        {"rc-6.1", 0, 0, 0},
        {"99999999999.1.2", 0xFFFFFFFF, 1, 2},
    };
    for (const auto& c : cases) {
        OSVERSIONINFOA info{};
        versionFromKernelRelease(c.release, &info);
        EXPECT_EQ(info.dwMajorVersion, c.major) << c.release;
        EXPECT_EQ(info.dwMinorVersion, c.minor) << c.release;
        EXPECT_EQ(info.dwBuildNumber, c.build) << c.release;
        EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_UNIX) << c.release;
        EXPECT_STREQ(info.szCSDVersion, c.release);
    }
    // A release text longer than the field is cut, still terminated.
    std::string longRelease = "1.2.3-" + std::string(200, 'x');
    OSVERSIONINFOA info{};
    versionFromKernelRelease(longRelease.c_str(), &info);
    EXPECT_EQ(std::strlen(info.szCSDVersion), sizeof(info.szCSDVersion) - 1);
}

TEST(GetVersionExA, PlainRecordReportsTheRunningKernel) {
    std::string release = commandOutput("uname -r");
    ASSERT_FALSE(release.empty());
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExA(&info));
    std::string expected = std::to_string(info.dwMajorVersion) + "." +
                           std::to_string(info.dwMinorVersion) + "." +
                           std::to_string(info.dwBuildNumber);
    EXPECT_EQ(release.compare(0, expected.size(), expected), 0) << release << " vs " << expected;
    EXPECT_EQ(release, info.szCSDVersion);
}

TEST(GetVersionExA, RecordSizeSelectsTheAnswer) {
    struct Case {
        DWORD size;
        BOOL result;
        DWORD error;
    } cases[] = {
        {148, TRUE, 0},
        {156, FALSE, ERROR_NOT_SUPPORTED},
        {0, FALSE, ERROR_INSUFFICIENT_BUFFER},
        {147, FALSE, ERROR_INSUFFICIENT_BUFFER},
        {152, FALSE, ERROR_INSUFFICIENT_BUFFER},
        {284, FALSE, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto& c : cases) {
        OSVERSIONINFOEXA info{};
        info.dwOSVersionInfoSize = c.size;
        info.wProductType = 0x5A;
        SetLastError(0);
        EXPECT_EQ(GetVersionExA(&info), c.result) << c.size;
        EXPECT_EQ(GetLastError(), c.error) << c.size;
        // The extended tail is never written, whatever the size claims.
        EXPECT_EQ(info.wProductType, 0x5A) << c.size;
    }
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(static_cast<OSVERSIONINFOA*>(nullptr)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Architecture, MachineNamesMapToPlatformValues) {
    struct Case {
        const char* machine;
        WORD architecture;
    } cases[] = {
        {"x86_64", PROCESSOR_ARCHITECTURE_AMD64},  {"aarch64", PROCESSOR_ARCHITECTURE_ARM64},
        {"i686", PROCESSOR_ARCHITECTURE_INTEL},    {"armv7l", PROCESSOR_ARCHITECTURE_ARM},
        {"i786", PROCESSOR_ARCHITECTURE_UNKNOWN},  {"riscv64", PROCESSOR_ARCHITECTURE_UNKNOWN},
        {nullptr, PROCESSOR_ARCHITECTURE_UNKNOWN},
    };
    for (const auto& c : cases)
        EXPECT_EQ(architectureFromMachine(c.machine), c.architecture)
            << (c.machine ? c.machine : "(null)");
}

TEST(GetSystemInfo, AgreesWithUnameAndGetconf) {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    std::string machine = commandOutput("uname -m");
    EXPECT_EQ(info.wProcessorArchitecture, architectureFromMachine(machine.c_str()));
    EXPECT_EQ(std::to_string(info.dwPageSize), commandOutput("getconf PAGESIZE"));
    EXPECT_EQ(std::to_string(info.dwNumberOfProcessors),
              commandOutput("getconf _NPROCESSORS_ONLN"));
    EXPECT_NE(info.dwActiveProcessorMask, 0u);
}

TEST(GetEnvironmentVariableA, SizeProtocol) {
    ScopedEnvVar set("KSCAPI_TEST_VALUE", std::string("abcdef"));
    ScopedEnvVar empty("KSCAPI_TEST_EMPTY", std::string());
    ScopedEnvVar unset("KSCAPI_TEST_UNSET", std::nullopt);
    struct Case {
        const char* name;
        DWORD size;
        DWORD result;
        const char* buffer;  // what the buffer holds afterwards
        DWORD error;         // last error afterwards (0x55 = left alone)
    } cases[] = {
        {"KSCAPI_TEST_VALUE", 7, 6, "abcdef", 0x55},
        {"KSCAPI_TEST_VALUE", 100, 6, "abcdef", 0x55},
        {"KSCAPI_TEST_VALUE", 6, 7, "########", 0x55},  // needs 7 with the terminator
        {"KSCAPI_TEST_VALUE", 1, 7, "########", 0x55},
        {"KSCAPI_TEST_VALUE", 0, 7, "########", 0x55},
        {"KSCAPI_TEST_EMPTY", 10, 0, "", ERROR_SUCCESS},
        {"KSCAPI_TEST_EMPTY", 0, 1, "########", 0x55},
        {"KSCAPI_TEST_UNSET", 10, 0, "########", ERROR_ENVVAR_NOT_FOUND},
        {"", 10, 0, "########", ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        char buffer[16];
        std::memset(buffer, 0, sizeof(buffer));
        std::memset(buffer, '#', 8);
        SetLastError(0x55);
        EXPECT_EQ(GetEnvironmentVariableA(c.name, buffer, c.size), c.result) << c.name << c.size;
        EXPECT_STREQ(buffer, c.buffer) << c.name << " " << c.size;
        EXPECT_EQ(GetLastError(), c.error) << c.name << " " << c.size;
    }
    SetLastError(0);
    EXPECT_EQ(GetEnvironmentVariableA("KSCAPI_TEST_VALUE", nullptr, 0), 7u);
    EXPECT_EQ(GetEnvironmentVariableA(nullptr, nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(GetEnvironmentVariableA, ValueIsHandedOutInTheAnsiCodePage) {
    ScopedAnsiCodePage big5(950);
    ASSERT_TRUE(big5.ok());
    ScopedEnvVar set("KSCAPI_TEST_VALUE",
                     std::string("/home/\xE6\xA1\x8C\xE9\x9D\xA2"));  // UTF-8 桌面
    char buffer[32] = {};
    // Big5 for 桌面 is AE E0 AD B1 (python3 -c "print('桌面'.encode('big5').hex())").
    EXPECT_EQ(GetEnvironmentVariableA("KSCAPI_TEST_VALUE", buffer, sizeof(buffer)), 10u);
    EXPECT_STREQ(buffer, "/home/\xAE\xE0\xAD\xB1");
    // The size needed is counted in code-page bytes, not UTF-8 bytes.
    EXPECT_EQ(GetEnvironmentVariableA("KSCAPI_TEST_VALUE", buffer, 10), 11u);
}

}  // namespace
