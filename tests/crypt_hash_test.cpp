// Hash objects and PKCS#1 signatures of a container's key. Signatures are checked by
// `openssl pkeyutl -verify` against the fixture certificates' public keys.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "tests/signing_support.h"

namespace {

using namespace signing_test;

std::vector<BYTE> hashValue(HCRYPTHASH h) {
    std::vector<BYTE> value;
    fetchSized(value, [h](BYTE* data, DWORD* size) {
        return CryptGetHashParam(h, HP_HASHVAL, data, size, 0);
    });
    return value;
}

// The signature as the platform gives it (least significant byte first), or empty.
std::vector<BYTE> signHash(HCRYPTHASH h, DWORD slot) {
    std::vector<BYTE> signature;
    fetchSized(signature, [h, slot](BYTE* data, DWORD* size) {
        return CryptSignHashA(h, slot, nullptr, 0, data, size);
    });
    return signature;
}

class CryptHash : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(signer_.ready()); }
    SignerFixture signer_;
};

// RFC 1321 appendix A.5 and FIPS 180-2 appendix A vectors, fed in one piece, in pieces
// of every split point, and again in a new hash after the first one ended.
TEST_F(CryptHash, DigestVectorsWholeInPiecesAndAgain) {
    struct Case {
        ALG_ID algorithm;
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {CALG_MD5, "", "D41D8CD98F00B204E9800998ECF8427E"},
        {CALG_MD5, "abc", "900150983CD24FB0D6963F7D28E17F72"},
        {CALG_MD5,
         "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
        {CALG_SHA1, "", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
        {CALG_SHA1, "abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
        {CALG_SHA1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> input = bytesOf(c.input);
        for (size_t split = 0; split <= input.size(); ++split) {
            CryptHashHolder hash;
            ASSERT_TRUE(CryptCreateHash(signer_.prov(), c.algorithm, 0, 0, hash.out()));
            ASSERT_TRUE(CryptHashData(hash.get(), input.data(), static_cast<DWORD>(split), 0));
            ASSERT_TRUE(CryptHashData(hash.get(), input.data() + split,
                                      static_cast<DWORD>(input.size() - split), 0));
            EXPECT_EQ(toHex(hashValue(hash.get())), c.digest) << c.input << " split " << split;
            // The value stays once read; the hash takes no more data.
            EXPECT_EQ(toHex(hashValue(hash.get())), c.digest);
            const BYTE more = 'x';
            SetLastError(0);
            EXPECT_FALSE(CryptHashData(hash.get(), &more, 1, 0));
            EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
        }
    }
}

TEST_F(CryptHash, ParametersAndTheirSizes) {
    struct Case {
        ALG_ID algorithm;
        DWORD size;
    };
    for (const Case& c : {Case{CALG_MD5, 16}, Case{CALG_SHA1, 20}}) {
        CryptHashHolder hash;
        ASSERT_TRUE(CryptCreateHash(signer_.prov(), c.algorithm, 0, 0, hash.out()));
        DWORD value = 0, length = sizeof value;
        ASSERT_TRUE(
            CryptGetHashParam(hash.get(), HP_ALGID, reinterpret_cast<BYTE*>(&value), &length, 0));
        EXPECT_EQ(value, c.algorithm);
        ASSERT_TRUE(CryptGetHashParam(hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&value),
                                      &length, 0));
        EXPECT_EQ(value, c.size);
        // A size query and a short buffer leave the hash open.
        length = 0;
        ASSERT_TRUE(CryptGetHashParam(hash.get(), HP_HASHVAL, nullptr, &length, 0));
        EXPECT_EQ(length, c.size);
        std::vector<BYTE> buffer(c.size + 4, 0xEE);
        length = c.size - 1;
        SetLastError(0);
        EXPECT_FALSE(CryptGetHashParam(hash.get(), HP_HASHVAL, buffer.data(), &length, 0));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
        EXPECT_EQ(length, c.size);
        EXPECT_EQ(buffer[0], 0xEE);
        ASSERT_TRUE(CryptHashData(hash.get(), reinterpret_cast<const BYTE*>("abc"), 3, 0));
        length = static_cast<DWORD>(buffer.size());
        ASSERT_TRUE(CryptGetHashParam(hash.get(), HP_HASHVAL, buffer.data(), &length, 0));
        EXPECT_EQ(length, c.size);
        // A value set from outside replaces the computed one.
        std::vector<BYTE> outside(c.size, 0x5A);
        ASSERT_TRUE(CryptSetHashParam(hash.get(), HP_HASHVAL, outside.data(), 0));
        EXPECT_EQ(hashValue(hash.get()), outside);
    }
}

TEST_F(CryptHash, RefusalsWithThePlatformsCodes) {
    CryptHashHolder hash;
    ASSERT_TRUE(CryptCreateHash(signer_.prov(), CALG_SHA1, 0, 0, hash.out()));
    HCRYPTHASH destroyed = 0;
    ASSERT_TRUE(CryptCreateHash(signer_.prov(), CALG_SHA1, 0, 0, &destroyed));
    ASSERT_TRUE(CryptDestroyHash(destroyed));
    HCRYPTPROV released = 0;
    ASSERT_TRUE(CryptAcquireContextA(&released, "signer", nullptr, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptReleaseContext(released, 0));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(signer_.prov(), signer_.slot(), &key));
    BYTE buffer[256];
    DWORD size = sizeof buffer;
    HCRYPTHASH made = 0;
    struct Case {
        const char* what;
        std::function<BOOL()> call;
        DWORD error;
    };
    const HCRYPTPROV prov = signer_.prov();
    const DWORD slot = signer_.slot();
    const HCRYPTHASH open = hash.get();
    const Case cases[] = {
        {"SHA-384 is not offered", [&] { return CryptCreateHash(prov, 0x800D, 0, 0, &made); },
         NTE_BAD_ALGID},
        {"a keyed hash", [&] { return CryptCreateHash(prov, CALG_SHA1, key, 0, &made); },
         NTE_BAD_KEY},
        {"create flags", [&] { return CryptCreateHash(prov, CALG_SHA1, 0, 1, &made); },
         NTE_BAD_FLAGS},
        {"released provider", [&] { return CryptCreateHash(released, CALG_SHA1, 0, 0, &made); },
         NTE_BAD_UID},
        {"no handle out", [&] { return CryptCreateHash(prov, CALG_SHA1, 0, 0, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"data into a destroyed hash", [&] { return CryptHashData(destroyed, buffer, 1, 0); },
         NTE_BAD_HASH},
        {"data flags", [&] { return CryptHashData(open, buffer, 1, 1); }, NTE_BAD_FLAGS},
        {"set another parameter", [&] { return CryptSetHashParam(open, HP_ALGID, buffer, 0); },
         NTE_BAD_TYPE},
        {"set on a destroyed hash",
         [&] { return CryptSetHashParam(destroyed, HP_HASHVAL, buffer, 0); }, NTE_BAD_HASH},
        {"get an unknown parameter", [&] { return CryptGetHashParam(open, 99, buffer, &size, 0); },
         NTE_BAD_TYPE},
        {"get from a destroyed hash",
         [&] { return CryptGetHashParam(destroyed, HP_HASHVAL, buffer, &size, 0); }, NTE_BAD_HASH},
        {"sign a destroyed hash",
         [&] { return CryptSignHashA(destroyed, slot, nullptr, 0, buffer, &size); }, NTE_BAD_HASH},
        {"sign flags", [&] { return CryptSignHashA(open, slot, nullptr, 1, buffer, &size); },
         NTE_BAD_FLAGS},
        {"sign with a description",
         [&] { return CryptSignHashA(open, slot, "text", 0, buffer, &size); },
         ERROR_INVALID_PARAMETER},
        {"sign with the empty slot",
         [&] { return CryptSignHashA(open, AT_KEYEXCHANGE, nullptr, 0, buffer, &size); },
         NTE_NO_KEY},
        {"destroy twice", [&] { return CryptDestroyHash(destroyed); }, NTE_BAD_HASH},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_EQ(made, 0u);
    CryptDestroyKey(key);

    // A verify context has no container and so no key to sign with.
    CryptProvHolder verify;
    ASSERT_TRUE(
        CryptAcquireContextA(verify.out(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    CryptHashHolder unkeyed;
    ASSERT_TRUE(CryptCreateHash(verify.get(), CALG_MD5, 0, 0, unkeyed.out()));
    size = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptSignHashA(unkeyed.get(), AT_SIGNATURE, nullptr, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
}

// The digest that SignPkcs1 sets from outside is signed as PKCS#1 v1.5 with the
// algorithm's DigestInfo; openssl verifies the reversed bytes over that digest.
TEST_F(CryptHash, SignaturesVerifyWithOpenssl) {
    std::string content = "Kestrune signs this text";
    testing_support::writeFile(signer_.file("content.bin"), content);
    struct Case {
        ALG_ID algorithm;
        const char* dgst;  // openssl's name
        bool setFromOutside;
    };
    const Case cases[] = {
        {CALG_SHA1, "sha1", true},
        {CALG_MD5, "md5", true},
        {CALG_SHA1, "sha1", false},
    };
    for (const Case& c : cases) {
        CryptHashHolder hash;
        ASSERT_TRUE(CryptCreateHash(signer_.prov(), c.algorithm, 0, 0, hash.out()));
        std::string digestFile = signer_.file(std::string(c.dgst) + ".digest");
        ASSERT_EQ(signer_.run(std::string("openssl dgst -") + c.dgst + " -binary -out " +
                              digestFile + " " + signer_.file("content.bin")),
                  0);
        std::vector<BYTE> digest = readBytes(digestFile);
        if (c.setFromOutside)
            ASSERT_TRUE(CryptSetHashParam(hash.get(), HP_HASHVAL, digest.data(), 0));
        else
            ASSERT_TRUE(CryptHashData(hash.get(), bytesOf(content).data(),
                                      static_cast<DWORD>(content.size()), 0));

        DWORD size = 0;
        ASSERT_TRUE(CryptSignHashA(hash.get(), signer_.slot(), nullptr, 0, nullptr, &size));
        EXPECT_EQ(size, 256u);
        std::vector<BYTE> signature(size);
        DWORD shortSize = size - 1;
        SetLastError(0);
        EXPECT_FALSE(
            CryptSignHashA(hash.get(), signer_.slot(), nullptr, 0, signature.data(), &shortSize));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
        EXPECT_EQ(shortSize, 256u);
        signature = signHash(hash.get(), signer_.slot());
        ASSERT_EQ(signature.size(), 256u);
        EXPECT_EQ(hashValue(hash.get()), digest) << "signing finishes the hash";

        std::reverse(signature.begin(), signature.end());
        writeBytes(signer_.file("sig.bin"), signature);
        std::string out;
        EXPECT_EQ(signer_.run("openssl pkeyutl -verify -certin -inkey " +
                                  signer_.file("user1.pem") + " -in " + digestFile + " -sigfile " +
                                  signer_.file("sig.bin") + " -pkeyopt digest:" + c.dgst,
                              &out),
                  0)
            << c.dgst << ": " << out;
    }
}

// A hash keeps its provider: releasing the context first still signs with its
// container. A 1024-bit key gives 128 bytes.
TEST_F(CryptHash, HashOutlivesItsProviderHandle) {
    openssl::EvpPkeyPtr small(EVP_RSA_gen(1024));
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "small", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(cryptStoreKeyPair(prov, AT_KEYEXCHANGE, small.get(), 0, nullptr));
    CryptHashHolder hash;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, hash.out()));
    ASSERT_TRUE(CryptReleaseContext(prov, 0));
    std::vector<BYTE> digest(20, 0x11);
    ASSERT_TRUE(CryptSetHashParam(hash.get(), HP_HASHVAL, digest.data(), 0));
    std::vector<BYTE> signature = signHash(hash.get(), AT_KEYEXCHANGE);
    ASSERT_EQ(signature.size(), 128u);
    std::reverse(signature.begin(), signature.end());
    // Checked with the key's public half through OpenSSL directly.
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(small.get(), nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha1());
    EXPECT_EQ(
        EVP_PKEY_verify(ctx, signature.data(), signature.size(), digest.data(), digest.size()), 1);
    EVP_PKEY_CTX_free(ctx);
}

}  // namespace
