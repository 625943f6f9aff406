#include "ui/terminal_backend.h"

#include <termios.h>
#include <unistd.h>

#include <string>

#include "core/secret_string.h"
#include "platform/system/files.h"
#include "platform/text/codepage.h"
#include "ui/cert_list_dialog.h"
#include "ui/consent_dialogs.h"
#include "ui/credentials_dialog.h"
#include "ui/key_access_dialog.h"
#include "ui/origin_consent_dialog.h"
#include "ui/pin_dialog.h"
#include "ui/scripted_backend.h"

namespace ui {
namespace {

// Turns the terminal's echo off while a password is typed, when the stream is a terminal;
// the saved settings come back in close() and the destructor.
class EchoOff {
  public:
    explicit EchoOff(std::FILE* in) : fd_(fileno(in)) {
        if (fd_ < 0 || !isatty(fd_) || tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() { close(); }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    bool active() const { return active_; }
    void close() {
        if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
        active_ = false;
    }

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

class TerminalBackend final : public DialogBackend {
  public:
    TerminalBackend(std::FILE* in, std::FILE* out) : in_(in), out_(out) {}
    const char* name() const override { return "tty"; }

    FileChooserAnswer fileChooser(const FileChooserModel& model) override {
        print("\n== " + ansiToReport(shownCaption(model.title)) + " ==\n");
        if (!model.filter.empty()) {
            // Appended rather than `"(" + text`: GCC 12 at -O3 reads that insert at the
            // front as an overlapping copy.
            std::string filter = "(";
            filter += ansiToReport(model.filter);
            filter += ")\n";
            print(filter);
        }
        // A name typed without a folder is read in the folder shown, as a desktop chooser
        // opened there would take it.
        const std::string start = chooserStartFolder(model);
        if (!start.empty()) print("folder: " + ansiToReport(start) + "\n");
        FileChooserAnswer answer;
        std::string line;
        if (!ask("path (empty line cancels): ", line) || line.empty()) return answer;
        answer.outcome = DialogOutcome::Ok;
        answer.path = reportToAnsi(line);
        if (answer.path.front() != kPathSeparator && !start.empty())
            answer.path = start + kPathSeparator + answer.path;
        return answer;
    }

    FolderBrowserAnswer folderBrowser(const FolderBrowserModel& model) override {
        print("\n== " + ansiToReport(shownCaption(model.prompt)) + " ==\n");
        FolderBrowserAnswer answer;
        std::string line;
        if (!ask("folder (empty line cancels): ", line) || line.empty()) return answer;
        answer.outcome = DialogOutcome::Ok;
        answer.path = reportToAnsi(line);
        return answer;
    }

    int messageBox(const std::string& text, const std::string& caption, UINT) override {
        print("\n[" + ansiToReport(shownCaption(caption)) + "] " + ansiToReport(text) + "\n");
        std::string ignored;
        ask("(press Enter) ", ignored);
        return IDOK;
    }

    DialogOutcome runCredentialsDialog(CredentialsDialog& dialog) override {
        print("\n== " + ansiToReport(shownCaption(dialog.caption())) + " ==\n");
        const DialogResource& resource = dialog.resource();
        while (true) {
            if (dialog.hasPathBox()) {
                printLabel(resource.labelBefore(IDC_PATH));
                print("  " +
                      (dialog.pathText().empty() ? std::string("-")
                                                 : ansiToReport(dialog.pathText())) +
                      "\n");
                std::string line;
                const std::string button = resource.control(IDC_BROWSE)->ansiText();
                if (!ask(ansiToReport(button) + "? [y/N] ", line)) return DialogOutcome::Cancel;
                if (line == "y" || line == "Y") {
                    dialog.browse(*this);
                    print("  " + ansiToReport(dialog.pathText()) + "\n");
                }
            }
            for (const PasswordBox& box : dialog.boxes()) {
                const DialogControl* label = resource.labelBefore(box.id());
                SecretString typed;
                std::string prompt = label ? ansiToReport(label->ansiText()) + " " : "> ";
                if (!askSecret(prompt, typed)) return DialogOutcome::Cancel;
                dialog.clearBox(box.id());
                if (int32_t refused = dialog.typeUtf8(box.id(), typed.view()))
                    print("(the box takes " + std::to_string(box.limit()) + " characters; " +
                          std::to_string(refused) + " left out)\n");
            }
            if (!dialog.okEnabled()) {
                print("(OK stays disabled: each password needs at least " +
                      std::to_string(dialog.minLength()) + " characters)\n");
                continue;
            }
            std::string line;
            if (!ask(buttons(resource), line) || line == "c" || line == "C")
                return DialogOutcome::Cancel;
            if (dialog.pressOk(*this)) return DialogOutcome::Ok;
        }
    }

    DialogOutcome runCertListDialog(CertListDialog& dialog) override {
        print("\n== " + ansiToReport(shownCaption(dialog.caption())) + " ==\n");
        std::string heading = "  #";
        for (const auto& column : CertListDialog::columns())
            heading += " | " + ansiToReport(column.ansiHeading());
        print(heading + "\n");
        const auto& rows = dialog.rows();
        for (size_t i = 0; i < rows.size(); ++i) {
            std::string line = "  " + std::to_string(i + 1);
            for (const std::string& text : rows[i]) line += " | " + ansiToReport(text);
            print(line + "\n");
        }
        const std::string view = ansiToReport(dialog.resource().control(IDC_VIEW_CERT)->ansiText());
        while (true) {
            std::string line;
            if (!ask("number, v NUMBER (" + view + "), Enter for " +
                         std::to_string(dialog.highlightedRow() + 1) + ", c cancels: ",
                     line) ||
                line == "c" || line == "C")
                return DialogOutcome::Cancel;
            bool viewing = line.size() > 1 && (line[0] == 'v' || line[0] == 'V');
            std::string number = viewing ? line.substr(1) : line;
            if (!number.empty()) {
                int row = parseRow(number);
                if (!dialog.select(row - 1)) {
                    print("(no row " + number + ")\n");
                    continue;
                }
            }
            if (viewing) {
                dialog.pressView();
                continue;
            }
            dialog.pressOk();
            return DialogOutcome::Ok;
        }
    }

    DialogOutcome runKeyAccessDialog(KeyAccessDialog& dialog) override {
        print("\n== " + ansiToReport(shownCaption(dialog.caption())) + " ==\n" +
              ansiToReport(dialog.message()) + "\n");
        // Only an explicit yes allows the key: Enter, the end of the input or anything else
        // refuses it.
        std::string line;
        if (ask("[y/N] ", line) && (line == "y" || line == "Y")) {
            dialog.pressOk();
            return DialogOutcome::Ok;
        }
        dialog.pressCancel();
        return DialogOutcome::Cancel;
    }

    // An empty line or the end of the input cancels: no token takes an empty PIN.
    DialogOutcome runPinDialog(PinDialog& dialog) override {
        print("\n== " + ansiToReport(shownCaption(dialog.caption())) + " ==\n" +
              ansiToReport(dialog.message()) + "\n");
        SecretString typed;
        if (!askSecret("PIN: ", typed) || typed.empty()) {
            dialog.pressCancel();
            return DialogOutcome::Cancel;
        }
        dialog.typePin(typed.view());
        dialog.pressOk();
        return DialogOutcome::Ok;
    }

    DialogOutcome runOriginConsentDialog(OriginConsentDialog& dialog) override {
        print("\n== " + ansiToReport(shownCaption(dialog.caption())) + " ==\n" +
              ansiToReport(dialog.message()) + "\n");
        // As with keys, the site is refused unless the user types one of the allow answers.
        std::string line;
        if (ask("o " + ansiToReport(dialog.resource().control(IDC_ALLOW_ONCE)->ansiText()) +
                    ", a " + ansiToReport(dialog.resource().control(IDC_ALLOW_ALWAYS)->ansiText()) +
                    ", [Enter] " + ansiToReport(dialog.resource().control(IDCANCEL)->ansiText()) +
                    ": ",
                line)) {
            if (line == "o" || line == "O") {
                dialog.pressAllowOnce();
                return DialogOutcome::Ok;
            }
            if (line == "a" || line == "A") {
                dialog.pressAllowAlways();
                return DialogOutcome::Ok;
            }
        }
        dialog.pressDeny();
        return DialogOutcome::Cancel;
    }

    DialogOutcome runSignConsentDialog(SignConsentDialog& dialog) override {
        print("\n== " + ansiToReport(shownCaption(dialog.caption())) + " ==\n" +
              siteLine(dialog.site()) + ansiToReport(dialog.message()) + "\n---\n" +
              ansiToReport(dialog.shownText()) + "\n---\n");
        if (!yes()) {
            dialog.pressCancel();
            return DialogOutcome::Cancel;
        }
        print(ansiToReport(dialog.resource().control(IDC_SIGN_FURTHER)->ansiText()) + "? ");
        dialog.setSignFurther(yes());
        dialog.pressSign();
        return DialogOutcome::Ok;
    }

    DialogOutcome runKeyExportConsentDialog(KeyExportConsentDialog& dialog) override {
        return askSiteConsent(dialog, [&dialog] { dialog.pressExport(); });
    }

    DialogOutcome runStoreGrowthConsentDialog(StoreGrowthConsentDialog& dialog) override {
        return askSiteConsent(dialog, [&dialog] { dialog.pressAllow(); });
    }

    DialogOutcome runRootInstallDialog(RootInstallDialog& dialog) override {
        print("\n== " + ansiToReport(shownCaption(dialog.caption())) + " ==\n" +
              ansiToReport(dialog.message()) + "\n");
        if (!yes()) {
            dialog.pressNo();
            return DialogOutcome::Cancel;
        }
        dialog.pressYes();
        return DialogOutcome::Ok;
    }

  private:
    static std::string siteLine(const std::string& site) { return toUtf8(u"網站：") + site + "\n"; }

    // A site's consent of a message alone: `allow` on an explicit yes, else refused.
    template <typename Dialog, typename Allow>
    DialogOutcome askSiteConsent(Dialog& dialog, Allow allow) {
        print("\n== " + ansiToReport(shownCaption(dialog.caption())) + " ==\n" +
              siteLine(dialog.site()) + ansiToReport(dialog.message()) + "\n");
        if (!yes()) {
            dialog.pressCancel();
            return DialogOutcome::Cancel;
        }
        allow();
        return DialogOutcome::Ok;
    }

    // Only an explicit "y" says yes: Enter, the end of the input or anything else is no.
    bool yes() {
        std::string line;
        return ask("[y/N] ", line) && (line == "y" || line == "Y");
    }

    static std::string buttons(const DialogResource& resource) {
        return "[Enter] " + ansiToReport(resource.control(IDOK)->ansiText()) + ", c " +
               ansiToReport(resource.control(IDCANCEL)->ansiText()) + ": ";
    }

    static int parseRow(const std::string& text) {
        size_t i = text.find_first_not_of(' ');
        if (i == std::string::npos || text.size() - i > 9) return 0;
        int value = 0;
        for (; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9') return 0;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    }

    void printLabel(const DialogControl* label) {
        if (label) print(ansiToReport(label->ansiText()) + "\n");
    }

    void print(const std::string& text) {
        std::fputs(text.c_str(), out_);
        std::fflush(out_);
    }

    bool ask(const std::string& prompt, std::string& line) {
        print(prompt);
        line.clear();
        return readLine([&line](char c) { line.push_back(c); }, [&line] { line.pop_back(); });
    }

    bool askSecret(const std::string& prompt, SecretString& line) {
        print(prompt);
        EchoOff quiet(in_);
        bool any = readLine([&line](char c) { line.append(std::string_view(&c, 1)); },
                            [&line] { line.eraseTail(1); });
        if (quiet.active()) print("\n");
        return any;
    }

    // Reads one line (without its end) through `put`; `dropLast` removes a trailing CR.
    // False at the end of the input with nothing read.
    template <class Put, class DropLast>
    bool readLine(Put put, DropLast dropLast) {
        int c;
        bool any = false;
        char last = 0;
        while ((c = std::fgetc(in_)) != EOF) {
            any = true;
            if (c == '\n') break;
            last = static_cast<char>(c);
            put(last);
        }
        if (last == '\r' && any) dropLast();
        return any;
    }

    std::FILE* in_;
    std::FILE* out_;
};

}  // namespace

std::unique_ptr<DialogBackend> makeTerminalBackend(std::FILE* in, std::FILE* out) {
    if (!in || !out) return nullptr;
    return std::make_unique<TerminalBackend>(in, out);
}

}  // namespace ui
