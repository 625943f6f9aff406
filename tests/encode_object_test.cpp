// CryptEncodeObject, CryptExportPublicKeyInfo and CryptSignAndEncodeCertificate.
// Expected encodings come from `openssl asn1parse -genconf`, run by the tests
// themselves, so they do not restate the encoder; requests are checked by `openssl req
// -verify`.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "tests/signing_support.h"

namespace {

using namespace signing_test;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::vector<BYTE> encodeObject(LPCSTR type, const void* info) {
    std::vector<BYTE> out;
    fetchSized(out, [type, info](BYTE* data, DWORD* size) {
        return CryptEncodeObject(kEncoding, type, info, data, size);
    });
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
        std::vector<BYTE> expected = opensslAsn1(c.genstr);
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

// ---- names

// An attribute whose value is UTF-16 code units (host order) or bytes.
struct NameAttribute {
    const char* oid;
    DWORD type;
    std::vector<BYTE> value;
};
std::vector<BYTE> units(std::u16string_view text) {
    std::vector<BYTE> out(text.size() * 2);
    std::memcpy(out.data(), text.data(), out.size());
    return out;
}

// Encodes RDNs of attributes; the last error tells a refusal.
std::vector<BYTE> encodeName(std::vector<std::vector<NameAttribute>>& rdns) {
    std::vector<std::vector<CERT_RDN_ATTR>> attrs;
    std::vector<CERT_RDN> list;
    for (auto& rdn : rdns) {
        attrs.emplace_back();
        for (auto& a : rdn)
            attrs.back().push_back({const_cast<char*>(a.oid),
                                    a.type,
                                    {static_cast<DWORD>(a.value.size()), a.value.data()}});
    }
    for (auto& a : attrs) list.push_back({static_cast<DWORD>(a.size()), a.data()});
    CERT_NAME_INFO name{static_cast<DWORD>(list.size()), list.data()};
    return encodeObject(X509_NAME_STRUCT, &name);
}

TEST(CryptEncodeObject, NamesInTheirStringTypes) {
    struct Case {
        const char* what;
        std::vector<std::vector<NameAttribute>> rdns;
        const char* conf;  // openssl's description of the same name
    };
    const Case cases[] = {
        {"a Chinese common name as BMPString",
         {{{szOID_COMMON_NAME, CERT_RDN_BMP_STRING, units(u"\u738B\u5C0F\u660E")}}},
         "[name]\nrdn = SET:rdn\n[rdn]\natv = SEQUENCE:atv\n[atv]\ntype = OID:commonName\n"
         "value = FORMAT:UTF8,BMPSTRING:\u738B\u5C0F\u660E\n"},
        {"an empty BMPString",
         {{{szOID_COMMON_NAME, CERT_RDN_BMP_STRING, {}}}},
         "[name]\nrdn = SET:rdn\n[rdn]\natv = SEQUENCE:atv\n[atv]\ntype = OID:commonName\n"
         "value = BMPSTRING:\n"},
        {"printable, IA5 and UTF-8 (a character beyond the BMP) in encoded order",
         {{{"2.5.4.6", CERT_RDN_PRINTABLE_STRING, bytesOf("TW")}},
          {{"1.2.840.113549.1.9.1", CERT_RDN_IA5_STRING, bytesOf("a@b.tw")}},
          {{szOID_COMMON_NAME, CERT_RDN_UTF8_STRING, units(u"K\U0001F511")}}},
         "[name]\nc = SET:c\ne = SET:e\ncn = SET:cn\n"
         "[c]\natv = SEQUENCE:c_atv\n[c_atv]\ntype = OID:countryName\nvalue = PRINTABLESTRING:TW\n"
         "[e]\natv = SEQUENCE:e_atv\n[e_atv]\ntype = OID:emailAddress\nvalue = IA5STRING:a@b.tw\n"
         "[cn]\natv = SEQUENCE:cn_atv\n[cn_atv]\ntype = OID:commonName\n"
         "value = FORMAT:UTF8,UTF8String:K\U0001F511\n"},
        // openssl's SET is encoded in DER order too, whatever order the file gives.
        {"two attributes in one RDN, sorted",
         {{{"2.5.4.11", CERT_RDN_PRINTABLE_STRING, bytesOf("Unit")},
           {"2.5.4.10", CERT_RDN_PRINTABLE_STRING, bytesOf("Org")}}},
         "[name]\nrdn = SET:rdn\n[rdn]\nou = SEQUENCE:ou\no = SEQUENCE:o\n"
         "[ou]\ntype = OID:organizationalUnitName\nvalue = PRINTABLESTRING:Unit\n"
         "[o]\ntype = OID:organizationName\nvalue = PRINTABLESTRING:Org\n"},
        {"no RDN", {}, "[name]\n"},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> expected =
            opensslAsn1Conf(std::string("asn1 = SEQUENCE:name\n") + c.conf);
        ASSERT_FALSE(expected.empty()) << c.what;
        auto rdns = c.rdns;
        EXPECT_EQ(toHex(encodeName(rdns)), toHex(expected)) << c.what;
    }
}

TEST(CryptEncodeObject, NameRefusals) {
    struct Case {
        const char* what;
        NameAttribute attribute;
        DWORD error;
    };
    const Case cases[] = {
        {"@ is not printable",
         {"2.5.4.3", CERT_RDN_PRINTABLE_STRING, bytesOf("a@b")},
         CRYPT_E_INVALID_PRINTABLE_STRING},
        {"8-bit IA5", {"2.5.4.3", CERT_RDN_IA5_STRING, {0x41, 0xE9}}, CRYPT_E_INVALID_IA5_STRING},
        {"half a code unit",
         {"2.5.4.3", CERT_RDN_BMP_STRING, {0x41, 0x00, 0x42}},
         DWORD(E_INVALIDARG)},
        {"any type", {"2.5.4.3", CERT_RDN_ANY_TYPE, bytesOf("x")}, CRYPT_E_NOT_CHAR_STRING},
        {"an encoded blob", {"2.5.4.3", 1, fromHex("0C0178")}, CRYPT_E_NOT_CHAR_STRING},
        {"a malformed OID",
         {"2.5.4.", CERT_RDN_PRINTABLE_STRING, bytesOf("x")},
         CRYPT_E_OID_FORMAT},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<NameAttribute>> rdns = {{c.attribute}};
        SetLastError(0);
        EXPECT_TRUE(encodeName(rdns).empty()) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    CERT_NAME_INFO broken{1, nullptr};
    DWORD size = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptEncodeObject(kEncoding, X509_NAME_STRUCT, &broken, nullptr, &size));
    EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
}

// ---- public keys and requests

class KeyObjects : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(signer_.ready()); }

