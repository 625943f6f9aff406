#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cert_fixtures.h"
#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/wincrypt.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kX500 = CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG;
const char* const kCertNames[] = {"root",          "signer",     "crlsign",
                                  "attrs",         "big5_bmp",   "big5_utf8",
                                  "empty_subject", "long_ascii", "long_big5"};

CertContextHolder create(const std::string& name) {
    ByteBuffer der = loadCert(name);
    return CertContextHolder(
        CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.length())));
}

std::string nameToStr(const CERT_NAME_BLOB& blob, DWORD type) {
    DWORD needed = CertNameToStrA(kEnc, &blob, type, nullptr, 0);
    std::string text(needed, '\xCC');
    EXPECT_EQ(CertNameToStrA(kEnc, &blob, type, text.data(), needed), needed);
    EXPECT_EQ(text.back(), '\0');
    text.pop_back();
    return text;
}

std::string nameString(PCCERT_CONTEXT ctx, DWORD flags, const char* oid = szOID_COMMON_NAME) {
    void* para = const_cast<char*>(oid);
    DWORD needed = CertGetNameStringA(ctx, CERT_NAME_ATTR_TYPE, flags, para, nullptr, 0);
    std::string text(needed, '\xCC');
    EXPECT_EQ(CertGetNameStringA(ctx, CERT_NAME_ATTR_TYPE, flags, para, text.data(), needed),
              needed);
    text.pop_back();
    return text;
}

// Subject and issuer of every fixture against openssl's rendering of the same names
// (UTF-8, so the comparison runs under code page 65001).
TEST(CertNameToStrA, MatchesOpensslForEveryFixture) {
    ScopedCodePage utf8(CP_UTF8);
    for (const char* name : kCertNames) {
        CertContextHolder ctx = create(name);
        ASSERT_TRUE(ctx) << name;
        auto expect = loadExpect(name);
        const CERT_INFO& info = *ctx.get()->pCertInfo;
        DWORD oid = CERT_OID_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG;
        EXPECT_EQ(nameToStr(info.Subject, oid), expect["subject_oid"]) << name;
        EXPECT_EQ(nameToStr(info.Issuer, oid), expect["issuer_oid"]) << name;
        EXPECT_EQ(nameToStr(info.Subject, kX500), expect["subject_x500"]) << name;
        EXPECT_EQ(nameToStr(info.Issuer, kX500), expect["issuer_x500"]) << name;
    }
}

TEST(CertNameToStrA, ChineseComesOutInBig5WithQuestionMarksForTheRest) {
    ScopedCodePage big5(950);
    struct Case {
        const char* cert;
        const char* subject;
    };
    const Case cases[] = {
        {"big5_bmp",
         "C=TW, O=\xB3\x5C\xA4\xF3\xA4\xBD\xA5\x71, OU=?\xCA\x5E\xA6\x72, "
         "CN=\xA4\xFD\xA4\x70\xA9\xFA"},
        {"big5_utf8",
         "C=TW, O=\xB3\x5C\xA4\xF3\xA4\xBD\xA5\x71, OU=?\xCA\x5E?, CN=\xA4\xFD\xA4\x70\xA9\xFA"},
    };
    for (const Case& c : cases) {
        CertContextHolder ctx = create(c.cert);
        ASSERT_TRUE(ctx);
        EXPECT_EQ(nameToStr(ctx.get()->pCertInfo->Subject, kX500), c.subject) << c.cert;
        EXPECT_EQ(nameString(ctx.get(), 0), "\xA4\xFD\xA4\x70\xA9\xFA") << c.cert;
    }
}

