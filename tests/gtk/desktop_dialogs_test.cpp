// The desktop dialogs driven as a user drives them: keys typed into the focused window,
// each dialog's outcome read back through the operation or launcher that opened it.
// A screenshot of each dialog goes to build/screenshots/.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <vector>

#include "control/ks_capi.h"
#include "desktop_user.h"
#include "dialog_fakes.h"
#include "platform/text/codepage.h"
#include "platform/token/token_provider.h"
#include "temp_home.h"
#include "test_support.h"
#include "ui/consent_dialogs.h"
#include "ui/gtk_backend.h"
#include "ui/launchers.h"
#include "ui/origin_consent_dialog.h"
#include "ui/pin_dialog.h"

using gui::DesktopUser;
using gui::onGuiThread;
using testing_support::readFile;
using testing_support::runCommand;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

const std::string kPfxFixtures = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/pfx";
const std::string kSignerTitle = "請輸入簽章的憑證檔案資訊";
const std::string kExportTitle = "憑證匯出";
const std::string kChangeTitle = "變更憑證檔密碼";
const std::string kPasswordTitle = "執行憑證匯出";
const std::string kListTitle = "選擇憑證匯出至憑證交換檔";
const std::string kPfxChooserTitle = "請選擇憑證檔案";
const std::string kHashChooserTitle = "請選擇檔案";
const std::string kFolderTitle = "請選擇憑證檔案儲存路徑 :";
const std::string kErrorCaption = "錯誤訊息";
const std::string kImportTitle = "憑證匯入";
const std::string kConsentTitle = "私密金鑰存取";
const std::string kPinTitle = "智慧卡 PIN 碼";

std::string control(int id) {
    return "control-" + std::to_string(id);
}

// Probes, run on the GUI thread.
int boxLength(const std::string& title, int id) {
    GtkWidget* entry = gui::findWidget(title, control(id));
    return entry ? static_cast<int>(gtk_entry_get_text_length(GTK_ENTRY(entry))) : -1;
}
bool okEnabled(const std::string& title) {
    GtkWidget* ok = gui::findWidget(title, control(ui::IDOK));
    return ok && gtk_widget_get_sensitive(ok);
}
std::string shownText(const std::string& title, const std::string& name) {
    return gui::widgetText(gui::findWidget(title, name));
}
// Whether control `id` of the window has the keyboard focus.
bool focusIs(const std::string& title, int id) {
    GtkWidget* widget = gui::findWidget(title, control(id));
    return widget && gtk_widget_has_focus(widget);
}
// Long enough for a consent window's allow buttons to be enabled.
constexpr auto kArmed = std::chrono::milliseconds(ui::kConsentArmDelayMs + 300);

// The SHA-1 fingerprint of a DER certificate file as openssl prints it, without colons.
std::string opensslThumbprint(const std::string& derFile) {
    std::string out = runCommand("openssl x509 -inform DER -noout -fingerprint -sha1 -in " +
                                 gui::quoted(derFile));
    std::string hex = out.substr(out.find('=') + 1);
    hex.erase(std::remove_if(hex.begin(), hex.end(), [](char c) { return c == ':' || c == '\n'; }),
              hex.end());
    return hex;
}

// One reference to a fresh control object.
class Control {
  public:
    Control() : object_(KSCapi::create()) {}
    ~Control() { object_->Release(); }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    CapiEngine& engine() { return object_->engine(); }

  private:
    KSCapi* object_;
};

class DesktopDialogs : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) GTEST_SKIP() << "no display (the GUI tests run under xvfb-run)";
        if (gui::run("command -v xdotool >/dev/null && command -v import >/dev/null") != 0)
            GTEST_SKIP() << "xdotool or ImageMagick's import is missing";
        if (!ui::gtkDisplayReachable())
            GTEST_SKIP() << "the display " << display << " does not open";
        backend_.emplace(ui::makeGtkBackend());
        control_.emplace();
    }
    void TearDown() override {
        if (!backend_) return;
        expectNoWindowLeft();
        control_.reset();
        backend_.reset();
    }
    static void expectNoWindowLeft() {
        while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
        for (const gui::ShownWindow& w : gui::shownWindows())
            ADD_FAILURE() << "window left open: " << w.title;
    }
    CapiEngine& engine() { return control_->engine(); }
    void importIntoMy(const std::string& pfx, const std::string& options = "") {
        int status = -1;
        runCommand(std::string(KSCAPI_HOST_PATH) + " store import-pfx " + kPfxFixtures + "/" + pfx +
                       " secret " + options,
                   &status);
        ASSERT_EQ(status, 0);
    }

    TempHome home_;
    TempDir dir_;
    std::optional<ui::ScopedBackend> backend_;
    std::optional<Control> control_;
};

}  // namespace

