// A backend that answers dialogs from a queue of prepared answers and reports each
// dialog it is asked to show as one JSON line. Automation scripts and tests use it.
//
// Reports and answers, by kind (UTF-8 JSON):
//   FileChooser     {"dialog":"FileChooser","title","filter","defaultExtension",
//                   "initialFile","initialFolder","options","answer"[,"path"|"note"]}
//                   ok {"path":PATH}
//   FolderBrowser   {"dialog":"FolderBrowser","prompt","flags","answer"[,"path"|"note"]}
//                   ok {"path":PATH}
//   PfxFileDialog, PfxSaveDialog, ChangePasswordDialog, PasswordDialog
//                   {"dialog":KIND,"title","path","min","max","folderMode"} on open;
//                   ok {"browse":PATH,"password":PW} (ChangePasswordDialog: "browse",
//                   "old","new","confirm"; PasswordDialog: "password"), every key
//                   optional. browse is the pick in the file chooser or folder browser
//                   (reported like one); the texts are typed into empty boxes, a box
//                   refusing what goes beyond its maximum. With OK disabled
//                   {"note":"OK disabled"} and the dialog is cancelled. A failed
//                   validation shows its message box and the dialog takes the next
//                   queued answer if that is for the same dialog, else it is cancelled.
//   CertListDialog  {"dialog":"CertListDialog","title","rows":[[holder,serial,from,to,
//                   issuer],...]} on open; ok {"index":N,"view":[ROW,...]}: view presses
//                   the view button on each row first, index is the row highlighted at
//                   OK (-1: none); both optional.
//   KeyAccessDialog {"dialog":"KeyAccessDialog","title","text","container",
//                   "operation"} on open; ok {} allows the use, cancel refuses it.
//   OriginConsent   {"dialog":"OriginConsent","title","text","origin"} on open;
//                   ok {"answer":"once"|"always"} allows the site, cancel denies it.
//   SignConsent     {"dialog":"SignConsent","title","site","text","holder","thumbprint",
//                   "content","length","sha256"} on open; ok {"further":BOOL} signs
//                   (further: the page may sign more with this certificate unasked).
//   KeyExportConsent {"dialog":"KeyExportConsent","title","site","text","holder",
//                   "thumbprint","how":"pfx"|"mobile","deletes":BOOL}; ok {} exports.
//   RootInstallDialog {"dialog":"RootInstallDialog","title","text","subject","issuer",
//                   "notBefore","notAfter","thumbprint"}; ok {} installs the root.
//   StoreGrowthConsent {"dialog":"StoreGrowthConsent","title","site","text",
//                   "what":"keys"|"certificates","already","adding"};
//                   ok {} lets the site add them.
//   (for these four, and KeyAccessDialog and OriginConsent, cancel or no answer refuses)
//   message boxes   {"messageBox":TEXT,"caption":TEXT}
// A dialog with no answer queued for it prints {"note":WHY} and is cancelled; "fail"
// makes a dialog fail to be created before it shows anything.
#pragma once

#include <deque>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "ui/dialogs.h"

namespace ui {

class ScriptedBackend final : public DialogBackend {
  public:
    // `sink` receives one JSON line (UTF-8, no newline) per dialog or message box shown.
    explicit ScriptedBackend(std::function<void(const std::string&)> sink);

    const char* name() const override { return "script"; }
    FileChooserAnswer fileChooser(const FileChooserModel& model) override;
    FolderBrowserAnswer folderBrowser(const FolderBrowserModel& model) override;
    int messageBox(const std::string& text, const std::string& caption, UINT type) override;
    DialogOutcome runCredentialsDialog(CredentialsDialog& dialog) override;
    DialogOutcome runCertListDialog(CertListDialog& dialog) override;
    DialogOutcome runKeyAccessDialog(KeyAccessDialog& dialog) override;
    DialogOutcome runPinDialog(PinDialog& dialog) override;
    DialogOutcome runOriginConsentDialog(OriginConsentDialog& dialog) override;
    DialogOutcome runSignConsentDialog(SignConsentDialog& dialog) override;
    DialogOutcome runKeyExportConsentDialog(KeyExportConsentDialog& dialog) override;
    DialogOutcome runRootInstallDialog(RootInstallDialog& dialog) override;
    DialogOutcome runStoreGrowthConsentDialog(StoreGrowthConsentDialog& dialog) override;

    // Queues an answer for the next dialog. `values` holds the dialog's fields for Ok
    // (UTF-8 JSON); it is ignored for Cancel and Failed. Returns false with a reason when
    // the kind is unknown or the values do not fit it.
    bool queue(const std::string& kind, DialogOutcome outcome, const nlohmann::json& values,
               std::string& reason);
    // Queues an answer written as one line "KIND ok JSON", "KIND cancel" or "KIND fail"
    // (JSON may be left out for an ok answer without fields). False with a reason when the
    // line is malformed or the answer does not fit.
    bool queueLine(const std::string& line, std::string& reason);
    // Only reads such a line: its kind, outcome and values; false with a reason when it
    // is malformed. The values are not checked against the kind.
    static bool parseAnswer(const std::string& line, std::string& kind, DialogOutcome& outcome,
                            nlohmann::json& values, std::string& reason);
    size_t pending() const { return answers_.size(); }
    // Asked when a dialog of `kind` finds no answer queued, before it gives up: it may
    // queue answers (see queueLine) from elsewhere, waiting for one when `wait` is true
    // (the dialog is on the screen and would wait for its user). Null: none.
    using AnswerSource = std::function<void(const std::string& kind, bool wait)>;
    void setAnswerSource(AnswerSource source) { source_ = std::move(source); }

  private:
    struct Answer {
        std::string kind;
        DialogOutcome outcome;
        nlohmann::json values;
    };
    // Why no answer can be taken for a dialog of `kind`; empty when the next one is for it.
    // `wait` is passed to the answer source when the queue is empty.
    std::string missingAnswer(const std::string& kind, bool wait = true);
    // Takes the next answer for a dialog of `kind` and completes its report: the answer
    // given, or a note saying why the dialog was cancelled. False when it is cancelled.
    bool take(const std::string& kind, nlohmann::ordered_json& report, Answer& answer);
    // Answers a chooser of `kind` from the queue: completes and emits its report and
    // sets `path` (ANSI) on Ok.
    DialogOutcome pickPath(const std::string& kind, nlohmann::ordered_json& report,
                           std::string& path);
    // Takes the next answer for a dialog already shown; false, with the note printed,
    // when there is none for it.
    bool takeFollowing(const std::string& kind, Answer& answer);
    // True (the answer consumed) when the next answer makes a dialog of `kind` fail.
    bool takeFailure(const std::string& kind);
    void browse(CredentialsDialog& dialog, const std::string& pick);
    void note(const std::string& text);
    void emit(const nlohmann::ordered_json& report);
    DialogOutcome present(const std::string& kind, const std::string& caption,
                          nlohmann::ordered_json fields, Answer& answer);
    // Presents a dialog that an ok answer without fields allows: `allow` on Ok, `refuse`
    // when it is cancelled (a dialog that fails is left untouched).
    DialogOutcome presentConsent(const std::string& kind, const std::string& caption,
                                 nlohmann::ordered_json fields, const std::function<void()>& allow,
                                 const std::function<void()>& refuse);

    std::function<void(const std::string&)> sink_;
    std::deque<Answer> answers_;
    AnswerSource source_;
};

// Text in the ANSI code page as UTF-8 for reports, and back.
std::string ansiToReport(const std::string& ansi);
std::string reportToAnsi(const std::string& utf8);

}  // namespace ui