    // The public key info of the signer's slot, in storage aligned for the record.
    bool exportKey(std::vector<uint64_t>& storage, DWORD slot = AT_KEYEXCHANGE) {
        DWORD size = 0;
        if (!CryptExportPublicKeyInfo(signer_.prov(), slot, kEncoding, nullptr, &size))
            return false;
        storage.assign(size / 8 + 1, 0);
        return CryptExportPublicKeyInfo(signer_.prov(), slot, kEncoding,
                                        reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(storage.data()),
                                        &size) == TRUE;
    }
    // A request for `name` signed with the signer's key; the last error tells a refusal.
    std::vector<BYTE> request(const std::vector<BYTE>& name, const char* algorithm,
                              DWORD attributes = 0, CRYPT_ATTRIBUTE* attribute = nullptr) {
        std::vector<uint64_t> key;
        if (!exportKey(key)) return {};
        CERT_REQUEST_INFO info{};
        info.dwVersion = CERT_REQUEST_V1;
        info.Subject = {static_cast<DWORD>(name.size()), const_cast<BYTE*>(name.data())};
        info.SubjectPublicKeyInfo = *reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(key.data());
        info.cAttribute = attributes;
        info.rgAttribute = attribute;
        CRYPT_ALGORITHM_IDENTIFIER signature{const_cast<char*>(algorithm), {}};
        DWORD size = 0;
        if (!CryptSignAndEncodeCertificate(signer_.prov(), AT_KEYEXCHANGE, kEncoding,
                                           X509_CERT_REQUEST_TO_BE_SIGNED, &info, &signature,
                                           nullptr, nullptr, &size))
            return {};
        std::vector<BYTE> out(size);
        if (!CryptSignAndEncodeCertificate(signer_.prov(), AT_KEYEXCHANGE, kEncoding,
                                           X509_CERT_REQUEST_TO_BE_SIGNED, &info, &signature,
                                           nullptr, out.data(), &size))
            return {};
        out.resize(size);
        return out;
    }

    SignerFixture signer_{"user1", AT_KEYEXCHANGE};
};