TEST_F(DesktopDialogs, PfxFileDialogOfSelectSigner) {
    ASSERT_EQ(engine().PresetPasswdLengthRange(4, 8), 0);
    const std::string initialPath = ansiToUtf8(engine().defaultFolder) + "/*.pfx";
    const std::string pfx = kPfxFixtures + "/modern.pfx";
    DesktopUser user([&](DesktopUser& u) {
        if (!u.waitFor(kSignerTitle)) return;
        u.screenshot("PfxFileDialog");
        EXPECT_EQ(onGuiThread<std::string>([&] { return shownText(kSignerTitle, control(302)); }),
                  initialPath);
        EXPECT_EQ(onGuiThread<bool>([&] { return okEnabled(kSignerTitle); }), false);
        u.key("Tab Tab");  // past the browse button and the path box
        u.type("sec");
        if (!u.waitUntil("three characters", [&] { return boxLength(kSignerTitle, 303) == 3; }))
            return;
        EXPECT_EQ(onGuiThread<bool>([&] { return okEnabled(kSignerTitle); }), false);
        u.key("Return");   // OK is disabled: the dialog stays
        u.type("retXYZ");  // the box takes eight characters
        if (!u.waitUntil("eight characters", [&] { return boxLength(kSignerTitle, 303) == 8; }))
            return;
        EXPECT_EQ(onGuiThread<bool>([&] { return okEnabled(kSignerTitle); }), true);
        u.key("BackSpace BackSpace");
        if (!u.waitUntil("secret typed", [&] { return boxLength(kSignerTitle, 303) == 6; })) return;
        u.key("Return");  // OK on the wildcard path, which does not exist
        if (!u.waitFor(kErrorCaption)) return;
        EXPECT_EQ(
            onGuiThread<std::string>([&] { return shownText(kErrorCaption, "message-text"); }),
            "憑證檔(" + initialPath + ") : 錯誤或不存在");
        u.screenshot("MessageBox");
        u.key("Return");
        if (!u.waitGone(kErrorCaption) || !u.waitFor(kSignerTitle)) return;
        u.key("shift+Tab shift+Tab space");  // back to the browse button
        if (!u.waitFor(kPfxChooserTitle)) return;
        u.screenshot("PfxFileChooser");
        u.key("ctrl+l");
        u.paste(pfx);
        u.key("Return");
        if (!u.waitGone(kPfxChooserTitle) || !u.waitFor(kSignerTitle)) return;
        if (!u.waitUntil("the chosen path shown",
                         [&] { return shownText(kSignerTitle, control(302)) == pfx; }))
            return;
        EXPECT_EQ(onGuiThread<int>([&] { return boxLength(kSignerTitle, 303); }), 6);
        u.key("Tab Tab Return");
        u.waitGone(kSignerTitle);
    });
    int32_t code = engine().SelectSigner(u"", 0, 0);
    user.finish();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(engine().GetSignerPfxFilePath(), kPfxFixtures);
    EXPECT_EQ(engine().GetSignerPfxFileName(), "modern.pfx");
    EXPECT_EQ(engine().GetCertFinger(), opensslThumbprint(kPfxFixtures + "/user1.der"));
}

TEST_F(DesktopDialogs, PfxFileDialogLeftWithoutOk) {
    struct Case {
        const char* how;
        const char* keys;
    } cases[] = {
        {"Escape", "Escape"},
        // from the password box past OK (enabled with the default range) to Cancel
        {"the Cancel button", "Tab Tab space"},
    };
    for (const Case& c : cases) {
        DesktopUser user([&](DesktopUser& u) {
            if (!u.waitFor(kSignerTitle)) return;
            u.key("Tab Tab");
            u.type("secret");
            if (!u.waitUntil("typed", [&] { return boxLength(kSignerTitle, 303) == 6; })) return;
            u.key(c.keys);
            u.waitGone(kSignerTitle);
        });
        EXPECT_EQ(engine().SelectSigner(u"", 0, 0), 5070) << c.how;
        user.finish();
        EXPECT_EQ(engine().GetSignerPfxFileName(), "") << c.how;
        expectNoWindowLeft();
    }
}

