#include <gtest/gtest.h>

#include <cstdio>

#include "test_support.h"
#include "ui/scripted_backend.h"
#include "ui/terminal_backend.h"

using ui::DialogOutcome;

namespace {
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
    ui::ScriptedBackend backend([&](const std::string& line) { reports.push_back(nlohmann::json::parse(line)); });
    std::string reason;
    ASSERT_TRUE(backend.queue("FileChooser", DialogOutcome::Ok, {{"path", "/tmp/\xE6\x86\x91.txt"}}, reason));
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
    ui::ScriptedBackend backend(nullptr);
    std::string reason;
    // Only FileChooser exists so far; a mismatch is simulated through the queue order.
    ASSERT_TRUE(backend.queue("FileChooser", DialogOutcome::Cancel, nullptr, reason));
    EXPECT_EQ(backend.pending(), 1u);
    backend.fileChooser(chooser());
    EXPECT_EQ(backend.pending(), 0u);
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
        EXPECT_NE(std::string(shown, shownSize).find("\xE8\xAB\x8B"), std::string::npos);  // the title, as UTF-8
        free(shown);
    }
}
