#include "sign/signer_store.h"

#include <openssl/crypto.h>

#include "core/cert_view.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "status/error_codes.h"

ErrorCode SignerStore::open(const SignerRef& signer, ErrorPair& status) {
    close();
    if (signer.thumbprint.empty() || signer.certificate.length() == 0) {
        status.lastError = err::kNoSigner;
        return status.lastError;
    }
    switch (signer.source) {
        case 1:
            status.lastError = my_.OpenMy();
            if (status.lastError != 0) {
                status.capiError = my_.platformError();
                return status.lastError;
            }
            break;
        case 2: {
            if (signer.pfxPath.empty()) {
                status.lastError = err::kNoSigner;
                return status.lastError;
            }
            std::string path = signer.pfxPath;
            path.push_back(kPathSeparator);
            path += signer.pfxName;
            std::string password(signer.pfxPassword.view());
            bool loaded = PathFileExistsA(path.c_str()) && pfx_.Load(path, password, 1) == 0;
            OPENSSL_cleanse(password.data(), password.size());
            if (!loaded) {
                pfx_.Close();
                status.lastError = err::kUndefined1102;
                return status.lastError;
            }
            break;
        }
        default:
            status.lastError = err::kNoSigner;
            return status.lastError;
    }
    source_ = signer.source;
    status.lastError = 0;

    PCCERT_CONTEXT walk = nullptr;
    while ((walk = CertEnumCertificatesInStore(handle(), walk)) != nullptr) {
        CertView view;
        if (view.fromContext(walk) && view.thumbprintHex() == signer.thumbprint) {
            found_.append(CertDuplicateCertificateContext(walk));
            CertFreeCertificateContext(walk);
            return 0;
        }
    }
    status.lastError = err::kNoSigner;
    return status.lastError;
}

KeyProvInfo SignerStore::keyProvInfo(ErrorPair& status) {
    KeyProvInfo info;
    if (source_ == 1) {
        info = my_.GetKeyProvInfo(certificate());
        status.capiError = my_.platformError();
    } else if (source_ == 2) {
        info = pfx_.GetKeyProvInfo(certificate());
        status.capiError = pfx_.platformError();
    }
    return info;
}

void SignerStore::close() {
    found_.clear();
    my_.Close();
    pfx_.Close();
    source_ = -1;
}

HCERTSTORE SignerStore::handle() const {
    return source_ == 1 ? my_.handle() : source_ == 2 ? pfx_.handle() : nullptr;
}

std::vector<uint8_t> contentBytes(const std::u16string& text, bool ansi) {
    if (ansi) {
        std::string narrow = toAnsi(text);
        return std::vector<uint8_t>(narrow.begin(), narrow.end());
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}
