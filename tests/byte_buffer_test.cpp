#include "core/byte_buffer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "test_support.h"

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {
// The content is followed by two zero bytes whenever the buffer holds anything.
void expectTerminated(const ByteBuffer& b) {
    if (b.data() == nullptr) {
        EXPECT_EQ(b.length(), 0);
        return;
    }
    ASSERT_GE(b.length(), 1);
    EXPECT_EQ(b.data()[b.length()], 0);
    EXPECT_EQ(b.data()[b.length() + 1], 0);
}
}  // namespace

TEST(ByteBuffer, AllocateSizes) {
    struct Case {
        int32_t size;
        bool ok;
    } cases[] = {{-1, false}, {0, false}, {1, true}, {5, true}, {4096, true}};
    for (const auto& c : cases) {
        ByteBuffer b;
        b.allocate(3);
        EXPECT_EQ(b.allocate(c.size), c.ok) << c.size;
        EXPECT_EQ(b.length(), c.ok ? c.size : 0);
        EXPECT_EQ(b.data() == nullptr, !c.ok);
        for (int32_t i = 0; c.ok && i < c.size; ++i) ASSERT_EQ(b.data()[i], 0);
        expectTerminated(b);
    }
}

TEST(ByteBuffer, AppendRejectsNothingAndKeepsContent) {
    ByteBuffer b;
    ASSERT_TRUE(b.append("ab", 2));
    EXPECT_FALSE(b.append(nullptr, 3));
    EXPECT_FALSE(b.append("x", 0));
    EXPECT_FALSE(b.append("x", -4));
    EXPECT_EQ(b.str(), "ab");
    ASSERT_TRUE(b.append("cd", 2));
    EXPECT_EQ(b.str(), "abcd");
    expectTerminated(b);
}

TEST(ByteBuffer, AppendFromItsOwnContent) {
    ByteBuffer b;
    ASSERT_TRUE(b.append("xyz", 3));
    ASSERT_TRUE(b.append(b.data(), b.length()));
    ASSERT_TRUE(b.append(b.data() + 1, 2));
    EXPECT_EQ(b.str(), "xyzxyzyz");
    expectTerminated(b);
}

TEST(ByteBuffer, AssignReversed) {
    ByteBuffer b;
    const unsigned char in[] = {1, 2, 3};
    ASSERT_TRUE(b.assignReversed(in, 3));
    ASSERT_EQ(b.length(), 3);
    EXPECT_EQ(b.data()[0], 3);
    EXPECT_EQ(b.data()[1], 2);
    EXPECT_EQ(b.data()[2], 1);
    expectTerminated(b);
    // In place: the source may be the buffer itself.
    ASSERT_TRUE(b.assignReversed(b.data(), b.length()));
    EXPECT_EQ(b.data()[0], 1);
    EXPECT_FALSE(b.assignReversed(nullptr, 2));
    EXPECT_FALSE(b.assignReversed(in, 0));
}

TEST(ByteBuffer, MoveLeavesSourceEmpty) {
    ByteBuffer a;
    a.append("key", 3);
    ByteBuffer b(std::move(a));
    EXPECT_EQ(b.str(), "key");
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move)
}

TEST(ByteBufferFile, LoadCases) {
    TempDir dir;
    writeFile(dir.file("empty"), "");
    writeFile(dir.file("data"), std::string("a\0b\r\n", 5));
    struct Case {
        std::string path;
        bool ok;
        std::string content;
    } cases[] = {
        {"", false, ""},
        {dir.file("missing"), false, ""},
        {dir.file("empty"), false, ""},
        {dir.path(), false, ""},  // a directory is not a file to read
        {dir.file("data"), true, std::string("a\0b\r\n", 5)},
    };
    for (const auto& c : cases) {
        ByteBuffer b;
        b.append("old", 3);
        EXPECT_EQ(b.loadFromFile(c.path), c.ok) << c.path;
        if (c.ok) {
            EXPECT_EQ(b.str(), c.content);
            expectTerminated(b);
        } else {
            EXPECT_TRUE(b.empty()) << c.path;
        }
    }
}

TEST(ByteBufferFile, SaveTruncatesAndCreatesPrivateFiles) {
    TempDir dir;
    std::string path = dir.file("out.bin");
    writeFile(path, "a much longer previous content");
    ByteBuffer b;
    b.append("new", 3);
    ASSERT_TRUE(b.saveToFile(path));
    EXPECT_EQ(readFile(path), "new");

    std::string created = dir.file("created.bin");
    ASSERT_TRUE(b.saveToFile(created));
    struct stat st {};
    ASSERT_EQ(stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ByteBuffer empty;
    ASSERT_TRUE(empty.saveToFile(path));
    EXPECT_EQ(readFile(path), "");
    EXPECT_FALSE(b.saveToFile(""));
    EXPECT_FALSE(b.saveToFile(dir.file("no/such/folder/x")));
    EXPECT_EQ(b.str(), "new");
}

TEST(ByteBufferFile, DeleteFile) {
    TempDir dir;
    std::string path = dir.file("gone");
    writeFile(path, "x");
    EXPECT_TRUE(ByteBuffer::deleteFile(path));
    EXPECT_FALSE(ByteBuffer::deleteFile(path));
    EXPECT_FALSE(ByteBuffer::deleteFile(""));
}

TEST(ByteBufferFile, NonAsciiPathsGoThroughTheCodePage) {
    testing_support::ScopedCodePage big5(950);
    TempDir dir;
    // The engine holds the path in Big5; the file system sees UTF-8.
    std::string ansi = toAnsi(u"/憑證.bin");
    ASSERT_EQ(ansi.size(), 9u);
    ByteBuffer b;
    b.append("x", 1);
    ASSERT_TRUE(b.saveToFile(dir.path() + ansi));
    EXPECT_EQ(readFile(dir.path() + "/\xE6\x86\x91\xE8\xAD\x89.bin"), "x");
}
