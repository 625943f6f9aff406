#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cert_fixtures.h"
#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/wincrypt.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

CertContextHolder create(const ByteBuffer& der) {
    return CertContextHolder(
        CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.length())));
}

std::string hex(const BYTE* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

FILETIME fileTime(uint64_t ticks) {
    return FILETIME{DWORD(ticks), DWORD(ticks >> 32)};
}
uint64_t ticks(const FILETIME& f) {
    return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}
// 2011-01-01 00:00:00 UTC and 2041-01-01 00:00:00 UTC.
constexpr uint64_t k2011 = (1293840000ULL + 11644473600ULL) * 10000000ULL;
constexpr uint64_t k2041 = (2240611200ULL + 11644473600ULL) * 10000000ULL;

TEST(CertCreateCertificateContext, RejectsMalformedInputWithThePlatformsCodes) {
    ByteBuffer root = loadCert("root");
    ASSERT_FALSE(root.empty());
    std::vector<BYTE> cut(root.data(), root.data() + root.length() - 1);
    struct Case {
        const char* what;
        DWORD encoding;
        std::vector<BYTE> bytes;
        bool nullBytes;
        DWORD length;
        DWORD error;
    };
    const Case cases[] = {
        {"no X509 encoding",
         0,
         {root.data(), root.data() + root.length()},
         false,
         0,
         DWORD(E_INVALIDARG)},
        {"PKCS#7 only", PKCS_7_ASN_ENCODING, {0x30, 0x00}, false, 0, DWORD(E_INVALIDARG)},
        {"null with a length", kEnc, {}, true, 5, DWORD(E_INVALIDARG)},
        {"nothing", kEnc, {}, true, 0, CRYPT_E_ASN1_EOD},
        {"not a SEQUENCE", kEnc, {0x02, 0x01, 0x00}, false, 0, CRYPT_E_ASN1_BADTAG},
        {"tag alone", kEnc, {0x30}, false, 0, CRYPT_E_ASN1_CORRUPT},
        {"indefinite length", kEnc, {0x30, 0x80, 0x00, 0x00}, false, 0, CRYPT_E_ASN1_CORRUPT},
        {"length octets cut", kEnc, {0x30, 0x82, 0x01}, false, 0, CRYPT_E_ASN1_CORRUPT},
        {"five length octets", kEnc, {0x30, 0x85, 1, 0, 0, 0, 0}, false, 0, CRYPT_E_ASN1_LARGE},
        {"content cut", kEnc, {0x30, 0x10, 0x02, 0x01, 0x00}, false, 0, CRYPT_E_ASN1_EOD},
        {"certificate cut by one byte", kEnc, cut, false, 0, CRYPT_E_ASN1_EOD},
        {"SEQUENCE that is no certificate",
         kEnc,
         {0x30, 0x03, 0x02, 0x01, 0x00},
         false,
         0,
         CRYPT_E_ASN1_CORRUPT},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        DWORD length = c.nullBytes ? c.length : DWORD(c.bytes.size());
        PCCERT_CONTEXT ctx = CertCreateCertificateContext(
            c.encoding, c.nullBytes ? nullptr : c.bytes.data(), length);
        EXPECT_FALSE(ctx) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
}

TEST(CertCreateCertificateContext, KeepsTrailingBytesLikeThePlatform) {
    ByteBuffer root = loadCert("root");
    std::vector<BYTE> padded(root.data(), root.data() + root.length());
    padded.insert(padded.end(), {0x00, 0x00, 'x'});
    CertContextHolder ctx(CertCreateCertificateContext(kEnc, padded.data(), DWORD(padded.size())));
    ASSERT_TRUE(ctx);
    ASSERT_EQ(ctx.get()->cbCertEncoded, padded.size());
    EXPECT_EQ(std::memcmp(ctx.get()->pbCertEncoded, padded.data(), padded.size()), 0);
    EXPECT_NE(ctx.get()->pbCertEncoded, padded.data());  // a copy
    // The thumbprint covers every byte the context holds.
    BYTE expected[20], got[20];
    unsigned int n = 0;
    ASSERT_TRUE(EVP_Digest(padded.data(), padded.size(), expected, &n, EVP_sha1(), nullptr));
    DWORD size = sizeof got;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), CERT_SHA1_HASH_PROP_ID, got, &size));
    EXPECT_EQ(hex(got, size), hex(expected, n));
}

