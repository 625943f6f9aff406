#include "platform/system/adapters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/system/last_error.h"
#include "tests/fake_adapters.h"

namespace {

TEST(GetAdaptersInfo, FillsLinkedRecordsInTheCallersBuffer) {
    std::vector<AdapterRecord> adapters = {
        {3, "wlan0", 71, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
        {7, "fw0", 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},  // longer than the field
        {9, std::string(300, 'n'), 6, {}},
    };
    auto scope = fakeAdapters(adapters);
    IP_ADAPTER_INFO records[4];
    std::memset(records, 0x5A, sizeof(records));
    ULONG size = sizeof(records);
    ASSERT_EQ(GetAdaptersInfo(records, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof(records));  // left as given on success
    EXPECT_EQ(records[0].Next, &records[1]);
    EXPECT_EQ(records[1].Next, &records[2]);
    EXPECT_EQ(records[2].Next, nullptr);
    EXPECT_EQ(records[3].Index, 0x5A5A5A5Au);  // beyond the list: untouched
    EXPECT_STREQ(records[0].AdapterName, "wlan0");
    EXPECT_EQ(records[0].Index, 3u);
    EXPECT_EQ(records[0].Type, 71u);
    EXPECT_EQ(records[0].AddressLength, 6u);
    EXPECT_EQ(std::memcmp(records[0].Address, "\xAA\xBB\xCC\xDD\xEE\xFF\0\0", 8), 0);
    EXPECT_EQ(records[1].AddressLength, 10u);
    EXPECT_EQ(std::memcmp(records[1].Address, "\1\2\3\4\5\6\7\x8", 8), 0);
    EXPECT_EQ(records[2].AddressLength, 0u);
    EXPECT_EQ(std::strlen(records[2].AdapterName), sizeof(records[2].AdapterName) - 1);
    EXPECT_EQ(std::strlen(records[2].Description), sizeof(records[2].Description) - 1);
}

TEST(GetAdaptersInfo, SizeProtocolAndFailures) {
    struct Case {
        size_t adapters;
        bool available;
        ULONG given;
        bool nullBuffer;
        DWORD result;
        ULONG sizeAfter;
    } cases[] = {
        {16, true, 10240, false, ERROR_SUCCESS, 10240},
        {2, true, 1280, false, ERROR_SUCCESS, 1280},
        {2, true, 1279, false, ERROR_BUFFER_OVERFLOW, 1280},
        {17, true, 10240, false, ERROR_BUFFER_OVERFLOW, 10880},
        {2, true, 0, true, ERROR_BUFFER_OVERFLOW, 1280},
        {2, true, 10240, true, ERROR_BUFFER_OVERFLOW, 1280},
        {0, true, 10240, false, ERROR_NO_DATA, 10240},
        {2, false, 10240, false, ERROR_NOT_SUPPORTED, 10240},
    };
    for (const auto& c : cases) {
        auto scope = fakeAdapters(numberedAdapters(c.adapters), c.available);
        std::vector<IP_ADAPTER_INFO> buffer(17);
        ULONG size = c.given;
        EXPECT_EQ(GetAdaptersInfo(c.nullBuffer ? nullptr : buffer.data(), &size), c.result)
            << c.adapters << " adapters, " << c.given << " bytes";
        EXPECT_EQ(size, c.sizeAfter) << c.adapters << " adapters, " << c.given << " bytes";
    }
    auto scope = fakeAdapters(numberedAdapters(1));
    IP_ADAPTER_INFO one;
    EXPECT_EQ(GetAdaptersInfo(&one, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(GetAdaptersInfo, ScopesRestoreThePreviousSource) {
    auto outer = fakeAdapters(numberedAdapters(1));
    {
        auto inner = fakeAdapters(numberedAdapters(3));
        ULONG size = 0;
        EXPECT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_BUFFER_OVERFLOW);
        EXPECT_EQ(size, 3 * sizeof(IP_ADAPTER_INFO));
    }
    ULONG size = 0;
    EXPECT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(size, sizeof(IP_ADAPTER_INFO));
}

std::string readLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string hexAddress(const std::vector<BYTE>& address) {
    std::string out;
    char byte[4];
    for (BYTE b : address) {
        std::snprintf(byte, sizeof(byte), "%s%02x", out.empty() ? "" : ":", b);
        out += byte;
    }
    return out;
}

TEST(SystemAdapterSource, MatchesSysfs) {
    // sysfs lists every interface with its index, flags and address, independently of
    // getifaddrs.
    std::map<DWORD, std::pair<std::string, std::string>> expected;  // index -> name, address
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
        unsigned long flags = std::stoul(readLine(entry.path() / "flags"), nullptr, 16);
        if (flags & 0x8) continue;  // IFF_LOOPBACK
        DWORD index = static_cast<DWORD>(std::stoul(readLine(entry.path() / "ifindex")));
        expected[index] = {entry.path().filename().string(), readLine(entry.path() / "address")};
    }
    std::vector<AdapterRecord> listed;
    ASSERT_TRUE(makeSystemAdapterSource()->list(listed));
    ASSERT_EQ(listed.size(), expected.size());
    auto want = expected.begin();
    for (const AdapterRecord& a : listed) {
        EXPECT_EQ(a.index, want->first);  // index order, as the map is
        EXPECT_EQ(a.name, want->second.first);
        if (!a.address.empty()) {
            EXPECT_EQ(hexAddress(a.address), want->second.second) << a.name;
        }
        ++want;
    }
}

}  // namespace
