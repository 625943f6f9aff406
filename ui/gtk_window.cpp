#include <mutex>
#include <string_view>
#include <thread>

#include "platform/text/codepage.h"
#include "ui/consent_dialogs.h"
#include "ui/gtk_window_internal.h"

namespace ui::gtk {
namespace {

struct FontFree {
    void operator()(PangoFontDescription* font) const { pango_font_description_free(font); }
};
struct MetricsUnref {
    void operator()(PangoFontMetrics* metrics) const { pango_font_metrics_unref(metrics); }
};
struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using FontHolder = std::unique_ptr<PangoFontDescription, FontFree>;
using MetricsHolder = std::unique_ptr<PangoFontMetrics, MetricsUnref>;
using LayoutHolder = std::unique_ptr<PangoLayout, ObjectUnref>;
using CssHolder = std::unique_ptr<GtkCssProvider, ObjectUnref>;

// Controls laid out in dialog units are smaller than the theme's minimum sizes; the
// resource's rectangles win. "Fixedsys" is a fixed-pitch font: the desktop's monospace
// font stands in for it.
constexpr char kDialogStyle[] =
    ".kscapi-dialog button, .kscapi-dialog entry { min-height: 0; min-width: 0; "
    "padding: 1px 6px; }\n"
    ".kscapi-fixedsys { font-family: Monospace; }\n";

std::mutex g_initMutex;
bool g_initialised = false;
std::thread::id g_guiThread;

void installDialogStyle() {
    GdkScreen* screen = gdk_screen_get_default();
    if (!screen) return;
    CssHolder css(gtk_css_provider_new());
    if (!gtk_css_provider_load_from_data(css.get(), kDialogStyle, -1, nullptr)) return;
    // The screen keeps its own reference for the life of the process.
    gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(css.get()),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

DialogBaseUnits measureBaseUnits(GtkWidget* widget) {
    PangoFontDescription* described = nullptr;
    gtk_style_context_get(gtk_widget_get_style_context(widget), GTK_STATE_FLAG_NORMAL,
                          GTK_STYLE_PROPERTY_FONT, &described, nullptr);
    FontHolder font(described);
    PangoContext* context = gtk_widget_get_pango_context(widget);
    LayoutHolder layout(pango_layout_new(context));
    if (font) pango_layout_set_font_description(layout.get(), font.get());
    pango_layout_set_text(layout.get(), kBaseUnitAlphabet, -1);
    int width = 0, height = 0;
    pango_layout_get_pixel_size(layout.get(), &width, &height);
    MetricsHolder metrics(pango_context_get_metrics(context, font.get(), nullptr));
    if (metrics)
        height = PANGO_PIXELS(pango_font_metrics_get_ascent(metrics.get()) +
                              pango_font_metrics_get_descent(metrics.get()));
    return dialogBaseUnits(width, height);
}

GtkWidget* scrolledAround(GtkWidget* child, GtkPolicyType across, GtkPolicyType down) {
    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), across, down);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(scrolled), child);
    return scrolled;
}

struct ControlWidgets {
    GtkWidget* outer;  // what is placed in the window
    GtkWidget* inner;  // the control itself
};

ControlWidgets makeControl(const DialogControl& control) {
    const std::string text = toUtf8(control.text);
    switch (control.kind) {
        case ControlKind::Label: {
            GtkWidget* label = gtk_label_new(text.c_str());
            gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
            gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
            gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
            gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
            return {label, label};
        }
        case ControlKind::Button:
        case ControlKind::DefaultButton: {
            GtkWidget* button = gtk_button_new_with_label(text.c_str());
            gtk_widget_set_can_default(button, control.kind == ControlKind::DefaultButton);
            return {button, button};
        }
        case ControlKind::PathBox: {
            // Read-only and several lines: the path wraps, a vertical bar is always there.
            GtkWidget* view = gtk_text_view_new();
            gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
            gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view), FALSE);
            gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_CHAR);
            gtk_text_view_set_accepts_tab(GTK_TEXT_VIEW(view), FALSE);
            GtkWidget* scrolled = scrolledAround(view, GTK_POLICY_NEVER, GTK_POLICY_ALWAYS);
            gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(scrolled), FALSE);
            return {scrolled, view};
        }
        case ControlKind::PasswordBox: {
            GtkWidget* entry = gtk_entry_new();
            gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
            gtk_entry_set_input_purpose(GTK_ENTRY(entry), GTK_INPUT_PURPOSE_PASSWORD);
            gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
            // The rectangle gives the width, not the theme's minimum.
            gtk_entry_set_width_chars(GTK_ENTRY(entry), 1);
            return {entry, entry};
        }
        case ControlKind::ListView: {
            GtkWidget* view = gtk_tree_view_new();
            return {scrolledAround(view, GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC), view};
        }
        case ControlKind::GroupBox: {
            GtkWidget* frame = gtk_frame_new(text.c_str());
            return {frame, frame};
        }
        case ControlKind::CheckBox: {
            GtkWidget* box = gtk_check_button_new_with_label(text.c_str());
            return {box, box};
        }
    }
    GtkWidget* label = gtk_label_new(text.c_str());
    return {label, label};
}

