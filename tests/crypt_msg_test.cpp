// PKCS#7 signed-data messages, checked by the openssl command line: `openssl cms
// -verify` for the signature over the content or the attributes, and the structure
// dumps of `openssl cms -cmsout -print` and `openssl pkcs7 -print_certs` for versions,
// algorithms, the attribute set and the certificates.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "tests/signing_support.h"

namespace {

using namespace signing_test;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// What one message is made of, in the shape the control fills the records.
struct MessageShape {
    const char* digestOid = szOID_OIWSEC_sha1;
    DWORD flags = 0;
    std::vector<std::string> certificates = {"user1"};  // fixture names
    const FILETIME* signingTime = nullptr;
    DWORD keySpec = AT_SIGNATURE;
    std::vector<CRYPT_ATTRIBUTE> extraAttributes;
};

class MessageBuilder {
  public:
    MessageBuilder(const SignerFixture& signer, const MessageShape& shape) : shape_(shape) {
        signerCert_.reset(store_test::parse(readBytes(pfxFixture("user1.der"))).release());
        for (const std::string& name : shape.certificates)
            certBytes_.push_back(readBytes(pfxFixture(name + ".der")));
        for (auto& bytes : certBytes_)
            certBlobs_.push_back({static_cast<DWORD>(bytes.size()), bytes.data()});
        if (shape.signingTime) {
            fetchSized(time_, [&shape](BYTE* data, DWORD* size) {
                return CryptEncodeObject(kEncoding, szOID_RSA_signingTime, shape.signingTime, data,
                                         size);
            });
            timeBlob_ = {static_cast<DWORD>(time_.size()), time_.data()};
            attributes_.push_back({const_cast<char*>(szOID_RSA_signingTime), 1, &timeBlob_});
        }
        for (const CRYPT_ATTRIBUTE& a : shape.extraAttributes) attributes_.push_back(a);
        signerInfo_.cbSize = sizeof signerInfo_;
        signerInfo_.pCertInfo = signerCert_ ? signerCert_.get()->pCertInfo : nullptr;
        signerInfo_.hCryptProv = signer.prov();
        signerInfo_.dwKeySpec = shape.keySpec;
        signerInfo_.HashAlgorithm.pszObjId = const_cast<char*>(shape.digestOid);
        signerInfo_.cAuthAttr = static_cast<DWORD>(attributes_.size());
        signerInfo_.rgAuthAttr = attributes_.empty() ? nullptr : attributes_.data();
        info_.cbSize = sizeof info_;
        info_.cSigners = 1;
        info_.rgSigners = &signerInfo_;
        info_.cCertEncoded = static_cast<DWORD>(certBlobs_.size());
        info_.rgCertEncoded = certBlobs_.empty() ? nullptr : certBlobs_.data();
    }
    CMSG_SIGNED_ENCODE_INFO& info() { return info_; }
    CMSG_SIGNER_ENCODE_INFO& signerInfo() { return signerInfo_; }
    DWORD openFlags() const {
        return shape_.flags | (attributes_.empty() ? 0 : CMSG_AUTHENTICATED_ATTRIBUTES_FLAG);
    }
    HCRYPTMSG open() {
        return CryptMsgOpenToEncode(kEncoding, openFlags(), CMSG_SIGNED, &info_, nullptr, nullptr);
    }
    // The encoded message made from `content` given in one final update, or empty with
    // the last error of the failing call.
    std::vector<BYTE> encode(const std::vector<BYTE>& content) {
        CryptMsgHolder msg(open());
        if (!msg.get() ||
            !CryptMsgUpdate(msg.get(), content.data(), static_cast<DWORD>(content.size()), TRUE))
            return {};
        return messageParam(msg.get(), CMSG_CONTENT_PARAM);
    }

