#include "ui/gtk_backend.h"

#include <functional>

#include "platform/system/files.h"
#include "platform/text/codepage.h"
#include "ui/cert_list_dialog.h"
#include "ui/chooser_filter.h"
#include "ui/consent_dialogs.h"
#include "ui/credentials_dialog.h"
#include "ui/gtk_window_internal.h"
#include "ui/key_access_dialog.h"
#include "ui/origin_consent_dialog.h"
#include "ui/pin_dialog.h"

namespace ui {
namespace {

using gtk::ResourceWindow;
using gtk::StackedWindow;
using gtk::Toplevel;

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using StoreHolder = std::unique_ptr<GtkListStore, ObjectUnref>;

// A string GLib allocated, freed with g_free.
class GlibText {
  public:
    explicit GlibText(gchar* text) : text_(text) {}
    ~GlibText() { close(); }
    GlibText(const GlibText&) = delete;
    GlibText& operator=(const GlibText&) = delete;
    const gchar* get() const { return text_; }
    void close() {
        g_free(text_);
        text_ = nullptr;
    }

  private:
    gchar* text_;
};

const char* iconFor(UINT type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONERROR:
            return "dialog-error";
        case MB_ICONQUESTION:
            return "dialog-question";
        case MB_ICONWARNING:
            return "dialog-warning";
        case MB_ICONINFORMATION:
            return "dialog-information";
    }
    return nullptr;
}

// The folder browser opens on the desktop, as the platform's browser is rooted there.
std::string desktopFolder() {
    const gchar* desktop = g_get_user_special_dir(G_USER_DIRECTORY_DESKTOP);
    if (desktop && g_file_test(desktop, G_FILE_TEST_IS_DIR)) return desktop;
    return g_get_home_dir();
}

void addFilters(GtkFileChooser* chooser, const std::string& filterAnsi) {
    for (const ChooserFilter& entry : parseChooserFilter(ansiToUtf8(filterAnsi))) {
        GtkFileFilter* filter = gtk_file_filter_new();
        gtk_file_filter_set_name(filter, entry.name.c_str());
        for (const std::string& pattern : entry.patterns)
            gtk_file_filter_add_pattern(filter, caseFoldedGlob(pattern).c_str());
        // The chooser takes the floating reference; the first filter is the one shown.
        gtk_file_chooser_add_filter(chooser, filter);
    }
}

void showText(GtkWidget* textView, const std::string& ansi) {
    if (!textView) return;
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(textView));
    gtk_text_buffer_set_text(buffer, ansiToUtf8(ansi).c_str(), -1);
}

void fillCertificateList(GtkTreeView* list, const CertListDialog& dialog) {
    constexpr int kColumns = 5;
    StoreHolder store(gtk_list_store_new(kColumns, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                         G_TYPE_STRING, G_TYPE_STRING));
    for (const CertListDialog::Row& row : dialog.rows()) {
        std::string texts[kColumns];
        for (int i = 0; i < kColumns; ++i) texts[i] = ansiToUtf8(row[static_cast<size_t>(i)]);
        gtk_list_store_insert_with_values(store.get(), nullptr, -1, 0, texts[0].c_str(), 1,
                                          texts[1].c_str(), 2, texts[2].c_str(), 3,
                                          texts[3].c_str(), 4, texts[4].c_str(), -1);
    }
    int index = 0;
    for (const CertListDialog::Column& column : CertListDialog::columns()) {
        GtkCellRenderer* renderer = gtk_cell_renderer_text_new();
        // A serial cut short keeps its end ("…3A9F01"): its beginning is the part that
        // certificates of one authority share.
        bool serial = static_cast<size_t>(index) == CertListDialog::kSerialColumn;
        g_object_set(renderer, "ellipsize", serial ? PANGO_ELLIPSIZE_START : PANGO_ELLIPSIZE_END,
                     nullptr);
        GtkTreeViewColumn* shown = gtk_tree_view_column_new_with_attributes(
            toUtf8(column.heading).c_str(), renderer, "text", index++, nullptr);
        gtk_tree_view_column_set_sizing(shown, GTK_TREE_VIEW_COLUMN_FIXED);
        gtk_tree_view_column_set_fixed_width(shown, column.width);
        gtk_tree_view_column_set_resizable(shown, TRUE);
        gtk_tree_view_append_column(list, shown);
    }
    gtk_tree_view_set_model(list, GTK_TREE_MODEL(store.get()));
}