TEST(CertCreateCertificateContext, FillsCertInfoAsThePlatformLaysItOut) {
    CertContextHolder ctx = create(loadCert("root"));
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx.get()->dwCertEncodingType, kEnc);
    EXPECT_EQ(ctx.get()->hCertStore, nullptr);
    const CERT_INFO& info = *ctx.get()->pCertInfo;
    EXPECT_EQ(info.dwVersion, CERT_V3);
    // Content octets 00 8F 01, least significant first.
    EXPECT_EQ(hex(info.SerialNumber.pbData, info.SerialNumber.cbData), "018F00");
    EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
    EXPECT_EQ(
        hex(info.SignatureAlgorithm.Parameters.pbData, info.SignatureAlgorithm.Parameters.cbData),
        "0500");
    EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cUnusedBits, 0u);
    ASSERT_GT(info.SubjectPublicKeyInfo.PublicKey.cbData, 256u);
    EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.pbData[0], 0x30);  // RSAPublicKey
    EXPECT_EQ(ticks(info.NotBefore), k2011);
    EXPECT_EQ(ticks(info.NotAfter), k2041);
    // Self-signed: the two names are the same encoding.
    ASSERT_EQ(info.Issuer.cbData, info.Subject.cbData);
    EXPECT_EQ(std::memcmp(info.Issuer.pbData, info.Subject.pbData, info.Subject.cbData), 0);
    ASSERT_EQ(info.cExtension, 2u);
    EXPECT_STREQ(info.rgExtension[0].pszObjId, "2.5.29.19");
    EXPECT_TRUE(info.rgExtension[0].fCritical);
    EXPECT_EQ(hex(info.rgExtension[0].Value.pbData, info.rgExtension[0].Value.cbData),
              "30030101FF");
    EXPECT_STREQ(info.rgExtension[1].pszObjId, "2.5.29.14");
    EXPECT_FALSE(info.rgExtension[1].fCritical);
}

TEST(CertDuplicateCertificateContext, SharesOneContextUntilTheLastFree) {
    PCCERT_CONTEXT ctx = create(loadCert("root")).release();
    ASSERT_TRUE(ctx);
    PCCERT_CONTEXT dup = CertDuplicateCertificateContext(ctx);
    EXPECT_EQ(dup, ctx);
    CRYPT_DATA_BLOB name{4, const_cast<BYTE*>(reinterpret_cast<const BYTE*>("n\0a\0"))};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &name));
    EXPECT_TRUE(CertFreeCertificateContext(ctx));
    // Still alive through the second reference, properties included.
    DWORD size = 0;
    EXPECT_TRUE(CertGetCertificateContextProperty(dup, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(dup->pCertInfo->dwVersion, CERT_V3);
    EXPECT_TRUE(CertFreeCertificateContext(dup));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
    EXPECT_EQ(CertDuplicateCertificateContext(nullptr), nullptr);
}

TEST(CertGetCertificateContextProperty, HashesComeWithTheTwoCallSizeProtocol) {
    struct Case {
        DWORD id;
        const char* expectKey;
        DWORD size;
    };
    for (const Case& c :
         {Case{CERT_SHA1_HASH_PROP_ID, "sha1", 20}, Case{CERT_MD5_HASH_PROP_ID, "md5", 16}}) {
        CertContextHolder ctx = create(loadCert("signer"));
        ASSERT_TRUE(ctx);
        DWORD size = 0;
        ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), c.id, nullptr, &size));
        EXPECT_EQ(size, c.size);
        BYTE buffer[32];
        size = c.size - 1;
        SetLastError(0);
        EXPECT_FALSE(CertGetCertificateContextProperty(ctx.get(), c.id, buffer, &size));
        EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
        EXPECT_EQ(size, c.size);
        size = sizeof buffer;
        ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), c.id, buffer, &size));
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(hex(buffer, size), loadExpect("signer")[c.expectKey]);
    }
}

