// How dialogs reach the user: the backend interface, the platform's file chooser and
// folder browser, message boxes. What each dialog shows and what it hands back lives in
// its model (credentials_dialog.h, cert_list_dialog.h); a backend presents a model and
// feeds the user's input into it. All texts are narrow strings in the process's ANSI
// code page.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/system/types.h"

namespace ui {

enum class DialogOutcome {
    Ok,      // the user confirmed
    Cancel,  // the user left it any other way
    Failed,  // the dialog could not be created
};

// Open-file options of the platform's chooser.
constexpr DWORD OFN_OVERWRITEPROMPT = 0x00000002;
constexpr DWORD OFN_HIDEREADONLY = 0x00000004;
constexpr DWORD OFN_NOVALIDATE = 0x00000100;

// The platform's modal open-file chooser.
struct FileChooserModel {
    std::string title;
    // Entries "description|patterns|" ... ending in "||", as the platform's filter text.
    std::string filter;
    std::string defaultExtension;
    std::string initialFile;
    std::string initialFolder;
    DWORD options = 0;
};

// The folder a file chooser opens in: the model's initialFolder, else the process's working
// folder (which kscapi-bridge makes the user's home). ANSI code page; empty when the
// working folder cannot be read.
std::string chooserStartFolder(const FileChooserModel& model);

struct FileChooserAnswer {
    DialogOutcome outcome = DialogOutcome::Cancel;
    std::string path;  // the chosen full path, on Ok
};

// The platform's modal folder browser, rooted at the desktop.
struct FolderBrowserModel {
    std::string prompt;
    UINT flags = 0;
};

struct FolderBrowserAnswer {
    DialogOutcome outcome = DialogOutcome::Cancel;
    std::string path;  // the chosen folder, on Ok
};

// Message-box styles and answers used by the dialogs.
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONERROR = 0x00000010;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONWARNING = 0x00000030;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr UINT MB_ICONMASK = 0x000000F0;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

class CredentialsDialog;
class CertListDialog;
class KeyAccessDialog;
class PinDialog;
class OriginConsentDialog;
class SignConsentDialog;
class KeyExportConsentDialog;
class RootInstallDialog;
class StoreGrowthConsentDialog;

// How dialogs are shown. One backend serves the whole process; hosts choose it. A
// backend only presents: every rule of a dialog is in its model, so a backend that
// cannot show some kind of dialog simply fails to create it (the defaults below).
class DialogBackend {
  public:
    virtual ~DialogBackend() = default;
    virtual const char* name() const = 0;
    virtual FileChooserAnswer fileChooser(const FileChooserModel& model) = 0;
    // Default: Failed.
    virtual FolderBrowserAnswer folderBrowser(const FolderBrowserModel& model);
    // Shows a message and waits until it is dismissed; returns the button pressed.
    virtual int messageBox(const std::string& text, const std::string& caption, UINT type) = 0;
    // Presents the dialog modally and feeds the user's typing, browsing and buttons into
    // it until the user ends it. Ok only when the model's pressOk accepted; Cancel for
    // any other ending; Failed when the dialog could not be created (the model is then
    // untouched). Default: Failed.
    virtual DialogOutcome runCredentialsDialog(CredentialsDialog& dialog);
    // The same for the certificate list. Default: Failed.
    virtual DialogOutcome runCertListDialog(CertListDialog& dialog);
    // The same for the consent to use a protected key: Ok only when the model's pressOk
    // was called. Default: Failed (the use is refused).
    virtual DialogOutcome runKeyAccessDialog(KeyAccessDialog& dialog);
    // The same for a token's PIN: Ok only when the model's pressOk was called, with the
    // PIN typed into it. Default: Failed (the login is cancelled).
    virtual DialogOutcome runPinDialog(PinDialog& dialog);
    // The same for a web site's request to use the control: Ok only when one of the
    // model's allow buttons was pressed. Default: Failed (the site is refused).
    virtual DialogOutcome runOriginConsentDialog(OriginConsentDialog& dialog);
    // The same for a page's signature, a private key leaving for a page, a new trusted
    // root and a page adding keys or certificates beyond its allowance
    // (consent_dialogs.h): Ok only when the model's allow button was pressed. Default:
    // Failed (refused).
    virtual DialogOutcome runSignConsentDialog(SignConsentDialog& dialog);
    virtual DialogOutcome runKeyExportConsentDialog(KeyExportConsentDialog& dialog);
    virtual DialogOutcome runRootInstallDialog(RootInstallDialog& dialog);
    virtual DialogOutcome runStoreGrowthConsentDialog(StoreGrowthConsentDialog& dialog);
};

// Who the dialogs shown now work for (a web page's origin while the page's call runs;
// ANSI text, empty for nobody in particular). Every backend shows it in the caption of
// each dialog and message box beside the dialog's own title, so that the user sees which
// site is asking. Process-wide, like the backend.
void setDialogRequester(const std::string& requester);
const std::string& dialogRequester();
// The caption a backend shows for a dialog whose own title is `title`: the title, then
// " - " and the requester while one is set.
std::string shownCaption(const std::string& title);

// Sets the requester for one scope and puts the previous one back.
class ScopedDialogRequester {
  public:
    explicit ScopedDialogRequester(const std::string& requester) : previous_(dialogRequester()) {
        setDialogRequester(requester);
    }
    ~ScopedDialogRequester() { setDialogRequester(previous_); }
    ScopedDialogRequester(const ScopedDialogRequester&) = delete;
    ScopedDialogRequester& operator=(const ScopedDialogRequester&) = delete;

  private:
    std::string previous_;
};

// The process's backend (the `none` backend until a host installs another).
DialogBackend& backend();
// Installs `b` as the process's backend and returns the previous one.
std::unique_ptr<DialogBackend> setBackend(std::unique_ptr<DialogBackend> b);

// Installs a backend for one scope (tests) and puts the previous one back.
class ScopedBackend {
  public:
    explicit ScopedBackend(std::unique_ptr<DialogBackend> b)
        : previous_(setBackend(std::move(b))) {}
    ~ScopedBackend() { setBackend(std::move(previous_)); }
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;

  private:
    std::unique_ptr<DialogBackend> previous_;
};

// The backend of a process with nobody to ask: no dialog can be created (every one
// reports Failed) and message boxes are acknowledged unseen.
std::unique_ptr<DialogBackend> makeNoneBackend();
// A backend that passes every dialog to `target`, which the caller keeps alive (a host
// lends its backend to a module loaded into it this way).
std::unique_ptr<DialogBackend> makeForwardingBackend(DialogBackend& target);

// Shows the platform's modal file chooser through the process's backend.
FileChooserAnswer showFileChooser(const FileChooserModel& model);
// Shows the platform's folder browser through the process's backend.
FolderBrowserAnswer showFolderBrowser(const FolderBrowserModel& model);
// Runs a dialog modally through the process's backend (see DialogBackend).
DialogOutcome runDialog(CredentialsDialog& dialog);
DialogOutcome runDialog(CertListDialog& dialog);
DialogOutcome runDialog(KeyAccessDialog& dialog);
DialogOutcome runDialog(PinDialog& dialog);
DialogOutcome runDialog(OriginConsentDialog& dialog);
DialogOutcome runDialog(SignConsentDialog& dialog);
DialogOutcome runDialog(KeyExportConsentDialog& dialog);
DialogOutcome runDialog(RootInstallDialog& dialog);
DialogOutcome runDialog(StoreGrowthConsentDialog& dialog);

}  // namespace ui