// The list row selected, -1 when none.
int32_t selectedListRow(GtkTreeSelection* selection) {
    GtkTreeModel* model = nullptr;
    GtkTreeIter row;
    if (!gtk_tree_selection_get_selected(selection, &model, &row)) return -1;
    GtkTreePath* path = gtk_tree_model_get_path(model, &row);
    int32_t index = path ? gtk_tree_path_get_indices(path)[0] : -1;
    gtk_tree_path_free(path);
    return index;
}

class GtkBackend final : public DialogBackend {
  public:
    const char* name() const override { return "gtk"; }

    FileChooserAnswer fileChooser(const FileChooserModel& model) override {
        FileChooserAnswer answer;
        if (!gtk::initOnThisThread()) {
            answer.outcome = DialogOutcome::Failed;
            return answer;
        }
        std::string start = nativePath(chooserStartFolder(model));
        // The open chooser reads existing files only: the save options (overwrite prompt,
        // default extension) and the read-only box have nothing to act on.
        auto prepare = [&](GtkFileChooser* chooser) {
            addFilters(chooser, model.filter);
            if (model.initialFile.empty()) return;
            std::string initial = nativePath(model.initialFile);
            if (!initial.empty() && initial.front() != '/') initial = start + "/" + initial;
            if (g_file_test(initial.c_str(), G_FILE_TEST_IS_REGULAR))
                gtk_file_chooser_select_filename(chooser, initial.c_str());
        };
        answer.outcome = choose(GTK_FILE_CHOOSER_ACTION_OPEN, ansiToUtf8(shownCaption(model.title)),
                                u"開啟", start, prepare, answer.path);
        return answer;
    }

    FolderBrowserAnswer folderBrowser(const FolderBrowserModel& model) override {
        FolderBrowserAnswer answer;
        if (!gtk::initOnThisThread()) {
            answer.outcome = DialogOutcome::Failed;
            return answer;
        }
        answer.outcome =
            choose(GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, ansiToUtf8(shownCaption(model.prompt)),
                   u"確定", desktopFolder(), nullptr, answer.path);
        return answer;
    }

    // Only the OK button is shown: the dialogs use no other set.
    int messageBox(const std::string& text, const std::string& caption, UINT type) override {
        if (!gtk::initOnThisThread()) return 0;
        Toplevel box(gtk_dialog_new());
        GtkDialog* dialog = GTK_DIALOG(box.widget());
        gtk_window_set_title(box.window(), ansiToUtf8(shownCaption(caption)).c_str());
        gtk_window_set_resizable(box.window(), FALSE);
        GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
        gtk_container_set_border_width(GTK_CONTAINER(row), 12);
        if (const char* icon = iconFor(type))
            gtk_box_pack_start(GTK_BOX(row),
                               gtk_image_new_from_icon_name(icon, GTK_ICON_SIZE_DIALOG), FALSE,
                               FALSE, 0);
        GtkWidget* label = gtk_label_new(ansiToUtf8(text).c_str());
        gtk_widget_set_name(label, "message-text");
        gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
        gtk_label_set_max_width_chars(GTK_LABEL(label), 60);
        gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
        gtk_box_pack_start(GTK_BOX(row), label, TRUE, TRUE, 0);
        GtkWidget* content = gtk_dialog_get_content_area(dialog);
        if (!dialogRequester().empty()) {
            GtkWidget* site = gtk::siteLine(ansiToUtf8(dialogRequester()));
            gtk_widget_set_margin_start(site, 12);
            gtk_widget_set_margin_top(site, 12);
            gtk_box_pack_start(GTK_BOX(content), site, FALSE, FALSE, 0);
            gtk_widget_show(site);
        }
        gtk_box_pack_start(GTK_BOX(content), row, TRUE, TRUE, 0);
        GtkWidget* ok = gtk_dialog_add_button(dialog, toUtf8(u"確定").c_str(), GTK_RESPONSE_OK);
        gtk_widget_set_name(ok, gtk::controlName(IDOK).c_str());
        gtk_dialog_set_default_response(dialog, GTK_RESPONSE_OK);
        gtk_widget_show_all(row);
        gtk::runDialog(box.widget(), stack_);
        return IDOK;
    }

