#include "platform/text/messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/system/last_error.h"

namespace {

constexpr DWORD kSystemFlags =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;

// The text FormatMessageA allocates for `code`, or "(none N)" with its last error.
std::string allocatedText(DWORD code) {
    char* text = reinterpret_cast<char*>(1);
    SetLastError(0);
    DWORD n =
        FormatMessageA(kSystemFlags, nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (n == 0) {
        EXPECT_EQ(text, nullptr);
        return "(none " + std::to_string(GetLastError()) + ")";
    }
    std::string out(text);
    EXPECT_EQ(out.size(), n);
    EXPECT_EQ(LocalFree(text), nullptr);
    return out;
}

TEST(FormatMessage, TextsOfThePlatformValues) {
    struct Case {
        DWORD code;
        const char* text;
    } cases[] = {
        {0x80090010, "Access denied.\r\n"},
        {0x8009000D, "Key does not exist.\r\n"},
        {0x80092004, "Cannot find object or property.\r\n"},
        {86, "The specified network password is not correct.\r\n"},
        {1223, "The operation was canceled by the user.\r\n"},
        {0x8010006C,
         "The card cannot be accessed because the maximum number of PIN entry attempts has been "
         "reached.\r\n"},
        {0x80090016, "Keyset does not exist\r\n"},
        {0x80070005, "Access is denied.\r\n"},
        // Values without a text.
        {0, "(none 317)"},
        {0x80090001 - 1, "(none 317)"},
        {0xFFFFFFFF, "(none 317)"},
        {0x80070020, "(none 317)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(allocatedText(c.code), c.text) << std::hex << c.code;
        std::string helper = systemMessageText(c.code);
        EXPECT_EQ(helper, c.text[0] == '(' ? "" : c.text) << std::hex << c.code;
    }
}

TEST(FormatMessage, CallerBufferAndFlags) {
    const std::string expected = "Access denied.\r\n";
    struct Case {
        DWORD flags;
        DWORD size;
        DWORD result;
        DWORD error;
    } cases[] = {
        {FORMAT_MESSAGE_FROM_SYSTEM, 64, 16, 0},
        {FORMAT_MESSAGE_FROM_SYSTEM, 17, 16, 0},
        {FORMAT_MESSAGE_FROM_SYSTEM, 16, 0, ERROR_INSUFFICIENT_BUFFER},
        {FORMAT_MESSAGE_FROM_SYSTEM, 0, 0, ERROR_INSUFFICIENT_BUFFER},
        {FORMAT_MESSAGE_IGNORE_INSERTS, 64, 0, ERROR_INVALID_PARAMETER},
        {0, 64, 0, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        char buffer[64];
        std::memset(buffer, '#', sizeof(buffer));
        SetLastError(0);
        EXPECT_EQ(FormatMessageA(c.flags, nullptr, 0x80090010, 0, buffer, c.size, nullptr),
                  c.result)
            << c.flags << " " << c.size;
        EXPECT_EQ(GetLastError(), c.error) << c.flags << " " << c.size;
        if (c.result) {
            EXPECT_EQ(std::string(buffer), expected);
        }
    }
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(kSystemFlags, nullptr, 5, 0, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

}  // namespace