TEST(CertGetCertificateContextProperty, ExplicitHashReplacesTheComputedOneUntilRemoved) {
    CertContextHolder ctx = create(loadCert("root"));
    BYTE bogus[20] = {1, 2, 3};
    CRYPT_DATA_BLOB blob{sizeof bogus, bogus};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_SHA1_HASH_PROP_ID, 0, &blob));
    BYTE got[20];
    DWORD size = sizeof got;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), CERT_SHA1_HASH_PROP_ID, got, &size));
    EXPECT_EQ(hex(got, size), hex(bogus, sizeof bogus));
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_SHA1_HASH_PROP_ID, 0, nullptr));
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), CERT_SHA1_HASH_PROP_ID, got, &size));
    EXPECT_EQ(hex(got, size), loadExpect("root")["sha1"]);
}

TEST(CertGetCertificateContextProperty, MissingAndInvalidRequestsFail) {
    CertContextHolder ctx = create(loadCert("root"));
    DWORD size = 0;
    struct Case {
        PCCERT_CONTEXT ctx;
        DWORD id;
        DWORD* size;
        DWORD error;
    };
    const Case cases[] = {
        {ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, &size, CRYPT_E_NOT_FOUND},
        {ctx.get(), CERT_KEY_CONTEXT_PROP_ID, &size, CRYPT_E_NOT_FOUND},
        {ctx.get(), CERT_FRIENDLY_NAME_PROP_ID, &size, CRYPT_E_NOT_FOUND},
        {ctx.get(), 0, &size, DWORD(E_INVALIDARG)},
        {ctx.get(), CERT_SHA1_HASH_PROP_ID, nullptr, DWORD(E_INVALIDARG)},
        {nullptr, CERT_SHA1_HASH_PROP_ID, &size, DWORD(E_INVALIDARG)},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(CertGetCertificateContextProperty(c.ctx, c.id, nullptr, c.size)) << c.id;
        EXPECT_EQ(GetLastError(), c.error) << c.id;
    }
    BYTE blobByte = 1;
    CRYPT_DATA_BLOB blob{1, &blobByte};
    CRYPT_DATA_BLOB nullData{3, nullptr};
    CERT_KEY_CONTEXT shortKey{sizeof(CERT_KEY_CONTEXT) - 1, 0, AT_SIGNATURE};
    CRYPT_KEY_PROV_INFO noParams{nullptr, nullptr, 1, 0, 2, nullptr, AT_KEYEXCHANGE};
    struct SetCase {
        PCCERT_CONTEXT ctx;
        DWORD id;
        const void* data;
    };
    const SetCase setCases[] = {
        {nullptr, CERT_FRIENDLY_NAME_PROP_ID, &blob},
        {ctx.get(), 0, &blob},
        {ctx.get(), 1, &blob},
        {ctx.get(), 9999, &blob},
        {ctx.get(), CERT_FRIENDLY_NAME_PROP_ID, &nullData},
        {ctx.get(), CERT_KEY_CONTEXT_PROP_ID, &shortKey},
        {ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, &noParams},
    };
    for (const SetCase& c : setCases) {
        SetLastError(0);
        EXPECT_FALSE(CertSetCertificateContextProperty(c.ctx, c.id, 0, c.data)) << c.id;
        EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG)) << c.id;
    }
    EXPECT_EQ(CertEnumCertificateContextProperties(ctx.get(), 0), 0u);
}

