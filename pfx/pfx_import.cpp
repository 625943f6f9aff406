#include "pfx/pfx_import.h"

#include "core/cert_view.h"
#include "core/paths.h"
#include "pfx/pfx_file_internal.h"
#include "status/error_codes.h"
#include "store/cert_store.h"
#include "ui/caller_guard.h"

namespace {

// Why a certificate of the file cannot go into "MY"; 0 when it can.
ErrorCode refusal(PCCERT_CONTEXT cert, int32_t dwKeyUsage) {
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    // Cached on the certificate, which releases it; the add does not copy the cache.
    if (!CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &provider,
                                           &keySpec, nullptr))
        return err::kNoPrivateKey;
    if (dwKeyUsage > 0) {
        CertView view(cert);
        auto wanted = static_cast<uint32_t>(dwKeyUsage);
        if ((view.keyUsage() & wanted) != wanted) return err::kCertUsage;
    }
    return err::kSuccess;
}

}  // namespace

ErrorCode importPfxToMy(const std::string& folder, const std::string& fileName,
                        const SecretString& password, int32_t dwFlags, int32_t dwKeyUsage,
                        const ui::DialogSettings& dialog, ErrorPair& status) {
    ui::PfxDialogResult chosen;
    chosen.folder = folder;
    chosen.fileName = fileName;
    chosen.password = password;
    if (folder.empty() || fileName.empty() || password.empty() ||
        !ui::givenFileAccepted(joinPath(folder, fileName), {ui::PathUse::ReadFile}, true)) {
        chosen = ui::launchPfxDialog(ui::PfxDialogUse::ImportPfx,
                                     ui::makePfxDialogRequest(dialog, folder, fileName));
        if (status.fail(chosen.code) != 0) return status.lastError;
        ui::handChosenFile(chosen.folder, chosen.fileName, ui::PathUse::ReadFile);
    }

    PfxStore pfx;
    if (loadPfxFile(joinPath(chosen.folder, chosen.fileName), chosen.password.view(), dwFlags, pfx,
                    status) != 0)
        return status.lastError;
    CertStore my;
    if (ErrorCode opened = my.OpenMy(); opened != 0)
        return status.failWith(opened, my.platformError());

    // Until a certificate goes in, the last one passed over gives the reason; a failed
    // add's platform code stays even when a later certificate goes in.
    ErrorCode passedOver = err::kCertNotFound;
    DWORD addError = status.capiError;
    int added = 0;
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(pfx.handle(), nullptr); cert;
         cert = CertEnumCertificatesInStore(pfx.handle(), cert)) {
        ErrorCode reason = refusal(cert, dwKeyUsage);
        if (reason == 0 && my.AddKeyedCertificate(cert, nullptr)) {
            ++added;
            // The keys of the file now belong to certificates of "MY".
            pfx.setDeleteKeysOnClose(false);
            continue;
        }
        if (added > 0) continue;
        if (reason == 0) {
            passedOver = err::kCertNotFound;
            addError = my.platformError();
        } else {
            passedOver = reason;
        }
    }
    return status.failWith(added > 0 ? err::kSuccess : passedOver, addError);
}
