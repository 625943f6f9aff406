#include "mobile/mobile_export.h"

#include <openssl/crypto.h>

#include <limits>

#include "core/cert_view.h"
#include "core/paths.h"
#include "mobile/mobile_record.h"
#include "platform/system/files.h"
#include "status/error_codes.h"
#include "store/cert_list.h"
#include "store/cert_store.h"
#include "store/filter.h"
#include "ui/caller_guard.h"
#include "ui/consent_dialogs.h"

namespace {

// One key handle from CryptGetUserKey, destroyed with the holder.
class UserKey {
  public:
    UserKey() = default;
    ~UserKey() { close(); }
    UserKey(const UserKey&) = delete;
    UserKey& operator=(const UserKey&) = delete;
    void close() {
        if (handle_) CryptDestroyKey(handle_);
        handle_ = 0;
    }
    HCRYPTKEY* out() {
        close();
        return &handle_;
    }
    HCRYPTKEY get() const { return handle_; }

  private:
    HCRYPTKEY handle_ = 0;
};

// A narrow copy of a secret for calls that take std::string, wiped when it goes.
class PasswordCopy {
  public:
    explicit PasswordCopy(const SecretString& password) : text_(password.view()) {}
    ~PasswordCopy() { OPENSSL_cleanse(text_.data(), text_.size()); }
    PasswordCopy(const PasswordCopy&) = delete;
    PasswordCopy& operator=(const PasswordCopy&) = delete;
    const std::string& get() const { return text_; }

  private:
    std::string text_;
};

bool hasKeyUsage(PCCERT_CONTEXT certificate, int32_t dwKeyUsage) {
    if (dwKeyUsage <= 0) return true;
    CertView view(certificate);
    auto usage = static_cast<uint32_t>(dwKeyUsage);
    return (view.keyUsage() & usage) == usage;
}

// Asks the caller guard before the key of `certificate` is handed out as text; false
// with 5070 when it is refused.
bool keyMayLeave(PCCERT_CONTEXT certificate, ErrorPair& status) {
    if (ui::callerGuard().allowKeyExport(ui::summarizeCertificate(certificate),
                                         ui::KeyExport::MobileText, false))
        return true;
    status.lastError = err::kCancelled;
    status.capiError = 0;
    return false;
}

}  // namespace

ErrorCode exportPrivateKeyBlob(HCRYPTPROV provider, DWORD keySpec, ByteBuffer& blob,
                               ErrorPair& status) {
    blob.release();
    UserKey key;
    if (!CryptGetUserKey(provider, keySpec, key.out())) {
        status.failWithPlatform(err::kNoPrivateKey);
        return status.lastError;
    }
    DWORD size = 0;
    if (!CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size)) {
        status.failWithPlatform(err::kKeyNotExportable);
        return status.lastError;
    }
    if (size > static_cast<DWORD>(std::numeric_limits<int32_t>::max()) ||
        !blob.allocate(static_cast<int32_t>(size))) {
        status.lastError = err::kKeyNotExportable;
        status.capiError = ERROR_NOT_ENOUGH_MEMORY;
        return status.lastError;
    }
    if (!CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, blob.data(), &size)) {
        status.failWithPlatform(err::kKeyNotExportable);
        blob.release();
        return status.lastError;
    }
    // Reading the record's fields from a blob of another shape would run past its end.
    RsaPrivateKeyBlob shape;
    if (!readRsaPrivateKeyBlob(blob.data(), size, shape)) {
        status.lastError = err::kKeyNotExportable;
        status.capiError = NTE_BAD_KEY;
        blob.release();
        return status.lastError;
    }
    return 0;
}

