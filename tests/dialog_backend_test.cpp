#include <gtest/gtest.h>

#include <cstdio>

#include "cert_fixtures.h"
#include "dialog_fakes.h"
#include "test_support.h"
#include "ui/credentials_dialog.h"
#include "ui/deferred_backend.h"
#include "ui/origin_consent_dialog.h"
#include "ui/scripted_backend.h"
#include "ui/terminal_backend.h"

using ui::DialogOutcome;

namespace {

// A terminal session: the input given, the output collected.
class Session {
  public:
    explicit Session(const std::string& input)
        : in_(tmpfile()), out_(open_memstream(&shown_, &size_)) {
        fwrite(input.data(), 1, input.size(), in_);
        rewind(in_);
        backend_ = ui::makeTerminalBackend(in_, out_);
    }
    ~Session() {
        backend_.reset();
        fclose(in_);
        fclose(out_);
        free(shown_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ui::DialogBackend& backend() { return *backend_; }
    std::string shown() {
        fflush(out_);
        return std::string(shown_, size_);
    }

  private:
    FILE* in_;
    char* shown_ = nullptr;
    size_t size_ = 0;
    FILE* out_;
    std::unique_ptr<ui::DialogBackend> backend_;
};

ui::FileChooserModel chooser() {
    ui::FileChooserModel m;
    m.title = toAnsi(u"請選擇檔案");
    m.filter = "All Files (*.*)|*.*||";
    m.defaultExtension = "*.*";
    m.options = ui::OFN_HIDEREADONLY | ui::OFN_OVERWRITEPROMPT | ui::OFN_NOVALIDATE;
    return m;
}
}  // namespace

TEST(ScriptedBackend, AnswersInOrderAndReportsEachDialog) {
    testing_support::ScopedCodePage big5(950);
    std::vector<nlohmann::json> reports;
    ui::ScriptedBackend backend(
        [&](const std::string& line) { reports.push_back(nlohmann::json::parse(line)); });
    std::string reason;
    ASSERT_TRUE(backend.queue("FileChooser", DialogOutcome::Ok, {{"path", "/tmp/\xE6\x86\x91.txt"}},
                              reason));
    ASSERT_TRUE(backend.queue("FileChooser", DialogOutcome::Failed, nullptr, reason));
    EXPECT_FALSE(backend.queue("FileChooser", DialogOutcome::Ok, {{"file", "x"}}, reason));
    EXPECT_FALSE(backend.queue("NoSuchDialog", DialogOutcome::Cancel, nullptr, reason));

    auto first = backend.fileChooser(chooser());
    EXPECT_EQ(first.outcome, DialogOutcome::Ok);
    EXPECT_EQ(first.path, "/tmp/" + toAnsi(u"憑") + ".txt");  // handed over in the ANSI code page
    EXPECT_EQ(backend.fileChooser(chooser()).outcome, DialogOutcome::Failed);
    EXPECT_EQ(backend.fileChooser(chooser()).outcome, DialogOutcome::Cancel);
    EXPECT_EQ(backend.messageBox(toAnsi(u"錯誤"), "caption", ui::MB_ICONERROR), ui::IDOK);

    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0]["dialog"], "FileChooser");
    EXPECT_EQ(reports[0]["title"], "請選擇檔案");
    EXPECT_EQ(reports[0]["filter"], "All Files (*.*)|*.*||");
    EXPECT_EQ(reports[0]["options"], 0x106);
    EXPECT_EQ(reports[0]["answer"], "ok");
    EXPECT_EQ(reports[1]["answer"], "fail");
    EXPECT_EQ(reports[2]["note"], "no answer queued");
    EXPECT_EQ(reports[3]["messageBox"], "錯誤");
}

