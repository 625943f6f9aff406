#include "core/cert_view.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/text/ascii.h"
#include "platform/text/codepage.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kNameForm = CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG;
// Text areas, in characters including the terminator.
constexpr int32_t kNameArea = 512;
constexpr int32_t kCommonNameArea = 100;
constexpr int32_t kDateArea = 20;
constexpr int32_t kDateTimeArea = 25;
constexpr DWORD kThumbprintSize = 20;
// Validity layouts; the date layout uses only the first three of the six fields.
constexpr const char* kCompact = "%04d%02d%02d%02d%02d%02d";
constexpr const char* kDate = "%04d/%02d/%02d";
constexpr const char* kDateTime = "%04d/%02d/%02d %02d:%02d:%02d";

// The length of the longest prefix of at most `limit` bytes that ends on a character
// boundary of the ANSI code page, so that a cut never leaves half a double-byte (or
// UTF-8) character at the end of the text.
size_t ansiPrefixLength(std::string_view text, size_t limit) {
    if (text.size() <= limit) return text.size();
    if (GetACP() == CP_UTF8) {
        size_t n = limit;
        while (n > 0 && (static_cast<BYTE>(text[n]) & 0xC0) == 0x80) --n;
        return n;
    }
    size_t i = 0;
    while (i < limit) {
        size_t step = text::ansiCharLength(text, i);
        if (i + step > limit) break;
        i += step;
    }
    return i;
}

// Runs a name call of the platform's two-call size protocol into an area of at least
// `area` characters and cuts the text to area - 1. The platform gives the empty string
// for a buffer too small for the whole text, so the size is asked first.
template <typename Call>
std::string cutText(Call call, int32_t area) {
    DWORD needed = call(nullptr, 0);
    if (needed <= 1 || needed > 0x7FFFFFFF) return {};
    ByteBuffer buffer;
    if (!buffer.allocate(needed > static_cast<DWORD>(area) ? static_cast<int32_t>(needed) : area))
        return {};
    auto* text = reinterpret_cast<char*>(buffer.data());
    if (call(text, static_cast<DWORD>(buffer.length())) <= 1) return {};
    std::string_view whole(text, std::strlen(text));
    return std::string(whole.substr(0, ansiPrefixLength(whole, static_cast<size_t>(area - 1))));
}

}  // namespace

CertView::CertView(const BYTE* bytes, int32_t length) {
    fromEncoded(bytes, length);
}

CertView::CertView(PCCERT_CONTEXT context) {
    fromContext(context);
}

CertView::~CertView() {
    reset();
}

void CertView::reset() {
    encoded_.release();
    if (context_ && ownsContext_) CertFreeCertificateContext(context_);
    context_ = nullptr;
    valid_ = false;
    ownsContext_ = true;
    keyUsageBits_ = 0;
}

bool CertView::fromEncoded(const BYTE* bytes, int32_t length) {
    reset();
    if (!bytes || length < 1 || !encoded_.assign(bytes, length)) return false;
    PCCERT_CONTEXT parsed = CertCreateCertificateContext(kEncoding, encoded_.data(),
                                                         static_cast<DWORD>(encoded_.length()));
    if (!parsed) {
        encoded_.release();
        return false;
    }
    context_ = parsed;
    ownsContext_ = true;
    valid_ = true;
    readKeyUsage();
    return true;
}

bool CertView::fromContext(PCCERT_CONTEXT context) {
    reset();
    if (!context || !context->pCertInfo || !context->pbCertEncoded || context->cbCertEncoded < 1 ||
        context->cbCertEncoded > 0x7FFFFFFF)
        return false;
    if (!encoded_.assign(context->pbCertEncoded, static_cast<int32_t>(context->cbCertEncoded)))
        return false;
    context_ = context;
    ownsContext_ = false;
    valid_ = true;
    readKeyUsage();
    return true;
}