// Each password dialog with its length range: OK follows the rule as the user types,
// the boxes take no more than the maximum, and OK hands over what was typed.
TEST_F(DesktopDialogs, PasswordBoxesAndTheOkRule) {
    writeFile(dir_.file("a.pfx"), "x");
    ui::PfxDialogRequest request;
    request.folder = utf8ToAnsi(dir_.path());
    request.fileName = "a.pfx";
    request.minLength = 4;
    request.maxLength = 8;
    struct Case {
        const char* kind;
        std::string title;
        int tabsToFirstBox;
        std::vector<int> boxes;
        int minimum;
        size_t limit;                                      // 0: any length
        std::function<std::vector<std::string>()> launch;  // the code, then the passwords
    } cases[] = {
        {"PfxSaveDialog",
         kExportTitle,
         2,
         {303},
         4,
         8,
         [&] {
             ui::PfxDialogResult r =
                 ui::launchPfxDialog(ui::PfxDialogUse::ExportMobileFromPfx, request);
             return std::vector<std::string>{std::to_string(r.code),
                                             std::string(r.password.view())};
         }},
        {"ChangePasswordDialog",
         kChangeTitle,
         2,
         {303, 304, 305},
         4,
         8,
         [&] {
             ui::ChangePasswordResult r = ui::launchChangePasswordDialog(request);
             return std::vector<std::string>{
                 std::to_string(r.code), std::string(r.oldPassword.view()),
                 std::string(r.newPassword.view()), std::string(r.confirmPassword.view())};
         }},
        {"PasswordDialog",
         kPasswordTitle,
         0,
         {303},
         0,
         0,
         [&] {
             ui::PasswordResult r = ui::launchPasswordDialog();
             return std::vector<std::string>{std::to_string(r.code),
                                             std::string(r.password.view())};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        const std::string typed = "abcdefghij";
        const std::string kept = c.limit ? typed.substr(0, c.limit) : typed;
        std::vector<std::string> expected = {"0"};
        DesktopUser user([&](DesktopUser& u) {
            if (!u.waitFor(c.title)) return;
            u.screenshot(c.kind);
            EXPECT_EQ(onGuiThread<bool>([&] { return okEnabled(c.title); }), c.minimum == 0);
            for (int i = 0; i < c.tabsToFirstBox; ++i) u.key("Tab");
            for (size_t b = 0; b < c.boxes.size(); ++b) {
                const int id = c.boxes[b];
                const bool last = b + 1 == c.boxes.size();
                if (b > 0) u.key("Tab");
                u.type(typed.substr(0, 3));
                if (!u.waitUntil("three characters", [&] { return boxLength(c.title, id) == 3; }))
                    return;
                EXPECT_EQ(onGuiThread<bool>([&] { return okEnabled(c.title); }), c.minimum == 0);
                u.type(typed.substr(3));
                if (!u.waitUntil("the box full", [&] {
                        return boxLength(c.title, id) == static_cast<int>(kept.size());
                    }))
                    return;
                // The minimum holds in this box; OK waits for the boxes still empty.
                EXPECT_EQ(onGuiThread<bool>([&] { return okEnabled(c.title); }),
                          c.minimum == 0 || last);
            }
            // Shortened below the minimum and filled again.
            u.key("BackSpace BackSpace BackSpace BackSpace BackSpace");
            if (!u.waitUntil("shortened", [&] {
                    return boxLength(c.title, c.boxes.back()) == static_cast<int>(kept.size()) - 5;
                }))
                return;
            EXPECT_EQ(onGuiThread<bool>([&] { return okEnabled(c.title); }),
                      static_cast<int>(kept.size()) - 5 >= c.minimum);
            u.type("xyz");
            if (!u.waitUntil("OK enabled", [&] { return okEnabled(c.title); })) return;
            u.key("Return");
            u.waitGone(c.title);
        });
        for (size_t b = 0; b < c.boxes.size(); ++b)
            expected.push_back(b + 1 == c.boxes.size() ? kept.substr(0, kept.size() - 5) + "xyz"
                                                       : kept);
        std::vector<std::string> got = c.launch();
        user.finish();
        EXPECT_EQ(got, expected);
        expectNoWindowLeft();
    }
}

TEST_F(DesktopDialogs, FolderModeBrowsesForTheFolder) {
    const std::string chosen = dir_.file("chosen");
    std::filesystem::create_directory(chosen);
    ui::PfxDialogRequest request;
    request.folder = utf8ToAnsi(dir_.path());
    request.fileName = "out.pfx";
    DesktopUser user([&](DesktopUser& u) {
        if (!u.waitFor(kExportTitle)) return;
        EXPECT_EQ(onGuiThread<std::string>([&] { return shownText(kExportTitle, control(302)); }),
                  dir_.file("out.pfx"));
        u.key("Tab space");  // from the path box to the browse button
        if (!u.waitFor(kFolderTitle)) return;
        u.screenshot("FolderBrowser");
        u.key("ctrl+l");
        u.paste(chosen + "/");
        u.key("Return");  // into the folder
        u.key("Return");  // and take it
        if (!u.waitGone(kFolderTitle) || !u.waitFor(kExportTitle)) return;
        if (!u.waitUntil("the folder shown", [&] {
                return shownText(kExportTitle, control(302)) == chosen + "/out.pfx";
            }))
            return;
        u.key("Tab");
        u.type("pw");
        u.key("Return");
        u.waitGone(kExportTitle);
    });
    ui::PfxDialogResult result = ui::launchPfxDialog(ui::PfxDialogUse::ExportPfx, request);
    user.finish();
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(ansiToUtf8(result.folder), chosen);
    EXPECT_EQ(result.fileName, "out.pfx");
    EXPECT_EQ(result.password.view(), "pw");
    // The write check leaves nothing behind.
    EXPECT_FALSE(std::filesystem::exists(chosen + "/out.pfx"));
}

// SelectSigner with two candidates in "MY": the row chosen in the list is the signer.
TEST_F(DesktopDialogs, CertListChoosesTheSigner) {
    importIntoMy("two_keys.pfx");
    struct Case {
        const char* what;
        const char* keys;  // focus starts on OK; OK, Cancel, the list and the view button
        int row;           // the row whose certificate is chosen, -1: cancelled
    } cases[] = {
        {"OK at once", "Return", 0},
        {"the second row", "Tab Tab Down shift+Tab shift+Tab space", 1},
        {"Enter in the list", "Tab Tab Down Return", 1},
        {"the selection cleared", "Tab Tab Down ctrl+space shift+Tab shift+Tab space", 0},
        {"cancelled, then the PFX file dialog too", "Escape", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::vector<std::string>> rows;
        DesktopUser user([&](DesktopUser& u) {
            if (!u.waitFor(kListTitle)) return;
            rows = onGuiThread<std::vector<std::vector<std::string>>>([] {
                       std::vector<std::vector<std::string>> shown;
                       GtkTreeView* list = GTK_TREE_VIEW(gui::findWidget(kListTitle, control(301)));
                       GtkTreeModel* model = gtk_tree_view_get_model(list);
                       GtkTreeIter it;
                       for (bool more = gtk_tree_model_get_iter_first(model, &it); more;
                            more = gtk_tree_model_iter_next(model, &it)) {
                           std::vector<std::string> row;
                           for (int col = 0; col < 5; ++col) {
                               gchar* text = nullptr;
                               gtk_tree_model_get(model, &it, col, &text, -1);
                               row.push_back(text ? text : "");
                               g_free(text);
                           }
                           shown.push_back(row);
                       }
                       return shown;
                   }).value_or(rows);
            u.key(c.keys);
            u.waitGone(kListTitle);
            if (c.row < 0) {
                if (!u.waitFor(kSignerTitle)) return;
                u.key("Escape");
                u.waitGone(kSignerTitle);
            }
        });
        int32_t code = engine().SelectSigner(u"", 0, 0);
        user.finish();
        ASSERT_EQ(rows.size(), 2u);
        if (c.row < 0) {
            EXPECT_EQ(code, 5070);
            EXPECT_EQ(engine().GetCertFinger(), "");
        } else {
            EXPECT_EQ(code, 0);
            EXPECT_EQ(ansiToUtf8(engine().GetCertSubjectCN()), rows[c.row][0]);
            EXPECT_EQ(engine().GetCertSerial(), rows[c.row][1]);
        }
        expectNoWindowLeft();
    }
}

// The list as the dialog lays it out, and the view button writing the highlighted
// certificate into the one view file.
TEST_F(DesktopDialogs, CertListColumnsAndViewButton) {
    FixtureContexts certificates({"big5_bmp", "no_cn", "signer"});
    RecordingOpener opener;
    const std::string viewFile = home_.path() + "/view/temp.cer";
    struct Column {
        std::string heading;
        int width;
    };
    std::vector<Column> columns;
    std::string firstHolder, secondHolder;
    PangoEllipsizeMode serialCut = PANGO_ELLIPSIZE_NONE;
    std::vector<std::string> viewed;
    int selectedAtStart = -1;
    DesktopUser user([&](DesktopUser& u) {
        if (!u.waitFor(kListTitle)) return;
        u.screenshot("CertListDialog");
        onGuiThread<bool>([&] {
            GtkTreeView* list = GTK_TREE_VIEW(gui::findWidget(kListTitle, control(301)));
            for (guint i = 0; i < gtk_tree_view_get_n_columns(list); ++i) {
                GtkTreeViewColumn* column = gtk_tree_view_get_column(list, static_cast<gint>(i));
                columns.push_back({gtk_tree_view_column_get_title(column),
                                   gtk_tree_view_column_get_fixed_width(column)});
            }
            GList* cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(gtk_tree_view_get_column(
                list, static_cast<gint>(ui::CertListDialog::kSerialColumn))));
            if (cells) g_object_get(cells->data, "ellipsize", &serialCut, nullptr);
            g_list_free(cells);
            GtkTreeModel* model = nullptr;
            GtkTreeIter it;
            if (gtk_tree_selection_get_selected(gtk_tree_view_get_selection(list), &model, &it)) {
                GtkTreePath* path = gtk_tree_model_get_path(model, &it);
                selectedAtStart = gtk_tree_path_get_indices(path)[0];
                gtk_tree_path_free(path);
            }
            auto holder = [&](int row) {
                GtkTreeIter at;
                gchar* text = nullptr;
                gtk_tree_model_iter_nth_child(gtk_tree_view_get_model(list), &at, nullptr, row);
                gtk_tree_model_get(gtk_tree_view_get_model(list), &at, 0, &text, -1);
                std::string copy = text ? text : "";
                g_free(text);
                return copy;
            };
            firstHolder = holder(0);
            secondHolder = holder(1);
            return true;
        });
        u.key("Tab Tab Tab space");  // the view button on row 0
        if (!u.waitUntil("row 0 viewed", [&] { return opener.opened.size() == 1; })) return;
        viewed.push_back(readFile(viewFile));
        u.key("shift+Tab Down Down Tab space");  // row 2
        if (!u.waitUntil("row 2 viewed", [&] { return opener.opened.size() == 2; })) return;
        viewed.push_back(readFile(viewFile));
        u.key("shift+Tab shift+Tab shift+Tab space");  // OK
        u.waitGone(kListTitle);
    });
    int32_t lastError = -1;
    PCCERT_CONTEXT chosen = ui::pickCertificate(certificates.list(), lastError, opener);
    user.finish();
    EXPECT_EQ(lastError, 0);
    EXPECT_EQ(chosen, certificates.list()[2]);
    EXPECT_EQ(selectedAtStart, 0);
    std::vector<std::pair<std::string, int>> shownColumns;
    for (const Column& c : columns) shownColumns.emplace_back(c.heading, c.width);
    EXPECT_EQ(shownColumns, (std::vector<std::pair<std::string, int>>{{"憑證持有人", 150},
                                                                      {"憑證序號", 110},
                                                                      {"起始日", 110},
                                                                      {"截止日", 110},
                                                                      {"憑證發行者", 180}}));
    // Serials of one authority share their start: a narrow column keeps the end.
    EXPECT_EQ(serialCut, PANGO_ELLIPSIZE_START);
    // The holders as openssl reads them: a common name, else the whole subject.
    EXPECT_EQ(firstHolder, loadExpect("big5_bmp")["subject_x500"].substr(
                               loadExpect("big5_bmp")["subject_x500"].rfind("CN=") + 3));
    EXPECT_EQ(secondHolder, "C=TW, O=No Name Org, OU=Unit");  // make_no_cn_cert.sh
    ASSERT_EQ(viewed.size(), 2u);
    EXPECT_EQ(viewed[0], certificates.der(0));
    EXPECT_EQ(viewed[1], certificates.der(2));
    EXPECT_EQ(opener.opened, (std::vector<std::string>{viewFile, viewFile}));
}

// Certificates on two cards of one label: the holder column tells the cards apart.
TEST_F(DesktopDialogs, CertListNamesTheCardOfEachCertificate) {
    FixtureContexts certificates({"no_cn", "no_cn"});
    const char16_t* cards[] = {u"Kestrune Card (Reader 0)", u"Kestrune Card (Reader 1)"};
    for (size_t i = 0; i < 2; ++i) {
        std::u16string card = cards[i];
        CRYPT_DATA_BLOB blob{static_cast<DWORD>((card.size() + 1) * sizeof(char16_t)),
                             reinterpret_cast<BYTE*>(card.data())};
        ASSERT_TRUE(CertSetCertificateContextProperty(certificates.list()[i],
                                                      CERT_SMART_CARD_READER_PROP_ID, 0, &blob));
    }
    std::vector<std::string> holders;
    DesktopUser user([&](DesktopUser& u) {
        if (!u.waitFor(kListTitle)) return;
        onGuiThread<bool>([&] {
            GtkTreeView* list = GTK_TREE_VIEW(gui::findWidget(kListTitle, control(301)));
            // The holder column widened, as the user drags it, to show the whole text.
            gtk_tree_view_column_set_fixed_width(gtk_tree_view_get_column(list, 0), 600);
            GtkTreeModel* model = gtk_tree_view_get_model(list);
            GtkTreeIter at;
            for (bool more = gtk_tree_model_get_iter_first(model, &at); more;
                 more = gtk_tree_model_iter_next(model, &at)) {
                gchar* text = nullptr;
                gtk_tree_model_get(model, &at, 0, &text, -1);
                holders.push_back(text ? text : "");
                g_free(text);
            }
            return true;
        });
        u.screenshot("CertListDialogTwoCards");
        u.key("Escape");
        u.waitGone(kListTitle);
    });
    int32_t lastError = -1;
    ui::pickCertificate(certificates.list(), lastError);
    user.finish();
    EXPECT_EQ(holders, (std::vector<std::string>{
                           "C=TW, O=No Name Org, OU=Unit（Kestrune Card (Reader 0)）",
                           "C=TW, O=No Name Org, OU=Unit（Kestrune Card (Reader 1)）"}));
}

// ImportPfxToIE with empty arguments, answered through the window: the certificate is
// in "MY" afterwards.
TEST_F(DesktopDialogs, ImportPfxToIEAsksForTheFileAndItsPassword) {
    DesktopUser user([&](DesktopUser& u) {
        if (!u.waitFor(kImportTitle)) return;
        u.key("space");  // the browse button has the focus
        if (!u.waitFor(kPfxChooserTitle)) return;
        u.key("ctrl+l");
        u.paste(kPfxFixtures + "/modern.pfx");
        u.key("Return");
        if (!u.waitGone(kPfxChooserTitle) || !u.waitFor(kImportTitle)) return;
        u.key("Tab Tab");
        u.type("secret");
        u.key("Return");
        u.waitGone(kImportTitle);
    });
    int32_t code = engine().ImportPfxToIE(u"", u"", u"", 0, 0);
    user.finish();
    EXPECT_EQ(code, 0);
    std::string listed = runCommand(std::string(KSCAPI_HOST_PATH) + " store list MY");
    EXPECT_NE(listed.find(opensslThumbprint(kPfxFixtures + "/user1.der")), std::string::npos)
        << listed;
}

// A user-protected key asks before its first use, signing the request: only OK lets the
// request be made.
TEST_F(DesktopDialogs, KeyAccessConsent) {
    ASSERT_EQ(engine().SetProviderName(u"Microsoft Enhanced Cryptographic Provider v1.0"), 0);
    struct Case {
        const char* how;
        bool armed;        // the keys come once OK is enabled
        const char* keys;  // the focus starts on Cancel
        bool allowed;
    } cases[] = {
        {"a stray Enter", false, "Return", false},
        {"Escape", true, "Escape", false},
        {"OK before it is enabled", false, "shift+Tab space", false},
        {"OK", true, "shift+Tab space", true},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        std::string shown;
        bool cancelFocused = false;
        DesktopUser user([&](DesktopUser& u) {
            if (!u.waitFor(kConsentTitle)) return;
            cancelFocused = onGuiThread<bool>([] {
                                return focusIs(kConsentTitle, ui::IDCANCEL);
                            }).value_or(false);
            if (c.armed) std::this_thread::sleep_for(kArmed);
            if (first) u.screenshot("KeyAccessDialog");
            shown = onGuiThread<std::string>([] {
                        return shownText(kConsentTitle, control(ui::IDC_KEY_ACCESS_TEXT));
                    }).value_or("");
            u.key(c.keys);
            u.waitGone(kConsentTitle);
        });
        std::string request = engine().CreatePKCS10(u"Desktop Consent", 1024, 2);
        user.finish();
        first = false;
        EXPECT_TRUE(cancelFocused);
        EXPECT_EQ(shown.rfind("有程式要求使用受保護的私密金鑰。\n金鑰容器：", 0), 0u) << shown;
        EXPECT_NE(shown.find("\n作業：簽署憑證申請\n"), std::string::npos) << shown;
        if (!c.allowed) {
            // The request cannot be signed; the platform's value says the user refused.
            EXPECT_EQ(request, "");
            EXPECT_EQ(engine().GetErrorCode(), 5302);
            EXPECT_EQ(engine().GetCapiErrorCode(), 1223);  // ERROR_CANCELLED
            continue;
        }
        EXPECT_EQ(engine().GetErrorCode(), 0);
        writeFile(dir_.file("req.b64"), request);
        std::string verified = runCommand("base64 -d " + gui::quoted(dir_.file("req.b64")) +
                                          " | openssl req -inform DER -verify -noout -subject "
                                          "-nameopt RFC2253 2>&1");
        EXPECT_NE(verified.find("verify OK"), std::string::npos) << verified;
        EXPECT_NE(verified.find("CN=Desktop Consent"), std::string::npos) << verified;
    }
}

// A token's PIN window names the token and warns when the token says tries were lost;
// only OK or Enter hands the PIN over, and the box is empty again afterwards.
TEST_F(DesktopDialogs, PinWindowOfAToken) {
    struct Case {
        const char* how;
        bool countLow, finalTry, oneSignature;
        const char* keys;  // after the PIN is typed; the focus starts in the box
        bool given;
        const char* warning;
    } cases[] = {
        {"Enter", false, false, false, "Return", true, nullptr},
        {"the OK button", true, false, false, "Tab space", true, "剩下的嘗試次數不多"},
        {"Escape", false, true, false, "Escape", false, "智慧卡就會鎖住"},
        {"a signature's PIN", false, false, true, "Return", true, "僅授權這一次簽章"},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        std::string shown;
        DesktopUser user([&](DesktopUser& u) {
            if (!u.waitFor(kPinTitle)) return;
            u.type("4321");
            if (first || c.oneSignature)
                u.screenshot(c.oneSignature ? "PinDialogOneSignature" : "PinDialog");
            shown = onGuiThread<std::string>([] {
                        return shownText(kPinTitle, control(ui::IDC_PIN_TEXT));
                    }).value_or("");
            u.key(c.keys);
            u.waitGone(kPinTitle);
        });
        PinRequest request{"Kestrune Token CSP", "Kestrune Card", c.countLow, c.finalTry,
                           c.oneSignature};
        SecretBytes pin;
        bool given = ui::askTokenPin(request, pin);
        user.finish();
        first = false;
        EXPECT_EQ(shown.rfind("請輸入智慧卡「Kestrune Card」的 PIN 碼。", 0), 0u) << shown;
        if (c.warning)
            EXPECT_NE(shown.find(c.warning), std::string::npos) << shown;
        else
            EXPECT_EQ(shown.find('\n'), std::string::npos) << shown;
        EXPECT_EQ(given, c.given);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(pin.data()), pin.size()),
                  c.given ? "4321" : "");
    }
}

