// A user at the desktop for the GUI tests: on a thread of its own it waits for windows,
// types and presses keys with xdotool into the focused window, and takes screenshots,
// while the test's main thread runs an operation whose dialogs run GTK's loop. What the
// windows hold is read on the main thread through probes the loop runs.
#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace gui {

using namespace std::chrono_literals;

// Runs `probe` on the thread running GTK's main loop and returns its result; nothing
// when the loop did not run it within `timeout` (it is then dropped unrun).
template <class R>
std::optional<R> onGuiThread(std::function<R()> probe, std::chrono::milliseconds timeout = 5s) {
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::function<R()> probe;
        std::optional<R> result;
        bool abandoned = false;
    };
    auto state = std::make_shared<State>();
    state->probe = std::move(probe);
    auto* held = new std::shared_ptr<State>(state);
    g_idle_add_full(
        G_PRIORITY_DEFAULT_IDLE,
        [](gpointer data) -> gboolean {
            auto& s = **static_cast<std::shared_ptr<State>*>(data);
            std::lock_guard<std::mutex> lock(s.mutex);
            if (!s.abandoned) s.result = s.probe();
            s.done.notify_all();
            return G_SOURCE_REMOVE;
        },
        held, [](gpointer data) { delete static_cast<std::shared_ptr<State>*>(data); });
    std::unique_lock<std::mutex> lock(state->mutex);
    if (!state->done.wait_for(lock, timeout, [&] { return state->result.has_value(); }))
        state->abandoned = true;
    return state->result;
}

// On the GUI thread: the windows shown now.
struct ShownWindow {
    std::string title;
    unsigned long xid;
    bool focused;
};
std::vector<ShownWindow> shownWindows();
// On the GUI thread: the widget named `name` in the shown window titled `title`.
GtkWidget* findWidget(const std::string& title, const std::string& name);
// On the GUI thread: the text of a GtkTextView, a GtkEntry or a GtkLabel ("" for null).
std::string widgetText(GtkWidget* widget);

class DesktopUser {
  public:
    // Starts `script` on the user's thread.
    explicit DesktopUser(std::function<void(DesktopUser&)> script);
    ~DesktopUser() { finish(); }
    DesktopUser(const DesktopUser&) = delete;
    DesktopUser& operator=(const DesktopUser&) = delete;
    // Waits for the script to end, running GTK's loop meanwhile so that its probes are
    // answered after the operation returned. Called on the GUI thread.
    void finish();

    // Waits until a window titled `title` is shown and has the keyboard. On failure the
    // test fails and every window is closed with Escape, so that the operation returns.
    bool waitFor(const std::string& title, std::chrono::milliseconds timeout = 15s);
    // Waits until `condition` holds on the GUI thread; fails the test (with `what`) when
    // it does not within the timeout.
    bool waitUntil(const std::string& what, std::function<bool()> condition,
                   std::chrono::milliseconds timeout = 10s);
    // Waits until no window titled `title` is shown.
    bool waitGone(const std::string& title);
    void type(const std::string& text);
    // Puts `text` on the clipboard and pastes it with Ctrl+V: paths go into the choosers'
    // location boxes this way, where typing races their completion of names.
    void paste(const std::string& text);
    void key(const std::string& keys);
    // Writes a picture of the whole screen to build/screenshots/NAME.png.
    void screenshot(const std::string& name);
    // Presses Escape until no window is left.
    void abandon();

  private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Runs a command line; its exit status (-1 when it could not run).
int run(const std::string& command);
// A word quoted for the shell.
std::string quoted(const std::string& word);

}  // namespace gui
