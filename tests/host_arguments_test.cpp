#include <gtest/gtest.h>

#include "host/arguments.h"

using host::ArgumentToken;

TEST(HostArguments, Integers) {
    struct Case {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"0", 0},
        {"16", 16},
        {"-1", -1},
        {"+7", 7},
        {"0x10", 16},
        {"0XfF", 255},
        {"0xFFFFFFFF", -1},
        {"4294967296", 0},  // modulo 2^32
        {"2147483648", INT32_MIN},
        {"-2147483649", INT32_MAX},
        {"0x100000001", 1},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"0x", std::nullopt},
        {"12a", std::nullopt},
        {"1.5", std::nullopt},
        {"\"16\"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(host::parseInt(c.text), c.value) << c.text;
}

TEST(HostArguments, JsonStringLiterals) {
    struct Case {
        const char* literal;
        std::u16string value;
        bool ok;
    } cases[] = {
        {R"("abc")", u"abc", true},
        {R"("")", u"", true},
        {R"("a\"b\\c\/d")", u"a\"b\\c/d", true},
        {R"("\b\f\n\r\t")", u"\b\f\n\r\t", true},
        {R"("\u8a31")", u"許", true},
        {R"("\ud83d\ude00")", u"\U0001F600", true},
        {R"("\ud800")", std::u16string(1, char16_t(0xD800)), true},
        {R"("\udc00\ud800x\u0041")", u"\xDC00\xD800xA", true},
        {R"("\\ud800")", u"\\ud800", true},
        {R"("\ud800\x")", u"", false},
        {"\"\xE8\xA8\xB1\"", u"許", true},
        {R"("\x")", u"", false},
        {R"("\u12")", u"", false},
        {"\"\xFF\"", u"", false},
        {"\"a\tb\"", u"", false},
        {R"(abc)", u"", false},
    };
    for (const auto& c : cases) {
        std::u16string out;
        std::string reason;
        EXPECT_EQ(host::decodeJsonString(c.literal, out, reason), c.ok) << c.literal;
        if (c.ok) {
            EXPECT_EQ(out, c.value) << c.literal;
        }
    }
    std::u16string out;
    std::string reason;
    ASSERT_TRUE(host::decodeJsonString(R"("a\u0000b")", out, reason));
    EXPECT_EQ(out, std::u16string(u"a\0b", 3));
}

TEST(HostArguments, Tokens) {
    std::vector<ArgumentToken> t;
    std::string reason;
    ASSERT_TRUE(host::tokenize(R"(  "a b" null word  0x10 "q\"x" )", t, reason));
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].kind, ArgumentToken::Literal);
    EXPECT_EQ(t[0].text, R"("a b")");
    EXPECT_EQ(t[1].kind, ArgumentToken::Null);
    EXPECT_EQ(t[2].kind, ArgumentToken::Word);
    EXPECT_EQ(t[3].text, "0x10");
    EXPECT_EQ(t[4].text, R"("q\"x")");

    for (const char* bad : {R"("open)", R"("a"b)"}) {
        std::vector<ArgumentToken> tokens;
        EXPECT_FALSE(host::tokenize(bad, tokens, reason)) << bad;
    }
}
