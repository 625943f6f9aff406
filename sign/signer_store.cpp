#include "sign/signer_store.h"

#include <openssl/crypto.h>

#include <bit>

#include "core/cert_view.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/system/files.h"
#include "platform/text/codepage.h"
#include "platform/token/token_provider.h"
#include "status/error_codes.h"

ErrorCode SignerStore::open(const SignerRef& signer, ErrorPair& status) {
    close();
    if (signer.thumbprint.empty() || signer.certificate.length() == 0)
        return status.fail(err::kNoSigner);
    switch (signer.source) {
        case 1:
            if (ErrorCode code = my_.OpenMy()) return status.failWith(code, my_.platformError());
            break;
        case 2: {
            if (signer.pfxPath.empty()) return status.fail(err::kNoSigner);
            std::string path = signer.pfxPath;
            path.push_back(kPathSeparator);
            path += signer.pfxName;
            std::string password(signer.pfxPassword.view());
            bool loaded = PathFileExistsA(path.c_str()) && pfx_.Load(path, password, 1) == 0;
            OPENSSL_cleanse(password.data(), password.size());
            if (!loaded) {
                pfx_.Close();
                return status.fail(err::kUndefined1102);
            }
            break;
        }
        default:
            return status.fail(err::kNoSigner);
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
    // The signer was on a card that has been pulled out since it was chosen.
    if (source_ == 1 && wasTokenCertificate(signer.certificate.data(), signer.certificate.length()))
        return status.failWith(err::kSignFailed, SCARD_W_REMOVED_CARD);
    return status.fail(err::kNoSigner);
}

KeyProvInfo SignerStore::keyProvInfo(ErrorPair& status) {
    if (source_ != 1 && source_ != 2) {
        status.fail(err::kSignFailed);
        return {};
    }
    KeyProvInfo info =
        source_ == 1 ? my_.GetKeyProvInfo(certificate()) : pfx_.GetKeyProvInfo(certificate());
    DWORD readError = source_ == 1 ? my_.platformError() : pfx_.platformError();
    // The read's last error is the pair's also when the read succeeds: a signature that
    // goes on to succeed, or fails without a platform error of its own, reports it.
    status.failWith(info ? err::kSuccess : err::kSignFailed, readError);
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

std::span<const uint8_t> contentBytes(const std::u16string& text, bool ansi, std::string& storage) {
    if (ansi) {
        storage = toAnsi(text);
    } else if constexpr (std::endian::native == std::endian::little) {
        // A 100 MiB text is signed without a second 100 MiB copy of it.
        return {reinterpret_cast<const uint8_t*>(text.data()), text.size() * sizeof(char16_t)};
    } else {
        storage.clear();
        storage.reserve(text.size() * 2);
        for (char16_t unit : text) {
            storage.push_back(static_cast<char>(unit & 0xFF));
            storage.push_back(static_cast<char>(unit >> 8));
        }
    }
    return {reinterpret_cast<const uint8_t*>(storage.data()), storage.size()};
}