void invokeAction(gpointer action) {
    // An exception must not unwind through GTK's C frames.
    try {
        (*static_cast<std::function<void()>*>(action))();
    } catch (...) {
    }
}

}  // namespace

bool initOnThisThread() {
    std::lock_guard<std::mutex> lock(g_initMutex);
    if (!g_initialised) {
        gtk_disable_setlocale();
        if (!g_get_prgname()) g_set_prgname("kscapi");
        if (!gtk_init_check(nullptr, nullptr)) return false;
        g_initialised = true;
        g_guiThread = std::this_thread::get_id();
        installDialogStyle();
    }
    return g_guiThread == std::this_thread::get_id();
}

void Toplevel::close() {
    if (!window_) return;
    gtk_widget_destroy(window_);
    window_ = nullptr;
    // The window leaves the screen now, even when no main loop runs for a while.
    if (GdkDisplay* display = gdk_display_get_default()) gdk_display_flush(display);
}

void ModalLoop::close() {
    if (!loop_) return;
    g_main_loop_unref(loop_);
    loop_ = nullptr;
}

GtkWindow* WindowStack::parent() const {
    if (!windows_.empty()) return windows_.back();
    GtkWindow* active = nullptr;
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* item = toplevels; item; item = item->next) {
        GtkWindow* window = GTK_WINDOW(item->data);
        if (gtk_window_is_active(window) && gtk_widget_get_visible(GTK_WIDGET(window)))
            active = window;
    }
    g_list_free(toplevels);
    return active;
}

int runDialog(GtkWidget* dialog, WindowStack& stack) {
    GtkWindow* window = GTK_WINDOW(dialog);
    GtkWindow* parent = stack.parent();
    if (parent) {
        gtk_window_set_transient_for(window, parent);
        gtk_window_set_position(window, GTK_WIN_POS_CENTER_ON_PARENT);
    } else {
        gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    }
    gtk_window_set_modal(window, TRUE);
    int response;
    {
        StackedWindow shown(stack, window);
        gtk_window_present(window);
        response = gtk_dialog_run(GTK_DIALOG(dialog));
        gtk_widget_hide(dialog);
    }
    // The keyboard goes back to the window the dialog was opened from, also where no
    // window manager hands it back.
    if (parent) gtk_window_present(parent);
    return response;
}

GtkWidget* siteLine(const std::string& siteUtf8) {
    GtkWidget* line = gtk_label_new((toUtf8(u"網站：") + siteUtf8).c_str());
    gtk_widget_set_name(line, "dialog-site");
    gtk_label_set_xalign(GTK_LABEL(line), 0.0f);
    gtk_label_set_ellipsize(GTK_LABEL(line), PANGO_ELLIPSIZE_MIDDLE);
    return line;
}

std::string controlName(int id) {
    return "control-" + std::to_string(id);
}

