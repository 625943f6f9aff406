// CryptEncodeObject. Expected encodings come from `openssl asn1parse -genstr`, run by the
// tests themselves, so they do not restate the encoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/wincrypt.h"
#include "platform/wincrypt_msg.h"
#include "tests/signing_support.h"

namespace {

using namespace signing_test;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The DER openssl makes of an ASN1_generate_nconf string.
std::vector<BYTE> opensslGenerated(const std::string& genstr) {
    testing_support::TempDir dir;
    int status = -1;
    testing_support::runCommand(
        "openssl asn1parse -genstr '" + genstr + "' -noout -out " + dir.file("out.der"), &status);
    return status == 0 ? readBytes(dir.file("out.der")) : std::vector<BYTE>{};
}

std::vector<BYTE> encodeObject(LPCSTR type, const void* info) {
    DWORD size = 0;
    if (!CryptEncodeObject(kEncoding, type, info, nullptr, &size)) return {};
    std::vector<BYTE> out(size);
    if (!CryptEncodeObject(kEncoding, type, info, out.data(), &size)) return {};
    out.resize(size);
    return out;
}

FILETIME fileTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                  uint64_t extraTicks = 0) {
    SYSTEMTIME st{year, month, 0, day, hour, minute, second, 0};
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    uint64_t ticks = ((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) + extraTicks;
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

TEST(CryptEncodeObject, SigningTimeAsUtcTimeUntil2049ThenGeneralizedTime) {
    struct Case {
        FILETIME time;
        const char* genstr;
    };
    const Case cases[] = {
        {fileTime(1601, 1, 1, 0, 0, 0), "GENTIME:16010101000000Z"},
        {fileTime(1949, 12, 31, 23, 59, 59), "GENTIME:19491231235959Z"},
        {fileTime(1950, 1, 1, 0, 0, 0), "UTCTIME:500101000000Z"},
        {fileTime(1999, 12, 31, 23, 59, 59), "UTCTIME:991231235959Z"},
        {fileTime(2000, 1, 1, 0, 0, 0), "UTCTIME:000101000000Z"},
        // Fractions of a second are cut, never rounded up.
        {fileTime(2024, 2, 29, 12, 34, 56, 9999999), "UTCTIME:240229123456Z"},
        {fileTime(2049, 12, 31, 23, 59, 59, 5000000), "UTCTIME:491231235959Z"},
        {fileTime(2050, 1, 1, 0, 0, 0), "GENTIME:20500101000000Z"},
        {fileTime(9999, 12, 31, 23, 59, 59, 9999999), "GENTIME:99991231235959Z"},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> expected = opensslGenerated(c.genstr);
        ASSERT_FALSE(expected.empty()) << c.genstr;
        EXPECT_EQ(toHex(encodeObject(szOID_RSA_signingTime, &c.time)), toHex(expected)) << c.genstr;
        EXPECT_EQ(toHex(encodeObject(PKCS_UTC_TIME, &c.time)), toHex(expected)) << c.genstr;
    }
}

TEST(CryptEncodeObject, SizeProtocolAndRefusals) {
    FILETIME time = fileTime(2030, 6, 1, 12, 0, 0);
    DWORD size = 0;
    ASSERT_TRUE(CryptEncodeObject(kEncoding, PKCS_UTC_TIME, &time, nullptr, &size));
    EXPECT_EQ(size, 15u);  // 17 0D and thirteen characters
    std::vector<BYTE> buffer(size + 10, 0xEE);
    DWORD shortSize = size - 1;
    SetLastError(0);
    EXPECT_FALSE(CryptEncodeObject(kEncoding, PKCS_UTC_TIME, &time, buffer.data(), &shortSize));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(shortSize, size);
    EXPECT_EQ(buffer[0], 0xEE);
    DWORD large = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(CryptEncodeObject(kEncoding, PKCS_UTC_TIME, &time, buffer.data(), &large));
    EXPECT_EQ(large, size);

    FILETIME past9999 = fileTime(9999, 12, 31, 23, 59, 59, 10000000);
    FILETIME last{0xFFFFFFFF, 0xFFFFFFFF};
    struct Case {
        const char* what;
        DWORD encoding;
        LPCSTR type;
        const void* info;
        DWORD* sizeOut;
        DWORD error;
    };
    const Case cases[] = {
        {"year 10000", kEncoding, PKCS_UTC_TIME, &past9999, &size, CRYPT_E_BAD_ENCODE},
        {"the last file time", kEncoding, szOID_RSA_signingTime, &last, &size, CRYPT_E_BAD_ENCODE},
        {"no encoding type", 0, PKCS_UTC_TIME, &time, &size, ERROR_FILE_NOT_FOUND},
        {"a structure this layer does not encode", kEncoding, X509_CERT_TO_BE_SIGNED, &time, &size,
         ERROR_FILE_NOT_FOUND},
        {"an unknown OID", kEncoding, "1.2.3.4", &time, &size, ERROR_FILE_NOT_FOUND},
        {"no structure", kEncoding, PKCS_UTC_TIME, nullptr, &size, DWORD(E_INVALIDARG)},
        {"no size variable", kEncoding, PKCS_UTC_TIME, &time, nullptr, DWORD(E_INVALIDARG)},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(CryptEncodeObject(c.encoding, c.type, c.info, nullptr, c.sizeOut)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
}

}  // namespace