TEST(ScriptedBackend, AnswerForAnotherKindStaysQueued) {
    std::vector<nlohmann::json> reports;
    ui::ScriptedBackend backend(
        [&](const std::string& line) { reports.push_back(nlohmann::json::parse(line)); });
    std::string reason;
    ASSERT_TRUE(backend.queue("FolderBrowser", DialogOutcome::Ok, {{"path", "/x"}}, reason));
    EXPECT_EQ(backend.fileChooser(chooser()).outcome, DialogOutcome::Cancel);
    EXPECT_EQ(backend.pending(), 1u);
    auto folder = backend.folderBrowser({"prompt", 0});
    EXPECT_EQ(folder.outcome, DialogOutcome::Ok);
    EXPECT_EQ(folder.path, "/x");
    EXPECT_EQ(backend.pending(), 0u);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0]["note"], "next queued answer is for FolderBrowser");
    EXPECT_EQ(reports[1], nlohmann::json({{"dialog", "FolderBrowser"},
                                          {"prompt", "prompt"},
                                          {"flags", 0},
                                          {"answer", "ok"},
                                          {"path", "/x"}}));
}

// The real backend is made at the first dialog, once; a chooser that makes none leaves
// the `none` backend, which fails the dialog.
TEST(DeferredBackend, ChoosesAtTheFirstDialogOnly) {
    for (bool makesOne : {true, false}) {
        int chosen = 0;
        auto deferred = ui::makeDeferredBackend([&]() -> std::unique_ptr<ui::DialogBackend> {
            ++chosen;
            if (!makesOne) return nullptr;
            auto scripted = std::make_unique<ui::ScriptedBackend>([](const std::string&) {});
            std::string reason;
            scripted->queueLine(R"(FileChooser ok {"path":"/tmp/a"})", reason);
            return scripted;
        });
        EXPECT_EQ(chosen, 0);
        ui::FileChooserAnswer first = deferred->fileChooser(chooser());
        ui::FileChooserAnswer second = deferred->fileChooser(chooser());
        EXPECT_EQ(chosen, 1);
        EXPECT_EQ(first.outcome, makesOne ? DialogOutcome::Ok : DialogOutcome::Failed);
        EXPECT_EQ(first.path, makesOne ? "/tmp/a" : "");
        EXPECT_EQ(deferred->name(), std::string(makesOne ? "script" : "none"));
        EXPECT_NE(second.outcome, DialogOutcome::Ok);  // the one answer was taken
    }
}

TEST(TerminalBackend, ReadsTheAnswerLine) {
    struct Case {
        std::string input;
        DialogOutcome outcome;
        std::string path;
    } cases[] = {
        {"/home/user/a.pfx\n", DialogOutcome::Ok, "/home/user/a.pfx"},
        {"/x y/b.p12\r\n", DialogOutcome::Ok, "/x y/b.p12"},
        {"\n", DialogOutcome::Cancel, ""},
        {"", DialogOutcome::Cancel, ""},
    };
    for (const auto& c : cases) {
        FILE* input = tmpfile();
        fwrite(c.input.data(), 1, c.input.size(), input);
        rewind(input);
        char* shown = nullptr;
        size_t shownSize = 0;
        FILE* output = open_memstream(&shown, &shownSize);
        {
            auto backend = ui::makeTerminalBackend(input, output);
            auto answer = backend->fileChooser(chooser());
            EXPECT_EQ(answer.outcome, c.outcome) << c.input;
            EXPECT_EQ(answer.path, c.path);
        }
        fclose(input);
        fclose(output);
        EXPECT_NE(std::string(shown, shownSize).find("\xE8\xAB\x8B"),
                  std::string::npos);  // the title, as UTF-8
        free(shown);
    }
}

