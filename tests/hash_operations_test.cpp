// hashText and hashFile. Expected digests come from Python's hashlib, e.g.
//   python3 -c "import hashlib; print(hashlib.sha1('中文'.encode('big5')).hexdigest().upper())"
// and from sha256sum for the large sparse file.
#include "digest/hash_operations.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "digest_test_support.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"
#include "test_support.h"

using testing_support::TempDir;
#include "ui/dialogs.h"

namespace {

const char kSha1Abc[] = "A9993E364706816ABA3E25717850C26C9CD0D89D";

struct Outcome {
    std::string result;
    ErrorCode lastError;
    uint32_t capiError;
};

// Runs an operation on a pair with a platform value already in it: failures must leave
// that value alone.
template <class F>
Outcome run(F&& operation) {
    ErrorPair status;
    status.capiError = 77;
    std::string result = operation(status);
    return {result, status.lastError, status.capiError};
}

Outcome hashTextOutcome(const std::u16string& text, int32_t flags) {
    return run([&](ErrorPair& s) { return hashText(text, flags, s); });
}

Outcome hashFileOutcome(const std::string& path, int32_t flags) {
    return run([&](ErrorPair& s) { return hashFile(fromAnsi(path), flags, s); });
}

TEST(HashText, DigestsByFlags) {
    struct Case {
        std::u16string text;
        int32_t flags;
        const char* expected;
    };
    const Case cases[] = {
        // UTF-16LE code units 61 00 62 00 63 00.
        {u"abc", 0, "9F04F41A848514162050E3D68C1A7ABB441DC2B5"},
        {u"abc", 0x10, kSha1Abc},
        {u"abc", 0x12, kSha1Abc},
        {u"abc", 0x17, kSha1Abc},
        {u"abc", 0x15, kSha1Abc},
        {u"abc", 0x7ff00010, kSha1Abc},  // unknown high bits are ignored
        {u"abc", 0x11, "900150983CD24FB0D6963F7D28E17F72"},
        {u"abc", 0x13, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
        {u"abc", 0x14,
         "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A"
         "3FE"
         "EBBD454D4423643CE80E2A9AC94FA54CA49F"},
        // Big5 bytes A4 A4 A4 E5, and the UTF-16LE code units 2D 4E 87 65.
        {u"中文", 0x10, "6084EE65FECDFEC6494E3D0DCB87CF09A8FC7382"},
        {u"中文", 0, "A09EA1FD5D2F2E552370159FF451F054D7574C47"},
        // The text ends at its first zero character.
        {std::u16string(u"abc\0def", 7), 0x10, kSha1Abc},
    };
    for (const Case& c : cases) {
        Outcome o = hashTextOutcome(c.text, c.flags);
        EXPECT_EQ(o.result, c.expected) << std::hex << c.flags;
        EXPECT_EQ(o.lastError, 0);
    }
}

TEST(HashText, EmptyTextIsABadParameter) {
    for (int32_t flags : {0, 0x10, 0x14}) {
        for (const std::u16string& text : {std::u16string(), std::u16string(u"\0abc", 4)}) {
            Outcome o = hashTextOutcome(text, flags);
            EXPECT_EQ(o.result, "");
            EXPECT_EQ(o.lastError, err::kBadParameter);
            EXPECT_EQ(o.capiError, 77u);
        }
    }
}

// A chooser that answers as scripted and remembers what it was shown.
class ScriptedChooser final : public ui::DialogBackend {
  public:
    ScriptedChooser(ui::DialogOutcome outcome, std::string path, ui::FileChooserModel* seen)
        : outcome_(outcome), path_(std::move(path)), seen_(seen) {}
    const char* name() const override { return "scripted"; }
    ui::FileChooserAnswer fileChooser(const ui::FileChooserModel& model) override {
        *seen_ = model;
        return {outcome_, outcome_ == ui::DialogOutcome::Ok ? path_ : ""};
    }
    int messageBox(const std::string&, const std::string&, UINT) override { return ui::IDOK; }

  private:
    ui::DialogOutcome outcome_;
    std::string path_;
    ui::FileChooserModel* seen_;
};

class HashFileTest : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& content) {
        std::string path = dir_.file(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    TempDir dir_;
};

TEST_F(HashFileTest, DigestsTheFileAndIgnoresTheTextFlag) {
    std::string path = write("abc.txt", "abc");
    for (int32_t flags : {0, 0x10, 0x12}) {
        Outcome o = hashFileOutcome(path, flags);
        EXPECT_EQ(o.result, kSha1Abc);
        EXPECT_EQ(o.lastError, 0);
    }
}

TEST_F(HashFileTest, FileOfManyReadPiecesMatchesOpenSsl) {
    std::string content(5 * 1024 * 1024 + 321, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 + (i >> 13));
    std::string path = write("big.bin", content);
    for (auto [flags, algorithm] :
         {std::pair{0x11, DigestAlgorithm::MD5}, std::pair{0x03, DigestAlgorithm::SHA256},
          std::pair{0x04, DigestAlgorithm::SHA512}}) {
        EXPECT_EQ(hashFileOutcome(path, flags).result, opensslHex(algorithm, content));
    }
}

TEST_F(HashFileTest, FailuresByCause) {
    std::string empty = write("empty.bin", "");
    const struct {
        std::string path;
        ErrorCode expected;
    } cases[] = {
        {dir_.file("missing.bin"), err::kFileNotFound},
        {dir_.file("no-such-folder/file.bin"), err::kFileNotFound},
        {empty, err::kFileRead},
        {dir_.path(), err::kFileRead},  // exists, but is no file to read
    };
    for (const auto& c : cases) {
        Outcome o = hashFileOutcome(c.path, 0);
        EXPECT_EQ(o.result, "") << c.path;
        EXPECT_EQ(o.lastError, c.expected) << c.path;
        EXPECT_EQ(o.capiError, 77u) << c.path;
    }
}

TEST_F(HashFileTest, PipesAndDevicesAreNotRead) {
    // A pipe without a writer must fail at once, not wait for one.
    std::string fifo = dir_.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        Outcome o = hashFileOutcome(path, 0);
        EXPECT_EQ(o.result, "") << path;
        EXPECT_EQ(o.lastError, err::kFileRead) << path;
    }
}

TEST_F(HashFileTest, EmptyNameAsksTheChooser) {
    std::string path = write("chosen.txt", "abc");
    const struct {
        ui::DialogOutcome outcome;
        std::string result;
        ErrorCode error;
    } cases[] = {
        {ui::DialogOutcome::Ok, kSha1Abc, 0},
        {ui::DialogOutcome::Cancel, "", err::kCancelled},
        {ui::DialogOutcome::Failed, "", err::kCancelled},
    };
    for (const auto& c : cases) {
        ui::FileChooserModel seen;
        ui::ScopedBackend backend(std::make_unique<ScriptedChooser>(c.outcome, path, &seen));
        Outcome o = hashFileOutcome("", 0x10);
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.lastError, c.error);
        EXPECT_EQ(seen.title, toAnsi(u"請選擇檔案"));
        EXPECT_EQ(seen.filter, "All Files (*.*)|*.*||");
        EXPECT_EQ(seen.defaultExtension, "*.*");
        EXPECT_EQ(seen.initialFile, "");
        EXPECT_EQ(seen.initialFolder, "");
        EXPECT_EQ(seen.options,
                  ui::OFN_HIDEREADONLY | ui::OFN_OVERWRITEPROMPT | ui::OFN_NOVALIDATE);
    }
}

// A file past 2 GiB, mostly a hole, with data at the start, across the 2^31 boundary
// and at the end; sha256sum digests it on the other core meanwhile.
TEST(HashFileSlow, SparseFileOfThreeGiBMatchesSha256sum) {
    TempDir dir;
    std::string path = dir.file("sparse.bin");
    const off_t size = (off_t{3} << 30) + 1234;
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0);
        for (off_t at : {off_t{0}, (off_t{1} << 31) - 5, size - 9})
            ASSERT_EQ(::pwrite(fd, "kestrune!", 9, at), 9);
        ::close(fd);
    }
    FILE* reference = ::popen(("sha256sum '" + path + "'").c_str(), "r");
    ASSERT_NE(reference, nullptr);
    Outcome o = hashFileOutcome(path, 3);
    char line[128] = {};
    ASSERT_NE(std::fgets(line, sizeof(line), reference), nullptr);
    ASSERT_EQ(::pclose(reference), 0);
    std::string expected(line, 64);
    for (char& ch : expected) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(o.lastError, 0);
    EXPECT_EQ(o.result, expected);
}

}  // namespace