  private:
    MessageShape shape_;
    CertContextHolder signerCert_;
    std::vector<std::vector<BYTE>> certBytes_;
    std::vector<CERT_BLOB> certBlobs_;
    std::vector<BYTE> time_;
    CRYPT_ATTR_BLOB timeBlob_{};
    std::vector<CRYPT_ATTRIBUTE> attributes_;
    CMSG_SIGNER_ENCODE_INFO signerInfo_{};
    CMSG_SIGNED_ENCODE_INFO info_{};
};

FILETIME fileTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME st{year, month, 0, day, hour, minute, second, 0};
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

// The lines of `text` that match `pattern`, each reduced to its first group.
std::vector<std::string> grep(const std::string& text, const std::string& pattern) {
    std::vector<std::string> out;
    std::regex re(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
        out.push_back((*it)[1]);
    return out;
}

class CryptMsg : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(signer_.ready()); }

    // Verifies with openssl (the content file only for a detached message); the
    // certificate file only when the message carries none.
    std::string verify(const std::vector<BYTE>& message, const std::vector<BYTE>& content,
                       bool detached, bool withCerts, int* status) {
        writeBytes(signer_.file("msg.der"), message);
        writeBytes(signer_.file("content.bin"), content);
        std::remove(signer_.file("out.bin").c_str());
        std::string command = "openssl cms -verify -binary -noverify -inform DER -in " +
                              signer_.file("msg.der") + " -out " + signer_.file("out.bin");
        if (detached) command += " -content " + signer_.file("content.bin");
        if (!withCerts) command += " -certfile " + signer_.file("user1.pem");
        std::string log;
        *status = signer_.run(command, &log);
        return log;
    }
    std::string dump(const std::vector<BYTE>& message) {
        writeBytes(signer_.file("dump.der"), message);
        std::string out;
        signer_.run("openssl cms -cmsout -print -noout -inform DER -in " + signer_.file("dump.der"),
                    &out);
        return out;
    }

    SignerFixture signer_;
};

