#include "ui/scripted_backend.h"

#include "platform/text/codepage.h"
#include "ui/cert_list_dialog.h"
#include "ui/consent_dialogs.h"
#include "ui/credentials_dialog.h"
#include "ui/key_access_dialog.h"
#include "ui/origin_consent_dialog.h"
#include "ui/pin_dialog.h"

namespace ui {

namespace {

const char* outcomeName(DialogOutcome o) {
    switch (o) {
        case DialogOutcome::Ok:
            return "ok";
        case DialogOutcome::Cancel:
            return "cancel";
        case DialogOutcome::Failed:
            return "fail";
    }
    return "cancel";
}

enum class FieldType { Text, Index, Rows, Consent, Flag };

// One key of an ok answer: its JSON type and, for texts typed into a box, the box.
struct AnswerField {
    const char* key;
    FieldType type;
    bool required;
    int box;  // 0 when the value is not typed into a box
};

struct KindFormat {
    const char* kind;
    std::vector<AnswerField> fields;
};

const std::vector<KindFormat>& formats() {
    static const std::vector<KindFormat> table = {
        {"FileChooser", {{"path", FieldType::Text, true, 0}}},
        {"FolderBrowser", {{"path", FieldType::Text, true, 0}}},
        {"PfxFileDialog",
         {{"browse", FieldType::Text, false, 0},
          {"password", FieldType::Text, false, IDC_PASSWORD}}},
        {"PfxSaveDialog",
         {{"browse", FieldType::Text, false, 0},
          {"password", FieldType::Text, false, IDC_PASSWORD}}},
        {"ChangePasswordDialog",
         {{"browse", FieldType::Text, false, 0},
          {"old", FieldType::Text, false, IDC_PASSWORD},
          {"new", FieldType::Text, false, IDC_NEW_PASSWORD},
          {"confirm", FieldType::Text, false, IDC_CONFIRM_PASSWORD}}},
        {"PasswordDialog", {{"password", FieldType::Text, false, IDC_PASSWORD}}},
        {"CertListDialog",
         {{"index", FieldType::Index, false, 0}, {"view", FieldType::Rows, false, 0}}},
        {"KeyAccessDialog", {}},
        {"PinDialog", {{"pin", FieldType::Text, true, 0}}},
        {"OriginConsent", {{"answer", FieldType::Consent, true, 0}}},
        {"SignConsent", {{"further", FieldType::Flag, false, 0}}},
        {"KeyExportConsent", {}},
        {"RootInstallDialog", {}},
        {"StoreGrowthConsent", {}},
    };
    return table;
}

const KindFormat* findFormat(const std::string& kind) {
    for (const KindFormat& f : formats())
        if (kind == f.kind) return &f;
    return nullptr;
}

bool fits(FieldType type, const nlohmann::json& value) {
    switch (type) {
        case FieldType::Text:
            return value.is_string();
        case FieldType::Index:
            return value.is_number_integer() && value.get<int64_t>() >= -1;
        case FieldType::Rows:
            if (!value.is_array()) return false;
            for (const auto& row : value)
                if (!row.is_number_integer() || row.get<int64_t>() < 0) return false;
            return true;
        case FieldType::Consent:
            return value == "once" || value == "always";
        case FieldType::Flag:
            return value.is_boolean();
    }
    return false;
}

// Why an ok answer does not fit the kind's format; empty when it does.
std::string misfit(const KindFormat& format, const nlohmann::json& values) {
    if (!values.is_object()) return "an ok answer needs a JSON object";
    std::string keys;
    for (const AnswerField& f : format.fields) {
        keys += keys.empty() ? "" : ", ";
        keys += f.key;
    }
    for (const auto& [key, value] : values.items()) {
        const AnswerField* field = nullptr;
        for (const AnswerField& f : format.fields)
            if (key == f.key) field = &f;
        if (!field)
            return std::string(format.kind) + " answers take " + (keys.empty() ? "no keys" : keys) +
                   ", not " + key;
        if (!fits(field->type, value)) {
            const char* wanted = field->type == FieldType::Text    ? "a string"
                                 : field->type == FieldType::Index ? "an integer from -1"
                                 : field->type == FieldType::Rows  ? "an array of row numbers"
                                 : field->type == FieldType::Flag  ? "true or false"
                                                                   : "\"once\" or \"always\"";
            return std::string(format.kind) + " answer " + key + " must be " + wanted;
        }
    }
    for (const AnswerField& f : format.fields)
        if (f.required && !values.contains(f.key))
            return std::string(format.kind) + " answers need {\"" + f.key + "\":...}";
    return std::string();
}

nlohmann::ordered_json chooserReport(const FileChooserModel& model) {
    nlohmann::ordered_json report;
    report["dialog"] = "FileChooser";
    report["title"] = ansiToReport(shownCaption(model.title));
    report["filter"] = ansiToReport(model.filter);
    report["defaultExtension"] = ansiToReport(model.defaultExtension);
    report["initialFile"] = ansiToReport(model.initialFile);
    report["initialFolder"] = ansiToReport(model.initialFolder);
    report["startFolder"] = ansiToReport(chooserStartFolder(model));
    report["options"] = model.options;
    return report;
}

nlohmann::ordered_json browserReport(const FolderBrowserModel& model) {
    nlohmann::ordered_json report;
    report["dialog"] = "FolderBrowser";
    report["prompt"] = ansiToReport(shownCaption(model.prompt));
    report["flags"] = model.flags;
    return report;
}

}  // namespace

std::string ansiToReport(const std::string& ansi) {
    return toUtf8(fromAnsi(ansi));
}
std::string reportToAnsi(const std::string& utf8) {
    return toAnsi(fromUtf8(utf8));
}

ScriptedBackend::ScriptedBackend(std::function<void(const std::string&)> sink)
    : sink_(std::move(sink)) {}

bool ScriptedBackend::queue(const std::string& kind, DialogOutcome outcome,
                            const nlohmann::json& values, std::string& reason) {
    const KindFormat* format = findFormat(kind);
    if (!format) {
        reason = "unknown dialog kind: " + kind;
        return false;
    }
    if (outcome == DialogOutcome::Ok) {
        reason = misfit(*format, values);
        if (!reason.empty()) return false;
    }
    answers_.push_back(Answer{kind, outcome, values});
    return true;
}

bool ScriptedBackend::parseAnswer(const std::string& line, std::string& kind, DialogOutcome& o,
                                  nlohmann::json& values, std::string& reason) {
    auto word = [&line](size_t& at) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
        return line.substr(start, at - start);
    };
    size_t at = 0;
    kind = word(at);
    std::string outcome = word(at);
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    std::string json = line.substr(at);
    while (!json.empty() && (json.back() == ' ' || json.back() == '\r')) json.pop_back();
    if (outcome == "ok") {
        o = DialogOutcome::Ok;
        // A dialog whose ok answer has no fields may leave the object out.
        values =
            json.empty() ? nlohmann::json::object() : nlohmann::json::parse(json, nullptr, false);
        if (values.is_discarded()) {
            reason = kind + " ok needs a JSON object";
            return false;
        }
    } else if (outcome == "cancel" || outcome == "fail") {
        o = outcome == "cancel" ? DialogOutcome::Cancel : DialogOutcome::Failed;
        if (!json.empty()) {
            reason = kind + " " + outcome + " takes nothing more";
            return false;
        }
    } else {
        reason = "KIND (ok JSON|cancel|fail)";
        return false;
    }
    return true;
}

