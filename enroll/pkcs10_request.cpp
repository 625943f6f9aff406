#include "enroll/pkcs10_request.h"

#include <cstdint>
#include <new>
#include <vector>

#include "core/byte_buffer.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Runs a two-call query into `out`. False with 5302 and the platform's error when a call
// fails; with 5002 (and the last error as the query left it) when no buffer can be had
// for the size: none at all, more than an int32_t length, or no memory.
template <typename Call>
bool fetch(std::vector<BYTE>& out, Call&& call, ErrorPair& status) {
    try {
        if (!fetchSized(out, call)) {
            status.failWithPlatform(err::kKeyGeneration);
            return false;
        }
    } catch (const std::bad_alloc&) {
        status.failWithPlatform(err::kAllocation);
        return false;
    }
    if (!out.empty() && out.size() <= INT32_MAX) return true;
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
    auto encodeName = [&name](BYTE* data, DWORD* size) {
        return CryptEncodeObject(kEncoding, X509_NAME_STRUCT, &name, data, size);
    };
    std::vector<BYTE> subject;
    if (!fetch(subject, encodeName, status)) return {};

    auto exportKey = [=](BYTE* data, DWORD* size) {
        return CryptExportPublicKeyInfo(provider, keySpec, kEncoding,
                                        reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(data), size);
    };
    // The record's pointers lead into its own buffer, whose allocation is aligned for it.
    std::vector<BYTE> publicKey;
    if (!fetch(publicKey, exportKey, status)) return {};
    const auto* keyInfo = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(publicKey.data());

    CERT_REQUEST_INFO info{};
    info.dwVersion = CERT_REQUEST_V1;
    info.Subject = {static_cast<DWORD>(subject.size()), subject.data()};
    info.SubjectPublicKeyInfo = *keyInfo;
    CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<LPSTR>(signatureOid), {0, nullptr}};
    auto signRequest = [&](BYTE* data, DWORD* size) {
        return CryptSignAndEncodeCertificate(provider, keySpec, kEncoding,
                                             X509_CERT_REQUEST_TO_BE_SIGNED, &info, &algorithm,
                                             nullptr, data, size);
    };
    std::vector<BYTE> request;
    if (!fetch(request, signRequest, status)) return {};
    ByteBuffer text;
    if (!text.encodeBase64(request.data(), static_cast<int32_t>(request.size()))) {
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
        state.status.failWith(err::kKeyGeneration, NTE_BAD_LEN);
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
