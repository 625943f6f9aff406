// The layer's DER writer against `openssl asn1parse -genconf`, and the BER walk the
// message decoder reads other encoders' messages with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/crypt/der_internal.h"
#include "platform/crypt/wincrypt.h"
#include "tests/signing_support.h"

namespace {

using namespace signing_test;

TEST(DerWriter, LengthsInTheFewestOctets) {
    for (size_t length : {0, 1, 127, 128, 255, 256, 65535, 65536}) {
        std::vector<BYTE> content(length, 0xA5);
        DerBytes out;
        derAppend(out, kDerOctetString, content);
        std::vector<BYTE> expected =
            opensslAsn1(length ? "FORMAT:HEX,OCTETSTRING:" + toHex(content) : "OCTETSTRING:");
        ASSERT_FALSE(expected.empty()) << length;
        EXPECT_TRUE(out == expected)
            << length << ": " << toHex(DerBytes(out.begin(), out.begin() + 6));
    }
}

TEST(DerWriter, ObjectIdentifiers) {
    for (const char* oid : {"1.2.840.113549.1.9.5", "2.5.4.3", "0.39", "1.39.127.128.16383.16384",
                            "2.999.3", "1.2.18446744073709551615"}) {
        DerBytes out;
        ASSERT_TRUE(derAppendOid(out, oid)) << oid;
        EXPECT_EQ(toHex(out), toHex(opensslAsn1(std::string("OID:") + oid))) << oid;
        EXPECT_EQ(derOidText(out.data() + 2, out.size() - 2), oid);
    }
    for (const char* bad : {"", "1", "3.1", "0.40", "1.40", "1..2", "1.2.", ".1.2", "1.2a", "1.-2",
                            "1.2.18446744073709551616", " 1.2"}) {
        DerBytes out;
        EXPECT_FALSE(derAppendOid(out, bad)) << bad;
        EXPECT_TRUE(out.empty()) << bad;
    }
}

TEST(DerWriter, SetOfInDerOrder) {
    DerBytes out;
    derAppendSetOf(out, kDerSet, {fromHex("0403AAAAAA"), fromHex("040200FF"), fromHex("0401FF")});
    EXPECT_EQ(toHex(out), "310C0401FF040200FF0403AAAAAA");
}

TEST(DerCursor, BerIndefiniteLengths) {
    // SEQUENCE (indefinite) { OCTET STRING (constructed, indefinite) { 04 01 AA }, NULL },
    // then an INTEGER after it.
    std::vector<BYTE> ber = fromHex(
        "3080"
        "2480"
        "0401AA"
        "0000"
        "0500"
        "0000"
        "020101");
    DerCursor cursor(ber.data(), ber.size(), DerCursor::Rules::Ber);
    DerElement sequence, integer;
    DWORD error = 0;
    ASSERT_TRUE(cursor.expect(kDerSequence, sequence, &error));
    EXPECT_EQ(sequence.headerLength, 2u);
    EXPECT_EQ(sequence.length, 9u);
    EXPECT_EQ(sequence.size(), 13u);
    ASSERT_TRUE(cursor.expect(kDerInteger, integer, &error));
    EXPECT_TRUE(cursor.atEnd());
    DerCursor inside(sequence, DerCursor::Rules::Ber);
    DerElement pieces, null;
    ASSERT_TRUE(inside.next(pieces, &error));
    EXPECT_EQ(pieces.tag, 0x24);
    EXPECT_EQ(pieces.length, 3u);
    ASSERT_TRUE(inside.expect(0x05, null, &error));
    EXPECT_TRUE(inside.atEnd());

    std::string deep;
    for (int i = 0; i < 65; ++i) deep += "3080";
    for (int i = 0; i < 65; ++i) deep += "0000";
    struct Case {
        const char* what;
        std::string hex;
        DerCursor::Rules rules;
        DWORD error;
    };
    const Case cases[] = {
        {"indefinite under DER",
         "30800500"
         "0000",
         DerCursor::Rules::Der, CRYPT_E_ASN1_CORRUPT},
        {"indefinite primitive", "04800000", DerCursor::Rules::Ber, CRYPT_E_ASN1_CORRUPT},
        {"no end-of-contents", "30800500", DerCursor::Rules::Ber, CRYPT_E_ASN1_EOD},
        {"a cut child", "3080040301", DerCursor::Rules::Ber, CRYPT_E_ASN1_EOD},
        {"65 levels", deep, DerCursor::Rules::Ber, CRYPT_E_ASN1_LARGE},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> bytes = fromHex(c.hex);
        DerCursor bad(bytes.data(), bytes.size(), c.rules);
        DerElement element;
        error = 0;
        EXPECT_FALSE(bad.next(element, &error)) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
}

}  // namespace
