#include "platform/text/codepage.h"

#include <gtest/gtest.h>

#include "platform/com/bstr.h"
#include "platform/system/last_error.h"
#include "test_support.h"

using testing_support::ScopedCodePage;
using testing_support::unhex;

// Expected Big5 bytes come from Python's cp950 codec.
TEST(CodePage, Big5RoundTrips) {
    ScopedCodePage cp(950);
    struct Case {
        std::u16string text;
        std::string big5hex;
    } cases[] = {
        {u"許", "b35c"},
        {u"成功(0)", "a6a8a55c283029"},
        {u"桌面", "aee0adb1"},
        {u"abc", "616263"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toAnsi(c.text), unhex(c.big5hex));
        EXPECT_EQ(fromAnsi(unhex(c.big5hex)), c.text);
    }
}

TEST(CodePage, UnrepresentableBecomesDefaultCharacter) {
    ScopedCodePage cp(950);
    // U+00E9 and U+4E2B have no Big5 form; a surrogate pair (U+1F600) neither; a
    // lone surrogate is not a character at all. Each becomes one '?'.
    EXPECT_EQ(toAnsi(u"a\u00E9b"), "a?b");
    EXPECT_EQ(toAnsi(u"\U0001F600x"), "?x");
    std::u16string lone = u"x";
    lone.push_back(0xD800);
    lone += u"y";
    EXPECT_EQ(toAnsi(lone), "x?y");

    BOOL used = FALSE;
    char out[8] = {};
    const char16_t in[] = u"\u00E9";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, in, 1, out, sizeof out, "*", &used), 1);
    EXPECT_EQ(out[0], '*');
    EXPECT_TRUE(used);
}

TEST(CodePage, Utf8HandlesSurrogatesAndIllFormedInput) {
    std::u16string lone;
    lone.push_back(0xDC00);
    EXPECT_EQ(toUtf8(lone), "\xEF\xBF\xBD");
    EXPECT_EQ(toUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(fromUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");
    struct Case {
        std::string in;
        std::u16string out;
        bool wellFormed;
    } cases[] = {
        {"abc", u"abc", true},
        {"\xC3\xA9", u"\u00E9", true},
        {"\xC0\xAF", u"\uFFFD\uFFFD", false},                      // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},            // encoded surrogate
        {"\xE6\x86", u"\uFFFD", false},                            // truncated
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},  // past U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fromUtf8(c.in), c.out);
        EXPECT_EQ(isWellFormedUtf8(c.in), c.wellFormed);
    }
}

TEST(CodePage, SizeProtocol) {
    ScopedCodePage cp(950);
    const char16_t text[] = u"憑證";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr), 5);
    char small[3];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, small, sizeof small, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    char big[8] = {'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, big, sizeof big, nullptr, nullptr), 5);
    EXPECT_EQ(big[4], 0);

    const char* big5 = "\xBE\xCC\xC3\xD2";  // 憑證
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, big5, -1, nullptr, 0), 3);
    char16_t wide[2];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, big5, -1, wide, 2), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, -1, wide, 2), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WideCharToMultiByte(12345, 0, text, -1, big, sizeof big, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CodePage, TruncatedBig5BecomesQuestionMark) {
    ScopedCodePage cp(950);
    EXPECT_EQ(fromAnsi("a\xB3"), u"a?");
}

TEST(CodePage, ProcessCodePageCanBeChanged) {
    ScopedCodePage cp(65001);
    EXPECT_EQ(GetACP(), 65001u);
    EXPECT_EQ(toAnsi(u"許"), "\xE8\xA8\xB1");
    EXPECT_FALSE(SetProcessAnsiCodePage(99999));
    EXPECT_EQ(GetACP(), 65001u);
}

TEST(CodePage, LeadBytes) {
    struct Case {
        UINT cp;
        BYTE b;
        BOOL lead;
    } cases[] = {{950, 0x80, FALSE}, {950, 0x81, TRUE},  {950, 0xB3, TRUE},    {950, 0xFE, TRUE},
                 {950, 0xFF, FALSE}, {950, 0x5C, FALSE}, {65001, 0xB3, FALSE}, {1252, 0xB3, FALSE}};
    for (const auto& c : cases)
        EXPECT_EQ(IsDBCSLeadByteEx(c.cp, c.b), c.lead) << c.cp << " " << int(c.b);
}

TEST(Bstr, LengthPrefixAndTerminator) {
    BstrHolder s(SysAllocString(u"abc"));
    ASSERT_NE(s.get(), nullptr);
    EXPECT_EQ(SysStringLen(s.get()), 3u);
    EXPECT_EQ(SysStringByteLen(s.get()), 6u);
    EXPECT_EQ(s.get()[3], 0);

    const char16_t embedded[] = {u'a', 0, u'b'};
    BstrHolder e(SysAllocStringLen(embedded, 3));
    EXPECT_EQ(SysStringLen(e.get()), 3u);
    EXPECT_EQ(e.text(), std::u16string(embedded, 3));

    BstrHolder z(SysAllocStringLen(nullptr, 2));
    EXPECT_EQ(z.get()[0], 0);
    EXPECT_EQ(SysStringLen(z.get()), 2u);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}
