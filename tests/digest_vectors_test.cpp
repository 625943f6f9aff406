// The four digests against the standards' vectors and OpenSSL, on both kernel paths.
// Expected digests of the standard messages were printed by Python's hashlib, e.g.
//   python3 -c "import hashlib; print(hashlib.sha512(b'a' * 1000000).hexdigest().upper())"
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "digest/digests.h"
#include "digest_test_support.h"

namespace {

const std::string k56 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k112 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmno"
    "pqrsmnopqrstnopqrstu";
const std::string kMillion(1000000, 'a');

struct Vector {
    const std::string* message;
    const char* md5;
    const char* sha1;
    const char* sha256;
    const char* sha512;
};

const std::string kEmpty, kAbc = "abc";
const Vector kVectors[] = {
    {&kEmpty, "D41D8CD98F00B204E9800998ECF8427E", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709",
     "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855",
     "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE47D0D13C5D85F2B0FF8318D2877EE"
     "C2F63B931BD47417A81A538327AF927DA3E"},
    {&kAbc, "900150983CD24FB0D6963F7D28E17F72", "A9993E364706816ABA3E25717850C26C9CD0D89D",
     "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
     "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEE"
     "BBD454D4423643CE80E2A9AC94FA54CA49F"},
    {&k56, "8215EF0796A20BCAAAE116D3876C664A", "84983E441C3BD26EBAAE4AA1F95129E5E54670F1",
     "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1",
     "204A8FC6DDA82F0A0CED7BEB8E08A41657C16EF468B228A8279BE331A703C33596FD15C13B1B07F9AA1D3BEA57789"
     "CA031AD85C7A71DD70354EC631238CA3445"},
    {&k112, "03DD8807A93175FB062DFB55DC7D359C", "A49B2446A02C645BF419F995B67091253A04A259",
     "CF5B16A778AF8380036CE59E7B0492370B249B11E8F07A51AFAC45037AFEE9D1",
     "8E959B75DAE313DA8CF4F72814FC143F8F7779C6EB9F7FA17299AEADB6889018501D289E4900F7E4331B99DEC4B54"
     "33AC7D329EEB6DD26545E96E55B874BE909"},
    {&kMillion, "7707D6AE4E027C70EEA2A935C2296F21", "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F",
     "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0",
     "E718483D0CE769644E2E42C7BC15B4638E1F98B13B2044285632A803AFA973EBDE0FF244877EA60A4CB0432CE57"
     "7C31BEB009C5C2C49AA2E4EADB217AD8CC09B"},
};

const char* expectedFor(const Vector& v, DigestAlgorithm a) {
    switch (a) {
        case DigestAlgorithm::MD5:
            return v.md5;
        case DigestAlgorithm::SHA1:
            return v.sha1;
        case DigestAlgorithm::SHA256:
            return v.sha256;
        case DigestAlgorithm::SHA512:
            break;
    }
    return v.sha512;
}

class DigestTest : public ::testing::TestWithParam<std::tuple<DigestAlgorithm, DigestKernels>> {
  protected:
    DigestAlgorithm algorithm() const { return std::get<0>(GetParam()); }
    ScopedKernels kernels_{std::get<1>(GetParam())};
};

TEST_P(DigestTest, StandardVectorsOneShotInPiecesAndAfterReset) {
    for (const Vector& v : kVectors) {
        const std::string& m = *v.message;
        const char* expected = expectedFor(v, algorithm());
        SCOPED_TRACE(m.size());
        EXPECT_EQ(ourHex(algorithm(), m), expected);
        for (size_t piece : {1, 63, 64, 1000}) EXPECT_EQ(ourHex(algorithm(), m, piece), expected);
        withDigest(algorithm(), [&](auto& d) {
            // A message abandoned half way and one finished before must leave no trace.
            d.update("some earlier message", 20);
            d.init();
            d.update(m.data(), m.size());
            d.final();
            EXPECT_EQ(hexOf(d.result), expected);
            EXPECT_TRUE(d.compute(m.data(), static_cast<int32_t>(m.size())));
            EXPECT_EQ(hexOf(d.result), expected);
            EXPECT_TRUE(d.compute(m.data(), static_cast<int32_t>(m.size())));
            EXPECT_EQ(hexOf(d.result), expected);
            return 0;
        });
    }
}

// Lengths around the one-or-two-final-blocks decision of each block size.
TEST_P(DigestTest, BoundaryLengthsMatchOpenSsl) {
    for (size_t n :
         {0, 1, 55, 56, 57, 63, 64, 65, 111, 112, 113, 119, 120, 127, 128, 129, 191, 192}) {
        std::string m(n, '\0');
        for (size_t i = 0; i < n; ++i) m[i] = static_cast<char>(i * 7 + 1);
        EXPECT_EQ(ourHex(algorithm(), m), opensslHex(algorithm(), m)) << n;
    }
}

TEST_P(DigestTest, RandomLengthsAndPiecesMatchOpenSsl) {
    std::mt19937 rng(20240611u + static_cast<unsigned>(algorithm()));
    std::uniform_int_distribution<size_t> length(0, 10000);
    for (int i = 0; i < 150; ++i) {
        std::string m(length(rng), '\0');
        for (char& c : m) c = static_cast<char>(rng());
        std::string expected = opensslHex(algorithm(), m);
        ASSERT_EQ(ourHex(algorithm(), m), expected) << m.size();
        // Pieces of random sizes, empty ones included.
        std::string got = withDigest(algorithm(), [&](auto& d) {
            for (size_t at = 0; at < m.size();) {
                size_t piece = std::min<size_t>(rng() % 300, m.size() - at);
                d.update(m.data() + at, piece);
                at += piece;
            }
            d.final();
            return hexOf(d.result);
        });
        ASSERT_EQ(got, expected) << m.size();
    }
}

TEST_P(DigestTest, ComputeRejectsANegativeLengthOrMissingData) {
    withDigest(algorithm(), [](auto& d) {
        EXPECT_TRUE(d.compute("abc", 3));
        EXPECT_FALSE(d.compute("abc", -1));
        EXPECT_TRUE(d.result.empty());
        EXPECT_FALSE(d.compute(nullptr, 5));
        EXPECT_TRUE(d.result.empty());
        EXPECT_TRUE(d.compute(nullptr, 0));  // the empty message
        EXPECT_EQ(d.result.length(), static_cast<int32_t>(d.kDigestSize));
        return 0;
    });
}

INSTANTIATE_TEST_SUITE_P(
    AllDigests, DigestTest,
    ::testing::Combine(::testing::Values(DigestAlgorithm::MD5, DigestAlgorithm::SHA1,
                                         DigestAlgorithm::SHA256, DigestAlgorithm::SHA512),
                       ::testing::Values(DigestKernels::Fastest, DigestKernels::Portable)),
    [](const auto& info) {
        return std::string(algorithmName(std::get<0>(info.param))) +
               kernelsName(std::get<1>(info.param));
    });

TEST(DigestKernels, PortableSelectionIsHonoured) {
    ScopedKernels portable(DigestKernels::Portable);
    for (auto a : {DigestAlgorithm::MD5, DigestAlgorithm::SHA1, DigestAlgorithm::SHA256,
                   DigestAlgorithm::SHA512})
        EXPECT_STREQ(digestKernelName(a), "portable");
}

// The byte count passes 2^32: a 32-bit count would wrap and give another digest.
// Expected: head -c 4294967301 /dev/zero | sha256sum
TEST(DigestSlow, MessageOfFourGiBAndMoreCountsEveryByte) {
    const std::vector<uint8_t> zeros(1 << 20, 0);
    Sha256Digest d;
    for (int i = 0; i < 4096; ++i) d.update(zeros.data(), zeros.size());
    d.update(zeros.data(), 5);
    d.final();
    EXPECT_EQ(hexOf(d.result), "709FC0B74F7C916CEDCCB212D681C035F36FFBB31EBFE806EB40C31592744EB5");
}

}  // namespace
