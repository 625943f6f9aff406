// CryptExportKey's key blobs, compared number by number with what `openssl rsa -text`
// prints for the same key.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/rsa.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/wincrypt.h"
#include "tests/openssl_cli.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"

namespace {

using namespace store_test;

const std::string kFixtures = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/";

openssl::EvpPkeyPtr readKey(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return nullptr;
    openssl::EvpPkeyPtr key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    return key;
}

// A little-endian number of the blob as big-endian hex without leading zero bytes.
std::string number(const std::vector<BYTE>& blob, size_t offset, size_t width) {
    std::string hex;
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = width; i-- > 0;) {
        hex.push_back(digits[blob[offset + i] >> 4]);
        hex.push_back(digits[blob[offset + i] & 15]);
    }
    return openssl_cli::normalHex(hex);
}

DWORD le32(const std::vector<BYTE>& blob, size_t offset) {
    return blob[offset] | blob[offset + 1] << 8 | blob[offset + 2] << 16 |
           static_cast<DWORD>(blob[offset + 3]) << 24;
}

class KeyExport : public ::testing::Test {
  protected:
    // A key handle on `key` stored in slot `slot` of a new container.
    HCRYPTKEY store(EVP_PKEY* key, DWORD slot, DWORD flags) {
        std::string name = "export-" + std::to_string(containers_.size());
        containers_.emplace_back();
        CryptProvHolder& prov = containers_.back();
        HCRYPTKEY hKey = 0;
        EXPECT_TRUE(CryptAcquireContextA(prov.out(), name.c_str(), nullptr, PROV_RSA_FULL,
                                         CRYPT_NEWKEYSET));
        EXPECT_TRUE(cryptStoreKeyPair(prov.get(), slot, key, flags, &hKey));
        return hKey;
    }
    // The blob of the two-call protocol; empty with the error in `error` on failure.
    static std::vector<BYTE> exportBlob(HCRYPTKEY hKey, DWORD type, DWORD* error = nullptr) {
        DWORD size = 0;
        if (!CryptExportKey(hKey, 0, type, 0, nullptr, &size)) {
            if (error) *error = GetLastError();
            return {};
        }
        std::vector<BYTE> blob(size + 16, 0xEE);
        DWORD given = static_cast<DWORD>(blob.size());
        EXPECT_TRUE(CryptExportKey(hKey, 0, type, 0, blob.data(), &given));
        EXPECT_EQ(given, size);
        EXPECT_EQ(blob[size], 0xEE) << "written past the size it asked for";
        blob.resize(size);
        return blob;
    }

    TempHome home_;
    std::deque<CryptProvHolder> containers_;
};

TEST_F(KeyExport, BlobsHoldTheNumbersOpensslPrints) {
    struct Case {
        const char* key;
        DWORD slot;
        ALG_ID algorithm;
        DWORD bits;
        size_t half;  // width of the five half-length numbers
    } cases[] = {
        {"pfx/user1.key.pem", AT_KEYEXCHANGE, CALG_RSA_KEYX, 2048, 128},
        {"mobile/rsa1024.key.pem", AT_SIGNATURE, CALG_RSA_SIGN, 1024, 64},
        // Not a multiple of 16: the widths round up.
        {"mobile/rsa1000.key.pem", AT_KEYEXCHANGE, CALG_RSA_KEYX, 1000, 63},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        openssl::EvpPkeyPtr key = readKey(kFixtures + c.key);
        ASSERT_TRUE(key);
        auto expected = openssl_cli::rsaNumbers(kFixtures + c.key);
        ASSERT_EQ(expected["bits"], std::to_string(c.bits));
        HCRYPTKEY hKey = store(key.get(), c.slot, CRYPT_EXPORTABLE);
        size_t full = (c.bits + 7) / 8;

        std::vector<BYTE> priv = exportBlob(hKey, PRIVATEKEYBLOB);
        ASSERT_EQ(priv.size(), 20 + 2 * full + 5 * c.half);
        const std::vector<BYTE> header = {7,
                                          2,
                                          0,
                                          0,
                                          static_cast<BYTE>(c.algorithm),
                                          static_cast<BYTE>(c.algorithm >> 8),
                                          0,
                                          0,
                                          'R',
                                          'S',
                                          'A',
                                          '2'};
        EXPECT_EQ(std::vector<BYTE>(priv.begin(), priv.begin() + 12), header);
        EXPECT_EQ(le32(priv, 12), c.bits);
        EXPECT_EQ(le32(priv, 16), 65537u);
        const char* names[] = {"modulus",   "prime1",      "prime2",         "exponent1",
                               "exponent2", "coefficient", "privateExponent"};
        size_t at = 20;
        for (size_t i = 0; i < 7; ++i) {
            size_t width = i == 0 || i == 6 ? full : c.half;
            EXPECT_EQ(number(priv, at, width), expected[names[i]]) << names[i];
            at += width;
        }

        std::vector<BYTE> pub = exportBlob(hKey, PUBLICKEYBLOB);
        ASSERT_EQ(pub.size(), 20 + full);
        EXPECT_EQ(pub[0], PUBLICKEYBLOB);
        EXPECT_EQ(std::string(pub.begin() + 8, pub.begin() + 12), "RSA1");
        EXPECT_EQ(std::vector<BYTE>(pub.begin() + 12, pub.end()),
                  std::vector<BYTE>(priv.begin() + 12, priv.begin() + 20 + full));
        CryptDestroyKey(hKey);
    }
}