TEST(CertSetCertificateContextProperty, KeyProvInfoIsKeptAsASelfContainedCopy) {
    CertContextHolder ctx = create(loadCert("signer"));
    std::u16string container = u"{8A0C5E07-3F4B-4C1D-9E2A-000000000001}";
    std::u16string provider = u"Microsoft Enhanced Cryptographic Provider v1.0";
    std::vector<BYTE> paramData = {0xAA, 0xBB, 0xCC};
    CRYPT_KEY_PROV_PARAM param{7, paramData.data(), 3, 0};
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 1, 0, 1, &param, AT_KEYEXCHANGE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    // The caller's storage may go away.
    container.assign(container.size(), u'x');
    provider.clear();
    paramData.assign(3, 0);

    DWORD size = 0;
    ASSERT_TRUE(
        CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    ASSERT_GE(size, sizeof(CRYPT_KEY_PROV_INFO));
    std::vector<uint64_t> storage((size + 7) / 8);
    auto* buffer = reinterpret_cast<BYTE*>(storage.data());
    ASSERT_TRUE(
        CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, buffer, &size));
    auto* got = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer);
    auto inside = [&](const void* p) {
        auto* b = static_cast<const BYTE*>(p);
        return b >= buffer && b < buffer + size;
    };
    ASSERT_TRUE(inside(got->pwszContainerName));
    ASSERT_TRUE(inside(got->pwszProvName));
    ASSERT_TRUE(inside(got->rgProvParam));
    EXPECT_EQ(std::u16string(got->pwszContainerName), u"{8A0C5E07-3F4B-4C1D-9E2A-000000000001}");
    EXPECT_EQ(std::u16string(got->pwszProvName), u"Microsoft Enhanced Cryptographic Provider v1.0");
    EXPECT_EQ(got->dwProvType, 1u);
    EXPECT_EQ(got->dwKeySpec, AT_KEYEXCHANGE);
    ASSERT_EQ(got->cProvParam, 1u);
    EXPECT_EQ(got->rgProvParam[0].dwParam, 7u);
    ASSERT_TRUE(inside(got->rgProvParam[0].pbData));
    EXPECT_EQ(hex(got->rgProvParam[0].pbData, got->rgProvParam[0].cbData), "AABBCC");

    // A null name stays null; removing the property makes it missing again.
    CRYPT_KEY_PROV_INFO bare{nullptr, nullptr, 1, 0, 0, nullptr, AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &bare));
    size = DWORD(storage.size() * 8);
    ASSERT_TRUE(
        CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, buffer, &size));
    EXPECT_EQ(got->pwszContainerName, nullptr);
    EXPECT_EQ(got->dwKeySpec, AT_SIGNATURE);
    ASSERT_TRUE(
        CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
    SetLastError(0);
    EXPECT_FALSE(
        CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
}

TEST(CertSetCertificateContextProperty, KeyContextRoundTripsAndPropertiesEnumerateInOrder) {
    CertContextHolder ctx = create(loadCert("signer"));
    CERT_KEY_CONTEXT key{sizeof(CERT_KEY_CONTEXT), 0x1234, AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_CONTEXT_PROP_ID, 0, &key));
    CERT_KEY_CONTEXT got{};
    DWORD size = sizeof got;
    ASSERT_TRUE(
        CertGetCertificateContextProperty(ctx.get(), CERT_KEY_CONTEXT_PROP_ID, &got, &size));
    EXPECT_EQ(got.hCryptProv, 0x1234u);
    EXPECT_EQ(got.dwKeySpec, AT_SIGNATURE);

    BYTE user = 9;
    CRYPT_DATA_BLOB blob{1, &user};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_FIRST_USER_PROP_ID, 0, &blob));
    ASSERT_TRUE(
        CertGetCertificateContextProperty(ctx.get(), CERT_SHA1_HASH_PROP_ID, nullptr, &size));
    std::vector<DWORD> ids;
    for (DWORD id = CertEnumCertificateContextProperties(ctx.get(), 0); id;
         id = CertEnumCertificateContextProperties(ctx.get(), id))
        ids.push_back(id);
    EXPECT_EQ(ids, (std::vector<DWORD>{CERT_SHA1_HASH_PROP_ID, CERT_KEY_CONTEXT_PROP_ID,
                                       CERT_FIRST_USER_PROP_ID}));
}

