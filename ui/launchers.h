// How the operations open their dialogs: each launcher creates the dialog with the
// settings its operation uses, runs it through the process's backend and reports one
// code. The codes are the control's error codes for these outcomes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/secret_string.h"
#include "platform/crypt/wincrypt.h"
#include "ui/cert_list_dialog.h"

namespace ui {

constexpr int32_t kLaunchOk = 0;
constexpr int32_t kLaunchCancelled = 5070;      // the user cancelled or closed the dialog
constexpr int32_t kLaunchNotCreated = 5002;     // the dialog could not be created
constexpr int32_t kLaunchNoCertificate = 5010;  // pickCertificate: no list, or no dialog

// The operations that ask for a PFX file or folder and its password.
enum class PfxDialogUse {
    ImportPfx,     // ImportPfxToIE: PfxFileDialog "憑證匯入", file mode
    SelectSigner,  // SelectSigner: PfxFileDialog "請輸入簽章的憑證檔案資訊", file mode
    ExportMobileFromPfx,  // ExportMobileFromPfx: PfxSaveDialog "憑證匯出", file mode
    ExportPfx,            // ExportPfxFromIE: PfxSaveDialog "憑證匯出", folder mode
};

// What the operation hands its launcher.
struct PfxDialogRequest {
    std::string folder;         // the operation's folder; empty: defaultFolder
    std::string fileName;       // empty: "*.pfx" (ExportPfx: the export file name, as given)
    std::string defaultFolder;  // the engine's default folder
    int32_t minLength = 0;      // the engine's password length range
    int32_t maxLength = 16;
};

// The engine's settings that every PFX dialog launch reads.
struct DialogSettings {
    std::string defaultFolder;
    int32_t passwordMinLength = 0;
    int32_t passwordMaxLength = 16;
};

// The request for the operation's folder and file name under the engine's settings.
PfxDialogRequest makePfxDialogRequest(const DialogSettings& settings, std::string folder,
                                      std::string fileName);

// Folder, file name and password are set only when code is kLaunchOk.
struct PfxDialogResult {
    int32_t code = kLaunchCancelled;
    std::string folder;
    std::string fileName;
    SecretString password;
};

struct ChangePasswordResult {
    int32_t code = kLaunchCancelled;
    std::string folder;
    std::string fileName;
    SecretString oldPassword;
    SecretString newPassword;
    SecretString confirmPassword;
};

struct PasswordResult {
    int32_t code = kLaunchCancelled;
    SecretString password;
};

// Runs the PFX file or save dialog for `use`. kLaunchOk with the dialog's values,
// kLaunchCancelled, or kLaunchNotCreated.
PfxDialogResult launchPfxDialog(PfxDialogUse use, const PfxDialogRequest& request);
// ChangePfxPasswd: the change-password dialog over the request's folder and file name
// (the same defaults as launchPfxDialog). The caller compares new and confirmation.
ChangePasswordResult launchChangePasswordDialog(const PfxDialogRequest& request);
// ExportMobileFromIE: the password dialog with its own caption and the range 0..16.
// kLaunchOk with the password, kLaunchCancelled, or kLaunchNotCreated.
PasswordResult launchPasswordDialog();

// Lets the user pick one of `list` in the certificate list dialog. Returns the chosen
// certificate (one of the list's, still the caller's) with lastError 0; null with
// lastError kLaunchNoCertificate for an empty list or a dialog that cannot be created,
// kLaunchCancelled when the user cancels. `opener` shows viewed certificates.
PCCERT_CONTEXT pickCertificate(std::span<const PCCERT_CONTEXT> list, int32_t& lastError,
                               DocumentOpener& opener = shellDocumentOpener());

}  // namespace ui
