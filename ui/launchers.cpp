#include "ui/launchers.h"

#include <utility>

#include "platform/text/codepage.h"
#include "ui/credentials_dialog.h"

namespace ui {
namespace {

struct PfxLaunch {
    PfxDialogUse use;
    bool saveDialog;
    const char16_t* title;
    bool folderMode;
    bool wildcardWhenNoName;
};

constexpr PfxLaunch kPfxLaunches[] = {
    {PfxDialogUse::ImportPfx, false, u"憑證匯入", false, true},
    {PfxDialogUse::SelectSigner, false, u"請輸入簽章的憑證檔案資訊", false, true},
    {PfxDialogUse::ExportMobileFromPfx, true, u"憑證匯出", false, true},
    {PfxDialogUse::ExportPfx, true, u"憑證匯出", true, false},
};

CredentialsSettings settingsFor(const PfxDialogRequest& request, bool wildcardWhenNoName) {
    CredentialsSettings settings;
    settings.folder = request.folder.empty() ? request.defaultFolder : request.folder;
    settings.fileName = request.fileName.empty() && wildcardWhenNoName ? "*.pfx" : request.fileName;
    settings.minLength = request.minLength;
    settings.maxLength = request.maxLength;
    return settings;
}

int32_t launchCode(DialogOutcome outcome) {
    switch (outcome) {
        case DialogOutcome::Ok:
            return kLaunchOk;
        case DialogOutcome::Failed:
            return kLaunchNotCreated;
        case DialogOutcome::Cancel:
            break;
    }
    return kLaunchCancelled;
}

template <class Dialog>
PfxDialogResult runPfxDialog(const CredentialsSettings& settings) {
    Dialog dialog(settings);
    PfxDialogResult result;
    result.code = launchCode(runDialog(dialog));
    if (result.code == kLaunchOk) {
        result.folder = dialog.folder();
        result.fileName = dialog.fileName();
        result.password = dialog.password();
    }
    return result;
}

}  // namespace

PfxDialogRequest makePfxDialogRequest(const DialogSettings& settings, std::string folder,
                                      std::string fileName) {
    PfxDialogRequest request;
    request.folder = std::move(folder);
    request.fileName = std::move(fileName);
    request.defaultFolder = settings.defaultFolder;
    request.minLength = settings.passwordMinLength;
    request.maxLength = settings.passwordMaxLength;
    return request;
}

PfxDialogResult launchPfxDialog(PfxDialogUse use, const PfxDialogRequest& request) {
    const PfxLaunch* launch = &kPfxLaunches[0];
    for (const PfxLaunch& l : kPfxLaunches)
        if (l.use == use) launch = &l;
    CredentialsSettings settings = settingsFor(request, launch->wildcardWhenNoName);
    settings.title = toAnsi(launch->title);
    settings.folderMode = launch->folderMode;
    return launch->saveDialog ? runPfxDialog<PfxSaveDialog>(settings)
                              : runPfxDialog<PfxFileDialog>(settings);
}

ChangePasswordResult launchChangePasswordDialog(const PfxDialogRequest& request) {
    ChangePasswordDialog dialog(settingsFor(request, true));
    ChangePasswordResult result;
    result.code = launchCode(runDialog(dialog));
    if (result.code == kLaunchOk) {
        result.folder = dialog.folder();
        result.fileName = dialog.fileName();
        result.oldPassword = dialog.oldPassword();
        result.newPassword = dialog.newPassword();
        result.confirmPassword = dialog.confirmPassword();
    }
    return result;
}

PasswordResult launchPasswordDialog() {
    PasswordDialog dialog;
    PasswordResult result;
    result.code = launchCode(runDialog(dialog));
    if (result.code == kLaunchOk) result.password = dialog.password();
    return result;
}

PCCERT_CONTEXT pickCertificate(std::span<const PCCERT_CONTEXT> list, int32_t& lastError,
                               DocumentOpener& opener) {
    lastError = kLaunchOk;
    // OK on an empty list would choose a certificate that does not exist.
    if (list.empty()) {
        lastError = kLaunchNoCertificate;
        return nullptr;
    }
    CertListDialog dialog(list, opener);
    switch (runDialog(dialog)) {
        case DialogOutcome::Ok:
            return dialog.selected();
        case DialogOutcome::Failed:
            lastError = kLaunchNoCertificate;
            return nullptr;
        case DialogOutcome::Cancel:
            break;
    }
    lastError = kLaunchCancelled;
    return nullptr;
}

}  // namespace ui
