// The launchers and the scripted backend together: what each operation's dialog shows,
// what it reports, and how queued answers drive it; a few runs from script lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "cert_fixtures.h"
#include "dialog_fakes.h"
#include "host/script_runner.h"
#include "platform/system/files.h"
#include "status/error_codes.h"
#include "store/cert_list.h"
#include "test_support.h"
#include "ui/launchers.h"
#include "ui/scripted_backend.h"

using nlohmann::json;
using testing_support::TempDir;
using testing_support::writeFile;
using ui::DialogOutcome;

static_assert(ui::kLaunchOk == err::kSuccess);
static_assert(ui::kLaunchCancelled == err::kCancelled);
static_assert(ui::kLaunchNotCreated == err::kAllocation);
static_assert(ui::kLaunchNoCertificate == err::kCertNotFound);

namespace {

ui::PfxDialogRequest request(std::string folder = "", std::string name = "") {
    ui::PfxDialogRequest r;
    r.folder = std::move(folder);
    r.fileName = std::move(name);
    r.defaultFolder = "/home/user/Desktop";
    return r;
}

}  // namespace

TEST(DialogLaunch, EachOperationOpensItsDialog) {
    ScopedCodePage cp(950);
    struct Case {
        ui::PfxDialogUse use;
        ui::PfxDialogRequest request;
        std::string open;
    } cases[] = {
        {ui::PfxDialogUse::ImportPfx, request(),
         R"({"dialog":"PfxFileDialog","title":"憑證匯入","path":"/home/user/Desktop/*.pfx","min":0,"max":16,"folderMode":false})"},
        {ui::PfxDialogUse::SelectSigner, request("/certs", "a.pfx"),
         R"({"dialog":"PfxFileDialog","title":"請輸入簽章的憑證檔案資訊","path":"/certs/a.pfx","min":0,"max":16,"folderMode":false})"},
        {ui::PfxDialogUse::ExportMobileFromPfx, request("/certs/"),
         R"({"dialog":"PfxSaveDialog","title":"憑證匯出","path":"/certs/*.pfx","min":0,"max":16,"folderMode":false})"},
        {ui::PfxDialogUse::ExportPfx, request("", "Kestrune.pfx"),
         R"({"dialog":"PfxSaveDialog","title":"憑證匯出","path":"/home/user/Desktop/Kestrune.pfx","min":0,"max":16,"folderMode":true})"},
    };
    for (const Case& c : cases) {
        ScriptedDialogs script;
        script.queue(json::parse(c.open)["dialog"], DialogOutcome::Cancel);
        EXPECT_EQ(ui::launchPfxDialog(c.use, c.request).code, 5070);
        ASSERT_EQ(script.raw.size(), 1u);
        EXPECT_EQ(script.raw[0], c.open);
    }
    ScriptedDialogs script;
    script.queue("ChangePasswordDialog", DialogOutcome::Cancel);
    ui::PfxDialogRequest range = request();
    range.minLength = 9;
    range.maxLength = 3;
    EXPECT_EQ(ui::launchChangePasswordDialog(range).code, 5070);
    script.queue("PasswordDialog", DialogOutcome::Cancel);
    EXPECT_EQ(ui::launchPasswordDialog().code, 5070);
    std::vector<std::string> expected = {
        R"({"dialog":"ChangePasswordDialog","title":"變更憑證檔密碼","path":"/home/user/Desktop/*.pfx","min":3,"max":9,"folderMode":false})",
        R"({"dialog":"PasswordDialog","title":"執行憑證匯出","path":"","min":0,"max":16,"folderMode":false})",
    };
    EXPECT_EQ(script.raw, expected);
}

TEST(DialogLaunch, OutcomesAndValues) {
    TempDir dir;
    writeFile(dir.file("a.pfx"), "pfx");
    struct Case {
        const char* what;
        DialogOutcome outcome;
        json values;
        int32_t code;
        std::string folder, name, password;
        size_t lines;  // report lines printed
    } cases[] = {
        {"ok with the initial file",
         DialogOutcome::Ok,
         {{"password", "pw"}},
         0,
         dir.path(),
         "a.pfx",
         "pw",
         1},
        {"ok after browsing",
         DialogOutcome::Ok,
         {{"browse", dir.file("a.pfx")}, {"password", "pw2"}},
         0,
         dir.path(),
         "a.pfx",
         "pw2",
         2},
        {"cancel", DialogOutcome::Cancel, nullptr, 5070, "", "", "", 1},
        {"not created", DialogOutcome::Failed, nullptr, 5002, "", "", "", 0},
    };
    for (const Case& c : cases) {
        ScriptedDialogs script;
        script.queue("PfxFileDialog", c.outcome, c.values);
        ui::PfxDialogResult result =
            ui::launchPfxDialog(ui::PfxDialogUse::ImportPfx, request(dir.path(), "a.pfx"));
        EXPECT_EQ(result.code, c.code) << c.what;
        EXPECT_EQ(result.folder, c.folder) << c.what;
        EXPECT_EQ(result.fileName, c.name) << c.what;
        EXPECT_EQ(result.password.view(), c.password) << c.what;
        EXPECT_EQ(script.lines.size(), c.lines) << c.what;
        EXPECT_EQ(script.backend().pending(), 0u) << c.what;
    }

    ScriptedDialogs script;
    script.queue("ChangePasswordDialog", DialogOutcome::Ok,
                 {{"browse", dir.file("a.pfx")}, {"old", "o"}, {"new", "n"}, {"confirm", "c"}});
    ui::ChangePasswordResult change = ui::launchChangePasswordDialog(request());
    EXPECT_EQ(change.code, 0);
    EXPECT_EQ(change.folder, dir.path());
    EXPECT_EQ(change.fileName, "a.pfx");
    EXPECT_EQ(change.oldPassword.view(), "o");
    EXPECT_EQ(change.newPassword.view(), "n");
    EXPECT_EQ(change.confirmPassword.view(), "c");
    script.queue("PasswordDialog", DialogOutcome::Ok, {{"password", std::string(40, 'p')}});
    ui::PasswordResult password = ui::launchPasswordDialog();
    EXPECT_EQ(password.code, 0);
    EXPECT_EQ(password.password.view(), std::string(40, 'p'));
    script.queue("PasswordDialog", DialogOutcome::Failed);
    EXPECT_EQ(ui::launchPasswordDialog().code, 5002);
}

TEST(DialogLaunch, ScriptedValidationAndDisabledOk) {
    ScopedCodePage cp(950);
    TempDir dir;
    writeFile(dir.file("real.pfx"), "pfx");
    const std::string missing = R"({"messageBox":"憑證檔()" + dir.file("*.pfx") +
                                R"() : 錯誤或不存在","caption":"錯誤訊息"})";
    const std::string chooser =
        R"({"dialog":"FileChooser","title":"請選擇憑證檔案","filter":"PFX(P12) 憑證檔|*.pfx; *.p12|All Files (*.*)|*.*||","defaultExtension":"","initialFile":"","initialFolder":"","startFolder":")" +
        std::filesystem::current_path().string() + R"(","options":262,"answer":"ok","path":")" +
        dir.file("real.pfx") + "\"}";
    const json real = {{"browse", dir.file("real.pfx")}};
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, json>> answers;  // kind, ok values
        int32_t min;
        int32_t code;
        std::vector<std::string> lines;  // after the open line
        std::string password;
    } cases[] = {
        {"wildcard refused, then no answer",
         {{"PfxFileDialog", {{"password", "abcd"}}}},
         0,
         5070,
         {missing, R"({"note":"no answer queued"})"},
         ""},
        {"wildcard refused, then a real file; the box keeps its text",
         {{"PfxFileDialog", {{"password", "abcd"}}}, {"PfxFileDialog", real}},
         0,
         0,
         {missing, chooser},
         "abcd"},
        {"wildcard refused, the next answer is for another dialog",
         {{"PfxFileDialog", json::object()}, {"PasswordDialog", json::object()}},
         0,
         5070,
         {missing, R"({"note":"next queued answer is for PasswordDialog"})"},
         ""},
        {"too short",
         {{"PfxFileDialog", {{"password", "abc"}}}},
         4,
         5070,
         {R"({"note":"OK disabled"})"},
         ""},
        {"typed beyond the maximum",
         {{"PfxFileDialog", {{"browse", dir.file("real.pfx")}, {"password", "123456789"}}}},
         4,
         0,
         {chooser},
         "12345678"},
    };
    for (const Case& c : cases) {
        ScriptedDialogs script;
        for (const auto& [kind, values] : c.answers) script.queue(kind, DialogOutcome::Ok, values);
        ui::PfxDialogRequest r = request(dir.path(), "");
        r.minLength = c.min;
        r.maxLength = 8;
        ui::PfxDialogResult result = ui::launchPfxDialog(ui::PfxDialogUse::ImportPfx, r);
        EXPECT_EQ(result.code, c.code) << c.what;
        EXPECT_EQ(result.password.view(), c.password) << c.what;
        ASSERT_FALSE(script.raw.empty()) << c.what;
        EXPECT_EQ(std::vector<std::string>(script.raw.begin() + 1, script.raw.end()), c.lines)
            << c.what;
    }
}

TEST(DialogLaunch, FolderModeThroughTheScript) {
    ScopedCodePage cp(950);
    TempDir dir;
    ScriptedDialogs script;
    script.queue("PfxSaveDialog", DialogOutcome::Ok,
                 {{"browse", dir.file("new")}, {"password", "pw"}});
    ui::PfxDialogResult result =
        ui::launchPfxDialog(ui::PfxDialogUse::ExportPfx, request("/no/such/folder", "out.pfx"));
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.folder, dir.file("new"));
    EXPECT_EQ(result.fileName, "out.pfx");
    EXPECT_TRUE(PathFileExistsA(dir.file("new").c_str()));
    EXPECT_FALSE(PathFileExistsA(dir.file("new/out.pfx").c_str()));
    ASSERT_EQ(script.lines.size(), 2u);
    EXPECT_EQ(script.lines[1], json({{"dialog", "FolderBrowser"},
                                     {"prompt", "請選擇憑證檔案儲存路徑 :"},
                                     {"flags", 0},
                                     {"answer", "ok"},
                                     {"path", dir.file("new")}}));
}

TEST(DialogLaunch, PickCertificate) {
    ScopedTimeZone utc("UTC");
    FixtureContexts certs({"signer", "root"});
    struct Case {
        const char* what;
        DialogOutcome outcome;
        json values;
        int32_t lastError;
        int chosen;  // -1: none
        size_t viewed;
        std::vector<std::string> notes;
    } cases[] = {
        {"ok untouched", DialogOutcome::Ok, json::object(), 0, 0, 0, {}},
        {"ok on row 1", DialogOutcome::Ok, {{"index", 1}}, 0, 1, 0, {}},
        {"selection cleared", DialogOutcome::Ok, {{"index", -1}}, 0, 0, 0, {}},
        {"viewed rows stay highlighted", DialogOutcome::Ok, {{"view", {0, 1}}}, 0, 1, 2, {}},
        {"a row that does not exist", DialogOutcome::Ok, {{"index", 2}}, 5070, -1, 0, {"no row 2"}},
        {"cancel", DialogOutcome::Cancel, nullptr, 5070, -1, 0, {}},
        {"not created", DialogOutcome::Failed, nullptr, 5010, -1, 0, {}},
    };
    for (const Case& c : cases) {
        ScriptedDialogs script;
        script.queue("CertListDialog", c.outcome, c.values);
        RecordingOpener opener;
        int32_t lastError = -1;
        PCCERT_CONTEXT chosen = ui::pickCertificate(certs.list(), lastError, opener);
        EXPECT_EQ(lastError, c.lastError) << c.what;
        EXPECT_EQ(chosen, c.chosen < 0 ? nullptr : certs.list()[c.chosen]) << c.what;
        EXPECT_EQ(opener.opened.size(), c.viewed) << c.what;
        if (c.outcome == DialogOutcome::Failed) {
            EXPECT_TRUE(script.lines.empty());
            continue;
        }
        ASSERT_EQ(script.lines.size(), 1 + c.notes.size()) << c.what;
        EXPECT_EQ(script.lines[0]["title"], "選擇憑證匯出至憑證交換檔");
        EXPECT_EQ(script.lines[0]["rows"][1], json({"Kestrune Test Root", "008F01", "2011/01/01",
                                                    "2041/01/01", "Kestrune Test Root"}));
        for (size_t i = 0; i < c.notes.size(); ++i)
            EXPECT_EQ(script.lines[1 + i], json({{"note", c.notes[i]}})) << c.what;
    }
    // A search's list is handed over as it is; an empty one has nothing to choose from
    // and opens no dialog.
    CertList found;
    ScriptedDialogs script;
    script.queue("CertListDialog", DialogOutcome::Ok, {{"index", 1}});
    for (PCCERT_CONTEXT c : certs.list()) found.append(CertDuplicateCertificateContext(c));
    int32_t lastError = -1;
    EXPECT_EQ(ui::pickCertificate({found.begin(), found.end()}, lastError), found.at(1));
    EXPECT_EQ(lastError, 0);
    found.clear();
    EXPECT_EQ(ui::pickCertificate({found.begin(), found.end()}, lastError), nullptr);
    EXPECT_EQ(lastError, 5010);
    EXPECT_EQ(script.lines.size(), 1u);
}

TEST(DialogLaunch, NoneBackendCreatesNoDialog) {
    ui::ScopedBackend none(ui::makeNoneBackend());
    FixtureContexts certs({"root"});
    int32_t lastError = 0;
    EXPECT_EQ(ui::pickCertificate(certs.list(), lastError), nullptr);
    EXPECT_EQ(lastError, 5010);
    EXPECT_EQ(ui::launchPfxDialog(ui::PfxDialogUse::SelectSigner, request()).code, 5002);
    EXPECT_EQ(ui::launchChangePasswordDialog(request()).code, 5002);
    EXPECT_EQ(ui::launchPasswordDialog().code, 5002);
    EXPECT_EQ(ui::showFileChooser({}).outcome, DialogOutcome::Failed);
    EXPECT_EQ(ui::showFolderBrowser({}).outcome, DialogOutcome::Failed);
}

TEST(DialogLaunch, QueueRefusesAnswersThatDoNotFit) {
    struct Case {
        const char* kind;
        json values;
        std::string reason;  // empty: accepted
    } cases[] = {
        {"PfxFileDialog", {{"browse", "/a"}, {"password", "p"}}, ""},
        {"PfxSaveDialog", json::object(), ""},
        {"ChangePasswordDialog", {{"old", "a"}, {"new", "b"}, {"confirm", "c"}}, ""},
        {"CertListDialog", {{"index", -1}, {"view", {0, 3}}}, ""},
        {"FolderBrowser", {{"path", "/x"}}, ""},
        {"PfxFileDialog",
         {{"passwd", "p"}},
         "PfxFileDialog answers take browse, password, not passwd"},
        {"PasswordDialog", {{"password", 5}}, "PasswordDialog answer password must be a string"},
        {"CertListDialog",
         {{"index", -2}},
         "CertListDialog answer index must be an integer from -1"},
        {"CertListDialog",
         {{"view", {"0"}}},
         "CertListDialog answer view must be an array of row numbers"},
        {"FolderBrowser", json::object(), "FolderBrowser answers need {\"path\":...}"},
        {"ChangePasswordDialog", json::array(), "an ok answer needs a JSON object"},
        {"GtkDialog", json::object(), "unknown dialog kind: GtkDialog"},
    };
    for (const Case& c : cases) {
        ui::ScriptedBackend backend(nullptr);
        std::string reason;
        EXPECT_EQ(backend.queue(c.kind, DialogOutcome::Ok, c.values, reason), c.reason.empty())
            << c.kind << " " << c.values;
        EXPECT_EQ(reason, c.reason);
    }
}

TEST(DialogLaunch, ScriptLinesDriveTheDialogs) {
    ScopedCodePage cp(950);
    TempDir dir;
    writeFile(dir.file("signer.pfx"), "pfx");
    std::ostringstream out;
    ui::ScriptedBackend scripted([&out](const std::string& line) { out << line << '\n'; });
    ui::ScopedBackend scope(ui::makeForwardingBackend(scripted));
    host::ScriptRunner runner(out, &scripted);
    EXPECT_TRUE(runner.runLine("!dialog PfxFileDialog ok {\"password\":\"1234\"}", 1));
    EXPECT_TRUE(runner.runLine("!dialog PfxFileDialog ok {\"browse\":\"" + dir.file("signer.pfx") +
                                   "\",\"password\":\"\\u8a31\"}",
                               2));
    EXPECT_TRUE(runner.runLine("!dialog PasswordDialog cancel", 3));
    EXPECT_FALSE(runner.runLine("!dialog PasswordDialog ok {\"pin\":\"1\"}", 4));
    EXPECT_FALSE(runner.runLine("!dialog CertListDialog fail {}", 5));

    ui::PfxDialogResult signer =
        ui::launchPfxDialog(ui::PfxDialogUse::SelectSigner, request(dir.path(), ""));
    EXPECT_EQ(signer.code, 0);
    EXPECT_EQ(signer.folder, dir.path());
    EXPECT_EQ(signer.fileName, "signer.pfx");
    EXPECT_EQ(signer.password.view(), toAnsi(u"許"));  // the box was typed into again
    EXPECT_EQ(ui::launchPasswordDialog().code, 5070);

    std::vector<json> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    ASSERT_EQ(lines.size(), 6u) << out.str();
    EXPECT_EQ(lines[0],
              json({{"error", "PasswordDialog answers take password, not pin"}, {"line", 4}}));
    EXPECT_EQ(lines[1],
              json({{"error", "!dialog CertListDialog fail takes nothing more"}, {"line", 5}}));
    EXPECT_EQ(lines[2]["dialog"], "PfxFileDialog");
    EXPECT_EQ(lines[2]["title"], "請輸入簽章的憑證檔案資訊");
    EXPECT_EQ(lines[2]["path"], dir.file("*.pfx"));
    EXPECT_EQ(lines[3]["messageBox"], "憑證檔(" + dir.file("*.pfx") + ") : 錯誤或不存在");
    EXPECT_EQ(lines[4]["dialog"], "FileChooser");
    EXPECT_EQ(lines[5]["dialog"], "PasswordDialog");  // cancelled: nothing more
}