    DialogOutcome runCredentialsDialog(CredentialsDialog& dialog) override {
        if (!gtk::initOnThisThread()) return DialogOutcome::Failed;
        ResourceWindow window(dialog.resource(), ansiToUtf8(shownCaption(dialog.caption())),
                              stack_.parent());
        StackedWindow shown(stack_, window.window());
        GtkWidget* ok = window.control(IDOK);
        auto applyOkRule = [ok, &dialog] { gtk_widget_set_sensitive(ok, dialog.okEnabled()); };
        if (dialog.hasPathBox()) {
            GtkWidget* path = window.control(IDC_PATH);
            showText(path, dialog.pathText());
            window.on(window.control(IDC_BROWSE), "clicked", [this, &dialog, path] {
                dialog.browse(*this);
                showText(path, dialog.pathText());
            });
        }
        for (const PasswordBox& box : dialog.boxes()) {
            GtkWidget* entry = window.control(box.id());
            if (!entry) continue;
            gtk_entry_set_max_length(GTK_ENTRY(entry), box.limit());
            // What the box shows is fed to the model afresh on every change, so that
            // insertions, deletions and pastes anywhere in it count alike.
            window.on(entry, "changed", [&dialog, entry, id = box.id(), applyOkRule] {
                dialog.clearBox(id);
                dialog.typeUtf8(id, gtk_entry_get_text(GTK_ENTRY(entry)));
                applyOkRule();
            });
        }
        applyOkRule();
        window.on(ok, "clicked", [this, &dialog, &window] {
            if (dialog.pressOk(*this)) window.end(DialogOutcome::Ok);
        });
        window.on(window.control(IDCANCEL), "clicked",
                  [&window] { window.end(DialogOutcome::Cancel); });
        return window.run();
    }

    DialogOutcome runCertListDialog(CertListDialog& dialog) override {
        if (!gtk::initOnThisThread()) return DialogOutcome::Failed;
        ResourceWindow window(dialog.resource(), ansiToUtf8(shownCaption(dialog.caption())),
                              stack_.parent());
        StackedWindow shown(stack_, window.window());
        GtkTreeView* list = GTK_TREE_VIEW(window.control(IDC_CERT_LIST));
        fillCertificateList(list, dialog);
        GtkTreeSelection* selection = gtk_tree_view_get_selection(list);
        gtk_tree_selection_set_mode(selection, GTK_SELECTION_SINGLE);
        if (dialog.selectedRow() >= 0) {
            GtkTreePath* first = gtk_tree_path_new_from_indices(dialog.selectedRow(), -1);
            gtk_tree_view_set_cursor(list, first, nullptr, FALSE);
            gtk_tree_path_free(first);
        }
        window.on(selection, "changed", [selection, &dialog] {
            int32_t row = selectedListRow(selection);
            if (row < 0 || !dialog.select(row)) dialog.clearSelection();
        });
        auto accept = [&dialog, &window] {
            dialog.pressOk();
            window.end(DialogOutcome::Ok);
        };
        window.on(window.control(IDOK), "clicked", accept);
        // Enter in the list is the default button's, as in any dialog.
        window.on(list, "row-activated", accept);
        window.on(window.control(IDC_VIEW_CERT), "clicked", [&dialog] { dialog.pressView(); });
        window.on(window.control(IDCANCEL), "clicked",
                  [&window] { window.end(DialogOutcome::Cancel); });
        return window.run();
    }

    // Only OK allows the key; Cancel, Escape and closing the window refuse it.
    DialogOutcome runKeyAccessDialog(KeyAccessDialog& dialog) override {
        return runConsent(
            dialog, {}, IDC_KEY_ACCESS_TEXT, nullptr, [&dialog] { dialog.pressOk(); },
            [&dialog] { dialog.pressCancel(); });
    }