TEST_F(CryptMsg, SignedDataVerifiesWithOpenssl) {
    const FILETIME time = fileTime(2024, 5, 17, 8, 30, 15);
    struct Case {
        const char* what;
        MessageShape shape;
        const char* digestName;               // openssl's name of the digest algorithm written
        std::vector<std::string> attributes;  // in encoded order
    };
    auto shape = [](const char* oid, DWORD flags, std::vector<std::string> certs,
                    const FILETIME* signingTime) {
        MessageShape s;
        s.digestOid = oid;
        s.flags = flags;
        s.certificates = std::move(certs);
        s.signingTime = signingTime;
        return s;
    };
    const std::vector<std::string> all = {"contentType", "signingTime", "messageDigest"};
    // A caller's attribute whose encoding is shorter than contentType's sorts first.
    std::vector<BYTE> name = fromHex("0C0178");
    CRYPT_ATTR_BLOB nameValue{static_cast<DWORD>(name.size()), name.data()};
    MessageShape withName = shape(szOID_OIWSEC_sha1, 0, {"user1"}, &time);
    withName.extraAttributes = {{const_cast<char*>(szOID_COMMON_NAME), 1, &nameValue}};
    const Case cases[] = {
        {"SHA-1, attached, signer", shape(szOID_OIWSEC_sha1, 0, {"user1"}, nullptr), "sha1", {}},
        {"MD5 through md5RSA, attached",
         shape(szOID_RSA_MD5RSA, 0, {"user1"}, nullptr),
         "md5WithRSAEncryption",
         {}},
        {"SHA-1, detached",
         shape(szOID_OIWSEC_sha1, CMSG_DETACHED_FLAG, {"user1"}, nullptr),
         "sha1",
         {}},
        {"MD5, detached, signing time",
         shape(szOID_RSA_MD5RSA, CMSG_DETACHED_FLAG, {"user1"}, &time), "md5WithRSAEncryption",
         all},
        {"SHA-1, signing time, no certificate", shape(szOID_OIWSEC_sha1, 0, {}, &time), "sha1",
         all},
        {"MD5, no certificate",
         shape(szOID_RSA_MD5RSA, 0, {}, nullptr),
         "md5WithRSAEncryption",
         {}},
        {"SHA-1, three certificates, signing time",
         shape(szOID_OIWSEC_sha1, 0, {"user1", "ca", "user2"}, &time), "sha1", all},
        {"MD5 digest OID, attributes flag alone",
         shape(szOID_RSA_MD5, CMSG_AUTHENTICATED_ATTRIBUTES_FLAG, {"ca", "user1"}, nullptr),
         "md5",
         {"contentType", "messageDigest"}},
        {"SHA-1, a caller's attribute and the signing time",
         withName,
         "sha1",
         {"commonName", "contentType", "signingTime", "messageDigest"}},
    };
    // UTF-16LE text, as SignPkcs7 hands it over by default.
    std::vector<BYTE> content = bytesOf(std::string("K\0e\0s\0t\0r\0u\0n\0e\0", 16));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MessageBuilder builder(signer_, c.shape);
        std::vector<BYTE> message = builder.encode(content);
        ASSERT_FALSE(message.empty()) << GetLastError();
        bool detached = c.shape.flags & CMSG_DETACHED_FLAG;
        int status = -1;
        std::string log =
            verify(message, content, detached, !c.shape.certificates.empty(), &status);
        EXPECT_EQ(status, 0) << log;
        EXPECT_EQ(readBytes(signer_.file("out.bin")), content);
        // Detached, the message does not verify without the content, nor with other bytes.
        if (detached) {
            std::vector<BYTE> other = content;
            other[0] ^= 1;
            verify(message, other, true, true, &status);
            EXPECT_NE(status, 0);
        }

        std::string printed = dump(message);
        // The digest algorithm as given, in the set and in the signer's fields (the rest
        // of the layout is checked element by element below).
        EXPECT_EQ(grep(printed, R"(digestAlgorithms:\s*\n\s*algorithm: (\S+))"),
                  (std::vector<std::string>{c.digestName}));
        EXPECT_EQ(grep(printed, R"(digestAlgorithm:\s*\n\s*algorithm: (\S+))"),
                  (std::vector<std::string>{c.digestName}));
        EXPECT_EQ(grep(printed, R"(\n\s*object: (\w+) \()"), c.attributes) << printed;
        EXPECT_EQ(grep(printed, R"(eContent: <(ABSENT)>)").size(), detached ? 1u : 0u);
        if (c.shape.signingTime) {
            EXPECT_EQ(grep(printed, R"(UTCTIME:(.*))"),
                      (std::vector<std::string>{"May 17 08:30:15 2024 GMT"}));
        }

        writeBytes(signer_.file("certs.der"), message);
        std::string subjects;
        signer_.run(
            "openssl pkcs7 -inform DER -print_certs -noout -in " + signer_.file("certs.der"),
            &subjects);
        std::vector<std::string> names;
        for (const std::string& name : c.shape.certificates)
            names.push_back(name == "ca"      ? "Kestrune PFX CA"
                            : name == "user1" ? "PFX User One"
                                              : "PFX User Two");
        EXPECT_EQ(grep(subjects, R"(subject=.*CN ?= ?([^,\n]+))"), names) << subjects;
    }
}

// Every element of a detached message without certificates, as openssl asn1parse
// reports them: depth, type and value (the signature's octets left out).
TEST_F(CryptMsg, LayoutOfADetachedMessageWithoutCertificates) {
    MessageShape shape;
    shape.certificates = {};
    shape.flags = CMSG_DETACHED_FLAG;
    MessageBuilder builder(signer_, shape);
    std::vector<BYTE> message = builder.encode({});
    ASSERT_FALSE(message.empty());
    writeBytes(signer_.file("layout.der"), message);
    std::string parsed;
    ASSERT_EQ(
        signer_.run("openssl asn1parse -inform DER -in " + signer_.file("layout.der"), &parsed), 0);
    std::vector<std::string> elements;
    std::regex line(
        R"(d=(\d+) +hl=\d+ l= *\d+ (?:prim|cons): (.*?) *(\[HEX DUMP\])?(?::([^\n]*))?\n)");
    for (std::sregex_iterator it(parsed.begin(), parsed.end(), line), end; it != end; ++it) {
        std::string value = (*it)[3].matched ? "" : (*it)[4].str();
        elements.push_back((*it)[1].str() + " " + (*it)[2].str() +
                           (value.empty() ? "" : " " + value));
    }
    const std::vector<std::string> expected = {
        "0 SEQUENCE",
        "1 OBJECT pkcs7-signedData",
        "1 cont [ 0 ]",
        "2 SEQUENCE",
        "3 INTEGER 01",  // SignedData version
        "3 SET",
        "4 SEQUENCE",
        "5 OBJECT sha1",
        "5 NULL",
        "3 SEQUENCE",  // no content: detached
        "4 OBJECT pkcs7-data",
        "3 SET",  // no certificates before the signers
        "4 SEQUENCE",
        "5 INTEGER 01",  // SignerInfo version
        "5 SEQUENCE",
        "6 SEQUENCE",
        "7 SET",
        "8 SEQUENCE",
        "9 OBJECT countryName",
        "9 PRINTABLESTRING TW",
        "7 SET",
        "8 SEQUENCE",
        "9 OBJECT organizationName",
        "9 UTF8STRING Kestrune Test",
        "7 SET",
        "8 SEQUENCE",
        "9 OBJECT commonName",
        "9 UTF8STRING Kestrune PFX CA",
        "6 INTEGER 1001",
        "5 SEQUENCE",
        "6 OBJECT sha1",
        "6 NULL",
        "5 SEQUENCE",
        "6 OBJECT rsaEncryption",
        "6 NULL",
        "5 OCTET STRING",
    };
    EXPECT_EQ(elements, expected) << parsed;
}

