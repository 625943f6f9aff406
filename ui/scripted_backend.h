// A backend that answers dialogs from a queue of prepared answers and reports each
// dialog it is asked to show as one JSON line. Automation scripts and tests use it.
#pragma once

#include <deque>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "ui/dialogs.h"

namespace ui {

class ScriptedBackend final : public DialogBackend {
public:
    // `sink` receives one JSON line (UTF-8, no newline) per dialog or message box shown.
    explicit ScriptedBackend(std::function<void(const std::string&)> sink);

    const char* name() const override { return "script"; }
    FileChooserAnswer fileChooser(const FileChooserModel& model) override;
    int messageBox(const std::string& text, const std::string& caption, UINT type) override;

    // True for the dialog kinds this backend can answer.
    static bool knowsKind(const std::string& kind);
    // Queues an answer for the next dialog. `values` holds the dialog's fields for Ok
    // (UTF-8 JSON); it is ignored for Cancel and Failed. Returns false with a reason when
    // the kind is unknown or the values do not fit it.
    bool queue(const std::string& kind, DialogOutcome outcome, const nlohmann::json& values,
               std::string& reason);
    size_t pending() const { return answers_.size(); }

private:
    struct Answer {
        std::string kind;
        DialogOutcome outcome;
        nlohmann::json values;
    };
    // Takes the next answer for a dialog of `kind` and completes its report: the answer
    // given, or a note saying why the dialog was cancelled. Null when it is cancelled.
    bool take(const std::string& kind, nlohmann::ordered_json& report, Answer& answer);
    void emit(const nlohmann::ordered_json& report);

    std::function<void(const std::string&)> sink_;
    std::deque<Answer> answers_;
};

// Text in the ANSI code page as UTF-8 for reports, and back.
std::string ansiToReport(const std::string& ansi);
std::string reportToAnsi(const std::string& utf8);

}  // namespace ui