TEST(TerminalBackend, CredentialsDialog) {
    testing_support::ScopedCodePage big5(950);
    testing_support::TempDir dir;
    testing_support::writeFile(dir.file("b.pfx"), "x");
    struct Case {
        const char* what;
        std::string input;
        DialogOutcome outcome;
        std::string password;
        std::string shownPart;
    } cases[] = {
        {"keep the path, type, confirm", "\nsecret\n\n", DialogOutcome::Ok, "secret",
         "請輸入憑證的保護密碼："},
        {"browse first", "y\n" + dir.file("b.pfx") + "\r\npw1\n\n", DialogOutcome::Ok, "pw1",
         "請選擇憑證檔案"},
        {"too short, then long enough", "\nab\n\nabcdefghijklmnopq\n\n", DialogOutcome::Ok,
         "abcdefghijklmnop", "left out"},
        {"cancel", "\nsecret\nc\n", DialogOutcome::Cancel, "", "取消"},
        {"input ends", "\nsec", DialogOutcome::Cancel, "", "確定"},
    };
    for (const Case& c : cases) {
        ui::CredentialsSettings settings;
        settings.folder = dir.path();
        settings.fileName = "a.pfx";
        settings.minLength = 3;
        ui::PfxFileDialog dialog(settings);
        Session session(c.input);
        std::string pathShown = dir.file("a.pfx");
        testing_support::writeFile(pathShown, "x");
        EXPECT_EQ(session.backend().runCredentialsDialog(dialog), c.outcome) << c.what;
        EXPECT_EQ(dialog.password().view(), c.password) << c.what;
        std::string shown = session.shown();
        EXPECT_NE(shown.find(pathShown), std::string::npos) << c.what;
        EXPECT_NE(shown.find(c.shownPart), std::string::npos) << c.what << shown;
        EXPECT_EQ(shown.find("secret"), std::string::npos)
            << c.what;  // not a terminal: no echo either
    }
}

TEST(TerminalBackend, CertListDialog) {
    ScopedTimeZone utc("UTC");
    FixtureContexts certs({"signer", "root"});
    struct Case {
        std::string input;
        DialogOutcome outcome;
        int32_t chosen;
        size_t viewed;
    } cases[] = {
        {"\n", DialogOutcome::Ok, 0, 0},      {"2\n", DialogOutcome::Ok, 1, 0},
        {"v 2\n\n", DialogOutcome::Ok, 1, 1}, {"9\nx\n1\n", DialogOutcome::Ok, 0, 0},
        {"c\n", DialogOutcome::Cancel, 0, 0}, {"", DialogOutcome::Cancel, 0, 0},
    };
    for (const Case& c : cases) {
        RecordingOpener opener;
        ui::CertListDialog dialog(certs.list(), opener);
        Session session(c.input);
        EXPECT_EQ(session.backend().runCertListDialog(dialog), c.outcome) << c.input;
        EXPECT_EQ(dialog.selectedIndex(), c.chosen) << c.input;
        EXPECT_EQ(opener.opened.size(), c.viewed) << c.input;
        std::string shown = session.shown();
        EXPECT_NE(
            shown.find(
                "  2 | Kestrune Test Root | 008F01 | 2011/01/01 | 2041/01/01 | Kestrune Test Root"),
            std::string::npos)
            << shown;
    }
}

TEST(TerminalBackend, OriginConsentDialog) {
    const struct Case {
        std::string input;
        DialogOutcome outcome;
        ui::OriginChoice choice;
    } cases[] = {
        {"o\n", DialogOutcome::Ok, ui::OriginChoice::Once},
        {"A\n", DialogOutcome::Ok, ui::OriginChoice::Always},
        {"\n", DialogOutcome::Cancel, ui::OriginChoice::Deny},
        {"yes\n", DialogOutcome::Cancel, ui::OriginChoice::Deny},
        {"", DialogOutcome::Cancel, ui::OriginChoice::Deny},
    };
    for (const Case& c : cases) {
        ui::OriginConsentDialog dialog("https://bank.example");
        Session session(c.input);
        ui::ScopedDialogRequester requester("https://bank.example");
        EXPECT_EQ(session.backend().runOriginConsentDialog(dialog), c.outcome) << c.input;
        EXPECT_EQ(dialog.choice(), c.choice) << c.input;
        std::string shown = session.shown();
        EXPECT_EQ(shown.rfind("\n== 網站要求使用憑證 - https://bank.example ==\n"
                              "是否允許 https://bank.example 使用您的憑證與金鑰？\n",
                              0),
                  0u)
            << shown;
        EXPECT_NE(shown.find("o 允許這次, a 一律允許, [Enter] 拒絕: "), std::string::npos) << shown;
    }
}