TEST(CertGetIntendedKeyUsage, ReportsTheBitStringOrItsAbsence) {
    struct Case {
        const char* cert;
        BOOL present;
        BYTE first;
    };
    for (const Case& c : {Case{"root", FALSE, 0}, Case{"signer", TRUE, 0x80},
                          Case{"crlsign", TRUE, 0x02}, Case{"attrs", TRUE, 0xC4}}) {
        CertContextHolder ctx = create(loadCert(c.cert));
        ASSERT_TRUE(ctx) << c.cert;
        BYTE bits[2] = {0xFF, 0xFF};
        SetLastError(0xDEAD);
        EXPECT_EQ(CertGetIntendedKeyUsage(kEnc, ctx.get()->pCertInfo, bits, sizeof bits), c.present)
            << c.cert;
        EXPECT_EQ(bits[0], c.first) << c.cert;
        EXPECT_EQ(bits[1], 0) << c.cert;
        if (!c.present) {
            EXPECT_EQ(GetLastError(), 0u) << c.cert;
        }
        EXPECT_EQ(unsigned(c.first), std::stoul(loadExpect(c.cert)["keyusage"], nullptr, 16))
            << c.cert;
    }
}

TEST(CertGetIntendedKeyUsage, MalformedExtensionFailsWithTheDecodeError) {
    BYTE notBits[] = {0x04, 0x01, 0x80};
    BYTE badUnused[] = {0x03, 0x02, 0x09, 0x80};
    BYTE cutBits[] = {0x03, 0x05, 0x00};
    struct Case {
        BYTE* value;
        DWORD size;
        DWORD error;
    };
    for (const Case& c :
         {Case{notBits, 3, CRYPT_E_ASN1_BADTAG}, Case{badUnused, 4, CRYPT_E_ASN1_CORRUPT},
          Case{cutBits, 3, CRYPT_E_ASN1_EOD}}) {
        CERT_EXTENSION ext{const_cast<char*>(szOID_KEY_USAGE), TRUE, {c.size, c.value}};
        CERT_INFO info{};
        info.cExtension = 1;
        info.rgExtension = &ext;
        BYTE bits = 0xFF;
        EXPECT_FALSE(CertGetIntendedKeyUsage(kEnc, &info, &bits, 1));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(bits, 0);
    }
    // Unused bits are masked off.
    BYTE padded[] = {0x03, 0x02, 0x07, 0xFF};
    CERT_EXTENSION ext{const_cast<char*>(szOID_KEY_USAGE), TRUE, {4, padded}};
    CERT_INFO info{};
    info.cExtension = 1;
    info.rgExtension = &ext;
    BYTE bits = 0;
    EXPECT_TRUE(CertGetIntendedKeyUsage(kEnc, &info, &bits, 1));
    EXPECT_EQ(bits, 0x80);
}

TEST(CertVerifyTimeValidity, ComparesWithBothEndsIncluded) {
    CertContextHolder root = create(loadCert("root"));
    CertContextHolder expired = create(loadCert("crlsign"));
    struct Case {
        uint64_t when;
        LONG result;
    };
    for (const Case& c : {Case{k2011 - 1, -1}, Case{k2011, 0}, Case{k2011 + 1, 0}, Case{k2041, 0},
                          Case{k2041 + 1, 1}}) {
        FILETIME t = fileTime(c.when);
        EXPECT_EQ(CertVerifyTimeValidity(&t, root.get()->pCertInfo), c.result) << c.when;
    }
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, root.get()->pCertInfo), 0);
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, expired.get()->pCertInfo), 1);
    SetLastError(0);
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, nullptr), 1);
    EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
}

}  // namespace