std::string exportMobileFromPfx(const ui::PfxDialogRequest& request, const SecretString& password,
                                int32_t dwKeyUsage, ErrorPair& status) {
    std::string folder = request.folder;
    std::string fileName = request.fileName;
    SecretString filePassword = password;
    if (folder.empty() || fileName.empty() || filePassword.empty() ||
        !ui::givenFileAccepted(joinPath(folder, fileName), {ui::PathUse::ReadFile}, true)) {
        ui::PfxDialogResult answer =
            ui::launchPfxDialog(ui::PfxDialogUse::ExportMobileFromPfx, request);
        if (answer.code != ui::kLaunchOk) {
            status.lastError = answer.code;
            return {};
        }
        ui::handChosenFile(answer.folder, answer.fileName, ui::PathUse::ReadFile);
        folder = answer.folder;
        fileName = answer.fileName;
        filePassword = std::move(answer.password);
    }
    std::string path = joinPath(folder, fileName);
    if (PathFileExistsA(path.c_str()) != TRUE) {
        status.lastError = err::kFileNotFound;
        return {};
    }

    // Keys are imported exportable whatever the page asked: exporting them is the point.
    PfxStore pfx;
    status.lastError = pfx.Load(path, PasswordCopy(filePassword).get(), 1);
    status.capiError = pfx.platformError();
    if (status.lastError != 0) return {};
    status.lastError = err::kCertNotFound;
    if (!pfx.handle()) return {};

    std::string text;
    for (PCCERT_CONTEXT certificate = CertEnumCertificatesInStore(pfx.handle(), nullptr);
         certificate; certificate = CertEnumCertificatesInStore(pfx.handle(), certificate)) {
        HCRYPTPROV provider = 0;
        DWORD keySpec = 0;
        // The certificate keeps the provider handle (cache flag) and releases it.
        if (!CryptAcquireCertificatePrivateKey(certificate, CRYPT_ACQUIRE_CACHE_FLAG, nullptr,
                                               &provider, &keySpec, nullptr))
            continue;
        if (!hasKeyUsage(certificate, dwKeyUsage)) {
            status.lastError = err::kCertUsage;
            continue;
        }
        if (!keyMayLeave(certificate, status)) {
            CertFreeCertificateContext(certificate);
            break;
        }
        ByteBuffer blob;
        if (exportPrivateKeyBlob(provider, keySpec, blob, status) != 0) continue;
        text = buildMobileRecord(certificate, filePassword.view(), blob, status);
        CertFreeCertificateContext(certificate);
        break;
    }
    // Deletes the key containers the load made.
    pfx.Close();
    return text;
}

std::string exportMobileFromIE(const std::string& filter, const SecretString& password,
                               int32_t dwFlags, int32_t dwKeyUsage, ErrorPair& status) {
    CertStore my;
    status.lastError = my.OpenMy();
    status.capiError = my.platformError();
    if (status.lastError != 0) return {};
    CertList list;
    status.lastError = my.FindCertificates(list, filter, dwFlags, dwKeyUsage);
    status.capiError = my.platformError();
    if (list.empty()) {
        if (status.lastError == 0) status.lastError = err::kCertNotFound;
        return {};
    }

    PCCERT_CONTEXT chosen = list.at(0);
    if (listDialogChooses(dwFlags, list.size())) {
        int32_t code = 0;
        chosen = ui::pickCertificate({list.begin(), list.end()}, code);
        if (!chosen) {
            status.lastError = code;
            return {};
        }
    }
    SecretString exportPassword = password;
    if (exportPassword.empty()) {
        ui::PasswordResult answer = ui::launchPasswordDialog();
        if (answer.code != ui::kLaunchOk) {
            status.lastError = answer.code;
            return {};
        }
        exportPassword = std::move(answer.password);
    }

    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    if (!CryptAcquireCertificatePrivateKey(chosen, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &provider,
                                           &keySpec, nullptr)) {
        status.failWithPlatform(err::kNoPrivateKey);
        return {};
    }
    if (!keyMayLeave(chosen, status)) return {};
    ByteBuffer blob;
    if (exportPrivateKeyBlob(provider, keySpec, blob, status) != 0) return {};
    return buildMobileRecord(chosen, exportPassword.view(), blob, status);
}