    // OK or Enter in the box hands the PIN over; Cancel, Escape and closing the window
    // cancel the login. The box is emptied before the window goes.
    DialogOutcome runPinDialog(PinDialog& dialog) override {
        if (!gtk::initOnThisThread()) return DialogOutcome::Failed;
        ResourceWindow window(dialog.resource(), ansiToUtf8(shownCaption(dialog.caption())),
                              stack_.parent());
        StackedWindow shown(stack_, window.window());
        if (GtkWidget* text = window.control(IDC_PIN_TEXT))
            gtk_label_set_text(GTK_LABEL(text), ansiToUtf8(dialog.message()).c_str());
        GtkWidget* entry = window.control(IDC_PIN);
        if (!entry) return DialogOutcome::Failed;
        gtk_widget_grab_focus(entry);
        auto accept = [&dialog, &window, entry] {
            dialog.typePin(gtk_entry_get_text(GTK_ENTRY(entry)));
            gtk_entry_set_text(GTK_ENTRY(entry), "");
            dialog.pressOk();
            window.end(DialogOutcome::Ok);
        };
        window.on(window.control(IDOK), "clicked", accept);
        window.on(entry, "activate", accept);
        window.on(window.control(IDCANCEL), "clicked",
                  [&window] { window.end(DialogOutcome::Cancel); });
        DialogOutcome outcome = window.run();
        gtk_entry_set_text(GTK_ENTRY(entry), "");
        if (outcome != DialogOutcome::Ok) dialog.pressCancel();
        return outcome;
    }

    // Only the allow buttons let the site in; Deny, Escape and closing the window refuse it.
    DialogOutcome runOriginConsentDialog(OriginConsentDialog& dialog) override {
        if (!gtk::initOnThisThread()) return DialogOutcome::Failed;
        ResourceWindow window(dialog.resource(), ansiToUtf8(shownCaption(dialog.caption())),
                              stack_.parent());
        StackedWindow shown(stack_, window.window());
        if (GtkWidget* text = window.control(IDC_ORIGIN_TEXT))
            gtk_label_set_text(GTK_LABEL(text), ansiToUtf8(dialog.message()).c_str());
        // Enter on the window as it opens denies: allowing takes a deliberate choice.
        window.holdBackConsent({IDC_ALLOW_ONCE, IDC_ALLOW_ALWAYS}, IDCANCEL);
        window.on(window.control(IDC_ALLOW_ONCE), "clicked", [&dialog, &window] {
            dialog.pressAllowOnce();
            window.end(DialogOutcome::Ok);
        });
        window.on(window.control(IDC_ALLOW_ALWAYS), "clicked", [&dialog, &window] {
            dialog.pressAllowAlways();
            window.end(DialogOutcome::Ok);
        });
        window.on(window.control(IDCANCEL), "clicked",
                  [&window] { window.end(DialogOutcome::Cancel); });
        DialogOutcome outcome = window.run();
        if (outcome != DialogOutcome::Ok) dialog.pressDeny();
        return outcome;
    }

