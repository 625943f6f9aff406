#include "status/error_messages.h"

#include <gtest/gtest.h>

#include "test_support.h"

using testing_support::ScopedCodePage;
using testing_support::unhex;

TEST(ErrorMessages, EveryRowEndsInItsCodeAndFitsBig5) {
    ScopedCodePage big5(950);
    ASSERT_EQ(errorMessageCount(), 119u);
    for (size_t i = 0; i < errorMessageCount(); ++i) {
        ErrorCode code = errorMessageCodeAt(i);
        std::u16string text = errorMessageText(code);
        std::u16string suffix = u"(";
        suffix += fromAnsi(std::to_string(code));
        suffix += u")";
        ASSERT_GE(text.size(), suffix.size());
        EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix) << code;
        // A character Big5 cannot hold would come out as '?'.
        std::string ansi = errorMessage(code);
        EXPECT_EQ(fromAnsi(ansi), text) << code;
        EXPECT_LT(ansi.size(), 200u);
    }
}

// Expected bytes made with Python: text.encode("cp950").
TEST(ErrorMessages, Big5Texts) {
    ScopedCodePage big5(950);
    struct Case {
        ErrorCode code;
        std::string hex;
    } cases[] = {
        {0, "a6a8a55c283029"},
        {5070, "a8cfa5ceaaccabf6a45522a8faaef822abf6b673283530373029"},
        {1102, "bff9bb7ebd58a5bca977b87128313130322920"},  // no row: trailing blank
    };
    for (const auto& c : cases) EXPECT_EQ(errorMessage(c.code), unhex(c.hex)) << c.code;
}

TEST(ErrorMessages, SelectedRows) {
    struct Case {
        ErrorCode code;
        std::u16string text;
    } cases[] = {
        {5005, u"錯誤的參數(5005)"},
        {5004, u"不支援的功能(5004)"},
        {5010, u"無法在憑證區(或憑證檔)中,找到指定憑證(5010)"},
        {5201, u"開啟\"個人憑證區\"失敗(5201)"},
        {5902, u"File Not Found(5902)"},
        {3003, u"下單主機不受信任, 認證失敗(3003)"},
        {1103, u"錯誤碼未定義(1103) "},
        {-1, u"錯誤碼未定義(-1) "},
        {5007, u"錯誤碼未定義(5007) "},
        {8707, u"P12 檔早已載入(8707)"},
    };
    for (const auto& c : cases) EXPECT_EQ(errorMessageText(c.code), c.text) << c.code;
}

TEST(ErrorMessages, PlatformMessages) {
    struct Case {
        uint32_t code;
        std::string text;
    } cases[] = {
        {0x80090010, "Access denied.\r\n(0x80090010)"},
        {86, "The specified network password is not correct.\r\n(0x00000056)"},
        {1223, "The operation was canceled by the user.\r\n(0x000004C7)"},
        {0x8010006B,
         "The card cannot be accessed because the wrong PIN was presented.\r\n(0x8010006B)"},
        {0x12345678, "(0x12345678)"},
    };
    for (const auto& c : cases) EXPECT_EQ(capiErrorMessage(c.code), c.text) << c.code;
    EXPECT_EQ(capiErrorMessage(0), errorMessage(0));
}