// The encoder works out every length before it writes: contents whose sizes move the
// lengths of the OCTET STRING and of each wrapper around it to another length form.
TEST_F(CryptMsg, LengthFormsAroundTheContent) {
    MessageShape shape;
    shape.certificates = {};
    MessageBuilder builder(signer_, shape);
    for (size_t size : {size_t{0}, size_t{1}, size_t{127}, size_t{128}, size_t{250}, size_t{255},
                        size_t{256}, size_t{65535}, size_t{65536}, size_t{70000}}) {
        SCOPED_TRACE(size);
        std::vector<BYTE> content(size);
        for (size_t i = 0; i < size; ++i) content[i] = static_cast<BYTE>(i * 7 + 3);
        std::vector<BYTE> message = builder.encode(content);
        ASSERT_FALSE(message.empty());
        int status = -1;
        std::string log = verify(message, content, false, false, &status);
        EXPECT_EQ(status, 0) << log;
        EXPECT_EQ(readBytes(signer_.file("out.bin")), content);
        // DER as openssl writes it again: every length in its shortest form.
        writeBytes(signer_.file("ours.der"), message);
        ASSERT_EQ(signer_.run("openssl cms -cmsout -inform DER -outform DER -in " +
                                  signer_.file("ours.der") + " -out " + signer_.file("again.der"),
                              &log),
                  0)
            << log;
        EXPECT_EQ(readBytes(signer_.file("again.der")), message);
    }
}

TEST_F(CryptMsg, ContentInPiecesAndTheSizeProtocol) {
    MessageShape shape;
    std::vector<BYTE> content = bytesOf("one two three four five");
    MessageBuilder builder(signer_, shape);
    std::vector<BYTE> whole = builder.encode(content);
    ASSERT_FALSE(whole.empty());

    CryptMsgHolder msg(builder.open());
    ASSERT_NE(msg.get(), nullptr);
    DWORD size = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY);
    ASSERT_TRUE(CryptMsgUpdate(msg.get(), content.data(), 4, FALSE));
    ASSERT_TRUE(CryptMsgUpdate(msg.get(), content.data() + 4, 0, FALSE));
    ASSERT_TRUE(CryptMsgUpdate(msg.get(), content.data() + 4,
                               static_cast<DWORD>(content.size() - 4), TRUE));
    SetLastError(0);
    EXPECT_FALSE(CryptMsgUpdate(msg.get(), content.data(), 1, TRUE));
    EXPECT_EQ(GetLastError(), CRYPT_E_MSG_ERROR);

    ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, nullptr, &size));
    EXPECT_EQ(size, whole.size());
    std::vector<BYTE> buffer(size + 256, 0);
    DWORD shortSize = size - 1;
    SetLastError(0);
    EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, buffer.data(), &shortSize));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(shortSize, size);
    DWORD enlarged = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, buffer.data(), &enlarged));
    EXPECT_EQ(enlarged, size);
    buffer.resize(enlarged);
    // PKCS#1 v1.5 is deterministic: the same key, digest and content give the same bytes.
    EXPECT_EQ(buffer, whole);
    DWORD type = 0, typeSize = sizeof type;
    ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_TYPE_PARAM, 0, &type, &typeSize));
    EXPECT_EQ(type, CMSG_SIGNED);
}