// certs/name_types.der, attribute by attribute (see make_certs.sh): UniversalString
// "王" U+20000; OCTET STRING 01 02 under 2.5.4.45; INTEGER 5 under 1.2.3.4; VisibleString;
// IA5String e-mail; NumericString serial; T61String 41 E9; empty PrintableString; one RDN
// of " lead" (PrintableString), "a,b" (BMPString) and q"uote (UTF8String).
TEST(CertNameToStrA, RendersEveryValueTypeInEachForm) {
    ScopedCodePage big5(950);
    ByteBuffer der;
    ASSERT_TRUE(der.loadFromFile(fixturePath("name_types.der")));
    CERT_NAME_BLOB blob{static_cast<DWORD>(der.length()), der.data()};
    struct Case {
        DWORD type;
        const char* text;
    };
    const Case cases[] = {
        {kX500,
         "CN=\xA4\xFD?, OID.2.5.4.45=#04020102, OID.1.2.3.4=#020105, O=vis, E=a@b, "
         "SERIALNUMBER=123, "
         "L=A\xE9, OU=, CN= lead + O=a,b + OU=q\"uote"},
        {CERT_X500_NAME_STR,
         "CN=\xA4\xFD?, OID.2.5.4.45=#04020102, OID.1.2.3.4=#020105, O=vis, E=a@b, "
         "SERIALNUMBER=123, "
         "L=A\xE9, OU=, CN=\" lead\" + O=\"a,b\" + OU=\"q\"\"uote\""},
        {CERT_OID_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG,
         "2.5.4.3=\xA4\xFD?, 2.5.4.45=#04020102, 1.2.3.4=#020105, 2.5.4.10=vis, "
         "1.2.840.113549.1.9.1=a@b, 2.5.4.5=123, 2.5.4.7=A\xE9, 2.5.4.11=, "
         "2.5.4.3= lead + 2.5.4.10=a,b + 2.5.4.11=q\"uote"},
        {CERT_SIMPLE_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG,
         "\xA4\xFD?, #04020102, #020105, vis, a@b, 123, A\xE9, ,  lead + a,b + q\"uote"},
        {kX500 | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_SEMICOLON_FLAG |
             CERT_NAME_STR_NO_PLUS_FLAG,
         "CN= lead O=a,b OU=q\"uote; OU=; L=A\xE9; SERIALNUMBER=123; E=a@b; O=vis; "
         "OID.1.2.3.4=#020105; OID.2.5.4.45=#04020102; CN=\xA4\xFD?"},
    };
    for (const Case& c : cases) EXPECT_EQ(nameToStr(blob, c.type), c.text) << std::hex << c.type;
    // CRLF separates relative names.
    EXPECT_NE(nameToStr(blob, kX500 | CERT_NAME_STR_CRLF_FLAG).find("O=vis\r\nE=a@b"),
              std::string::npos);
}

