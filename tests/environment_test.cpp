#include "status/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/system/last_error.h"
#include "platform/text/codepage.h"
#include "tests/elf_fixture.h"
#include "tests/fake_adapters.h"
#include "tests/scoped_state.h"

namespace {

TEST(ModuleVersion, AnswersTheProjectVersion) {
    ErrorPair status;
    status.capiError = 77;
    EXPECT_EQ(queryModuleVersion(status), "4.0.1.2");
    EXPECT_EQ(status.lastError, 0);
    EXPECT_EQ(status.capiError, 77u);
}

TEST(ModuleVersion, FallsBackToTheModuleHoldingTheEngine) {
    // A copy of this program in a folder without the module finds no KestruneATL.dll by
    // name, so it must read the record from its own file to pass the test above.
    TempFolder dir;
    const std::string copy = dir.path() + "/kscapi_tests_copy";
    std::filesystem::copy_file("/proc/self/exe", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    const std::string command = "env -u LD_LIBRARY_PATH '" + copy +
                                "' --gtest_filter=ModuleVersion.AnswersTheProjectVersion"
                                " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    ErrorPair status;
    EXPECT_EQ(versionFromFile(copy, status), "4.0.1.2");
}

TEST(ModuleVersion, FilesWithoutAVersionFailWith5004) {
    TempFolder dir;
    const std::string withRecord = dir.path() + "/with.so";
    const std::string without = dir.path() + "/without.so";
    const std::string badSignature = dir.path() + "/bad.so";
    ASSERT_TRUE(writeFile(withRecord,
                          Elf64Image::make(true, versionRecord(0xFFFF0000, 0x0001FFFF)).bytes()));
    ASSERT_TRUE(writeFile(without, Elf64Image::make(false, versionRecord(0, 0)).bytes()));
    VS_FIXEDFILEINFO bad = versionRecord(0x00010002, 0x00030004);
    bad.dwSignature = 0xBD04EFFE;  // the signature in the other byte order
    ASSERT_TRUE(writeFile(badSignature, Elf64Image::make(true, bad).bytes()));
    struct Case {
        std::string path;
        std::string version;
        ErrorCode code;
        uint32_t capi;
    } cases[] = {
        {withRecord, "65535.0.1.65535", 0, 0x99},
        {without, "", 5004, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {badSignature, "", 5004, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {dir.path() + "/absent.so", "", 5004, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        ErrorPair status;
        status.capiError = 0x99;
        EXPECT_EQ(versionFromFile(c.path, status), c.version) << c.path;
        EXPECT_EQ(status.lastError, c.code) << c.path;
        EXPECT_EQ(status.capiError, c.capi) << c.path;
    }
}

TEST(MacAddressList, FormatsTheFirstSixBytesOfEachAdapter) {
    struct Case {
        const char* what;
        std::vector<AdapterRecord> adapters;
        bool available;
        std::string list;
        ErrorCode code;
    } cases[] = {
        {"two adapters",
         {{2, "eth0", 6, {0x02, 0xFC, 0x00, 0x0A, 0xbc, 0xff}},
          {5, "wlan0", 71, {0, 1, 2, 3, 4, 5}}},
         true,
         "02-FC-00-0A-BC-FF\n00-01-02-03-04-05",
         0},
        {"address of 4 bytes", {{2, "ppp0", 23, {1, 2, 3, 4}}}, true, "01-02-03-04-00-00", 0},
        {"address of 8 bytes",
         {{2, "fw0", 1, {1, 2, 3, 4, 5, 6, 7, 8}}},
         true,
         "01-02-03-04-05-06",
         0},
        {"no address", {{2, "tun0", 1, {}}}, true, "00-00-00-00-00-00", 0},
        {"sixteen fit", numberedAdapters(16), true, "", 0},
        {"seventeen do not", numberedAdapters(17), true, "", 5001},
        {"none", {}, true, "", 5001},
        {"list unavailable", numberedAdapters(2), false, "", 5001},
    };
    for (auto& c : cases) {
        auto scope = fakeAdapters(c.adapters, c.available);
        ErrorPair status;
        status.capiError = 0x42;
        std::string list = macAddressList(status);
        if (std::string(c.what) == "sixteen fit") {
            ASSERT_EQ(list.size(), 16 * 17 + 15);
            EXPECT_EQ(list.substr(0, 18), "02-00-00-00-00-02\n");
            EXPECT_EQ(list.substr(list.size() - 17), "02-00-00-00-00-11");
        } else {
            EXPECT_EQ(list, c.list) << c.what;
        }
        EXPECT_EQ(status.lastError, c.code) << c.what;
        EXPECT_EQ(status.capiError, 0x42u) << c.what;  // no platform error is recorded
    }
}

int metricZero(int) {
    return 0;
}
int metricOne(int) {
    return 1;
}
// Answers 1 at the first reading and 0 afterwards, as a metric changing between the
// two readings of the edition table would.
int g_metricReadings = 0;
int metricOneThenZero(int index) {
    EXPECT_EQ(index, SM_SERVERR2);
    return g_metricReadings++ == 0 ? 1 : 0;
}

TEST(WindowsSystemName, EditionTable) {
    ScopedAnsiCodePage big5(950);
    ASSERT_TRUE(big5.ok());
    struct Case {
        DWORD major, minor, platform;
        BYTE productType;
        WORD architecture;
        int (*metric)(int);
        std::u16string name;
    } cases[] = {
        {4, 0, VER_PLATFORM_WIN32_NT, 1, 0, metricZero, u"Microsoft Windows NT 4.0"},
        {4, 0, VER_PLATFORM_WIN32_WINDOWS, 0, 0, metricZero, u"Microsoft Windows 95"},
        {4, 0, 0, 0, 0, metricZero, u""},
        {4, 10, VER_PLATFORM_WIN32_WINDOWS, 0, 0, metricZero, u"Microsoft Windows 98"},
        {4, 90, VER_PLATFORM_WIN32_WINDOWS, 0, 0, metricZero, u"Microsoft Windows Me"},
        {4, 1, VER_PLATFORM_WIN32_WINDOWS, 0, 0, metricZero, u""},
        {5, 0, 2, 1, 0, metricZero, u"Microsoft Windows 2000"},
        {5, 1, 2, 1, 9, metricZero, u"Microsoft Windows XP"},
        {5, 2, 2, 1, PROCESSOR_ARCHITECTURE_AMD64, metricOne,
         u"Microsoft Windows XP Professional x64 Edition"},
        {5, 2, 2, 1, PROCESSOR_ARCHITECTURE_INTEL, metricZero, u"Microsoft Windows Server 2003"},
        {5, 2, 2, 3, PROCESSOR_ARCHITECTURE_AMD64, metricZero, u"Microsoft Windows Server 2003"},
        {5, 2, 2, 3, PROCESSOR_ARCHITECTURE_AMD64, metricOne, u"Microsoft Windows Server 2003 R2"},
        {5, 2, 2, 3, PROCESSOR_ARCHITECTURE_INTEL, metricOneThenZero, u""},
        {5, 3, 2, 1, 0, metricZero, u""},
        {6, 0, 2, 1, 9, metricZero, u"Microsoft Windows Vista"},
        {6, 0, 2, 3, 9, metricZero, u"Microsoft Windows Server 2008"},
        {6, 1, 2, 1, 9, metricZero, u"Microsoft Windows 7"},
        {6, 1, 2, 2, 9, metricZero, u"Microsoft Windows Server 2008 R2"},
        {6, 2, 2, 1, 9, metricZero, u""},
        {6, 3, 2, 1, 9, metricZero, u""},
        {6, 4, 2, 3, 9, metricZero, u""},
        {10, 0, 2, 1, 9, metricZero, u"Windows 系統無法識別"},
        {3, 51, 2, 1, 0, metricZero, u"Windows 系統無法識別"},
        {0, 0, 0, 0, 0, metricZero, u"Windows 系統無法識別"},
    };
    for (const auto& c : cases) {
        OSVERSIONINFOEXA info{};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwMajorVersion = c.major;
        info.dwMinorVersion = c.minor;
        info.dwPlatformId = c.platform;
        info.wProductType = c.productType;
        g_metricReadings = 0;
        std::string name = windowsSystemNameFor(&info, c.architecture, c.metric);
        EXPECT_EQ(fromAnsi(name), c.name) << c.major << "." << c.minor << " type "
                                          << int(c.productType) << " arch " << c.architecture;
    }
    EXPECT_EQ(g_metricReadings, 0);  // the last row never reached the changing metric
}

TEST(WindowsSystemName, TextsAreInTheAnsiCodePage) {
    ScopedAnsiCodePage big5(950);
    ASSERT_TRUE(big5.ok());
    // Big5 bytes from python3 -c "print('非 Windows 作業系統'.encode('big5').hex())".
    const std::string notWindows =
        "\xAB"
        "D Windows \xA7@\xB7~\xA8t\xB2\xCE";
    EXPECT_EQ(windowsSystemNameFor(nullptr, 9, metricZero), notWindows);
    EXPECT_EQ(windowsSystemName(), notWindows);  // the extended query fails here
    ScopedAnsiCodePage utf8(CP_UTF8);
    ASSERT_TRUE(utf8.ok());
    EXPECT_EQ(windowsSystemName(), "非 Windows 作業系統");
}

TEST(HomeFolder, FromTheEnvironmentThroughA255CharacterBuffer) {
    struct Case {
        std::optional<std::string> home;
        std::string folder;
    } cases[] = {
        {std::string("/home/user"), "/home/user"},
        {std::string("/") + std::string(253, 'h'), "/" + std::string(253, 'h')},  // 254 fit
        {std::string("/") + std::string(254, 'h'), ""},                           // 255 do not
        {std::string(), ""},
        {std::nullopt, ""},
    };
    for (const auto& c : cases) {
        ScopedEnvVar home("HOME", c.home);
        EXPECT_EQ(homeFolderFromEnvironment(), c.folder) << (c.home ? c.home->size() : 0);
    }
}

TEST(DefaultFolder, LocalisedDesktopFirstThenEnglishThenHome) {
    ScopedAnsiCodePage big5(950);
    ASSERT_TRUE(big5.ok());
    const std::string desktopUtf8 = "\xE6\xA1\x8C\xE9\x9D\xA2";  // 桌面
    const std::string desktopBig5 = "\xAE\xE0\xAD\xB1";
    struct Case {
        bool localised, english;
        std::string leaf;  // expected default folder below home
    } cases[] = {
        {true, true, "/" + desktopBig5},
        {true, false, "/" + desktopBig5},
        {false, true, "/Desktop"},
        {false, false, ""},
    };
    for (const auto& c : cases) {
        TempFolder dir;
        // A home whose own name is Big5 text on a UTF-8 file system.
        const std::string homeUtf8 =
            dir.path() + "/\xE4\xBD\xBF\xE7\x94\xA8\xE8\x80\x85";  // 使用者
        std::filesystem::create_directory(homeUtf8);
        if (c.localised) std::filesystem::create_directory(homeUtf8 + "/" + desktopUtf8);
        if (c.english) std::filesystem::create_directory(homeUtf8 + "/Desktop");
        ScopedEnvVar home("HOME", homeUtf8);
        std::string homeAnsi = homeFolderFromEnvironment();
        ASSERT_EQ(homeAnsi, utf8ToAnsi(homeUtf8));
        EXPECT_EQ(homeAnsi.find("\xE4\xBD\xBF"), std::string::npos);  // really converted
        EXPECT_EQ(defaultFolderFor(homeAnsi), homeAnsi + c.leaf);
    }
    EXPECT_EQ(defaultFolderFor(""), "");
}

}  // namespace