// An RSA key the blob layout cannot carry.
openssl::EvpPkeyPtr unusualKey(int primes, unsigned long long exponent) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 1024) == 1 &&
        EVP_PKEY_CTX_set_rsa_keygen_primes(ctx, primes) == 1 &&
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) == 1)
        EVP_PKEY_keygen(ctx, &key);
    BN_free(e);
    EVP_PKEY_CTX_free(ctx);
    return openssl::EvpPkeyPtr(key);
}

TEST_F(KeyExport, RefusalsCarryThePlatformsCodes) {
    openssl::EvpPkeyPtr key = readKey(kFixtures + "mobile/rsa1024.key.pem");
    openssl::EvpPkeyPtr threePrimes = unusualKey(3, 65537);
    openssl::EvpPkeyPtr wideExponent = unusualKey(2, 0x100000001ULL);
    ASSERT_TRUE(key && threePrimes && wideExponent);
    HCRYPTKEY exportable = store(key.get(), AT_KEYEXCHANGE, CRYPT_EXPORTABLE);
    HCRYPTKEY locked = store(key.get(), AT_KEYEXCHANGE, 0);
    HCRYPTKEY threePrimeKey = store(threePrimes.get(), AT_KEYEXCHANGE, CRYPT_EXPORTABLE);
    HCRYPTKEY wideKey = store(wideExponent.get(), AT_KEYEXCHANGE, CRYPT_EXPORTABLE);
    HCRYPTKEY destroyed = store(key.get(), AT_SIGNATURE, CRYPT_EXPORTABLE);
    ASSERT_TRUE(CryptDestroyKey(destroyed));

    struct Case {
        const char* what;
        HCRYPTKEY key;
        HCRYPTKEY exportKey;
        DWORD type;
        DWORD flags;
        DWORD error;  // 0: succeeds
    } cases[] = {
        {"not exportable", locked, 0, PRIVATEKEYBLOB, 0, NTE_BAD_KEY_STATE},
        {"its public key is", locked, 0, PUBLICKEYBLOB, 0, 0},
        {"session key blob", exportable, 0, SIMPLEBLOB, 0, NTE_BAD_TYPE},
        {"plain text blob", exportable, 0, PLAINTEXTKEYBLOB, 0, NTE_BAD_TYPE},
        {"blob type 0", exportable, 0, 0, 0, NTE_BAD_TYPE},
        {"flags", exportable, 0, PRIVATEKEYBLOB, 0x40, NTE_BAD_FLAGS},
        {"an export key", exportable, wideKey, PRIVATEKEYBLOB, 0, NTE_BAD_KEY},
        {"destroyed handle", destroyed, 0, PRIVATEKEYBLOB, 0, ERROR_INVALID_HANDLE},
        {"three primes", threePrimeKey, 0, PRIVATEKEYBLOB, 0, NTE_BAD_KEY},
        {"three primes, public part", threePrimeKey, 0, PUBLICKEYBLOB, 0, 0},
        {"exponent above 32 bits", wideKey, 0, PUBLICKEYBLOB, 0, NTE_BAD_KEY},
    };
    for (const Case& c : cases) {
        DWORD size = 0;
        SetLastError(0);
        BOOL ok = CryptExportKey(c.key, c.exportKey, c.type, c.flags, nullptr, &size);
        EXPECT_EQ(ok, c.error == 0) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }

    // The size protocol: no length pointer, then a buffer one byte short.
    SetLastError(0);
    EXPECT_FALSE(CryptExportKey(exportable, 0, PRIVATEKEYBLOB, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    std::vector<BYTE> whole = exportBlob(exportable, PRIVATEKEYBLOB);
    std::vector<BYTE> shortBuffer(whole.size() - 1, 0xEE);
    DWORD size = static_cast<DWORD>(shortBuffer.size());
    EXPECT_FALSE(CryptExportKey(exportable, 0, PRIVATEKEYBLOB, 0, shortBuffer.data(), &size));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(size, whole.size());
    EXPECT_EQ(shortBuffer, std::vector<BYTE>(whole.size() - 1, 0xEE)) << "nothing written";
    for (HCRYPTKEY h : {exportable, locked, threePrimeKey, wideKey}) CryptDestroyKey(h);
}

}  // namespace
