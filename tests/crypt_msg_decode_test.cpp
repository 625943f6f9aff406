// Decoding PKCS#7 messages that the openssl command line makes: certificates-only
// answers of `openssl crl2pkcs7`, signed messages of `openssl cms -sign` (with -stream
// in BER with indefinite lengths), data of `openssl cms -data_create`, and what is not
// a signed message (a certificate, enveloped data, cut or padded bytes).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "tests/signing_support.h"

namespace {

using namespace signing_test;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

DWORD dwordParam(HCRYPTMSG msg, DWORD type) {
    DWORD value = 0xFFFFFFFF, size = sizeof value;
    if (!CryptMsgGetParam(msg, type, 0, &value, &size)) return 0xFFFFFFFF;
    return value;
}

class CryptMsgDecode : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(signer_.ready());
        testing_support::writeFile(file("content.txt"), "Kestrune content\n");
        std::string chain = testing_support::readFile(file("user1.pem")) +
                            testing_support::readFile(file("ca.pem")) +
                            testing_support::readFile(file("user2.pem"));
        testing_support::writeFile(file("three.pem"), chain);
        testing_support::writeFile(file("user1.key"),
                                   testing_support::readFile(pfxFixture("user1.key.pem")));
    }
    std::string file(const std::string& name) const { return signer_.file(name); }
    // The DER file an openssl command ("openssl NAME ...") writes; -out goes right after
    // NAME, before any operand.
    std::vector<BYTE> made(std::string command) {
        std::remove(file("out.der").c_str());
        command.insert(command.find(' ', command.find(' ') + 1), " -out " + file("out.der"));
        std::string log;
        EXPECT_EQ(signer_.run(command, &log), 0) << command << log;
        return readBytes(file("out.der"));
    }
    std::string sign(const std::string& options) const {
        return "openssl cms -sign -binary -md sha1 -in " + file("content.txt") + " -signer " +
               file("user1.pem") + " -inkey " + file("user1.key") + " -outform DER " + options;
    }

    SignerFixture signer_;
};

TEST_F(CryptMsgDecode, MessagesOfOpenssl) {
    const std::vector<BYTE> user1 = readBytes(pfxFixture("user1.der"));
    const std::vector<BYTE> ca = readBytes(pfxFixture("ca.der"));
    const std::vector<BYTE> user2 = readBytes(pfxFixture("user2.der"));
    const std::vector<BYTE> content = bytesOf("Kestrune content\n");
    struct Case {
        const char* what;
        std::string command;
        DWORD openType;
        DWORD type;
        std::vector<std::vector<BYTE>> certificates;
        std::vector<BYTE> content;
    };
    const Case cases[] = {
        {"certificates only, three",
         "openssl crl2pkcs7 -nocrl -outform DER -certfile " + file("three.pem"),
         0,
         CMSG_SIGNED,
         {user1, ca, user2},
         {}},
        {"certificates only, one, asked as signed",
         "openssl crl2pkcs7 -nocrl -outform DER -certfile " + file("ca.pem"),
         CMSG_SIGNED,
         CMSG_SIGNED,
         {ca},
         {}},
        {"certificates only, none",
         "openssl crl2pkcs7 -nocrl -outform DER",
         0,
         CMSG_SIGNED,
         {},
         {}},
        {"signed, content carried", sign("-nodetach"), 0, CMSG_SIGNED, {user1}, content},
        // openssl puts the certificates of a signed message in DER order.
        {"signed in BER pieces, indefinite lengths",
         sign("-nodetach -stream -certfile " + file("ca.pem")),
         0,
         CMSG_SIGNED,
         {ca, user1},
         content},
        {"signed, detached", sign(""), 0, CMSG_SIGNED, {user1}, {}},
        {"data",
         "openssl cms -data_create -binary -outform DER -in " + file("content.txt"),
         0,
         CMSG_DATA,
         {},
         content},
        {"data in BER pieces",
         "openssl cms -data_create -binary -stream -outform DER -in " + file("content.txt"),
         CMSG_DATA,
         CMSG_DATA,
         {},
         content},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> bytes = made(c.command);
        ASSERT_GT(bytes.size(), 2u);
        if (std::string(c.what).find("BER") != std::string::npos) {
            EXPECT_EQ(bytes[1], 0x80) << "the outer length is not the indefinite form";
        }
        CryptMsgHolder msg(CryptMsgOpenToDecode(kEncoding, 0, c.openType, 0, nullptr, nullptr));
        ASSERT_NE(msg.get(), nullptr);
        // In three pieces, the last one empty and final.
        size_t half = bytes.size() / 2;
        ASSERT_TRUE(CryptMsgUpdate(msg.get(), bytes.data(), static_cast<DWORD>(half), FALSE));
        ASSERT_TRUE(CryptMsgUpdate(msg.get(), bytes.data() + half,
                                   static_cast<DWORD>(bytes.size() - half), FALSE));
        ASSERT_TRUE(CryptMsgUpdate(msg.get(), nullptr, 0, TRUE)) << std::hex << GetLastError();
        EXPECT_EQ(dwordParam(msg.get(), CMSG_TYPE_PARAM), c.type);
        EXPECT_EQ(messageParam(msg.get(), CMSG_CONTENT_PARAM), c.content);
        if (c.type != CMSG_SIGNED) continue;
        ASSERT_EQ(dwordParam(msg.get(), CMSG_CERT_COUNT_PARAM), c.certificates.size());
        for (DWORD i = 0; i < c.certificates.size(); ++i)
            EXPECT_EQ(messageParam(msg.get(), CMSG_CERT_PARAM, i), c.certificates[i]) << i;
        DWORD size = 0;
        SetLastError(0);
        EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_CERT_PARAM,
                                      static_cast<DWORD>(c.certificates.size()), nullptr, &size));
        EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_INDEX);
    }
}