ResourceWindow::ResourceWindow(const DialogResource& resource, const std::string& captionUtf8,
                               GtkWindow* parent, const std::string& siteUtf8)
    : window_(gtk_window_new(GTK_WINDOW_TOPLEVEL)) {
    GtkWindow* w = window();
    gtk_window_set_title(w, captionUtf8.c_str());
    gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_modal(w, TRUE);
    gtk_window_set_resizable(w, FALSE);
    if (parent) {
        gtk_window_set_transient_for(w, parent);
        gtk_window_set_position(w, GTK_WIN_POS_CENTER_ON_PARENT);
    } else {
        gtk_window_set_position(w, GTK_WIN_POS_CENTER);
    }
    GtkStyleContext* style = gtk_widget_get_style_context(window_.widget());
    gtk_style_context_add_class(style, "kscapi-dialog");
    if (std::u16string_view(resource.font) == u"Fixedsys")
        gtk_style_context_add_class(style, "kscapi-fixedsys");
    units_ = measureBaseUnits(window_.widget());

    GtkWidget* fixed = gtk_fixed_new();
    DialogRect client = mapDialogRect({0, 0, resource.width, resource.height}, units_);
    gtk_widget_set_size_request(fixed, client.width, client.height);
    // Window managers cut captions: the site a dialog works for is also its first line.
    const std::string site = siteUtf8.empty() ? ansiToUtf8(dialogRequester()) : siteUtf8;
    if (site.empty()) {
        gtk_container_add(GTK_CONTAINER(w), fixed);
    } else {
        GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        GtkWidget* heading = siteLine(site);
        gtk_widget_set_margin_start(heading, mapDialogRect({7, 0, 0, 0}, units_).x);
        gtk_widget_set_margin_top(heading, mapDialogRect({0, 4, 0, 0}, units_).y);
        gtk_box_pack_start(GTK_BOX(column), heading, FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(column), fixed, TRUE, TRUE, 0);
        gtk_container_add(GTK_CONTAINER(w), column);
    }
    GList* tabOrder = nullptr;
    for (const DialogControl& control : resource.controls) {
        ControlWidgets widgets = makeControl(control);
        DialogRect at = mapDialogRect(control.rect, units_);
        gtk_widget_set_size_request(widgets.outer, at.width, at.height);
        gtk_fixed_put(GTK_FIXED(fixed), widgets.outer, at.x, at.y);
        if (control.kind == ControlKind::DefaultButton) gtk_window_set_default(w, widgets.inner);
        if (control.id != IDC_STATIC && !controls_.count(control.id)) {
            gtk_widget_set_name(widgets.inner, controlName(control.id).c_str());
            controls_.emplace(control.id, widgets.inner);
        }
        tabOrder = g_list_append(tabOrder, widgets.outer);
    }
    // Tab follows the resource's order, not the positions.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_container_set_focus_chain(GTK_CONTAINER(fixed), tabOrder);
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_list_free(tabOrder);
    g_signal_connect(w, "delete-event", G_CALLBACK(onDelete), this);
    g_signal_connect(w, "key-press-event", G_CALLBACK(onKey), this);
}

GtkWidget* ResourceWindow::control(int id) const {
    auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second;
}

void ResourceWindow::on(gpointer instance, const char* signal, std::function<void()> action) {
    if (!instance) return;
    actions_.push_back(std::move(action));
    g_signal_connect_swapped(instance, signal, G_CALLBACK(invokeAction), &actions_.back());
}

void ResourceWindow::holdBackConsent(std::initializer_list<int> allowIds, int refuseId) {
    held_.clear();
    for (int id : allowIds)
        if (GtkWidget* button = control(id)) {
            gtk_widget_set_sensitive(button, FALSE);
            held_.push_back(button);
        }
    focus_ = control(refuseId);
}

gboolean ResourceWindow::onArmed(gpointer self) {
    auto* window = static_cast<ResourceWindow*>(self);
    window->armTimer_ = 0;
    for (GtkWidget* button : window->held_) gtk_widget_set_sensitive(button, TRUE);
    return G_SOURCE_REMOVE;
}

DialogOutcome ResourceWindow::run() {
    if (!window_.widget()) return DialogOutcome::Failed;
    // Showing gives the focus to the first control in tab order that takes it.
    gtk_widget_show_all(window_.widget());
    gtk_window_present(window());
    if (focus_) gtk_widget_grab_focus(focus_);
    // The delay counts from the moment the window is on screen.
    if (!held_.empty() && !armTimer_) armTimer_ = g_timeout_add(kConsentArmDelayMs, onArmed, this);
    outcome_ = DialogOutcome::Cancel;
    running_ = true;
    loop_.run();
    gtk_widget_hide(window_.widget());
    return outcome_;
}

void ResourceWindow::end(DialogOutcome outcome) {
    if (!running_) return;
    running_ = false;
    outcome_ = outcome;
    loop_.quit();
}

void ResourceWindow::close() {
    if (armTimer_) g_source_remove(armTimer_);
    armTimer_ = 0;
    window_.close();
    loop_.close();
}

gboolean ResourceWindow::onDelete(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<ResourceWindow*>(self)->end(DialogOutcome::Cancel);
    return TRUE;
}

gboolean ResourceWindow::onKey(GtkWidget*, GdkEventKey* event, gpointer self) {
    if (event->keyval != GDK_KEY_Escape) return FALSE;
    static_cast<ResourceWindow*>(self)->end(DialogOutcome::Cancel);
    return TRUE;
}

}  // namespace ui::gtk