// The mobile exports ask for what the page left out through the windows; the texts are
// read back by the independent decoder (Python, openssl enc).
TEST_F(DesktopDialogs, MobileExportsAskThroughTheWindows) {
    auto decodedThumbprint = [&](const std::string& text, const std::string& password) {
        writeFile(dir_.file("text"), text);
        std::string hex;
        for (unsigned char ch : password) {
            char byte[3];
            std::snprintf(byte, sizeof byte, "%02X", ch);
            hex += byte;
        }
        auto record = nlohmann::json::parse(
            runCommand("python3 " + std::string(KSCAPI_SOURCE_DIR) + "/tests/decode_mobile.py " +
                       gui::quoted(hex) + " cp950 < " + gui::quoted(dir_.file("text"))),
            nullptr, false);
        return record.is_object() ? record["thumbprint"].get<std::string>() : std::string();
    };
    const std::string user1 = opensslThumbprint(kPfxFixtures + "/user1.der");

    // From a PFX file whose password the page left out: the save dialog in file mode.
    DesktopUser fileUser([&](DesktopUser& u) {
        if (!u.waitFor(kExportTitle)) return;
        EXPECT_EQ(onGuiThread<std::string>([&] { return shownText(kExportTitle, control(302)); }),
                  kPfxFixtures + "/modern.pfx");
        u.key("Tab Tab");  // past the path box and the browse button
        u.type("secret");
        u.key("Return");
        u.waitGone(kExportTitle);
    });
    std::string fromPfx =
        engine().ExportMobileFromPfx(fromUtf8(kPfxFixtures), u"modern.pfx", u"", 0, 0);
    fileUser.finish();
    EXPECT_EQ(engine().GetErrorCode(), 0);
    EXPECT_EQ(decodedThumbprint(fromPfx, "secret"), user1);

    // From "MY" without an export password: the password dialog.
    importIntoMy("modern.pfx", "--exportable");
    DesktopUser storeUser([&](DesktopUser& u) {
        if (!u.waitFor(kPasswordTitle)) return;
        u.type("pin1234");
        u.key("Return");
        u.waitGone(kPasswordTitle);
    });
    std::string fromMy = engine().ExportMobileFromIE(u"", u"", 0, 0);
    storeUser.finish();
    EXPECT_EQ(engine().GetErrorCode(), 0);
    EXPECT_EQ(decodedThumbprint(fromMy, "pin1234"), user1);
}

