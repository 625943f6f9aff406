// The file-and-password dialog models: opening, typing, browsing and OK validation.
#include "ui/credentials_dialog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "dialog_fakes.h"
#include "platform/system/files.h"
#include "test_support.h"

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;
using ui::CredentialsSettings;

namespace {

std::string big5(std::u16string_view text) {
    return toCodePage(950, text);
}

CredentialsSettings settings(std::string folder, std::string name, int32_t min = 0,
                             int32_t max = 16, bool folderMode = false) {
    CredentialsSettings s;
    s.title = big5(u"憑證匯入");
    s.folder = std::move(folder);
    s.fileName = std::move(name);
    s.minLength = min;
    s.maxLength = max;
    s.folderMode = folderMode;
    return s;
}

}  // namespace

TEST(CredentialsDialog, Opening) {
    ScopedCodePage cp(950);
    struct Case {
        const char* what;
        std::function<std::unique_ptr<ui::CredentialsDialog>()> make;
        std::u16string caption;
        std::string path;
        int32_t min, max;
        size_t boxes;
        int32_t limit;
        bool okEnabled;
    } cases[] = {
        {"file dialog with a title",
         [] { return std::make_unique<ui::PfxFileDialog>(settings("/home/u", "*.pfx")); },
         u"憑證匯入", "/home/u/*.pfx", 0, 16, 1, 16, true},
        {"folder already ending in the separator",
         [] { return std::make_unique<ui::PfxFileDialog>(settings("/home/u/", "a.pfx")); },
         u"憑證匯入", "/home/u/a.pfx", 0, 16, 1, 16, true},
        {"root folder", [] { return std::make_unique<ui::PfxFileDialog>(settings("/", "a.pfx")); },
         u"憑證匯入", "/a.pfx", 0, 16, 1, 16, true},
        {"no folder leaves the path box empty",
         [] { return std::make_unique<ui::PfxFileDialog>(settings("", "*.pfx")); }, u"憑證匯入", "",
         0, 16, 1, 16, true},
        {"file dialog without a title keeps its caption",
         [] {
             auto s = settings("/d", "x.pfx");
             s.title.clear();
             return std::make_unique<ui::PfxFileDialog>(s);
         },
         u"輸入憑證檔案資訊", "/d/x.pfx", 0, 16, 1, 16, true},
        {"save dialog, swapped range",
         [] { return std::make_unique<ui::PfxSaveDialog>(settings("/d", "e.pfx", 8, 4, true)); },
         u"憑證匯入", "/d/e.pfx", 4, 8, 1, 8, false},
        {"negative minimum, zero maximum",
         [] { return std::make_unique<ui::PfxSaveDialog>(settings("/d", "e.pfx", -3, 0)); },
         u"憑證匯入", "/d/e.pfx", 0, 16, 1, 16, true},
        {"change dialog keeps its caption and file mode",
         [] {
             return std::make_unique<ui::ChangePasswordDialog>(settings("/d", "c.pfx", 4, 8, true));
         },
         u"變更憑證檔密碼", "/d/c.pfx", 4, 8, 3, 8, false},
        {"password dialog: no limit, OK at once",
         [] { return std::make_unique<ui::PasswordDialog>(); }, u"執行憑證匯出", "", 0, 16, 1, 0,
         true},
    };
    for (const Case& c : cases) {
        auto dialog = c.make();
        EXPECT_EQ(dialog->caption(), big5(c.caption)) << c.what;
        EXPECT_EQ(dialog->pathText(), c.path) << c.what;
        EXPECT_EQ(dialog->minLength(), c.min) << c.what;
        EXPECT_EQ(dialog->maxLength(), c.max) << c.what;
        ASSERT_EQ(dialog->boxes().size(), c.boxes) << c.what;
        for (const auto& box : dialog->boxes()) {
            EXPECT_EQ(box.limit(), c.limit) << c.what;
            EXPECT_TRUE(box.text().empty()) << c.what;
        }
        EXPECT_EQ(dialog->okEnabled(), c.okEnabled) << c.what;
    }
    EXPECT_FALSE(ui::ChangePasswordDialog(settings("/d", "c.pfx", 0, 16, true)).folderMode());
}

