#include "pfx/pfx_export.h"

#include <algorithm>
#include <memory>

#include "core/cert_view.h"
#include "core/paths.h"
#include "pfx/pfx_file.h"
#include "platform/system/files.h"
#include "status/error_codes.h"
#include "store/cert_list.h"
#include "store/cert_store.h"
#include "ui/caller_guard.h"
#include "ui/consent_dialogs.h"

namespace {

constexpr int32_t kDeleteFromMy = 0x1000;

struct ContextFree {
    void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
using ContextPtr = std::unique_ptr<const CERT_CONTEXT, ContextFree>;

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The certificate of "MY" whose encoding is the chosen one's, byte for byte.
ContextPtr findInStore(HCERTSTORE store, PCCERT_CONTEXT chosen) {
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr); cert;
         cert = CertEnumCertificatesInStore(store, cert)) {
        if (cert->cbCertEncoded == chosen->cbCertEncoded &&
            std::equal(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded,
                       chosen->pbCertEncoded))
            return ContextPtr(cert);
    }
    return nullptr;
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

}  // namespace

std::string pfxExportFileName(const std::string& defaultName, const std::string& commonName) {
    if (defaultName.empty()) return commonName + ".pfx";
    if (asciiLower(defaultName).find(".pfx") != std::string::npos) return defaultName;
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
    status.lastError = my.OpenMy();
    if (status.lastError != 0) {
        status.capiError = my.platformError();
        return status.lastError;
    }
    CertList found;
    status.lastError = my.FindCertificates(found, filter, dwFlags, dwKeyUsage);
    status.capiError = my.platformError();
    if (status.lastError != 0) return status.lastError;
    PCCERT_CONTEXT chosen = found.at(0);
    if (found.empty()) {
        status.lastError = err::kCertNotFound;
        return status.lastError;
    }
    if (found.size() > 1) {
        chosen = ui::pickCertificate({found.begin(), found.end()}, status.lastError);
        if (!chosen) return status.lastError;
    }
    std::string fileName = pfxExportFileName(defaultName, CertView(chosen).subjectCN());

    CertStore memory;
    status.lastError = memory.OpenMemory();
    if (status.lastError != 0) {
        status.capiError = memory.platformError();
        return status.lastError;
    }
    ContextPtr inMy = findInStore(my.handle(), chosen);
    if (!inMy) {
        status.lastError = err::kCertNotFound;
        return status.lastError;
    }
    if (!hasPrivateKey(inMy.get())) {
        status.lastError = err::kNoPrivateKey;
        return status.lastError;
    }
    if (!ui::callerGuard().allowKeyExport(ui::summarizeCertificate(inMy.get()),
                                          ui::KeyExport::PfxFile, dwFlags & kDeleteFromMy)) {
        status.lastError = err::kCancelled;
        return status.lastError;
    }
    // Only this certificate goes into the file; its issuers never do.
    if (!CertAddCertificateContextToStore(memory.handle(), inMy.get(), CERT_STORE_ADD_ALWAYS,
                                          nullptr)) {
        status.failWithPlatform(err::kMyStoreDenied);
        return status.lastError;
    }
    // A name with a separator, "." or ".." would put the file (and the save dialog's
    // write check) outside the folder.
    if (!isPlainFileName(fileName)) {
        status.lastError = err::kExchangeFileWrite;
        return status.lastError;
    }

    ui::PfxDialogResult target;
    target.folder = folder;
    target.fileName = fileName;
    target.password = password;
    if (folder.empty() || password.empty() ||
        !ui::givenFileAccepted(folder, {ui::PathUse::Folder}, false) ||
        !ui::givenFileAccepted(joinPath(folder, fileName), {ui::PathUse::WriteFile}, false)) {
        target = ui::launchPfxDialog(ui::PfxDialogUse::ExportPfx,
                                     ui::makePfxDialogRequest(dialog, folder, fileName));
        status.lastError = target.code;
        if (status.lastError != 0) return status.lastError;
        // The save dialog shows the whole path: OK chooses that file to be written.
        ui::handChosenFile(target.folder, target.fileName, ui::PathUse::WriteFile);
    }

    ByteBuffer pfx;
    DWORD platformError = 0;
    switch (encodePfx(memory.handle(), target.password.view(), pfx, platformError)) {
        case PfxEncodeFailure::None:
            break;
        case PfxEncodeFailure::Allocation:
            status.lastError = err::kExchangeFileWrite;
            return status.lastError;
        case PfxEncodeFailure::Sizing:
        case PfxEncodeFailure::Encoding:
            status.capiError = platformError;
            status.lastError =
                platformError == ERROR_CANCELLED ? err::kCancelled : err::kKeyNotExportable;
            return status.lastError;
    }
    if (!ensureFolder(target.folder)) {
        status.lastError = err::kCreateDirectory;
        return status.lastError;
    }
    if (!writer.replace(joinPath(target.folder, target.fileName), pfx)) {
        status.lastError = err::kExchangeFileWrite;
        return status.lastError;
    }
    // Only now that the file holds it may the certificate leave the store.
    if (dwFlags & kDeleteFromMy) CertDeleteCertificateFromStore(inMy.release());
    exported = {target.folder, target.fileName};
    return status.lastError;
}