TEST(CertNameToStrA, SizeProtocolNeverCutsTheText) {
    CertContextHolder ctx = create("root");
    const CERT_NAME_BLOB& subject = ctx.get()->pCertInfo->Subject;
    const std::string text = "C=TW, O=Kestrune Test, CN=Kestrune Test Root";
    const DWORD needed = DWORD(text.size() + 1);
    char buffer[128];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(CertNameToStrA(kEnc, &subject, kX500, nullptr, 0), needed);
    EXPECT_EQ(CertNameToStrA(kEnc, &subject, kX500, buffer, 0), needed);
    EXPECT_EQ(buffer[0], 'z');
    EXPECT_EQ(CertNameToStrA(kEnc, &subject, kX500, buffer, needed - 1), 1u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(CertNameToStrA(kEnc, &subject, kX500, buffer, needed), needed);
    EXPECT_EQ(std::string(buffer), text);
    // An empty name is a lone terminator.
    CertContextHolder empty = create("empty_subject");
    EXPECT_EQ(CertNameToStrA(kEnc, &empty.get()->pCertInfo->Subject, kX500, buffer, sizeof buffer),
              1u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST(CertNameToStrA, UndecodableNamesGiveTheEmptyStringAndTheDecodeError) {
    struct Case {
        const char* what;
        DWORD encoding;
        std::vector<BYTE> der;
        DWORD error;
    };
    const Case cases[] = {
        {"no X509 encoding", PKCS_7_ASN_ENCODING, {0x30, 0x00}, ERROR_FILE_NOT_FOUND},
        {"empty blob", kEnc, {}, CRYPT_E_ASN1_EOD},
        {"SET at the top", kEnc, {0x31, 0x00}, CRYPT_E_ASN1_BADTAG},
        {"RDN not a SET", kEnc, {0x30, 0x02, 0x30, 0x00}, CRYPT_E_ASN1_BADTAG},
        {"cut RDN", kEnc, {0x30, 0x03, 0x31, 0x05, 0x30}, CRYPT_E_ASN1_EOD},
        {"attribute type not an OID",
         kEnc,
         {0x30, 0x08, 0x31, 0x06, 0x30, 0x04, 0x02, 0x00, 0x13, 0x00},
         CRYPT_E_ASN1_BADTAG},
        {"odd BMPString",
         kEnc,
         {0x30, 0x0C, 0x31, 0x0A, 0x30, 0x08, 0x06, 0x03, 0x55, 0x04, 0x03, 0x1E, 0x01, 0x41},
         CRYPT_E_ASN1_CORRUPT},
        {"value missing",
         kEnc,
         {0x30, 0x09, 0x31, 0x07, 0x30, 0x05, 0x06, 0x03, 0x55, 0x04, 0x03},
         CRYPT_E_ASN1_EOD},
    };
    for (const Case& c : cases) {
        CERT_NAME_BLOB blob{DWORD(c.der.size()), const_cast<BYTE*>(c.der.data())};
        char buffer[16] = "junk";
        SetLastError(0);
        EXPECT_EQ(CertNameToStrA(c.encoding, &blob, kX500, buffer, sizeof buffer), 1u) << c.what;
        EXPECT_EQ(buffer[0], '\0') << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
}

TEST(CertGetNameStringA, GivesTheFirstAttributeInEncodedOrder) {
    struct Case {
        const char* cert;
        DWORD flags;
        const char* oid;
        const char* text;
    };
    const Case cases[] = {
        {"signer", 0, szOID_COMMON_NAME, "Say \"hi\""},  // the multi-valued RDN comes first
        {"signer", CERT_NAME_ISSUER_FLAG, szOID_COMMON_NAME, "Kestrune Test Root"},
        {"attrs", 0, "1.2.840.113549.1.9.1", "a@example.com"},
        {"attrs", 0, "0.9.2342.19200300.100.1.25", "example"},
        {"empty_subject", 0, szOID_COMMON_NAME, ""},
        {"root", 0, "2.5.4.11", ""},
    };
    for (const Case& c : cases) {
        CertContextHolder ctx = create(c.cert);
        SetLastError(0);
        EXPECT_EQ(nameString(ctx.get(), c.flags, c.oid), c.text) << c.cert << " " << c.oid;
        if (!*c.text) {
            EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND) << c.cert;
        }
    }
}

TEST(CertGetNameStringA, SizeProtocolAndOtherTypes) {
    CertContextHolder ctx = create("root");
    void* cn = const_cast<char*>(szOID_COMMON_NAME);
    char buffer[64];
    const DWORD needed = DWORD(std::strlen("Kestrune Test Root") + 1);
    EXPECT_EQ(CertGetNameStringA(ctx.get(), CERT_NAME_ATTR_TYPE, 0, cn, nullptr, 5), needed);
    EXPECT_EQ(CertGetNameStringA(ctx.get(), CERT_NAME_ATTR_TYPE, 0, cn, buffer, needed - 1), 1u);
    EXPECT_EQ(buffer[0], '\0');
    DWORD x500 = kX500;
    EXPECT_EQ(CertGetNameStringA(ctx.get(), CERT_NAME_RDN_TYPE, 0, &x500, buffer, sizeof buffer),
              DWORD(std::strlen("C=TW, O=Kestrune Test, CN=Kestrune Test Root") + 1));
    EXPECT_STREQ(buffer, "C=TW, O=Kestrune Test, CN=Kestrune Test Root");
    // Types this layer does not render, and a null context, give a lone terminator.
    EXPECT_EQ(CertGetNameStringA(ctx.get(), 4, 0, nullptr, buffer, sizeof buffer), 1u);
    EXPECT_EQ(buffer[0], '\0');
    SetLastError(0);
    EXPECT_EQ(CertGetNameStringA(nullptr, CERT_NAME_ATTR_TYPE, 0, cn, buffer, sizeof buffer), 1u);
    EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
}

}  // namespace
