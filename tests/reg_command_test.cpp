#include "host/reg_command.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/temp_home.h"

namespace {

using Json = nlohmann::ordered_json;

struct Outcome {
    int code;
    std::vector<Json> lines;
    std::string err;
};

Outcome run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    Outcome r{runRegCommand(args, out, err), {}, err.str()};
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) r.lines.push_back(Json::parse(line));
    return r;
}

class RegCommand : public ::testing::Test {
    TempHome home_;
};

TEST_F(RegCommand, SetThenGetPrintsTheValue) {
    Outcome set = run({"set", "Software\\Demo\\Count", "--dword", "-1"});
    ASSERT_EQ(set.code, 0) << set.err;
    const Json expected =
        Json::parse(R"({"key":"Software\\Demo","name":"Count","type":"REG_DWORD","data":-1})");
    ASSERT_EQ(set.lines.size(), 1u);
    EXPECT_EQ(set.lines[0], expected);
    Outcome get = run({"get", "software\\demo\\count"});
    ASSERT_EQ(get.code, 0);
    EXPECT_EQ(get.lines[0]["data"], -1);
    // DWORD values above INT32_MAX are accepted and stored as their 32 bits.
    ASSERT_EQ(run({"set", "Software\\Demo\\Count", "--dword", "4294967295"}).code, 0);
    EXPECT_EQ(run({"get", "Software\\Demo\\Count"}).lines[0]["data"], -1);
}

TEST_F(RegCommand, TextTravelsAsUtf8AndIsStoredInTheCodePage) {
    const std::string zhongwen = "\xE4\xB8\xAD\xE6\x96\x87";  // 中文 in UTF-8
    Outcome set = run({"set", "Software\\" + zhongwen + "\\Name", "--sz", zhongwen});
    ASSERT_EQ(set.code, 0) << set.err;
    EXPECT_EQ(set.lines[0]["key"], "Software\\" + zhongwen);
    EXPECT_EQ(set.lines[0]["data"], zhongwen);
    // Stored as Big5 bytes (python3: '中文'.encode('big5').hex() == 'a4a4a4e5').
    RegKeyHolder key;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\\xA4\xA4\xA4\xE5", 0, KEY_READ, key.out()),
        ERROR_SUCCESS);
    char data[8];
    DWORD size = sizeof data;
    ASSERT_EQ(
        RegQueryValueExA(key.get(), "Name", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(std::string(data, size), "\xA4\xA4\xA4\xE5");
}

TEST_F(RegCommand, ListShowsSubkeysThenValues) {
    ASSERT_EQ(run({"set", "Software\\L\\Sub\\x", "--dword", "1"}).code, 0);
    ASSERT_EQ(run({"set", "Software\\L\\s", "--sz", "t"}).code, 0);
    RegKeyHolder key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\L", 0, KEY_WRITE, key.out()), 0);
    const BYTE multi[] = {'a', 0, 'b', 0, 0}, binary[] = {0xDE, 0xAD};
    ASSERT_EQ(RegSetValueExA(key.get(), "m", 0, REG_MULTI_SZ, multi, sizeof multi), 0);
    ASSERT_EQ(RegSetValueExA(key.get(), "b", 0, REG_BINARY, binary, sizeof binary), 0);
    Outcome list = run({"list", "Software\\L"});
    ASSERT_EQ(list.code, 0) << list.err;
    std::vector<Json> expected = {
        Json::parse(R"({"key":"Software\\L","subkey":"Sub"})"),
        Json::parse(R"({"key":"Software\\L","name":"s","type":"REG_SZ","data":"t"})"),
        Json::parse(R"({"key":"Software\\L","name":"m","type":"REG_MULTI_SZ","data":["a","b"]})"),
        Json::parse(R"({"key":"Software\\L","name":"b","type":"REG_BINARY","data":"DEAD"})"),
    };
    EXPECT_EQ(list.lines, expected);
    Outcome root = run({"list"});
    ASSERT_EQ(root.code, 0);
    EXPECT_EQ(root.lines, std::vector<Json>{Json::parse(R"({"key":"","subkey":"Software"})")});
}

TEST_F(RegCommand, ExitCodes) {
    struct Case {
        std::vector<std::string> args;
        int code;
        long error;  // the "code" printed on err; 0 for usage errors
    } cases[] = {
        {{}, 2, 0},
        {{"frob"}, 2, 0},
        {{"get"}, 2, 0},
        {{"get", "a\\b", "c"}, 2, 0},
        {{"set", "A\\B", "--dword"}, 2, 0},
        {{"set", "A\\B", "--dword", "12x"}, 2, 0},
        {{"set", "A\\B", "--dword", "4294967296"}, 2, 0},
        {{"set", "A\\B", "--dword", "-2147483649"}, 2, 0},
        {{"set", "A\\B", "--word", "1"}, 2, 0},
        {{"set", "A\\B", "--sz", "\xF0\x9F\x98\x80"}, 2, 0},  // no emoji in Big5
        {{"get", "Missing\\Value"}, 1, 2},                    // ERROR_FILE_NOT_FOUND
        {{"get", "NoBackslash"}, 1, 5005},
        {{"set", "NoBackslash", "--sz", "x"}, 1, 5005},
        {{"set", "\\Bad\\Path", "--sz", "x"}, 1, 5906},
        {{"list", "\\Software"}, 1, 161},  // ERROR_BAD_PATHNAME
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        Outcome r = run(c.args);
        EXPECT_EQ(r.code, c.code) << shown;
        EXPECT_TRUE(r.lines.empty()) << shown;
        if (c.error != 0)
            EXPECT_EQ(Json::parse(r.err)["code"], c.error) << shown;
        else
            EXPECT_FALSE(r.err.empty()) << shown;
    }
}

}  // namespace
