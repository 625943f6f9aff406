#include "pfx/pfx_export.h"

#include <algorithm>

#include "core/cert_view.h"
#include "core/paths.h"
#include "pfx/pfx_file_internal.h"
#include "platform/crypt/crypt_holders.h"
#include "platform/system/files.h"
#include "platform/text/ascii.h"
#include "status/error_codes.h"
#include "store/cert_list.h"
#include "store/cert_store.h"
#include "ui/caller_guard.h"
#include "ui/consent_dialogs.h"

namespace {

constexpr int32_t kDeleteFromMy = 0x1000;

// The certificate of "MY" whose encoding is the chosen one's, byte for byte.
CertContextHolder findInStore(HCERTSTORE store, PCCERT_CONTEXT chosen) {
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr); cert;
         cert = CertEnumCertificatesInStore(store, cert)) {
        if (cert->cbCertEncoded == chosen->cbCertEncoded &&
            std::equal(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded,
                       chosen->pbCertEncoded))
            return CertContextHolder(cert);
    }
    return CertContextHolder();
}

bool hasPrivateKey(PCCERT_CONTEXT cert) {
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &provider, &keySpec, &callerFree))
        return false;
    if (callerFree) CryptReleaseContext(provider, 0);
    return true;
}

// The folder exists as a folder afterwards, or the export ends with 1001.
bool ensureFolder(const std::string& folder) {
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return CreateDirectoryA(folder.c_str(), nullptr);
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Why the certificate's key could not be written into the file.
ErrorCode exportRefusal(DWORD platformError) {
    return platformError == ERROR_CANCELLED ? err::kCancelled : err::kKeyNotExportable;
}

}  // namespace

std::string pfxExportFileName(const std::string& defaultName, const std::string& commonName) {
    if (defaultName.empty()) return commonName + ".pfx";
    if (text::asciiLower(defaultName).find(".pfx") != std::string::npos) return defaultName;
    return defaultName + ".pfx";
}

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find(kPathSeparator) == std::string::npos;
}

ErrorCode exportPfxFromMy(const std::string& filter, const std::string& folder,
                          const SecretString& password, int32_t dwFlags, int32_t dwKeyUsage,
                          const std::string& defaultName, const ui::DialogSettings& dialog,
                          ExportedPfxFile& exported, ErrorPair& status,
                          const FileReplacer& writer) {
    CertStore my;
    if (ErrorCode opened = my.OpenMy(); opened != 0)
        return status.failWith(opened, my.platformError());
    CertList found;
    ErrorCode searched = my.FindCertificates(found, filter, dwFlags, dwKeyUsage);
    // The search's platform code stays with a success as well.
    if (status.failWith(searched, my.platformError()) != 0) return status.lastError;
    PCCERT_CONTEXT chosen = found.at(0);
    if (found.empty()) return status.fail(err::kCertNotFound);
    if (found.size() > 1) {
        int32_t picked = 0;
        chosen = ui::pickCertificate({found.begin(), found.end()}, picked);
        if (!chosen) return status.fail(picked);
    }
    std::string fileName = pfxExportFileName(defaultName, CertView(chosen).subjectCN());

    CertStore memory;
    if (ErrorCode opened = memory.OpenMemory(); opened != 0)
        return status.failWith(opened, memory.platformError());
    CertContextHolder inMy = findInStore(my.handle(), chosen);
    if (!inMy) return status.fail(err::kCertNotFound);
    if (!hasPrivateKey(inMy.get())) return status.fail(err::kNoPrivateKey);
    if (!ui::callerGuard().allowKeyExport(ui::summarizeCertificate(inMy.get()),
                                          ui::KeyExport::PfxFile, dwFlags & kDeleteFromMy))
        return status.fail(err::kCancelled);
    // Only this certificate goes into the file; its issuers never do.
    if (!CertAddCertificateContextToStore(memory.handle(), inMy.get(), CERT_STORE_ADD_ALWAYS,
                                          nullptr))
        return status.failWithPlatform(err::kMyStoreDenied);
    // A name with a separator, "." or ".." would put the file (and the save dialog's
    // write check) outside the folder.
    if (!isPlainFileName(fileName)) return status.fail(err::kExchangeFileWrite);

    ui::PfxDialogResult target;
    target.folder = folder;
    target.fileName = fileName;
    target.password = password;
    if (folder.empty() || password.empty() ||
        !ui::givenFileAccepted(folder, {ui::PathUse::Folder}, false) ||
        !ui::givenFileAccepted(joinPath(folder, fileName), {ui::PathUse::WriteFile}, false)) {
        target = ui::launchPfxDialog(ui::PfxDialogUse::ExportPfx,
                                     ui::makePfxDialogRequest(dialog, folder, fileName));
        if (status.fail(target.code) != 0) return status.lastError;
        // The save dialog shows the whole path: OK chooses that file to be written.
        ui::handChosenFile(target.folder, target.fileName, ui::PathUse::WriteFile);
    }

    ByteBuffer pfx;
    if (encodePfx(memory.handle(), target.password.view(), pfx, err::kExchangeFileWrite,
                  exportRefusal, status) != 0)
        return status.lastError;
    if (!ensureFolder(target.folder)) return status.fail(err::kCreateDirectory);
    if (!writer.replace(joinPath(target.folder, target.fileName), pfx))
        return status.fail(err::kExchangeFileWrite);
    // Only now that the file holds it may the certificate leave the store.
    if (dwFlags & kDeleteFromMy) CertDeleteCertificateFromStore(inMy.release());
    exported = {target.folder, target.fileName};
    return status.lastError;
}
