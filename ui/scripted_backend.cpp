#include "ui/scripted_backend.h"

#include "platform/codepage.h"

namespace ui {

namespace {
const char* outcomeName(DialogOutcome o) {
    switch (o) {
        case DialogOutcome::Ok: return "ok";
        case DialogOutcome::Cancel: return "cancel";
        case DialogOutcome::Failed: return "fail";
    }
    return "cancel";
}
}  // namespace

std::string ansiToReport(const std::string& ansi) { return toUtf8(fromAnsi(ansi)); }
std::string reportToAnsi(const std::string& utf8) { return toAnsi(fromUtf8(utf8)); }

ScriptedBackend::ScriptedBackend(std::function<void(const std::string&)> sink)
    : sink_(std::move(sink)) {}

bool ScriptedBackend::knowsKind(const std::string& kind) { return kind == "FileChooser"; }

bool ScriptedBackend::queue(const std::string& kind, DialogOutcome outcome,
                            const nlohmann::json& values, std::string& reason) {
    if (!knowsKind(kind)) {
        reason = "unknown dialog kind: " + kind;
        return false;
    }
    if (outcome == DialogOutcome::Ok) {
        if (!values.is_object()) {
            reason = "an ok answer needs a JSON object";
            return false;
        }
        if (kind == "FileChooser" && !(values.contains("path") && values["path"].is_string())) {
            reason = "FileChooser answers need {\"path\":\"...\"}";
            return false;
        }
    }
    answers_.push_back(Answer{kind, outcome, values});
    return true;
}

bool ScriptedBackend::take(const std::string& kind, nlohmann::ordered_json& report,
                           Answer& answer) {
    if (answers_.empty()) {
        report["answer"] = "cancel";
        report["note"] = "no answer queued";
        return false;
    }
    if (answers_.front().kind != kind) {
        // A script that queued answers in the wrong order is told so; the answer stays
        // for the dialog it was meant for.
        report["answer"] = "cancel";
        report["note"] = "next queued answer is for " + answers_.front().kind;
        return false;
    }
    answer = std::move(answers_.front());
    answers_.pop_front();
    report["answer"] = outcomeName(answer.outcome);
    return true;
}

void ScriptedBackend::emit(const nlohmann::ordered_json& report) {
    if (sink_) sink_(report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

FileChooserAnswer ScriptedBackend::fileChooser(const FileChooserModel& model) {
    nlohmann::ordered_json report;
    report["dialog"] = "FileChooser";
    report["title"] = ansiToReport(model.title);
    report["filter"] = ansiToReport(model.filter);
    report["defaultExtension"] = ansiToReport(model.defaultExtension);
    report["initialFile"] = ansiToReport(model.initialFile);
    report["initialFolder"] = ansiToReport(model.initialFolder);
    report["options"] = model.options;
    Answer answer;
    FileChooserAnswer result;
    if (take("FileChooser", report, answer)) {
        result.outcome = answer.outcome;
        if (answer.outcome == DialogOutcome::Ok) {
            std::string path = answer.values["path"].get<std::string>();
            report["path"] = path;
            result.path = reportToAnsi(path);
        }
    }
    emit(report);
    return result;
}

int ScriptedBackend::messageBox(const std::string& text, const std::string& caption, UINT) {
    nlohmann::ordered_json report;
    report["messageBox"] = ansiToReport(text);
    report["caption"] = ansiToReport(caption);
    emit(report);
    return IDOK;
}

}  // namespace ui