bool ScriptedBackend::queueLine(const std::string& line, std::string& reason) {
    std::string kind;
    DialogOutcome outcome;
    nlohmann::json values;
    return parseAnswer(line, kind, outcome, values, reason) && queue(kind, outcome, values, reason);
}

std::string ScriptedBackend::missingAnswer(const std::string& kind, bool wait) {
    if (answers_.empty() && source_) source_(kind, wait);
    if (answers_.empty()) return "no answer queued";
    // A script that queued answers in the wrong order is told so; the answer stays for
    // the dialog it was meant for.
    if (answers_.front().kind != kind) return "next queued answer is for " + answers_.front().kind;
    return std::string();
}

bool ScriptedBackend::take(const std::string& kind, nlohmann::ordered_json& report,
                           Answer& answer) {
    std::string why = missingAnswer(kind);
    if (!why.empty()) {
        report["answer"] = "cancel";
        report["note"] = why;
        return false;
    }
    answer = std::move(answers_.front());
    answers_.pop_front();
    report["answer"] = outcomeName(answer.outcome);
    return true;
}

bool ScriptedBackend::takeFollowing(const std::string& kind, Answer& answer) {
    std::string why = missingAnswer(kind);
    if (!why.empty()) {
        note(why);
        return false;
    }
    answer = std::move(answers_.front());
    answers_.pop_front();
    return true;
}