// HashFile's chooser, one operation after the other in the same process.
TEST_F(DesktopDialogs, HashFileChooser) {
    const std::string file = dir_.file("data.bin");
    writeFile(file, std::string("desktop ") + '\0' + "\xFF chooser\n");
    struct Case {
        int32_t flags;
        const char* opensslDigest;  // null: the chooser is cancelled
    } cases[] = {{1, "md5"}, {0x13, "sha256"}, {0x14, "sha512"}, {0, nullptr}, {0, "sha1"}};
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.opensslDigest ? c.opensslDigest : "cancel");
        DesktopUser user([&](DesktopUser& u) {
            if (!u.waitFor(kHashChooserTitle)) return;
            if (first) u.screenshot("HashFileChooser");
            if (c.opensslDigest) {
                u.key("ctrl+l");
                u.paste(file);
                u.key("Return");
            } else {
                u.key("Escape");
            }
            u.waitGone(kHashChooserTitle);
        });
        std::string hex = engine().HashFile(u"", c.flags);
        user.finish();
        first = false;
        if (!c.opensslDigest) {
            EXPECT_EQ(hex, "");
            EXPECT_EQ(engine().GetErrorCode(), 5070);
        } else {
            std::string out = runCommand(std::string("openssl dgst -r -") + c.opensslDigest + " " +
                                         gui::quoted(file));
            std::string expected = out.substr(0, out.find(' '));
            std::transform(expected.begin(), expected.end(), expected.begin(), ::toupper);
            EXPECT_EQ(hex, expected);
            EXPECT_EQ(engine().GetErrorCode(), 0);
        }
        expectNoWindowLeft();
    }
}

