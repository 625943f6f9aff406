#include "core/secret_string.h"

#include <gtest/gtest.h>

#include <string>

TEST(SecretString, KeepsItsContentThroughChanges) {
    SecretString s;
    EXPECT_STREQ(s.c_str(), "");
    // Growth past several reallocations keeps every byte, zero bytes included.
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        char c = static_cast<char>(i % 7);
        s.append(std::string_view(&c, 1));
        expected.push_back(c);
    }
    EXPECT_EQ(s.view(), expected);
    EXPECT_EQ(s.c_str()[s.size()], '\0');
    s.eraseTail(290);
    EXPECT_EQ(s.view(), expected.substr(0, 10));
    s.eraseTail(11);
    EXPECT_TRUE(s.empty());

    SecretString a("pass");
    SecretString copy = a;
    SecretString moved = std::move(a);
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): the source is emptied
    EXPECT_EQ(copy, moved);
    moved = SecretString("word");
    copy = copy;
    EXPECT_EQ(moved.view(), "word");
    EXPECT_EQ(copy.view(), "pass");
}