    // Sign only signs; Cancel, Escape and closing the window refuse.
    DialogOutcome runSignConsentDialog(SignConsentDialog& dialog) override {
        GtkWidget* further = nullptr;
        auto showText = [&dialog, &further](ResourceWindow& window) {
            GtkWidget* content = window.control(IDC_SIGN_CONTENT);
            further = window.control(IDC_SIGN_FURTHER);
            if (!content || !further) return false;
            gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(content), GTK_WRAP_WORD_CHAR);
            gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(content)),
                                     ansiToUtf8(dialog.shownText()).c_str(), -1);
            return true;
        };
        return runConsent(
            dialog, dialog.site(), IDC_CONSENT_TEXT, showText,
            [&dialog, &further] {
                dialog.setSignFurther(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(further)));
                dialog.pressSign();
            },
            [&dialog] { dialog.pressCancel(); });
    }

    DialogOutcome runKeyExportConsentDialog(KeyExportConsentDialog& dialog) override {
        return runConsent(
            dialog, dialog.site(), IDC_CONSENT_TEXT, nullptr, [&dialog] { dialog.pressExport(); },
            [&dialog] { dialog.pressCancel(); });
    }

    DialogOutcome runStoreGrowthConsentDialog(StoreGrowthConsentDialog& dialog) override {
        return runConsent(
            dialog, dialog.site(), IDC_CONSENT_TEXT, nullptr, [&dialog] { dialog.pressAllow(); },
            [&dialog] { dialog.pressCancel(); });
    }

    DialogOutcome runRootInstallDialog(RootInstallDialog& dialog) override {
        return runConsent(
            dialog, {}, IDC_CONSENT_TEXT, nullptr, [&dialog] { dialog.pressYes(); },
            [&dialog] { dialog.pressNo(); });
    }

  private:
    // A consent window of a message (control `textId`) and two buttons: OK (allow) and
    // Cancel (refuse), under the consent rule. `siteUtf8` empty: the dialog requester, if
    // any. `prepare`, when given, fills the window's other controls; false: Failed.
    template <typename Dialog>
    DialogOutcome runConsent(Dialog& dialog, const std::string& siteUtf8, int textId,
                             const std::function<bool(ResourceWindow&)>& prepare,
                             const std::function<void()>& allow,
                             const std::function<void()>& refuse) {
        if (!gtk::initOnThisThread()) return DialogOutcome::Failed;
        ResourceWindow window(dialog.resource(), ansiToUtf8(shownCaption(dialog.caption())),
                              stack_.parent(), siteUtf8);
        StackedWindow shown(stack_, window.window());
        if (GtkWidget* text = window.control(textId))
            gtk_label_set_text(GTK_LABEL(text), ansiToUtf8(dialog.message()).c_str());
        if (prepare && !prepare(window)) return DialogOutcome::Failed;
        window.holdBackConsent({IDOK}, IDCANCEL);
        window.on(window.control(IDOK), "clicked", [&allow, &window] {
            allow();
            window.end(DialogOutcome::Ok);
        });
        window.on(window.control(IDCANCEL), "clicked",
                  [&window] { window.end(DialogOutcome::Cancel); });
        DialogOutcome outcome = window.run();
        if (outcome != DialogOutcome::Ok) refuse();
        return outcome;
    }

    // Runs a GTK chooser opened on the native folder `start`; Ok with the chosen path in
    // the ANSI code page when the user confirmed one.
    DialogOutcome choose(GtkFileChooserAction action, const std::string& titleUtf8,
                         const char16_t* acceptLabel, const std::string& start,
                         const std::function<void(GtkFileChooser*)>& prepare, std::string& chosen) {
        Toplevel dialog(gtk_file_chooser_dialog_new(
            titleUtf8.c_str(), nullptr, action, toUtf8(u"取消").c_str(), GTK_RESPONSE_CANCEL,
            toUtf8(acceptLabel).c_str(), GTK_RESPONSE_ACCEPT, nullptr));
        GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog.widget());
        gtk_file_chooser_set_local_only(chooser, TRUE);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog.widget()), GTK_RESPONSE_ACCEPT);
        // Opened for a site: the site heads the chooser too, as window managers cut captions.
        if (!dialogRequester().empty()) {
            GtkWidget* site = gtk::siteLine(ansiToUtf8(dialogRequester()));
            GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(dialog.widget()));
            gtk_box_pack_start(GTK_BOX(area), site, FALSE, FALSE, 0);
            gtk_box_reorder_child(GTK_BOX(area), site, 0);
            gtk_widget_show(site);
        }
        if (!start.empty()) gtk_file_chooser_set_current_folder(chooser, start.c_str());
        if (prepare) prepare(chooser);
        if (gtk::runDialog(dialog.widget(), stack_) != GTK_RESPONSE_ACCEPT)
            return DialogOutcome::Cancel;
        GlibText path(gtk_file_chooser_get_filename(chooser));
        if (!path.get()) return DialogOutcome::Cancel;
        chosen = ansiPath(path.get());
        return DialogOutcome::Ok;
    }

    gtk::WindowStack stack_;
};

}  // namespace

std::unique_ptr<DialogBackend> makeGtkBackend() {
    return std::make_unique<GtkBackend>();
}

bool gtkDisplayReachable() {
    return gtk::initOnThisThread();
}

}  // namespace ui