// A chooser opened for a site names it on its first line, as every other window does.
TEST_F(DesktopDialogs, ChooserForASiteNamesIt) {
    ui::ScopedDialogRequester requester("https://bank.example");
    const std::string title = kHashChooserTitle + " - https://bank.example";
    std::string site;
    DesktopUser user([&](DesktopUser& u) {
        if (!u.waitFor(title)) return;
        site =
            onGuiThread<std::string>([&] { return shownText(title, "dialog-site"); }).value_or("");
        u.key("Escape");
        u.waitGone(title);
    });
    EXPECT_EQ(engine().HashFile(u"", 3), "");
    user.finish();
    EXPECT_EQ(engine().GetErrorCode(), 5070);
    EXPECT_EQ(site, "網站：https://bank.example");
    expectNoWindowLeft();
}

// The host shows its dialogs on the desktop with --ui gtk, and with --ui auto when a
// display opens.
TEST_F(DesktopDialogs, HostShowsTheChooser) {
    // The chooser opens on the host's working folder, which holds the one file: the user
    // picks it in the list.
    const std::string folder = dir_.file("data");
    std::filesystem::create_directory(folder);
    writeFile(folder + "/host.txt", "abc");
    for (const char* mode : {"gtk", "auto"}) {
        SCOPED_TRACE(mode);
        const std::string out = dir_.file(std::string("out-") + mode);
        std::string command = "cd " + gui::quoted(folder) + " && " + KSCAPI_HOST_PATH + " --home " +
                              gui::quoted(home_.path()) + " --ui " + mode +
                              " call HashFile '\"\"' 1 < /dev/null > " + gui::quoted(out) +
                              " 2>/dev/null & echo $!; wait $!";
        FILE* host = popen(command.c_str(), "r");
        ASSERT_NE(host, nullptr);
        char pidLine[32] = {};
        ASSERT_NE(fgets(pidLine, sizeof pidLine, host), nullptr);
        std::string pid = std::to_string(std::atoi(pidLine));
        std::string window;
        for (int i = 0; i < 200 && window.empty(); ++i) {
            window =
                runCommand("xdotool search --onlyvisible --pid " + pid + " 2>/dev/null | head -n1");
            if (window.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_FALSE(window.empty()) << "no window of the host";
        if (!window.empty()) {
            window.pop_back();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            gui::run("xdotool windowfocus --sync " + window + " key --delay 100 Home Return");
        }
        for (int i = 0; i < 100 && gui::run("kill -0 " + pid + " 2>/dev/null") == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        gui::run("kill " + pid + " 2>/dev/null");
        pclose(host);
        auto result = nlohmann::json::parse(readFile(out), nullptr, false);
        ASSERT_TRUE(result.is_object()) << readFile(out);
        EXPECT_EQ(result["ret"], "900150983CD24FB0D6963F7D28E17F72");  // MD5 of "abc"
        EXPECT_EQ(result["lastError"], 0);
    }
}

// Without a display the desktop dialogs are not created: the operation reports it at
// once, without a crash or a wait.
TEST(DesktopWithoutDisplay, DialogsAreNotCreated) {
    TempDir dir;
    struct Case {
        const char* ui;
        const char* call;
        int lastError;
    } cases[] = {
        {"gtk", "SelectSigner '\"\"' 0 0", 5002},   // the PFX file dialog
        {"gtk", "HashFile '\"\"' 0", 5070},         // a chooser not shown is not OK
        {"auto", "SelectSigner '\"\"' 0 0", 5002},  // no display, no terminal: none
        {"gtk", "ImportPfxToIE '\"\"' '\"\"' '\"\"' 0 0", 5002},
    };
    for (const Case& c : cases) {
        int status = -1;
        std::string out =
            runCommand("env -u DISPLAY -u WAYLAND_DISPLAY timeout 60 " +
                           std::string(KSCAPI_HOST_PATH) + " --home " + dir.file("home") +
                           " --ui " + c.ui + " call " + c.call + " < /dev/null 2>/dev/null",
                       &status);
        EXPECT_EQ(status, 0) << c.ui << " " << c.call;
        auto result = nlohmann::json::parse(out, nullptr, false);
        ASSERT_TRUE(result.is_object()) << out;
        EXPECT_EQ(result["lastError"], c.lastError) << c.ui << " " << c.call;
    }
}

// A web site's first request asks in a window captioned with the site; the default
// button, Escape and closing refuse it, the two allow buttons let it in.
TEST_F(DesktopDialogs, OriginConsent) {
    const std::string title = "網站要求使用憑證 - https://bank.example";
    struct Case {
        const char* how;
        const char* keys;  // the focus starts on Deny, the default button
        ui::OriginChoice choice;
    } cases[] = {
        {"Return", "Return", ui::OriginChoice::Deny},
        {"Escape", "Escape", ui::OriginChoice::Deny},
        {"always allow", "shift+Tab space", ui::OriginChoice::Always},
        {"allow this time", "shift+Tab shift+Tab space", ui::OriginChoice::Once},
    };
    ui::ScopedDialogRequester requester("https://bank.example");
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        std::string shown, site;
        DesktopUser user([&](DesktopUser& u) {
            if (!u.waitFor(title)) return;
            std::this_thread::sleep_for(kArmed);
            if (first) u.screenshot("OriginConsent");
            shown = onGuiThread<std::string>([&] {
                        return shownText(title, control(ui::IDC_ORIGIN_TEXT));
                    }).value_or("");
            site = onGuiThread<std::string>([&] {
                       return shownText(title, "dialog-site");
                   }).value_or("");
            u.key(c.keys);
            u.waitGone(title);
        });
        ui::OriginChoice choice = ui::askOriginConsent("https://bank.example");
        user.finish();
        first = false;
        EXPECT_EQ(choice, c.choice);
        EXPECT_EQ(shown.rfind("是否允許 https://bank.example 使用您的憑證與金鑰？\n", 0), 0u)
            << shown;
        // The site is also the window's first line: window managers cut captions.
        EXPECT_EQ(site, "網站：https://bank.example");
    }
}

// A certificate about to become a trusted root, and a page beyond its allowance of new
// keys, ask in windows that say what they are about; the refusing button has the focus, so
// a stray Enter refuses, and the allowing one works only after half a second.
TEST_F(DesktopDialogs, RootInstallAndStoreGrowthWindows) {
    const std::string der = kPfxFixtures + "/user1.der";
    std::string bytes = readFile(der);
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(bytes.data()),
                                     static_cast<DWORD>(bytes.size()));
    ASSERT_NE(cert, nullptr);
    struct Window {
        const char* kind;
        std::string title;
        std::function<bool()> ask;
        std::vector<std::string> shows;
    };
    const Window windows[] = {
        {"RootInstallDialog",
         "安全性警告",
         [cert] { return ui::askRootInstall(cert); },
         {"憑證指紋 (SHA-1)：" + opensslThumbprint(der), "都會被信任"}},
        {"StoreGrowthConsent",
         "網站要求新增金鑰或憑證",
         [] {
             return ui::askStoreGrowthConsent("https://shop.example", ui::StoreGrowth::Keys, 8, {});
         },
         {"已在您的憑證存放區建立 8 組金鑰"}},
    };
    struct Case {
        const char* how;
        bool armed;
        const char* keys;
        bool allowed;
    } cases[] = {
        {"a stray Enter", false, "Return", false},
        {"allow before it is enabled", false, "shift+Tab space", false},
        {"Escape", true, "Escape", false},
        {"allow", true, "shift+Tab space", true},
    };
    for (const Window& window : windows) {
        bool first = true;
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(window.kind) + ": " + c.how);
            const std::string& title = window.title;
            std::string shown;
            bool refuseFocused = false;
            DesktopUser user([&](DesktopUser& u) {
                if (!u.waitFor(title)) return;
                refuseFocused =
                    onGuiThread<bool>([&] { return focusIs(title, ui::IDCANCEL); }).value_or(false);
                if (c.armed) std::this_thread::sleep_for(kArmed);
                if (first) u.screenshot(window.kind);
                shown = onGuiThread<std::string>([&] {
                            return shownText(title, control(ui::IDC_CONSENT_TEXT));
                        }).value_or("");
                u.key(c.keys);
                u.waitGone(title);
            });
            bool allowed = window.ask();
            user.finish();
            first = false;
            EXPECT_EQ(allowed, c.allowed);
            EXPECT_TRUE(refuseFocused);
            for (const std::string& part : window.shows)
                EXPECT_NE(shown.find(part), std::string::npos) << shown;
        }
    }
    CertFreeCertificateContext(cert);
}