TEST(CredentialsDialog, BoxesRefuseCharactersBeyondTheMaximum) {
    ScopedCodePage cp(950);
    ui::PfxFileDialog dialog(settings("/d", "a.pfx"));
    EXPECT_EQ(dialog.type(ui::IDC_PASSWORD, "12345678901234567"), 1);
    EXPECT_EQ(dialog.box(ui::IDC_PASSWORD)->text().view(), "1234567890123456");
    EXPECT_EQ(dialog.type(ui::IDC_PASSWORD, "x"), 1);
    // A double-byte character counts once and is never cut in half.
    ui::PfxFileDialog narrow(settings("/d", "a.pfx", 0, 3));
    EXPECT_EQ(narrow.type(ui::IDC_PASSWORD, "a" + big5(u"許許許")), 1);
    EXPECT_EQ(narrow.box(ui::IDC_PASSWORD)->text().view(), "a" + big5(u"許許"));
    EXPECT_EQ(narrow.box(ui::IDC_PASSWORD)->length(), 3);
    // The same from UTF-8 input.
    narrow.clearBox(ui::IDC_PASSWORD);
    EXPECT_EQ(narrow.typeUtf8(ui::IDC_PASSWORD, "\xE8\xA8\xB1xyz"), 1);
    EXPECT_EQ(narrow.box(ui::IDC_PASSWORD)->text().view(), big5(u"許") + "xy");
    // The password dialog takes any length.
    ui::PasswordDialog password;
    EXPECT_EQ(password.type(ui::IDC_PASSWORD, std::string(100, 'p')), 0);
    EXPECT_EQ(password.box(ui::IDC_PASSWORD)->length(), 100);
    EXPECT_EQ(dialog.type(ui::IDC_NEW_PASSWORD, "abc"), 3);  // no such box here
}

TEST(CredentialsDialog, OkRuleFollowsEveryChange) {
    ui::ChangePasswordDialog dialog(settings("/d", "c.pfx", 4, 8));
    struct Step {
        int box;
        const char* typed;  // null: clear the box
        bool okEnabled;
    } steps[] = {
        {ui::IDC_PASSWORD, "abcd", false},        {ui::IDC_NEW_PASSWORD, "efgh", false},
        {ui::IDC_CONFIRM_PASSWORD, "ijk", false}, {ui::IDC_CONFIRM_PASSWORD, "l", true},
        {ui::IDC_PASSWORD, nullptr, false},       {ui::IDC_PASSWORD, "abcdefghi", true},
    };
    for (const Step& s : steps) {
        if (s.typed)
            dialog.type(s.box, s.typed);
        else
            dialog.clearBox(s.box);
        EXPECT_EQ(dialog.okEnabled(), s.okEnabled) << s.box << " " << (s.typed ? s.typed : "-");
    }
    EXPECT_EQ(dialog.box(ui::IDC_PASSWORD)->text().view(), "abcdefgh");  // the ninth refused
    dialog.clearBox(ui::IDC_NEW_PASSWORD);
    FakeShell shell;
    EXPECT_FALSE(dialog.pressOk(shell));  // a disabled button cannot be pressed
    EXPECT_TRUE(shell.messages.empty());
}

TEST(CredentialsDialog, SplitsTheChosenPath) {
    struct Case {
        std::string path, folder, name;
    } cases[] = {
        {"/a.pfx", "/", "a.pfx"},    {"/certs/b.p12", "/certs", "b.p12"},
        {"/a/c.pfx", "/a", "c.pfx"}, {"/home/u/x y/d.pfx", "/home/u/x y", "d.pfx"},
        {"/tmp/", "/tmp", ""},       {"e.pfx", "", "e.pfx"},
    };
    for (const Case& c : cases) {
        std::string folder = "old", name = "old";
        ui::splitChosenPath(c.path, folder, name);
        EXPECT_EQ(folder, c.folder) << c.path;
        EXPECT_EQ(name, c.name) << c.path;
    }
}

TEST(CredentialsDialog, Browse) {
    TempDir dir;
    writeFile(dir.file("b.p12"), "x");
    ui::PfxFileDialog file(settings("/start", "*.pfx"));
    ui::PfxSaveDialog folder(settings("/start", "export.pfx", 0, 16, true));
    FakeShell shell;
    shell.chooserAnswer = {ui::DialogOutcome::Cancel, ""};
    shell.browserAnswer = {ui::DialogOutcome::Failed, ""};
    file.browse(shell);
    folder.browse(shell);
    EXPECT_EQ(file.pathText(), "/start/*.pfx");  // cancelling changes nothing
    EXPECT_EQ(folder.pathText(), "/start/export.pfx");
    EXPECT_EQ(shell.chooserSeen.size(), 1u);  // each mode asks its own chooser
    EXPECT_EQ(shell.browserSeen.size(), 1u);

    shell.chooserAnswer = {ui::DialogOutcome::Ok, dir.file("b.p12")};
    shell.browserAnswer = {ui::DialogOutcome::Ok, "/picked/"};
    file.browse(shell);
    folder.browse(shell);
    EXPECT_EQ(file.pathText(), dir.file("b.p12"));
    EXPECT_EQ(folder.pathText(), "/picked/export.pfx");
    EXPECT_TRUE(file.pressOk(shell));
    EXPECT_EQ(file.folder(), dir.path());
    EXPECT_EQ(file.fileName(), "b.p12");
}

