// CertView from arbitrary DER, under Big5 and UTF-8: every getter of a certificate that
// parses, compared where it can be with what OpenSSL reads from the same bytes (the
// thumbprint, the serial, the validity times), and the texts' limits and character
// boundaries.
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/cert_view.h"
#include "fuzz/fuzz_support.h"
#include "platform/text/codepage.h"

namespace {

std::string hex(const unsigned char* bytes, size_t n) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        out += two;
    }
    return out;
}

std::string withoutLeadingZeroBytes(std::string text) {
    while (text.size() >= 2 && text.compare(0, 2, "00") == 0) text.erase(0, 2);
    return text;
}

// A text cut to its area is a prefix of the whole text that ends on a character
// boundary: never inside a UTF-8 sequence, never between a Big5 lead byte and its trail.
// (Names may hold bytes that are no characters at all: byte-string values are copied as
// they are.)
void checkCut(const std::string& cut, const std::string& whole, size_t limit, UINT codePage) {
    FUZZ_CHECK(cut.size() <= limit);
    FUZZ_CHECK(whole.compare(0, cut.size(), cut) == 0);
    if (cut.size() == whole.size()) return;
    FUZZ_CHECK(whole.size() > limit);
    if (codePage == CP_UTF8) {
        FUZZ_CHECK((static_cast<BYTE>(whole[cut.size()]) & 0xC0) != 0x80);
        FUZZ_CHECK(limit - cut.size() < 4);
        return;
    }
    size_t i = 0;
    while (i < cut.size()) {
        bool pair = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(whole[i])) && i + 1 < whole.size();
        i += pair ? 2 : 1;
    }
    FUZZ_CHECK(i == cut.size());
    FUZZ_CHECK(limit - cut.size() < 2);
}

template <typename Call>
std::string wholeText(Call call) {
    DWORD needed = call(nullptr, 0);
    std::string text(needed, '\0');
    call(text.data(), needed);
    text.resize(std::strlen(text.c_str()));
    return text;
}

void checkTime(const std::string& compact, const std::string& date, const std::string& dateTime,
               const ASN1_TIME* time) {
    struct tm fields {};
    bool readable = time && ASN1_TIME_to_tm(time, &fields) == 1;
    // A certificate that parses has times OpenSSL reads, and each of them has its text.
    FUZZ_CHECK(readable && !compact.empty());
    char expected[32];
    std::snprintf(expected, sizeof expected, "%04d%02d%02d%02d%02d%02d", fields.tm_year + 1900,
                  fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    // FILETIME starts in 1601: earlier times are kept as its first second, which still
    // orders them before every later time.
    if (fields.tm_year + 1900 < 1601)
        FUZZ_CHECK(compact == "16010101000000");
    else
        FUZZ_CHECK(compact == expected);
    FUZZ_CHECK(date ==
               compact.substr(0, 4) + "/" + compact.substr(4, 2) + "/" + compact.substr(6, 2));
    FUZZ_CHECK(dateTime == date + " " + compact.substr(8, 2) + ":" + compact.substr(10, 2) + ":" +
                               compact.substr(12, 2));
}

void checkView(const CertView& view, const uint8_t* data, size_t size, UINT codePage) {
    // The platform reads only the outer element; OpenSSL must take what it took.
    const unsigned char* p = data;
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(size));
    FUZZ_CHECK(x509 != nullptr);

    unsigned char sha1[EVP_MAX_MD_SIZE];
    unsigned int sha1Length = 0;
    FUZZ_CHECK(EVP_Digest(data, size, sha1, &sha1Length, EVP_sha1(), nullptr) == 1);
    FUZZ_CHECK(view.thumbprintHex() == hex(sha1, sha1Length));

    std::string serial = view.serialHex();
    FUZZ_CHECK(!serial.empty() && serial.size() % 2 == 0);
    for (char c : serial)
        FUZZ_CHECK(std::isxdigit(static_cast<unsigned char>(c)) &&
                   !std::islower(static_cast<unsigned char>(c)));
    BIGNUM* number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x509), nullptr);
    if (number && !BN_is_negative(number) && !BN_is_zero(number)) {
        char* text = BN_bn2hex(number);
        FUZZ_CHECK(text != nullptr);
        std::string openssl = text;
        if (openssl.size() % 2) openssl.insert(0, "0");
        FUZZ_CHECK(withoutLeadingZeroBytes(serial) == withoutLeadingZeroBytes(openssl));
        OPENSSL_free(text);
    }
    BN_free(number);

    constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    const CERT_INFO& info = *view.context()->pCertInfo;
    for (bool issuer : {false, true}) {
        std::string name = wholeText([&](LPSTR text, DWORD size) {
            return CertNameToStrA(kEncoding, issuer ? &info.Issuer : &info.Subject,
                                  CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG, text, size);
        });
        checkCut(issuer ? view.issuer() : view.subject(), name, 511, codePage);
        std::string cn = wholeText([&](LPSTR text, DWORD size) {
            return CertGetNameStringA(view.context(), CERT_NAME_ATTR_TYPE,
                                      issuer ? CERT_NAME_ISSUER_FLAG : 0,
                                      const_cast<char*>(szOID_COMMON_NAME), text, size);
        });
        checkCut(issuer ? view.issuerCN() : view.subjectCN(), cn, 99, codePage);
    }
    checkTime(view.notBeforeCompact(), view.notBeforeDate(), view.notBeforeDateTime(),
              X509_get0_notBefore(x509));
    checkTime(view.notAfterCompact(), view.notAfterDate(), view.notAfterDateTime(),
              X509_get0_notAfter(x509));
    FUZZ_CHECK(view.keyUsage() <= 0xFF);
    view.isCaLike();

    // A view that borrows the context reads the same texts.
    CertView borrowed(view.context());
    FUZZ_CHECK(borrowed.valid());
    FUZZ_CHECK(borrowed.subject() == view.subject() && borrowed.issuerCN() == view.issuerCN());
    FUZZ_CHECK(borrowed.encoded().text() == view.encoded().text());
    X509_free(x509);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x7FFFFFFF) return 0;
    for (UINT codePage : {950u, CP_UTF8}) {
        SetProcessAnsiCodePage(codePage);
        CertView view(data, static_cast<int32_t>(size));
        if (!view.valid()) {
            FUZZ_CHECK(view.context() == nullptr && view.encoded().empty());
            FUZZ_CHECK(view.subject().empty() && view.serialHex().empty());
            continue;
        }
        FUZZ_CHECK(view.encoded().length() == static_cast<int32_t>(size));
        checkView(view, data, size, codePage);
    }
    return 0;
}
