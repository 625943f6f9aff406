#include "mobile/mobile_export.h"

#include <openssl/crypto.h>

#include <limits>

#include "core/cert_view.h"
#include "core/paths.h"
#include "mobile/mobile_record_internal.h"
#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/size_protocol.h"
#include "platform/system/files.h"
#include "status/error_codes.h"
#include "store/cert_list.h"
#include "store/cert_store.h"
#include "store/filter.h"
#include "ui/caller_guard.h"
#include "ui/consent_dialogs.h"

namespace {

// fetchSized's buffer for a key blob: the caller's ByteBuffer, which is wiped when it is
// released. It is made once, for the size the query gives, and keeps that room; the
// length the export reports is kept beside it. A size it cannot be made for (none, more
// than an int32_t, no memory) is remembered, so that the export fails as the platform's
// own allocation would.
class KeyBlobBuffer {
  public:
    explicit KeyBlobBuffer(ByteBuffer& blob) : blob_(blob) {}
    BYTE* data() { return blob_.data(); }
    void clear() {
        blob_.release();
        length_ = 0;
    }
    void resize(size_t size) {
        if (blob_.empty())
            outOfMemory_ = size > static_cast<size_t>(std::numeric_limits<int32_t>::max()) ||
                           !blob_.allocate(static_cast<int32_t>(size));
        length_ = size;
    }
    size_t length() const { return length_; }
    bool outOfMemory() const { return outOfMemory_; }

  private:
    ByteBuffer& blob_;
    size_t length_ = 0;
    bool outOfMemory_ = false;
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
    status.failWith(err::kCancelled, 0);
    return false;
}

}  // namespace

ErrorCode exportPrivateKeyBlob(HCRYPTPROV provider, DWORD keySpec, ByteBuffer& blob,
                               ErrorPair& status) {
    blob.release();
    CryptKeyHolder key;
    if (!CryptGetUserKey(provider, keySpec, key.out()))
        return status.failWithPlatform(err::kNoPrivateKey);
    KeyBlobBuffer buffer(blob);
    bool exported = fetchSized(buffer, [&](BYTE* data, DWORD* size) {
        if (buffer.outOfMemory()) return failWithLastError(ERROR_NOT_ENOUGH_MEMORY);
        return CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, data, size);
    });
    if (!exported) return status.failWithPlatform(err::kKeyNotExportable);
    // Reading the record's fields from a blob of another shape would run past its end.
    RsaPrivateKeyBlob shape;
    if (!readRsaPrivateKeyBlob(blob.data(), buffer.length(), shape)) {
        blob.release();
        return status.failWith(err::kKeyNotExportable, NTE_BAD_KEY);
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
            status.fail(answer.code);
            return {};
        }
        ui::handChosenFile(answer.folder, answer.fileName, ui::PathUse::ReadFile);
        folder = answer.folder;
        fileName = answer.fileName;
        filePassword = std::move(answer.password);
    }
    std::string path = joinPath(folder, fileName);
    if (PathFileExistsA(path.c_str()) != TRUE) {
        status.fail(err::kFileNotFound);
        return {};
    }

    // Keys are imported exportable whatever the page asked: exporting them is the point.
    PfxStore pfx;
    if (ErrorCode code = pfx.Load(path, PasswordCopy(filePassword).get(), 1)) {
        status.failWith(code, pfx.platformError());
        return {};
    }
    // Stays unless a certificate with a private key is tried.
    status.fail(err::kCertNotFound);
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
            status.fail(err::kCertUsage);
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
    if (ErrorCode code = my.OpenMy()) {
        status.failWith(code, my.platformError());
        return {};
    }
    CertList list;
    ErrorCode found = my.FindCertificates(list, filter, dwFlags, dwKeyUsage);
    // The search's last error stays with a found list: a dialog cancelled afterwards
    // reports it beside its own code.
    const DWORD searchError = my.platformError();
    if (list.empty()) {
        status.failWith(found != 0 ? found : err::kCertNotFound, searchError);
        return {};
    }

    PCCERT_CONTEXT chosen = list.at(0);
    if (listDialogChooses(dwFlags, list.size())) {
        int32_t code = 0;
        chosen = ui::pickCertificate({list.begin(), list.end()}, code);
        if (!chosen) {
            status.failWith(code, searchError);
            return {};
        }
    }
    SecretString exportPassword = password;
    if (exportPassword.empty()) {
        ui::PasswordResult answer = ui::launchPasswordDialog();
        if (answer.code != ui::kLaunchOk) {
            status.failWith(answer.code, searchError);
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
