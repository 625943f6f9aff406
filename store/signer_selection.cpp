#include "store/signer_selection.h"

#include "core/cert_view.h"
#include "core/paths.h"
#include "status/error_codes.h"
#include "store/cert_list.h"
#include "store/cert_store.h"
#include "store/filter.h"
#include "ui/caller_guard.h"
#include "ui/launchers.h"

namespace {

// Records the chosen certificate's thumbprint and encoding. False when it cannot be
// read, which leaves no signer.
bool take(PCCERT_CONTEXT certificate, SelectedSigner& signer) {
    CertView view;
    if (!certificate || !view.fromContext(certificate)) return false;
    signer.thumbprint = view.thumbprintHex();
    return !signer.thumbprint.empty() &&
           signer.certificate.assign(certificate->pbCertEncoded,
                                     static_cast<int32_t>(certificate->cbCertEncoded));
}

}  // namespace

void SelectedSigner::clear() {
    source = -1;
    thumbprint.clear();
    certificate.release();
    pfxPath.clear();
    pfxName.clear();
    pfxPassword.clear();
}

ErrorCode selectSigner(const std::string& filter, int32_t dwFlags, int32_t dwKeyUsage,
                       const SignerDialogSettings& dialog, SelectedSigner& signer,
                       ErrorPair& status) {
    signer.clear();
    CertList list;
    CertStore my;
    PfxStore pfx;

    // The personal store first; any failure there leads to the PFX file.
    ErrorCode opened = my.OpenMy();
    if (status.failWith(opened, my.platformError()) == 0) {
        ErrorCode searched = my.FindCertificates(list, filter, dwFlags, dwKeyUsage);
        if (status.failWith(searched, my.platformError()) == 0 && !list.empty()) {
            PCCERT_CONTEXT chosen = list.at(0);
            bool decided = true;
            if (listDialogChooses(dwFlags, list.size())) {
                int32_t picked = 0;
                chosen = ui::pickCertificate({list.begin(), list.end()}, picked);
                decided = chosen != nullptr;
            }
            if (decided) {
                if (!take(chosen, signer)) {
                    signer.clear();
                    return status.fail(err::kCertFormat);
                }
                // The search's success is recorded already, its platform code with it.
                signer.source = 1;
                return 0;
            }
        }
    }

    if (status.capiError == static_cast<uint32_t>(NTE_PERM)) return status.fail(err::kAccessDenied);
    ui::PfxDialogResult answer = ui::launchPfxDialog(ui::PfxDialogUse::SelectSigner,
                                                     ui::makePfxDialogRequest(dialog, "", ""));
    if (status.fail(answer.code) != 0) return status.lastError;
    ui::handChosenFile(answer.folder, answer.fileName, ui::PathUse::ReadFile);

    ErrorCode loaded =
        pfx.Load(joinPath(answer.folder, answer.fileName), answer.password.view(), 1);
    DWORD loadError = pfx.platformError();
    if (loaded != 0)
        return status.failWith(loadError == NTE_PERM ? err::kAccessDenied : loaded, loadError);
    ErrorCode searched = pfx.FindFirstCertificate(list, filter, dwFlags, dwKeyUsage);
    if (status.failWith(searched, pfx.platformError()) != 0) return status.lastError;
    if (list.empty() || !take(list.at(0), signer)) {
        signer.clear();
        return status.fail(err::kCertNotFound);
    }
    signer.source = 2;
    signer.pfxPath = answer.folder;
    signer.pfxName = answer.fileName;
    signer.pfxPassword = std::move(answer.password);
    return 0;
}