// What the encoder makes, the decoder reads back; a SignedData without its ContentInfo
// is taken when the type is given.
TEST_F(CryptMsgDecode, OwnMessagesAndBareSignedData) {
    CertContextHolder cert = store_test::parse(readBytes(pfxFixture("user1.der")));
    std::vector<BYTE> caBytes = readBytes(pfxFixture("ca.der"));
    CERT_BLOB certs[] = {{cert.get()->cbCertEncoded, cert.get()->pbCertEncoded},
                         {static_cast<DWORD>(caBytes.size()), caBytes.data()}};
    CMSG_SIGNER_ENCODE_INFO signerInfo{};
    signerInfo.cbSize = sizeof signerInfo;
    signerInfo.pCertInfo = cert.get()->pCertInfo;
    signerInfo.hCryptProv = signer_.prov();
    signerInfo.dwKeySpec = signer_.slot();
    signerInfo.HashAlgorithm.pszObjId = const_cast<char*>(szOID_OIWSEC_sha1);
    CMSG_SIGNED_ENCODE_INFO info{sizeof info, 1, &signerInfo, 2, certs, 0, nullptr};
    std::vector<BYTE> content = bytesOf("round trip");
    CryptMsgHolder encoder(
        CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &info, nullptr, nullptr));
    ASSERT_TRUE(CryptMsgUpdate(encoder.get(), content.data(), 10, TRUE));
    std::vector<BYTE> message = messageParam(encoder.get(), CMSG_CONTENT_PARAM);
    ASSERT_FALSE(message.empty());

    CryptMsgHolder decoder(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    ASSERT_TRUE(
        CryptMsgUpdate(decoder.get(), message.data(), static_cast<DWORD>(message.size()), TRUE));
    EXPECT_EQ(messageParam(decoder.get(), CMSG_CONTENT_PARAM), content);
    EXPECT_EQ(dwordParam(decoder.get(), CMSG_CERT_COUNT_PARAM), 2u);
    EXPECT_EQ(messageParam(decoder.get(), CMSG_CERT_PARAM, 1), caBytes);

    // ContentInfo { OID, [0] { SignedData } }: the SignedData starts after two headers
    // of four octets each (the lengths are above 255) and the 11-octet OID.
    ASSERT_EQ(message[1], 0x82);
    std::vector<BYTE> bare(message.begin() + 4 + 11 + 4, message.end());
    ASSERT_EQ(bare[0], 0x30);
    CryptMsgHolder typed(CryptMsgOpenToDecode(kEncoding, 0, CMSG_SIGNED, 0, nullptr, nullptr));
    ASSERT_TRUE(CryptMsgUpdate(typed.get(), bare.data(), static_cast<DWORD>(bare.size()), TRUE));
    EXPECT_EQ(messageParam(typed.get(), CMSG_CONTENT_PARAM), content);
    CryptMsgHolder untyped(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    SetLastError(0);
    EXPECT_FALSE(CryptMsgUpdate(untyped.get(), bare.data(), static_cast<DWORD>(bare.size()), TRUE));
    EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
}

TEST_F(CryptMsgDecode, WhatIsNotASignedMessage) {
    std::vector<BYTE> certs =
        made("openssl crl2pkcs7 -nocrl -outform DER -certfile " + file("three.pem"));
    std::vector<BYTE> cut(certs.begin(), certs.end() - 1);
    std::vector<BYTE> padded = certs;
    padded.push_back(0);
    std::vector<BYTE> enveloped = made("openssl cms -encrypt -aes128 -binary -outform DER -in " +
                                       file("content.txt") + " " + file("user1.pem"));
    std::vector<BYTE> data =
        made("openssl cms -data_create -binary -outform DER -in " + file("content.txt"));
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
        DWORD openType;
        DWORD error;
    };
    const Case cases[] = {
        {"a certificate", readBytes(pfxFixture("user1.der")), 0, CRYPT_E_ASN1_BADTAG},
        {"a certificate asked as signed", readBytes(pfxFixture("user1.der")), CMSG_SIGNED,
         CRYPT_E_ASN1_BADTAG},
        {"nothing", {}, 0, CRYPT_E_ASN1_EOD},
        {"cut by one byte", cut, 0, CRYPT_E_ASN1_EOD},
        {"a byte after the message", padded, 0, CRYPT_E_ASN1_CORRUPT},
        {"enveloped data", enveloped, 0, CRYPT_E_INVALID_MSG_TYPE},
        {"data asked as signed", data, CMSG_SIGNED, CRYPT_E_INVALID_MSG_TYPE},
        {"signed-data without its body", fromHex("300B06092A864886F70D010702"), 0,
         CRYPT_E_ASN1_EOD},
    };
    for (const Case& c : cases) {
        CryptMsgHolder msg(CryptMsgOpenToDecode(kEncoding, 0, c.openType, 0, nullptr, nullptr));
        ASSERT_NE(msg.get(), nullptr);
        SetLastError(0);
        EXPECT_FALSE(
            CryptMsgUpdate(msg.get(), c.bytes.data(), static_cast<DWORD>(c.bytes.size()), TRUE))
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        DWORD size = 0;
        SetLastError(0);
        EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_CERT_COUNT_PARAM, 0, nullptr, &size));
        EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY) << c.what;
    }
}

