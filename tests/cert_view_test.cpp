#include "core/cert_view.h"

#include <gtest/gtest.h>

#include <string>

#include "cert_fixtures.h"
#include "core/cert_getters.h"

namespace {

const char* const kCertNames[] = {"root",          "signer",     "crlsign",
                                  "attrs",         "big5_bmp",   "big5_utf8",
                                  "empty_subject", "long_ascii", "long_big5"};

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// Every field against what openssl reports for the fixture (names in UTF-8).
TEST(CertView, FieldsMatchOpenssl) {
    ScopedCodePage utf8(CP_UTF8);
    for (const char* name : kCertNames) {
        ByteBuffer der = loadCert(name);
        CertView view(der.data(), der.length());
        ASSERT_TRUE(view.valid()) << name;
        auto expect = loadExpect(name);
        const std::string& subject = expect["subject_x500"];
        if (subject.size() <= 511) {
            EXPECT_EQ(view.subject(), subject) << name;
            EXPECT_EQ(certSubject(der), subject) << name;
        } else {
            EXPECT_EQ(subject.compare(0, view.subject().size(), view.subject()), 0) << name;
        }
        EXPECT_EQ(view.issuer(), expect["issuer_x500"]) << name;
        EXPECT_EQ(view.serialHex(), expect["serial"]) << name;
        EXPECT_EQ(view.thumbprintHex(), expect["sha1"]) << name;
        EXPECT_EQ(view.keyUsage(), std::stoul(expect["keyusage"], nullptr, 16)) << name;
        EXPECT_EQ(certB64(der), expect["base64"]) << name;
        EXPECT_EQ(certFinger(der), expect["sha1"]) << name;
        EXPECT_EQ(certSerial(der), expect["serial"]) << name;
        EXPECT_EQ(certIssuer(der), expect["issuer_x500"]) << name;
    }
}

TEST(CertView, CommonNames) {
    ByteBuffer signer = loadCert("signer"), empty = loadCert("empty_subject");
    CertView view(signer.data(), signer.length());
    EXPECT_EQ(view.subjectCN(), "Say \"hi\"");
    EXPECT_EQ(certSubjectCN(signer), "Say \"hi\"");
    EXPECT_EQ(view.issuerCN(), "Kestrune Test Root");
    EXPECT_EQ(CertView(empty.data(), empty.length()).subjectCN(), "");
}

TEST(CertView, LongTextsAreCutOnCharacterBoundaries) {
    ByteBuffer ascii = loadCert("long_ascii"), big5 = loadCert("long_big5");
    {
        CertView view(ascii.data(), ascii.length());
        EXPECT_EQ(view.subject(), loadExpect("long_ascii")["subject_x500"].substr(0, 511));
        EXPECT_EQ(view.subjectCN(), repeat("Long Common Name ", 9).substr(0, 99));
    }
    const std::string xu = "\xB3\x5C";  // 許 in Big5
    {
        ScopedCodePage cp(950);
        CertView view(big5.data(), big5.length());
        // Byte 99 of the CN and byte 511 of the subject would split a character.
        EXPECT_EQ(view.subjectCN(), repeat(xu, 49));
        EXPECT_EQ(view.subject(), "C=TW, O=x, CN=" + repeat(xu, 248));
        EXPECT_EQ(view.subject().size(), 510u);
    }
    {
        ScopedCodePage cp(CP_UTF8);
        CertView view(big5.data(), big5.length());
        EXPECT_EQ(view.subjectCN(), repeat("許", 33));
        EXPECT_EQ(view.subject(), "C=TW, O=x, CN=" + repeat("許", 165));
    }
}

TEST(CertView, ValidityInTheThreeLayoutsAndTheLocalZone) {
    ByteBuffer root = loadCert("root");
    struct Case {
        const char* zone;
        const char* compact;
        const char* date;
        const char* dateTime;
        const char* afterCompact;
    };
    const Case cases[] = {
        {"Asia/Taipei", "20110101080000", "2011/01/01", "2011/01/01 08:00:00", "20410101080000"},
        {"UTC", "20110101000000", "2011/01/01", "2011/01/01 00:00:00", "20410101000000"},
    };
    for (const Case& c : cases) {
        ScopedTimeZone zone(c.zone);
        CertView view(root.data(), root.length());
        EXPECT_EQ(view.notBeforeCompact(), c.compact) << c.zone;
        EXPECT_EQ(view.notBeforeDate(), c.date) << c.zone;
        EXPECT_EQ(view.notBeforeDateTime(), c.dateTime) << c.zone;
        EXPECT_EQ(view.notAfterCompact(), c.afterCompact) << c.zone;
        EXPECT_EQ(certNotBefore(root), c.compact) << c.zone;
        EXPECT_EQ(certNotAfter(root), c.afterCompact) << c.zone;
    }
}

TEST(CertView, CaLikeWhenSelfIssuedOrSigningCertificatesOrCrls) {
    struct Case {
        const char* cert;
        bool caLike;
    };
    for (const Case& c :
         {Case{"root", true}, Case{"signer", false}, Case{"crlsign", true}, Case{"attrs", true},
          Case{"empty_subject", true}, Case{"big5_bmp", false}}) {
        ByteBuffer der = loadCert(c.cert);
        EXPECT_EQ(CertView(der.data(), der.length()).isCaLike(), c.caLike) << c.cert;
    }
}

TEST(CertView, EmptyAndFailedViewsGiveEmptyTexts) {
    ByteBuffer garbage;
    ASSERT_TRUE(garbage.assign("\x30\x03\x02\x01\x00", 5));
    ByteBuffer root = loadCert("root");
    CertView view(root.data(), root.length());
    ASSERT_TRUE(view.valid());
    EXPECT_FALSE(view.fromEncoded(garbage.data(), garbage.length()));
    CertView empty;
    for (CertView* v : {&view, &empty}) {
        EXPECT_FALSE(v->valid());
        EXPECT_EQ(v->context(), nullptr);
        EXPECT_TRUE(v->encoded().empty());
        EXPECT_EQ(v->keyUsage(), 0u);
        EXPECT_FALSE(v->isCaLike());
        for (const std::string& text :
             {v->subject(), v->issuer(), v->subjectCN(), v->issuerCN(), v->serialHex(),
              v->thumbprintHex(), v->notBeforeCompact(), v->notAfterDate(), v->notAfterDateTime()})
            EXPECT_EQ(text, "");
    }
    EXPECT_FALSE(empty.fromEncoded(nullptr, 5));
    EXPECT_FALSE(empty.fromEncoded(root.data(), 0));
    EXPECT_FALSE(empty.fromContext(nullptr));
    empty.reset();
    empty.reset();
    ByteBuffer none;
    EXPECT_EQ(certB64(none), "");
    for (const ByteBuffer* c : {&none, &garbage})
        for (const std::string& text :
             {certSubject(*c), certSubjectCN(*c), certIssuer(*c), certSerial(*c), certNotBefore(*c),
              certNotAfter(*c), certFinger(*c)})
            EXPECT_EQ(text, "");
}

TEST(CertView, BorrowedContextStaysWithItsOwner) {
    ByteBuffer der = loadCert("signer");
    PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                      static_cast<DWORD>(der.length()));
    ASSERT_NE(ctx, nullptr);
    {
        CertView view(ctx);
        ASSERT_TRUE(view.valid());
        EXPECT_EQ(view.context(), ctx);
        ASSERT_EQ(view.encoded().length(), der.length());
        EXPECT_EQ(view.encoded().text(), der.text());
        EXPECT_EQ(view.keyUsage(), 0x80u);
    }
    // The view is gone; the context is still the caller's to use and free.
    EXPECT_EQ(CertView(ctx).serialHex(), "0123456789ABCDEF0123456789ABCDEF01234567");
    CertFreeCertificateContext(ctx);
}

TEST(CertGetters, Base64IsOneLineOfWholeGroups) {
    ByteBuffer signer = loadCert("signer");
    std::string b64 = certB64(signer);
    EXPECT_EQ(b64.size() % 4, 0u);
    EXPECT_EQ(b64.find_first_of("\r\n-"), std::string::npos);
    ByteBuffer decoded;
    ASSERT_TRUE(decoded.decodeBase64Text(b64.c_str()));
    EXPECT_EQ(decoded.text(), signer.text());
    EXPECT_EQ(certFinger(decoded), loadExpect("signer")["sha1"]);
}

}  // namespace