TEST_F(CryptMsg, RefusalsWithThePlatformsCodes) {
    std::vector<BYTE> value = fromHex("0500");
    CRYPT_ATTR_BLOB blob{static_cast<DWORD>(value.size()), value.data()};
    CRYPT_ATTRIBUTE ownContentType{const_cast<char*>(szOID_RSA_contentType), 1, &blob};
    std::vector<BYTE> notElement = fromHex("0500FF");
    CRYPT_ATTR_BLOB badBlob{static_cast<DWORD>(notElement.size()), notElement.data()};
    CRYPT_ATTRIBUTE badValue{const_cast<char*>("1.2.3.4"), 1, &badBlob};
    struct Case {
        const char* what;
        std::function<void(MessageBuilder&)> change;
        DWORD encoding = kEncoding;
        DWORD type = CMSG_SIGNED;
        DWORD error;
    };
    HCRYPTPROV released = 0;
    ASSERT_TRUE(CryptAcquireContextA(&released, "signer", nullptr, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptReleaseContext(released, 0));
    HCRYPTPROV verify = 0;
    ASSERT_TRUE(
        CryptAcquireContextA(&verify, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    CertContextHolder ecCert = store_test::parse(store_test::makeCert(7, "EC"));
    auto none = [](MessageBuilder&) {};
    const Case cases[] = {
        {"data messages are not encoded", none, kEncoding, CMSG_DATA, CRYPT_E_INVALID_MSG_TYPE},
        {"no PKCS#7 encoding", none, X509_ASN_ENCODING, CMSG_SIGNED, DWORD(E_INVALIDARG)},
        {"message record size", [](MessageBuilder& b) { b.info().cbSize = 28; }, kEncoding,
         CMSG_SIGNED, DWORD(E_INVALIDARG)},
        {"signer record size", [](MessageBuilder& b) { b.signerInfo().cbSize = 48; }, kEncoding,
         CMSG_SIGNED, DWORD(E_INVALIDARG)},
        {"no certificate information",
         [](MessageBuilder& b) { b.signerInfo().pCertInfo = nullptr; }, kEncoding, CMSG_SIGNED,
         DWORD(E_INVALIDARG)},
        {"auxiliary hash information", [](MessageBuilder& b) { b.signerInfo().pvHashAuxInfo = &b; },
         kEncoding, CMSG_SIGNED, DWORD(E_INVALIDARG)},
        {"unknown digest",
         [](MessageBuilder& b) {
             b.signerInfo().HashAlgorithm.pszObjId = const_cast<char*>("2.16.840.1.101.3.4.2.2");
         },
         kEncoding, CMSG_SIGNED, CRYPT_E_UNKNOWN_ALGO},
        {"certificate of an EC key",
         [&](MessageBuilder& b) { b.signerInfo().pCertInfo = ecCert.get()->pCertInfo; }, kEncoding,
         CMSG_SIGNED, CRYPT_E_UNKNOWN_ALGO},
        {"empty key slot", [](MessageBuilder& b) { b.signerInfo().dwKeySpec = AT_KEYEXCHANGE; },
         kEncoding, CMSG_SIGNED, NTE_NO_KEY},
        {"released provider", [&](MessageBuilder& b) { b.signerInfo().hCryptProv = released; },
         kEncoding, CMSG_SIGNED, NTE_BAD_UID},
        {"verify context", [&](MessageBuilder& b) { b.signerInfo().hCryptProv = verify; },
         kEncoding, CMSG_SIGNED, NTE_NO_KEY},
        {"own contentType attribute",
         [&](MessageBuilder& b) {
             b.signerInfo().cAuthAttr = 1;
             b.signerInfo().rgAuthAttr = &ownContentType;
         },
         kEncoding, CMSG_SIGNED, DWORD(E_INVALIDARG)},
        {"attribute value with trailing bytes",
         [&](MessageBuilder& b) {
             b.signerInfo().cAuthAttr = 1;
             b.signerInfo().rgAuthAttr = &badValue;
         },
         kEncoding, CMSG_SIGNED, DWORD(E_INVALIDARG)},
        {"certificate list without entries",
         [](MessageBuilder& b) { b.info().rgCertEncoded = nullptr; }, kEncoding, CMSG_SIGNED,
         DWORD(E_INVALIDARG)},
    };
    for (const Case& c : cases) {
        MessageBuilder builder(signer_, MessageShape{});
        c.change(builder);
        SetLastError(0);
        HCRYPTMSG msg =
            CryptMsgOpenToEncode(c.encoding, 0, c.type, &builder.info(), nullptr, nullptr);
        EXPECT_FALSE(msg) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        CryptMsgClose(msg);
    }
    CryptReleaseContext(verify, 0);

    // Calls on a message that is not (or no longer) there, and other parameters.
    MessageBuilder builder(signer_, MessageShape{});
    HCRYPTMSG closed = builder.open();
    ASSERT_NE(closed, nullptr);
    ASSERT_TRUE(CryptMsgClose(closed));
    DWORD size = 0;
    struct Call {
        const char* what;
        std::function<BOOL()> call;
        DWORD error;
    };
    CryptMsgHolder open(builder.open());
    const Call calls[] = {
        {"update a closed message", [&] { return CryptMsgUpdate(closed, value.data(), 1, TRUE); },
         ERROR_INVALID_HANDLE},
        {"parameter of a closed message",
         [&] { return CryptMsgGetParam(closed, CMSG_CONTENT_PARAM, 0, nullptr, &size); },
         ERROR_INVALID_HANDLE},
        {"close twice", [&] { return CryptMsgClose(closed); }, ERROR_INVALID_HANDLE},
        {"certificates of a message being encoded",
         [&] { return CryptMsgGetParam(open.get(), CMSG_CERT_COUNT_PARAM, 0, nullptr, &size); },
         CRYPT_E_INVALID_MSG_TYPE},
        {"no size variable",
         [&] { return CryptMsgGetParam(open.get(), CMSG_TYPE_PARAM, 0, nullptr, nullptr); },
         DWORD(E_INVALIDARG)},
        {"data without bytes", [&] { return CryptMsgUpdate(open.get(), nullptr, 4, FALSE); },
         DWORD(E_INVALIDARG)},
    };
    for (const Call& c : calls) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_TRUE(CryptMsgClose(nullptr));
}

// The message keeps its own reference to the signer's provider; a container removed
// before the final update fails it with the provider's code.
TEST_F(CryptMsg, TheKeyIsTakenOnTheFinalUpdate) {
    std::vector<BYTE> content = bytesOf("late");
    {
        CryptProvHolder own;
        ASSERT_TRUE(CryptAcquireContextA(own.out(), "signer", nullptr, PROV_RSA_FULL, 0));
        MessageBuilder builder(signer_, MessageShape{});
        builder.signerInfo().hCryptProv = own.get();
        CryptMsgHolder msg(builder.open());
        ASSERT_NE(msg.get(), nullptr);
        CryptReleaseContext(own.release(), 0);
        ASSERT_TRUE(CryptMsgUpdate(msg.get(), content.data(), 4, TRUE));
        int status = -1;
        verify(messageParam(msg.get(), CMSG_CONTENT_PARAM), content, false, true, &status);
        EXPECT_EQ(status, 0);
    }
    MessageBuilder builder(signer_, MessageShape{});
    CryptMsgHolder msg(builder.open());
    ASSERT_NE(msg.get(), nullptr);
    HCRYPTPROV gone = 0;
    ASSERT_TRUE(CryptAcquireContextA(&gone, "signer", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    SetLastError(0);
    EXPECT_FALSE(CryptMsgUpdate(msg.get(), content.data(), 4, TRUE));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    DWORD size = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY);
}

// Streamed, a message is the same bytes as unstreamed, however the content is cut.
struct Collected {
    std::vector<BYTE> bytes;
    int finals = 0;
    DWORD refuseWith = 0;  // the callback says no with this error
};

BOOL collect(const void* arg, BYTE* data, DWORD size, BOOL final) {
    auto* out = static_cast<Collected*>(const_cast<void*>(arg));
    if (out->refuseWith) {
        SetLastError(out->refuseWith);
        return FALSE;
    }
    out->bytes.insert(out->bytes.end(), data, data + size);
    out->finals += final ? 1 : 0;
    return TRUE;
}

TEST_F(CryptMsg, StreamedMessagesAreTheUnstreamedBytes) {
    const FILETIME time = fileTime(2024, 5, 17, 8, 30, 15);
    std::vector<BYTE> content(70001);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<BYTE>(i * 13 + 1);
    struct Case {
        const char* what;
        const char* digestOid;
        DWORD flags;
        const FILETIME* signingTime;
        size_t piece;
    };
    const Case cases[] = {
        {"SHA-1, one piece", szOID_OIWSEC_sha1, 0, nullptr, 70001},
        {"SHA-256 with attributes, 3-byte pieces", szOID_NIST_sha256, 0, &time, 3},
        {"SHA-512 detached with attributes", szOID_NIST_sha512, CMSG_DETACHED_FLAG, &time, 4096},
        {"MD5 identifier, detached", szOID_RSA_MD5RSA, CMSG_DETACHED_FLAG, nullptr, 65536},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MessageShape shape;
        shape.digestOid = c.digestOid;
        shape.flags = c.flags;
        shape.signingTime = c.signingTime;
        MessageBuilder builder(signer_, shape);
        std::vector<BYTE> whole = builder.encode(content);
        ASSERT_FALSE(whole.empty());
        Collected out;
        CMSG_STREAM_INFO stream{static_cast<DWORD>(content.size()), collect, &out};
        CryptMsgHolder msg(CryptMsgOpenToEncode(kEncoding, builder.openFlags(), CMSG_SIGNED,
                                                &builder.info(), nullptr, &stream));
        ASSERT_NE(msg.get(), nullptr);
        for (size_t at = 0; at < content.size(); at += c.piece) {
            size_t n = std::min(c.piece, content.size() - at);
            ASSERT_TRUE(CryptMsgUpdate(msg.get(), content.data() + at, static_cast<DWORD>(n),
                                       at + n == content.size()));
        }
        EXPECT_EQ(out.bytes, whole);
        EXPECT_EQ(out.finals, 1);
    }

    // Refusals: at the open, and updates that do not add up to the announced length.
    MessageBuilder builder(signer_, MessageShape{});
    Collected out;
    CMSG_STREAM_INFO indefinite{CMSG_INDEFINITE_LENGTH, collect, &out};
    CMSG_STREAM_INFO noCallback{4, nullptr, &out};
    for (CMSG_STREAM_INFO* refused : {&indefinite, &noCallback}) {
        SetLastError(0);
        EXPECT_EQ(
            CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &builder.info(), nullptr, refused),
            nullptr);
        EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
    }
    struct Call {
        const char* what;
        DWORD first, second;  // two updates, the second final
        DWORD refuseWith;
        DWORD error;
    };
    const Call calls[] = {
        {"more than announced", 3, 2, 0, CRYPT_E_MSG_ERROR},
        {"less than announced", 1, 2, 0, CRYPT_E_MSG_ERROR},
        {"the callback refuses", 2, 2, ERROR_CANCELLED, ERROR_CANCELLED},
    };
    for (const Call& c : calls) {
        Collected sink;
        sink.refuseWith = c.refuseWith;
        CMSG_STREAM_INFO stream{4, collect, &sink};
        CryptMsgHolder msg(
            CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &builder.info(), nullptr, &stream));
        ASSERT_NE(msg.get(), nullptr) << c.what;
        SetLastError(0);
        BOOL ok = CryptMsgUpdate(msg.get(), content.data(), c.first, FALSE) &&
                  CryptMsgUpdate(msg.get(), content.data() + c.first, c.second, TRUE);
        EXPECT_FALSE(ok) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
}

}  // namespace