TEST_F(CryptMsgDecode, RefusalsWithThePlatformsCodes) {
    std::vector<BYTE> data =
        made("openssl cms -data_create -binary -outform DER -in " + file("content.txt"));
    CryptMsgHolder dataMsg(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    ASSERT_TRUE(CryptMsgUpdate(dataMsg.get(), data.data(), static_cast<DWORD>(data.size()), TRUE));
    CryptMsgHolder waiting(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    ASSERT_TRUE(CryptMsgUpdate(waiting.get(), data.data(), 4, FALSE));
    CERT_INFO recipient{};
    DWORD size = 0;
    struct Case {
        const char* what;
        std::function<BOOL()> call;
        DWORD error;
    };
    auto opens = [](HCRYPTMSG msg) {
        CryptMsgClose(msg);
        return msg ? TRUE : FALSE;
    };
    const Case cases[] = {
        {"no PKCS#7 encoding",
         [&] { return opens(CryptMsgOpenToDecode(X509_ASN_ENCODING, 0, 0, 0, nullptr, nullptr)); },
         DWORD(E_INVALIDARG)},
        {"flags",
         [&] {
             return opens(
                 CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
         },
         DWORD(E_INVALIDARG)},
        {"a provider",
         [&] {
             return opens(CryptMsgOpenToDecode(kEncoding, 0, 0, signer_.prov(), nullptr, nullptr));
         },
         DWORD(E_INVALIDARG)},
        {"a recipient",
         [&] { return opens(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, &recipient, nullptr)); },
         DWORD(E_INVALIDARG)},
        {"enveloped type",
         [&] { return opens(CryptMsgOpenToDecode(kEncoding, 0, 3, 0, nullptr, nullptr)); },
         CRYPT_E_INVALID_MSG_TYPE},
        {"certificates of data",
         [&] { return CryptMsgGetParam(dataMsg.get(), CMSG_CERT_COUNT_PARAM, 0, nullptr, &size); },
         CRYPT_E_INVALID_MSG_TYPE},
        {"update after the final one",
         [&] { return CryptMsgUpdate(dataMsg.get(), data.data(), 1, TRUE); }, CRYPT_E_MSG_ERROR},
        {"content before the final update",
         [&] { return CryptMsgGetParam(waiting.get(), CMSG_CONTENT_PARAM, 0, nullptr, &size); },
         CRYPT_E_STREAM_MSG_NOT_READY},
        {"unknown parameter",
         [&] { return CryptMsgGetParam(dataMsg.get(), 99, 0, nullptr, &size); },
         CRYPT_E_INVALID_MSG_TYPE},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    // A short buffer gets the size.
    std::vector<BYTE> buffer(4);
    size = 4;
    SetLastError(0);
    EXPECT_FALSE(CryptMsgGetParam(dataMsg.get(), CMSG_CONTENT_PARAM, 0, buffer.data(), &size));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(size, 17u);
}

}  // namespace
