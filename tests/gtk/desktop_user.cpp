#include "desktop_user.h"

// gtest before the X headers, whose macros (None, Bool) would break it.
#include <gtest/gtest.h>
// clang-format off
#include <gdk/gdkx.h>
// clang-format on
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>

namespace gui {
namespace {

GtkWidget* findIn(GtkWidget* widget, const std::string& name) {
    if (name == gtk_widget_get_name(widget)) return widget;
    if (!GTK_IS_CONTAINER(widget)) return nullptr;
    struct Search {
        const std::string& name;
        GtkWidget* found;
    } search{name, nullptr};
    gtk_container_forall(
        GTK_CONTAINER(widget),
        [](GtkWidget* child, gpointer data) {
            auto* s = static_cast<Search*>(data);
            if (!s->found) s->found = findIn(child, s->name);
        },
        &search);
    return search.found;
}

template <class Each>
void forShownWindows(Each each) {
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* item = toplevels; item; item = item->next) {
        GtkWidget* window = GTK_WIDGET(item->data);
        // Menus, tooltips and completion lists are popups, not windows of their own.
        if (gtk_window_get_window_type(GTK_WINDOW(window)) == GTK_WINDOW_TOPLEVEL &&
            gtk_widget_get_mapped(window) && gtk_widget_get_window(window))
            each(window);
    }
    g_list_free(toplevels);
}

}  // namespace

std::vector<ShownWindow> shownWindows() {
    std::vector<ShownWindow> shown;
    forShownWindows([&](GtkWidget* window) {
        const gchar* title = gtk_window_get_title(GTK_WINDOW(window));
        shown.push_back({title ? title : "", gdk_x11_window_get_xid(gtk_widget_get_window(window)),
                         gtk_window_has_toplevel_focus(GTK_WINDOW(window)) != FALSE});
    });
    return shown;
}

GtkWidget* findWidget(const std::string& title, const std::string& name) {
    GtkWidget* found = nullptr;
    forShownWindows([&](GtkWidget* window) {
        const gchar* t = gtk_window_get_title(GTK_WINDOW(window));
        if (!found && t && title == t) found = findIn(window, name);
    });
    return found;
}

std::string widgetText(GtkWidget* widget) {
    if (GTK_IS_ENTRY(widget)) return gtk_entry_get_text(GTK_ENTRY(widget));
    if (GTK_IS_LABEL(widget)) return gtk_label_get_text(GTK_LABEL(widget));
    if (GTK_IS_TEXT_VIEW(widget)) {
        GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget));
        GtkTextIter start, end;
        gtk_text_buffer_get_bounds(buffer, &start, &end);
        gchar* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
        std::string copy = text;
        g_free(text);
        return copy;
    }
    return std::string();
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

DesktopUser::DesktopUser(std::function<void(DesktopUser&)> script)
    : thread_([this, script = std::move(script)] {
          script(*this);
          done_ = true;
      }) {}

void DesktopUser::finish() {
    if (!thread_.joinable()) return;
    while (!done_) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        std::this_thread::sleep_for(10ms);
    }
    thread_.join();
}

bool DesktopUser::waitFor(const std::string& title, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto lastFocus = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
        auto windows = onGuiThread<std::vector<ShownWindow>>(shownWindows, 1s);
        for (const ShownWindow& w : windows.value_or(std::vector<ShownWindow>{})) {
            if (w.title != title) continue;
            if (w.focused) return true;
            // Without a window manager nobody else hands the keyboard over.
            if (std::chrono::steady_clock::now() - lastFocus > 1s) {
                run("xdotool windowfocus --sync " + std::to_string(w.xid) + " 2>/dev/null");
                lastFocus = std::chrono::steady_clock::now();
            }
        }
        std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "no window \"" << title << "\" with the keyboard";
    abandon();
    return false;
}

bool DesktopUser::waitUntil(const std::string& what, std::function<bool()> condition,
                            std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (onGuiThread<bool>(condition, 1s).value_or(false)) return true;
        std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "timed out waiting until " << what;
    abandon();
    return false;
}

bool DesktopUser::waitGone(const std::string& title) {
    return waitUntil(title + " is closed", [title] {
        for (const ShownWindow& w : shownWindows())
            if (w.title == title) return false;
        return true;
    });
}

void DesktopUser::type(const std::string& text) {
    run("xdotool type --delay 20 -- " + quoted(text));
}

void DesktopUser::paste(const std::string& text) {
    onGuiThread<bool>([text] {
        gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), text.c_str(), -1);
        return true;
    });
    key("ctrl+v");
}

void DesktopUser::key(const std::string& keys) {
    run("xdotool key --delay 40 " + keys);
}

void DesktopUser::screenshot(const std::string& name) {
    std::string folder = std::string(KSCAPI_BINARY_DIR) + "/screenshots";
    ::mkdir(folder.c_str(), 0755);
    // Lets the loop draw what the last input changed.
    onGuiThread<bool>([] { return true; });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(run("import -window root " + quoted(folder + "/" + name + ".png")), 0) << name;
}

void DesktopUser::abandon() {
    for (int i = 0; i < 20; ++i) {
        auto windows = onGuiThread<std::vector<ShownWindow>>(shownWindows, 1s);
        if (windows && windows->empty()) return;
        for (const ShownWindow& w : windows.value_or(std::vector<ShownWindow>{}))
            run("xdotool windowfocus --sync " + std::to_string(w.xid) + " key Escape 2>/dev/null");
        std::this_thread::sleep_for(200ms);
    }
}

}  // namespace gui