// A page's signature asks in a window that shows the site, the certificate and the text;
// the box under the text lets the page sign on.
TEST_F(DesktopDialogs, SignConsentWindow) {
    const std::string title = "網站要求簽章";
    const ui::CertificateSummary certificate{"Alice", "Test CA", std::string(40, 'A')};
    struct Case {
        const char* how;
        const char* keys;  // once the Sign button is enabled; the focus starts on Cancel
        bool allowed, further;
    } cases[] = {
        {"Enter", "Return", false, false},
        {"Sign", "shift+Tab space", true, false},
        {"further, then Sign", "shift+Tab shift+Tab space Tab space", true, true},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        std::string site, content;
        DesktopUser user([&](DesktopUser& u) {
            if (!u.waitFor(title)) return;
            std::this_thread::sleep_for(kArmed);
            if (first) u.screenshot("SignConsent");
            site = onGuiThread<std::string>([&] {
                       return shownText(title, "dialog-site");
                   }).value_or("");
            content = onGuiThread<std::string>([&] {
                          return shownText(title, control(ui::IDC_SIGN_CONTENT));
                      }).value_or("");
            u.key(c.keys);
            u.waitGone(title);
        });
        bool further = false;
        bool allowed =
            ui::askSignConsent("https://shop.example", certificate, u"付款 100 元給 Bob", &further);
        user.finish();
        first = false;
        EXPECT_EQ(allowed, c.allowed);
        EXPECT_EQ(further, c.further);
        EXPECT_EQ(site, "網站：https://shop.example");
        EXPECT_EQ(content, "付款 100 元給 Bob");
    }
}