TEST(CredentialsDialog, OkInFileModeNeedsAnExistingFile) {
    ScopedCodePage cp(950);
    TempDir dir;
    writeFile(dir.file("a.pfx"), "pfx");
    struct Case {
        std::string folder, name;
        std::string shown;  // in the message; empty when OK ends the dialog
    } cases[] = {
        {dir.path(), "a.pfx", ""},
        {dir.path(), "*.pfx", dir.file("*.pfx")},
        {dir.path(), "missing.pfx", dir.file("missing.pfx")},
        {"", "*.pfx", big5(u"未指定")},
    };
    for (const Case& c : cases) {
        ui::PfxFileDialog dialog(settings(c.folder, c.name));
        dialog.type(ui::IDC_PASSWORD, "pw");
        FakeShell shell;
        EXPECT_EQ(dialog.pressOk(shell), c.shown.empty()) << c.name;
        if (c.shown.empty()) {
            EXPECT_TRUE(shell.messages.empty());
            EXPECT_EQ(dialog.folder(), c.folder);
            EXPECT_EQ(dialog.fileName(), c.name);
            EXPECT_EQ(dialog.password().view(), "pw");
            continue;
        }
        ASSERT_EQ(shell.messages.size(), 1u) << c.name;
        EXPECT_EQ(shell.messages[0].text, big5(u"憑證檔(") + c.shown + big5(u") : 錯誤或不存在"));
        EXPECT_EQ(shell.messages[0].caption, big5(u"錯誤訊息"));
        EXPECT_EQ(shell.messages[0].type, ui::MB_ICONERROR);
    }
}

TEST(CredentialsDialog, OkInFolderModeChecksTheFolder) {
    ScopedCodePage cp(950);
    TempDir dir;
    mkdir(dir.file("blocked").c_str(), 0500);
    writeFile(dir.file("existing.pfx"), "keep me");
    mkdir(dir.file("taken.pfx").c_str(), 0700);
    bool root = geteuid() == 0;  // root writes anywhere
    struct Case {
        std::string folder, name;
        bool ends;
        std::string shown;  // in the message, empty for none
    } cases[] = {
        {dir.path(), "new.pfx", true, ""},
        {dir.file("made"), "new.pfx", true, ""},  // created, one level
        {dir.file("no/such"), "new.pfx", false, dir.file("no/such")},
        {dir.path(), "existing.pfx", true, ""},
        {dir.path(), "taken.pfx", false, dir.path()},  // a folder has that name
        {dir.file("existing.pfx"), "new.pfx", false, dir.file("existing.pfx")},
        {"", "new.pfx", false, big5(u"未指定")},
        {dir.file("blocked"), "new.pfx", root, root ? "" : dir.file("blocked")},
    };
    for (const Case& c : cases) {
        ui::PfxSaveDialog dialog(settings(c.folder, c.name, 0, 16, true));
        FakeShell shell;
        EXPECT_EQ(dialog.pressOk(shell), c.ends) << c.folder;
        if (c.shown.empty()) {
            EXPECT_TRUE(shell.messages.empty()) << c.folder;
        } else {
            ASSERT_EQ(shell.messages.size(), 1u) << c.folder;
            EXPECT_EQ(shell.messages[0].text,
                      big5(u"憑證目錄 (") + c.shown + big5(u") : 錯誤或沒有寫入權限"));
            EXPECT_EQ(shell.messages[0].caption, big5(u"錯誤訊息"));
            EXPECT_EQ(shell.messages[0].type, ui::MB_ICONERROR);
        }
    }
    // The probe leaves nothing behind and loses nothing.
    EXPECT_FALSE(PathFileExistsA(dir.file("new.pfx").c_str()));
    EXPECT_FALSE(PathFileExistsA(dir.file("made/new.pfx").c_str()));
    struct stat st {};
    EXPECT_EQ(stat(dir.file("made").c_str(), &st), 0);
    EXPECT_EQ(readFile(dir.file("existing.pfx")), "keep me");
    chmod(dir.file("blocked").c_str(), 0700);
}