void CertView::readKeyUsage() {
    BYTE first = 0;
    CertGetIntendedKeyUsage(kEncoding, context_->pCertInfo, &first, 1);
    keyUsageBits_ = first;
}

std::string CertView::name(bool issuerName) const {
    if (!valid_) return {};
    const CERT_INFO& info = *context_->pCertInfo;
    const CERT_NAME_BLOB* blob = issuerName ? &info.Issuer : &info.Subject;
    return cutText(
        [&](LPSTR text, DWORD size) {
            return CertNameToStrA(kEncoding, blob, kNameForm, text, size);
        },
        kNameArea);
}

std::string CertView::commonName(bool issuerName) const {
    if (!valid_) return {};
    DWORD flags = issuerName ? CERT_NAME_ISSUER_FLAG : 0;
    void* oid = const_cast<char*>(szOID_COMMON_NAME);
    return cutText(
        [&](LPSTR text, DWORD size) {
            return CertGetNameStringA(context_, CERT_NAME_ATTR_TYPE, flags, oid, text, size);
        },
        kCommonNameArea);
}

std::string CertView::subject() const {
    return name(false);
}
std::string CertView::issuer() const {
    return name(true);
}
std::string CertView::subjectCN() const {
    return commonName(false);
}
std::string CertView::issuerCN() const {
    return commonName(true);
}

std::string CertView::serialHex() const {
    if (!valid_) return {};
    const CRYPT_INTEGER_BLOB& serial = context_->pCertInfo->SerialNumber;
    if (serial.cbData < 1 || serial.cbData > 0x3FFFFFFF) return {};
    // The platform's serial is least significant byte first; the text reads as the DER does.
    ByteBuffer ordered, hex;
    if (!ordered.assignReversed(serial.pbData, static_cast<int32_t>(serial.cbData)) ||
        !hex.encodeHex(ordered.data(), ordered.length()))
        return {};
    return hex.str();
}

std::string CertView::thumbprintHex() const {
    if (!valid_) return {};
    BYTE hash[kThumbprintSize];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(context_, CERT_SHA1_HASH_PROP_ID, hash, &size) ||
        size != kThumbprintSize)
        return {};
    ByteBuffer hex;
    if (!hex.encodeHex(hash, static_cast<int32_t>(size))) return {};
    return hex.str();
}

std::string CertView::time(bool notAfter, const char* format, int32_t area) const {
    if (!valid_) return {};
    const CERT_INFO& info = *context_->pCertInfo;
    FILETIME local;
    SYSTEMTIME fields;
    if (!FileTimeToLocalFileTime(notAfter ? &info.NotAfter : &info.NotBefore, &local) ||
        !FileTimeToSystemTime(&local, &fields))
        return {};
    ByteBuffer text(area);
    if (text.empty()) return {};
    std::snprintf(reinterpret_cast<char*>(text.data()), static_cast<size_t>(area), format,
                  fields.wYear, fields.wMonth, fields.wDay, fields.wHour, fields.wMinute,
                  fields.wSecond);
    return std::string(reinterpret_cast<const char*>(text.data()));
}

std::string CertView::notBeforeCompact() const {
    return time(false, kCompact, kDateArea);
}
std::string CertView::notAfterCompact() const {
    return time(true, kCompact, kDateArea);
}
std::string CertView::notBeforeDate() const {
    return time(false, kDate, kDateArea);
}
std::string CertView::notAfterDate() const {
    return time(true, kDate, kDateArea);
}
std::string CertView::notBeforeDateTime() const {
    return time(false, kDateTime, kDateTimeArea);
}
std::string CertView::notAfterDateTime() const {
    return time(true, kDateTime, kDateTimeArea);
}

bool CertView::isCaLike() const {
    if (!valid_) return false;
    if (issuer() == subject()) return true;
    return (keyUsageBits_ & (CERT_KEY_CERT_SIGN_KEY_USAGE | CERT_CRL_SIGN_KEY_USAGE)) != 0;
}
