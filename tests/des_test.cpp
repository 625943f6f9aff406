// DesCipher against the published single-block vectors and OpenSSL's des-ede3-cbc.
// Single-block vectors checked with the openssl command line, e.g.
//   printf 'Now is t' | openssl enc -des-ecb -provider legacy -provider default -K 0123456789ABCDEF
//   -nopad | xxd -p
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "mobile/des_cipher_internal.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes outputOf(const DesCipher& c) {
    return Bytes(c.output.data(), c.output.data() + c.output.length());
}

Bytes ours(ALG_ID algorithm, const Bytes& key, const Bytes& data) {
    DesCipher c;
    c.setAlgorithm(algorithm);
    c.setKey(key.data(), static_cast<int32_t>(key.size()));
    EXPECT_TRUE(c.encrypt(data.data(), static_cast<int32_t>(data.size())));
    return outputOf(c);
}

// OpenSSL's three-key EDE in CBC with a zero IV and PKCS#5 padding.
Bytes opensslEde3(const Bytes& key24, const Bytes& data) {
    unsigned char iv[8] = {};
    Bytes out(data.size() + 8);
    int n = 0, tail = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    bool ok = ctx && EVP_EncryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, key24.data(), iv) &&
              EVP_EncryptUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size())) &&
              EVP_EncryptFinal_ex(ctx, out.data() + n, &tail);
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_TRUE(ok);
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

Bytes concat(const Bytes& a, const Bytes& b, const Bytes& c) {
    Bytes out(a);
    out.insert(out.end(), b.begin(), b.end());
    out.insert(out.end(), c.begin(), c.end());
    return out;
}

TEST(DesCipher, PublishedSingleBlockVectors) {
    struct Case {
        const char *key, *plain, *cipher;
    };
    const Case cases[] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},  // "Now is t"
        {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
        {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    };
    for (const Case& c : cases) {
        Bytes key = fromHex(c.key);
        Bytes out = ours(CALG_DES, key, fromHex(c.plain));
        ASSERT_EQ(out.size(), 16u);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), fromHex(c.cipher)) << c.key;
        // The second block is the padding block 08 x 8 chained on the first; single DES
        // is EDE with three equal keys.
        EXPECT_EQ(out, opensslEde3(concat(key, key, key), fromHex(c.plain))) << c.key;
    }
}

TEST(DesCipher, ThreeKeyEdeMatchesOpenSslOnRandomInputs) {
    std::mt19937 rng(46);
    for (int i = 0; i < 200; ++i) {
        Bytes key(24), data(1 + rng() % 1000);
        for (BYTE& b : key) b = static_cast<BYTE>(rng());
        for (BYTE& b : data) b = static_cast<BYTE>(rng());
        ASSERT_EQ(ours(CALG_3DES, key, data), opensslEde3(key, data)) << data.size();
    }
}

TEST(DesCipher, TwoKeyEdeUsesK1AsThirdKey) {
    Bytes k1 = fromHex("0123456789ABCDEF"), k2 = fromHex("FEDCBA9876543210");
    Bytes data(37, 0x5a);
    EXPECT_EQ(ours(CALG_3DES_112, concat(k1, k2, {}), data), opensslEde3(concat(k1, k2, k1), data));
    // With K1 = K2 the first two passes cancel: single DES under K1.
    EXPECT_EQ(ours(CALG_3DES_112, concat(k1, k1, {}), data), ours(CALG_DES, k1, data));
}

TEST(DesCipher, PaddingAddsOneToEightBytes) {
    Bytes key = fromHex("0123456789ABCDEFFEDCBA987654321089ABCDEF01234567");
    for (size_t n = 1; n <= 24; ++n) {
        Bytes data(n, static_cast<BYTE>(n));
        Bytes out = ours(CALG_3DES, key, data);
        EXPECT_EQ(out.size(), (n / 8 + 1) * 8) << n;
        EXPECT_EQ(out, opensslEde3(key, data)) << n;
    }
}

TEST(DesCipher, ParityBitsOfTheKeyAreIgnored) {
    Bytes key = fromHex("0123456789ABCDEFFEDCBA987654321089ABCDEF01234567");
    Bytes data(19, 0x33);
    Bytes expected = ours(CALG_3DES, key, data);
    for (size_t i = 0; i < key.size(); ++i) {
        Bytes flipped = key;
        flipped[i] ^= 1;
        EXPECT_EQ(ours(CALG_3DES, flipped, data), expected) << i;
    }
}

TEST(DesCipher, UnknownAlgorithmSelectsSingleDes) {
    DesCipher c;
    EXPECT_EQ(c.algorithm(), CALG_DES);
    c.setAlgorithm(CALG_3DES);
    c.setAlgorithm(0x6610);
    EXPECT_EQ(c.algorithm(), CALG_DES);
}

TEST(DesCipher, RefusesMissingInputAndMissingOrShortKeys) {
    const Bytes data(16, 1), key(24, 0x41);
    struct Case {
        ALG_ID algorithm;
        int32_t keyLength;
        const BYTE* data;
        int32_t length;
    };
    const Case cases[] = {
        {CALG_DES, 8, data.data(), 0},    {CALG_DES, 8, nullptr, 16},
        {CALG_DES, 8, data.data(), -1},   {CALG_DES, 0, data.data(), 16},
        {CALG_DES, 7, data.data(), 16},   {CALG_3DES, 23, data.data(), 16},
        {CALG_3DES, 16, data.data(), 16}, {CALG_3DES_112, 15, data.data(), 16},
    };
    for (const Case& c : cases) {
        DesCipher cipher;
        cipher.setAlgorithm(c.algorithm);
        cipher.setKey(key.data(), 24);
        ASSERT_TRUE(cipher.encrypt(data.data(), 16));  // output is filled before the failure
        cipher.setKey(key.data(), c.keyLength);
        EXPECT_FALSE(cipher.encrypt(c.data, c.length)) << c.algorithm << " " << c.keyLength;
        EXPECT_TRUE(cipher.output.empty());
    }
}

}  // namespace
