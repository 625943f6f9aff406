#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "core/byte_buffer.h"
#include "test_support.h"

using testing_support::TempDir;

namespace {
std::string hexOf(const std::string& in) {
    ByteBuffer b;
    if (!b.encodeHex(in.data(), static_cast<int32_t>(in.size()))) return "<fail>";
    return b.str();
}
std::string base64Of(const std::string& in) {
    ByteBuffer b;
    if (!b.encodeBase64(in.data(), static_cast<int32_t>(in.size()))) return "<fail>";
    EXPECT_EQ(b.data()[b.length()], 0);
    return b.str();
}
// The decoded bytes, or "<fail>".
std::string decoded(const char* text) {
    ByteBuffer b;
    b.append("stale", 5);
    if (!b.decodeBase64Text(text)) {
        EXPECT_TRUE(b.empty());
        return "<fail>";
    }
    return b.str();
}
}  // namespace

TEST(Hex, Encodes) {
    EXPECT_EQ(hexOf(std::string("\x00\x1F\xA0", 3)), "001FA0");
    EXPECT_EQ(hexOf(std::string("\x00\xFF", 2)), "00FF");
    EXPECT_EQ(hexOf(""), "<fail>");
    ByteBuffer b;
    EXPECT_FALSE(b.encodeHex(nullptr, 3));
    EXPECT_FALSE(b.encodeHex("abc", -1));
    EXPECT_TRUE(b.empty());
}

TEST(Base64, EncodesOnOneLine) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"abc", "YWJj"},
        {"ab", "YWI="},
        {"a", "YQ=="},
        {std::string("\xFB\xFF", 2), "+/8="},
    };
    for (const auto& c : cases) EXPECT_EQ(base64Of(c.in), c.out) << c.in;
    for (int n : {57, 58, 1000}) {
        std::string text = base64Of(std::string(static_cast<size_t>(n), 'x'));
        EXPECT_EQ(text.size(), static_cast<size_t>(4 * ((n + 2) / 3)));
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    }
    EXPECT_EQ(base64Of(""), "<fail>");
}

TEST(Base64, Decodes) {
    struct Case {
        const char* in;
        std::string out;
    } cases[] = {
        {"YWJj", "abc"},
        {"YW\r\nJj", "abc"},
        {"YWI=", "ab"},
        {"YWI", "ab"},
        {"YWJj\r\n", "abc"},
        {"  YW Jj  \n", "abc"},
        {"YQ==YQ==", "aa"},
        {"YQ", "a"},
        {"Y", std::string("\x60", 1)},
        // Outside the alphabet a character counts like 'B' (value 1) and never stops decoding.
        {"YW*j", "a`c"},
        {"", "<fail>"},
        {"\r\n  ", "<fail>"},
        // A tab is not skipped, so it decodes like 'B' too.
        {"\tWJj", std::string("\x05\x62\x63", 3)},
        // Armour.
        {"-----BEGIN X-----\r\nYWJj\r\n-----END X-----\r\n", "abc"},
        {"-----BEGIN CERTIFICATE-----\nYWJj", "<fail>"},
        {"-----BEGIN CERTIFICATE", "<fail>"},
        {"YWJj----", "<fail>"},
        // Only the dashes count: the footer label "END X" here is the body.
        {"-----BEGIN X----------END X-----", decoded("ENDX")},
    };
    for (const auto& c : cases) EXPECT_EQ(decoded(c.in), c.out) << c.in;
    EXPECT_EQ(decoded(nullptr), "<fail>");
}

TEST(Base64, TextBeforeTheHeaderDecodesTheLabel) {
    // The header must come first; otherwise the label is taken as the body.
    std::string got =
        decoded("\r\n-----BEGIN CERTIFICATE-----\r\nYWJj\r\n-----END CERTIFICATE-----\r\n");
    EXPECT_NE(got, "<fail>");
    EXPECT_NE(got, "abc");
    EXPECT_EQ(got, decoded("BEGINCERTIFICATE"));
}

// Random inputs against Python's encoders, and the PEM form of `openssl base64`.
TEST(Base64, AgreesWithIndependentEncoders) {
    TempDir dir;
    std::mt19937 rng(1234);
    std::vector<std::string> inputs;
    std::ostringstream list;
    for (int i = 0; i < 24; ++i) {
        size_t n = i < 8 ? static_cast<size_t>(i + 1) : rng() % 5000 + 1;
        std::string data(n, '\0');
        for (auto& ch : data) ch = static_cast<char>(rng());
        inputs.push_back(data);
        std::string path = dir.file("in" + std::to_string(i));
        testing_support::writeFile(path, data);
        list << path << ' ';
    }
    std::string script =
        "import base64,binascii,sys\n"
        "for p in sys.argv[1:]:\n"
        "  d=open(p,'rb').read(); print(base64.b64encode(d).decode(), "
        "binascii.hexlify(d).decode().upper())\n";
    testing_support::writeFile(dir.file("enc.py"), script);
    std::istringstream expected(
        testing_support::runCommand("python3 " + dir.file("enc.py") + " " + list.str()));
    for (size_t i = 0; i < inputs.size(); ++i) {
        std::string b64, hex;
        expected >> b64 >> hex;
        ASSERT_FALSE(b64.empty());
        EXPECT_EQ(base64Of(inputs[i]), b64) << i;
        EXPECT_EQ(hexOf(inputs[i]), hex) << i;
        // openssl wraps at 64 columns with LF; armour it and read it back.
        std::string pem = "-----BEGIN DATA-----\n" +
                          testing_support::runCommand("openssl base64 -in " +
                                                      dir.file("in" + std::to_string(i))) +
                          "-----END DATA-----\n";
        EXPECT_EQ(decoded(pem.c_str()), inputs[i]) << i;
    }
}