// The exported key is the certificate's key, bit for bit, as AcceptPKCS7 compares them.
TEST_F(KeyObjects, PublicKeyInfoIsTheCertificatesKey) {
    std::vector<uint64_t> storage;
    ASSERT_TRUE(exportKey(storage));
    const auto& info = *reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(storage.data());
    CertContextHolder cert = store_test::parse(readBytes(pfxFixture("user1.der")));
    const CERT_PUBLIC_KEY_INFO& expected = cert.get()->pCertInfo->SubjectPublicKeyInfo;
    EXPECT_STREQ(info.Algorithm.pszObjId, szOID_RSA_RSA);
    EXPECT_EQ(toHex({info.Algorithm.Parameters.pbData,
                     info.Algorithm.Parameters.pbData + info.Algorithm.Parameters.cbData}),
              "0500");
    EXPECT_EQ(info.PublicKey.cUnusedBits, 0u);
    ASSERT_EQ(info.PublicKey.cbData, expected.PublicKey.cbData);
    EXPECT_EQ(std::memcmp(info.PublicKey.pbData, expected.PublicKey.pbData, info.PublicKey.cbData),
              0);

    DWORD size = 0;
    ASSERT_TRUE(
        CryptExportPublicKeyInfo(signer_.prov(), AT_KEYEXCHANGE, kEncoding, nullptr, &size));
    DWORD shortSize = size - 1;
    SetLastError(0);
    EXPECT_FALSE(CryptExportPublicKeyInfo(signer_.prov(), AT_KEYEXCHANGE, kEncoding,
                                          reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(storage.data()),
                                          &shortSize));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(shortSize, size);

    HCRYPTPROV released = 0;
    ASSERT_TRUE(CryptAcquireContextA(&released, "signer", nullptr, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptReleaseContext(released, 0));
    struct Case {
        const char* what;
        HCRYPTPROV prov;
        DWORD slot;
        DWORD encoding;
        DWORD* size;
        DWORD error;
    };
    const Case cases[] = {
        {"empty slot", signer_.prov(), AT_SIGNATURE, kEncoding, &size, NTE_NO_KEY},
        {"released provider", released, AT_KEYEXCHANGE, kEncoding, &size, NTE_BAD_UID},
        {"no encoding type", signer_.prov(), AT_KEYEXCHANGE, 0, &size, ERROR_FILE_NOT_FOUND},
        {"no size variable", signer_.prov(), AT_KEYEXCHANGE, kEncoding, nullptr,
         DWORD(E_INVALIDARG)},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(CryptExportPublicKeyInfo(c.prov, c.slot, c.encoding, nullptr, c.size))
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
}

TEST_F(KeyObjects, RequestsVerifyWithOpenssl) {
    std::vector<std::vector<NameAttribute>> rdns = {
        {{szOID_COMMON_NAME, CERT_RDN_BMP_STRING, units(u"\u738B\u5C0F\u660E")}}};
    std::vector<BYTE> name = encodeName(rdns);
    ASSERT_FALSE(name.empty());
    std::vector<BYTE> value = fromHex("0C0474657374");
    CRYPT_ATTR_BLOB blob{static_cast<DWORD>(value.size()), value.data()};
    CRYPT_ATTRIBUTE challenge{const_cast<char*>("1.2.840.113549.1.9.7"), 1, &blob};
    struct Case {
        const char* what;
        const char* algorithm;
        const char* opensslName;
        DWORD attributes;
        const char* attributesLine;  // the [0] element as asn1parse shows it
    };
    const Case cases[] = {
        {"SHA-1, no attributes", szOID_RSA_SHA1RSA, "sha1WithRSAEncryption", 0,
         "l=   0 cons: cont [ 0 ]"},
        {"MD5, one attribute", szOID_RSA_MD5RSA, "md5WithRSAEncryption", 1,
         "l=  21 cons: cont [ 0 ]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> der = request(name, c.algorithm, c.attributes, &challenge);
        ASSERT_FALSE(der.empty()) << GetLastError();
        writeBytes(signer_.file("req.der"), der);
        std::string out;
        EXPECT_EQ(signer_.run("openssl req -inform DER -in " + signer_.file("req.der") +
                                  " -verify -noout -subject -nameopt utf8,show_type",
                              &out),
                  0)
            << out;
        EXPECT_NE(out.find("verify OK"), std::string::npos) << out;
        EXPECT_NE(out.find("subject=CN=BMPSTRING:\u738B\u5C0F\u660E\n"), std::string::npos) << out;
        // The subject is the encoded name as given, code units and all.
        EXPECT_NE(std::search(der.begin(), der.end(), name.begin(), name.end()), der.end());
        std::string parsed;
        signer_.run("openssl asn1parse -inform DER -in " + signer_.file("req.der"), &parsed);
        EXPECT_NE(parsed.find("prim: INTEGER           :00"), std::string::npos) << parsed;
        EXPECT_NE(parsed.find("l=   6 prim: BMPSTRING"), std::string::npos);
        EXPECT_NE(parsed.find(c.attributesLine), std::string::npos) << parsed;
        // The signature algorithm with an explicit NULL after it.
        std::string algorithmLines = std::string(":") + c.opensslName + "\n";
        size_t at = parsed.find(algorithmLines);
        ASSERT_NE(at, std::string::npos) << parsed;
        EXPECT_NE(parsed.find("prim: NULL", at), std::string::npos);
        // The info part is what CryptEncodeObject gives for the same record.
        std::vector<uint64_t> key;
        ASSERT_TRUE(exportKey(key));
        CERT_REQUEST_INFO info{CERT_REQUEST_V1,
                               {static_cast<DWORD>(name.size()), name.data()},
                               *reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(key.data()),
                               c.attributes,
                               &challenge};
        std::vector<BYTE> infoDer = encodeObject(X509_CERT_REQUEST_TO_BE_SIGNED, &info);
        ASSERT_FALSE(infoDer.empty());
        EXPECT_TRUE(std::equal(infoDer.begin(), infoDer.end(), der.begin() + 4));
    }
}

TEST_F(KeyObjects, RequestRefusals) {
    std::vector<std::vector<NameAttribute>> rdns = {
        {{szOID_COMMON_NAME, CERT_RDN_PRINTABLE_STRING, bytesOf("Kestrune")}}};
    std::vector<BYTE> name = encodeName(rdns);
    std::vector<uint64_t> key;
    ASSERT_TRUE(exportKey(key));
    struct Case {
        const char* what;
        std::function<void(CERT_REQUEST_INFO&, CRYPT_ALGORITHM_IDENTIFIER&, DWORD&, LPCSTR&)>
            change;
        DWORD error;
    };
    const Case cases[] = {
        {"SHA-384 is not offered",
         [](auto&, auto& a, auto&, auto&) {
             a.pszObjId = const_cast<char*>("1.2.840.113549.1.1.12");
         },
         NTE_BAD_ALGID},
        {"the empty slot", [](auto&, auto&, DWORD& slot, auto&) { slot = AT_SIGNATURE; },
         NTE_NO_KEY},
        {"a certificate to be signed",
         [](auto&, auto&, auto&, LPCSTR& type) { type = X509_CERT_TO_BE_SIGNED; },
         ERROR_FILE_NOT_FOUND},
        {"version 2", [](CERT_REQUEST_INFO& i, auto&, auto&, auto&) { i.dwVersion = 1; },
         DWORD(E_INVALIDARG)},
        {"a subject that is no name",
         [](CERT_REQUEST_INFO& i, auto&, auto&, auto&) { i.Subject.cbData = 3; },
         DWORD(E_INVALIDARG)},
    };
    for (const Case& c : cases) {
        CERT_REQUEST_INFO info{CERT_REQUEST_V1,
                               {static_cast<DWORD>(name.size()), name.data()},
                               *reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(key.data()),
                               0,
                               nullptr};
        CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<char*>(szOID_RSA_SHA1RSA), {}};
        DWORD slot = AT_KEYEXCHANGE;
        LPCSTR type = X509_CERT_REQUEST_TO_BE_SIGNED;
        c.change(info, algorithm, slot, type);
        DWORD size = 0;
        SetLastError(0);
        EXPECT_FALSE(CryptSignAndEncodeCertificate(signer_.prov(), slot, kEncoding, type, &info,
                                                   &algorithm, nullptr, nullptr, &size))
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    // The size protocol: a short buffer is told the size.
    CERT_REQUEST_INFO info{CERT_REQUEST_V1,
                           {static_cast<DWORD>(name.size()), name.data()},
                           *reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(key.data()),
                           0,
                           nullptr};
    CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<char*>(szOID_RSA_SHA1RSA), {}};
    DWORD size = 0;
    ASSERT_TRUE(CryptSignAndEncodeCertificate(signer_.prov(), AT_KEYEXCHANGE, kEncoding,
                                              X509_CERT_REQUEST_TO_BE_SIGNED, &info, &algorithm,
                                              nullptr, nullptr, &size));
    std::vector<BYTE> buffer(size);
    DWORD shortSize = size - 1;
    SetLastError(0);
    EXPECT_FALSE(CryptSignAndEncodeCertificate(signer_.prov(), AT_KEYEXCHANGE, kEncoding,
                                               X509_CERT_REQUEST_TO_BE_SIGNED, &info, &algorithm,
                                               nullptr, buffer.data(), &shortSize));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(shortSize, size);
    DWORD exact = size;
    ASSERT_TRUE(CryptSignAndEncodeCertificate(signer_.prov(), AT_KEYEXCHANGE, kEncoding,
                                              X509_CERT_REQUEST_TO_BE_SIGNED, &info, &algorithm,
                                              nullptr, buffer.data(), &exact));
    EXPECT_EQ(exact, size);
}

}  // namespace