bool ScriptedBackend::takeFailure(const std::string& kind) {
    // Before the dialog shows: only an answer already there can make it fail.
    if (!missingAnswer(kind, false).empty() || answers_.front().outcome != DialogOutcome::Failed)
        return false;
    answers_.pop_front();
    return true;
}

void ScriptedBackend::note(const std::string& text) {
    nlohmann::ordered_json report;
    report["note"] = text;
    emit(report);
}

void ScriptedBackend::emit(const nlohmann::ordered_json& report) {
    if (sink_) sink_(report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

DialogOutcome ScriptedBackend::pickPath(const std::string& kind, nlohmann::ordered_json& report,
                                        std::string& path) {
    Answer answer;
    DialogOutcome outcome = DialogOutcome::Cancel;
    if (take(kind, report, answer)) {
        outcome = answer.outcome;
        if (outcome == DialogOutcome::Ok) {
            std::string picked = answer.values["path"].get<std::string>();
            report["path"] = picked;
            path = reportToAnsi(picked);
        }
    }
    emit(report);
    return outcome;
}

FileChooserAnswer ScriptedBackend::fileChooser(const FileChooserModel& model) {
    nlohmann::ordered_json report = chooserReport(model);
    FileChooserAnswer result;
    result.outcome = pickPath("FileChooser", report, result.path);
    return result;
}

FolderBrowserAnswer ScriptedBackend::folderBrowser(const FolderBrowserModel& model) {
    nlohmann::ordered_json report = browserReport(model);
    FolderBrowserAnswer result;
    result.outcome = pickPath("FolderBrowser", report, result.path);
    return result;
}

int ScriptedBackend::messageBox(const std::string& text, const std::string& caption, UINT) {
    nlohmann::ordered_json report;
    report["messageBox"] = ansiToReport(text);
    report["caption"] = ansiToReport(shownCaption(caption));
    emit(report);
    return IDOK;
}

void ScriptedBackend::browse(CredentialsDialog& dialog, const std::string& pick) {
    // The pick belongs to the dialog's answer; the chooser is reported as it opens.
    nlohmann::ordered_json report = dialog.folderMode()
                                        ? browserReport(dialog.folderBrowserRequest())
                                        : chooserReport(dialog.fileChooserRequest());
    report["answer"] = "ok";
    report["path"] = pick;
    emit(report);
    if (dialog.folderMode())
        dialog.applyFolderChoice({DialogOutcome::Ok, reportToAnsi(pick)});
    else
        dialog.applyFileChoice({DialogOutcome::Ok, reportToAnsi(pick)});
}

DialogOutcome ScriptedBackend::runCredentialsDialog(CredentialsDialog& dialog) {
    const std::string kind = dialog.kind();
    if (takeFailure(kind)) return DialogOutcome::Failed;
    nlohmann::ordered_json open;
    open["dialog"] = kind;
    open["title"] = ansiToReport(shownCaption(dialog.caption()));
    open["path"] = ansiToReport(dialog.pathText());
    open["min"] = dialog.minLength();
    open["max"] = dialog.maxLength();
    open["folderMode"] = dialog.folderMode();
    emit(open);
    const KindFormat* format = findFormat(kind);
    Answer answer;
    while (takeFollowing(kind, answer)) {
        // A dialog on the screen can only be confirmed or left: "fail" leaves it.
        if (answer.outcome != DialogOutcome::Ok) return DialogOutcome::Cancel;
        if (answer.values.contains("browse") && dialog.hasPathBox())
            browse(dialog, answer.values["browse"].get<std::string>());
        for (const AnswerField& field : format->fields) {
            if (field.box == 0 || !answer.values.contains(field.key)) continue;
            dialog.clearBox(field.box);
            dialog.typeUtf8(field.box, answer.values[field.key].get<std::string>());
        }
        if (!dialog.okEnabled()) {
            note("OK disabled");
            return DialogOutcome::Cancel;
        }
        if (dialog.pressOk(*this)) return DialogOutcome::Ok;
    }
    return DialogOutcome::Cancel;
}

DialogOutcome ScriptedBackend::runCertListDialog(CertListDialog& dialog) {
    const std::string kind = CertListDialog::kind();
    if (takeFailure(kind)) return DialogOutcome::Failed;
    nlohmann::ordered_json open;
    open["dialog"] = kind;
    open["title"] = ansiToReport(shownCaption(dialog.caption()));
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const CertListDialog::Row& row : dialog.rows()) {
        nlohmann::ordered_json texts = nlohmann::ordered_json::array();
        for (const std::string& text : row) texts.push_back(ansiToReport(text));
        rows.push_back(std::move(texts));
    }
    open["rows"] = std::move(rows);
    emit(open);
    Answer answer;
    if (!takeFollowing(kind, answer) || answer.outcome != DialogOutcome::Ok)
        return DialogOutcome::Cancel;
    auto choose = [&](int64_t row) {
        if (row < INT32_MAX && dialog.select(static_cast<int32_t>(row))) return true;
        note("no row " + std::to_string(row));
        return false;
    };
    if (answer.values.contains("view")) {
        for (const auto& row : answer.values["view"]) {
            if (!choose(row.get<int64_t>())) return DialogOutcome::Cancel;
            dialog.pressView();
        }
    }
    if (answer.values.contains("index")) {
        int64_t index = answer.values["index"].get<int64_t>();
        if (index == -1)
            dialog.clearSelection();
        else if (!choose(index))
            return DialogOutcome::Cancel;
    }
    dialog.pressOk();
    return DialogOutcome::Ok;
}

// Reports a dialog of `kind` opening, its caption shown as the backend shows it, then
// `fields`, and takes the answer queued for it: Failed when a fail line was queued (nothing
// reported), Cancel without an ok answer, Ok with `answer` filled.
DialogOutcome ScriptedBackend::present(const std::string& kind, const std::string& caption,
                                       nlohmann::ordered_json fields, Answer& answer) {
    if (takeFailure(kind)) return DialogOutcome::Failed;
    nlohmann::ordered_json open;
    open["dialog"] = kind;
    open["title"] = ansiToReport(shownCaption(caption));
    for (auto& [key, value] : fields.items()) open[key] = std::move(value);
    emit(open);
    if (!takeFollowing(kind, answer) || answer.outcome != DialogOutcome::Ok)
        return DialogOutcome::Cancel;
    return DialogOutcome::Ok;
}

DialogOutcome ScriptedBackend::presentConsent(const std::string& kind, const std::string& caption,
                                              nlohmann::ordered_json fields,
                                              const std::function<void()>& allow,
                                              const std::function<void()>& refuse) {
    Answer answer;
    DialogOutcome outcome = present(kind, caption, std::move(fields), answer);
    if (outcome == DialogOutcome::Ok) allow();
    if (outcome == DialogOutcome::Cancel) refuse();
    return outcome;
}

DialogOutcome ScriptedBackend::runKeyAccessDialog(KeyAccessDialog& dialog) {
    nlohmann::ordered_json fields;
    fields["text"] = ansiToReport(dialog.message());
    fields["container"] = ansiToReport(dialog.container());
    fields["operation"] = ansiToReport(dialog.operation());
    return presentConsent(
        KeyAccessDialog::kind(), dialog.caption(), std::move(fields),
        [&dialog] { dialog.pressOk(); }, [&dialog] { dialog.pressCancel(); });
}

// The PIN itself never appears in the report.
DialogOutcome ScriptedBackend::runPinDialog(PinDialog& dialog) {
    nlohmann::ordered_json fields;
    fields["text"] = ansiToReport(dialog.message());
    fields["token"] = ansiToReport(dialog.token());
    Answer answer;
    DialogOutcome outcome = present(PinDialog::kind(), dialog.caption(), std::move(fields), answer);
    if (outcome != DialogOutcome::Ok) {
        if (outcome == DialogOutcome::Cancel) dialog.pressCancel();
        return outcome;
    }
    dialog.typePin(answer.values["pin"].get_ref<const std::string&>());
    dialog.pressOk();
    return DialogOutcome::Ok;
}

DialogOutcome ScriptedBackend::runOriginConsentDialog(OriginConsentDialog& dialog) {
    nlohmann::ordered_json fields;
    fields["text"] = ansiToReport(dialog.message());
    fields["origin"] = dialog.origin();
    Answer answer;
    DialogOutcome outcome =
        present(OriginConsentDialog::kind(), dialog.caption(), std::move(fields), answer);
    if (outcome != DialogOutcome::Ok) {
        if (outcome == DialogOutcome::Cancel) dialog.pressDeny();
        return outcome;
    }
    if (answer.values["answer"] == "always")
        dialog.pressAllowAlways();
    else
        dialog.pressAllowOnce();
    return DialogOutcome::Ok;
}

// The consent dialogs below are answered by an ok line only: anything else, and no
// answer at all, refuses.
DialogOutcome ScriptedBackend::runSignConsentDialog(SignConsentDialog& dialog) {
    nlohmann::ordered_json fields;
    fields["site"] = dialog.site();
    fields["text"] = ansiToReport(dialog.message());
    fields["holder"] = ansiToReport(dialog.certificate().holder);
    fields["thumbprint"] = dialog.certificate().thumbprint;
    fields["content"] = ansiToReport(dialog.shownText());
    fields["length"] = dialog.length();
    fields["sha256"] = dialog.sha256();
    Answer answer;
    DialogOutcome outcome =
        present(SignConsentDialog::kind(), dialog.caption(), std::move(fields), answer);
    if (outcome != DialogOutcome::Ok) {
        if (outcome == DialogOutcome::Cancel) dialog.pressCancel();
        return outcome;
    }
    dialog.setSignFurther(answer.values.value("further", false));
    dialog.pressSign();
    return DialogOutcome::Ok;
}

DialogOutcome ScriptedBackend::runKeyExportConsentDialog(KeyExportConsentDialog& dialog) {
    nlohmann::ordered_json fields;
    fields["site"] = dialog.site();
    fields["text"] = ansiToReport(dialog.message());
    fields["holder"] = ansiToReport(dialog.certificate().holder);
    fields["thumbprint"] = dialog.certificate().thumbprint;
    fields["how"] = dialog.how() == KeyExport::PfxFile ? "pfx" : "mobile";
    fields["deletes"] = dialog.deletesCertificate();
    return presentConsent(
        KeyExportConsentDialog::kind(), dialog.caption(), std::move(fields),
        [&dialog] { dialog.pressExport(); }, [&dialog] { dialog.pressCancel(); });
}

DialogOutcome ScriptedBackend::runRootInstallDialog(RootInstallDialog& dialog) {
    nlohmann::ordered_json fields;
    fields["text"] = ansiToReport(dialog.message());
    fields["subject"] = ansiToReport(dialog.subject());
    fields["issuer"] = ansiToReport(dialog.issuer());
    fields["notBefore"] = ansiToReport(dialog.notBefore());
    fields["notAfter"] = ansiToReport(dialog.notAfter());
    fields["thumbprint"] = dialog.thumbprint();
    return presentConsent(
        RootInstallDialog::kind(), dialog.caption(), std::move(fields),
        [&dialog] { dialog.pressYes(); }, [&dialog] { dialog.pressNo(); });
}

DialogOutcome ScriptedBackend::runStoreGrowthConsentDialog(StoreGrowthConsentDialog& dialog) {
    nlohmann::ordered_json fields;
    fields["site"] = dialog.site();
    fields["text"] = ansiToReport(dialog.message());
    fields["what"] = dialog.what() == StoreGrowth::Keys ? "keys" : "certificates";
    fields["already"] = dialog.already();
    fields["adding"] = dialog.adding();
    return presentConsent(
        StoreGrowthConsentDialog::kind(), dialog.caption(), std::move(fields),
        [&dialog] { dialog.pressAllow(); }, [&dialog] { dialog.pressCancel(); });
}

}  // namespace ui
