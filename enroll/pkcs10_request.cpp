#include "enroll/pkcs10_request.h"

#include "core/byte_buffer.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Makes `out` the size a size query gave; 5002 with the platform's error when it cannot.
bool allocate(ByteBuffer& out, DWORD size, ErrorPair& status) {
    if (size > 0 && size <= INT32_MAX && out.allocate(static_cast<int32_t>(size))) return true;
    status.failWithPlatform(err::kAllocation);
    return false;
}

}  // namespace

std::string buildPkcs10Request(HCRYPTPROV provider, DWORD keySpec, const std::string& commonName,
                               ErrorPair& status, const char* signatureOid) {
    // RFC 2986 section 4.1: the subject is a Name of one RDN with one CN attribute. The
    // BMPString value takes the UTF-16 code units of the name's ANSI text.
    std::u16string units = fromAnsi(commonName);
    CERT_RDN_ATTR attribute{const_cast<LPSTR>(szOID_COMMON_NAME),
                            CERT_RDN_BMP_STRING,
                            {static_cast<DWORD>(units.size() * sizeof(char16_t)),
                             reinterpret_cast<BYTE*>(units.data())}};
    CERT_RDN rdn{1, &attribute};
    CERT_NAME_INFO name{1, &rdn};
    ByteBuffer subject;
    DWORD size = 0;
    if (!CryptEncodeObject(kEncoding, X509_NAME_STRUCT, &name, nullptr, &size)) {
        status.failWithPlatform(err::kKeyGeneration);
        return {};
    }
    if (!allocate(subject, size, status)) return {};
    if (!CryptEncodeObject(kEncoding, X509_NAME_STRUCT, &name, subject.data(), &size)) {
        status.failWithPlatform(err::kKeyGeneration);
        return {};
    }
    const DWORD subjectSize = size;

    ByteBuffer publicKey;
    size = 0;
    if (!CryptExportPublicKeyInfo(provider, keySpec, kEncoding, nullptr, &size)) {
        status.failWithPlatform(err::kKeyGeneration);
        return {};
    }
    if (!allocate(publicKey, size, status)) return {};
    auto* keyInfo = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(publicKey.data());
    if (!CryptExportPublicKeyInfo(provider, keySpec, kEncoding, keyInfo, &size)) {
        status.failWithPlatform(err::kKeyGeneration);
        return {};
    }

    CERT_REQUEST_INFO info{};
    info.dwVersion = CERT_REQUEST_V1;
    info.Subject = {subjectSize, subject.data()};
    info.SubjectPublicKeyInfo = *keyInfo;
    CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<LPSTR>(signatureOid), {0, nullptr}};
    ByteBuffer request;
    size = 0;
    if (!CryptSignAndEncodeCertificate(provider, keySpec, kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED,
                                       &info, &algorithm, nullptr, nullptr, &size)) {
        status.failWithPlatform(err::kKeyGeneration);
        return {};
    }
    if (!allocate(request, size, status)) return {};
    if (!CryptSignAndEncodeCertificate(provider, keySpec, kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED,
                                       &info, &algorithm, nullptr, request.data(), &size)) {
        status.failWithPlatform(err::kKeyGeneration);
        return {};
    }
    ByteBuffer text;
    if (!text.encodeBase64(request.data(), static_cast<int32_t>(size))) {
        status.fail(err::kAllocation);
        return {};
    }
    return text.str();
}

std::string createPkcs10(EnrollmentState& state, const std::string& commonName, int32_t keyBits,
                         int32_t genKeyFlags, ErrorPair& result, ContainerNamer name) {
    if (commonName.empty()) {
        result.fail(err::kBadParameter);
        return {};
    }
    if (keyLengthStep(state, keyBits) != 0) {
        result.fail(state.status.lastError);
        return {};
    }
    const char* signatureOid = (genKeyFlags & kRequestSha512)   ? szOID_RSA_SHA512RSA
                               : (genKeyFlags & kRequestSha256) ? szOID_RSA_SHA256RSA
                                                                : szOID_RSA_SHA1RSA;
    // 512 bits are 64 bytes; a SHA-512 DigestInfo and the padding take 94. Refused here,
    // with the code signing would give, so that no container is left behind for it (a
    // missing provider is still reported as such).
    if (signatureOid == szOID_RSA_SHA512RSA && state.keyBits == 512 &&
        !state.providerName.empty()) {
        state.status.lastError = err::kKeyGeneration;
        state.status.capiError = NTE_BAD_LEN;
        result = state.status;
        return {};
    }
    keyOptionsStep(state, genKeyFlags & ~(kRequestSha256 | kRequestSha512));
    providerTypeStep(state, PROV_RSA_FULL);
    keySlotStep(state, AT_KEYEXCHANGE);
    RequestBuilder build = [signatureOid](HCRYPTPROV provider, DWORD keySpec, const std::string& cn,
                                          ErrorPair& status) {
        return buildPkcs10Request(provider, keySpec, cn, status, signatureOid);
    };
    std::string request = generateKeyPair(state, commonName, build, name);
    result = state.status;
    return request;
}
