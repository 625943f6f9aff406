// The GTK pieces the desktop backend builds its windows from: holders of GTK objects,
// a nested main loop, and a modal window laid out from a dialog resource. Part of the
// GTK backend only; everything here runs on the thread that initialised GTK.
#pragma once

#include <gtk/gtk.h>

#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/dialog_resource.h"
#include "ui/dialog_units_internal.h"
#include "ui/dialogs.h"

namespace ui::gtk {

// Initialises GTK once for the process, on the calling thread, and opens the default
// display ($DISPLAY or $WAYLAND_DISPLAY). True when GTK is ready and the calling thread
// is the one that initialised it; false when no display can be opened (a later call
// tries again) or when called from another thread. The process's C locale is left as it
// is: the control's texts do not depend on it.
bool initOnThisThread();

// One toplevel window, destroyed (and its removal sent to the display) in close() and
// the destructor.
class Toplevel {
  public:
    explicit Toplevel(GtkWidget* window = nullptr) : window_(window) {}
    ~Toplevel() { close(); }
    Toplevel(const Toplevel&) = delete;
    Toplevel& operator=(const Toplevel&) = delete;

    GtkWidget* widget() const { return window_; }
    GtkWindow* window() const { return GTK_WINDOW(window_); }
    void close();

  private:
    GtkWidget* window_;
};

// A main loop nested on the calling thread: run() returns once quit() is called.
class ModalLoop {
  public:
    ModalLoop() : loop_(g_main_loop_new(nullptr, FALSE)) {}
    ~ModalLoop() { close(); }
    ModalLoop(const ModalLoop&) = delete;
    ModalLoop& operator=(const ModalLoop&) = delete;

    void run() {
        if (loop_) g_main_loop_run(loop_);
    }
    void quit() {
        if (loop_) g_main_loop_quit(loop_);
    }
    void close();

  private:
    GMainLoop* loop_;
};

// The windows the backend shows, innermost last, so that each new one is transient for
// the one it was opened from.
class WindowStack {
  public:
    // The innermost window shown, else the process's active window; null when none.
    GtkWindow* parent() const;
    void push(GtkWindow* window) { windows_.push_back(window); }
    void pop() { windows_.pop_back(); }

  private:
    std::deque<GtkWindow*> windows_;
};

// Keeps `window` on the stack for a scope.
class StackedWindow {
  public:
    StackedWindow(WindowStack& stack, GtkWindow* window) : stack_(stack) { stack_.push(window); }
    ~StackedWindow() { stack_.pop(); }
    StackedWindow(const StackedWindow&) = delete;
    StackedWindow& operator=(const StackedWindow&) = delete;

  private:
    WindowStack& stack_;
};

// Runs a GTK dialog (a chooser, a message box) modally over `parent`, which may be
// null. Returns its response.
int runDialog(GtkWidget* dialog, WindowStack& stack);

// The first line of a dialog shown for a site: "網站：" and the site, named "dialog-site".
// Window managers cut captions; this line stays whole (or elided in its middle).
GtkWidget* siteLine(const std::string& siteUtf8);

// The widget name of the control with resource id `id` ("control-302"). Accessibility
// tools and tests find a dialog's controls by it.
std::string controlName(int id);

// A modal window built from a dialog resource: each control a widget at the pixel
// rectangle its dialog-unit rectangle maps to with the base units of the dialog's font
// (the resource's "Fixedsys" shown in the desktop's monospace font, "System" in its
// interface font). Static texts, buttons, the group box and the list headings show the
// resource's Unicode texts. The tab order is the resource's; the first control that
// takes the focus has it when the window opens. Escape and closing the window end it
// with Cancel.
class ResourceWindow {
  public:
    // `captionUtf8` is the window title; `parent` may be null. The site the dialog works
    // for (`siteUtf8`, else the dialog requester) is shown as a line above the controls.
    ResourceWindow(const DialogResource& resource, const std::string& captionUtf8,
                   GtkWindow* parent, const std::string& siteUtf8 = {});
    ~ResourceWindow() { close(); }
    ResourceWindow(const ResourceWindow&) = delete;
    ResourceWindow& operator=(const ResourceWindow&) = delete;

    GtkWindow* window() const { return window_.window(); }
    DialogBaseUnits units() const { return units_; }
    // The widget of control `id`: a GtkLabel, GtkButton, GtkFrame, GtkEntry (password
    // box), GtkTextView (path box) or GtkTreeView (list). Null when there is none.
    GtkWidget* control(int id) const;
    // Calls `action` whenever `instance` emits `signal` (a signal without a result).
    void on(gpointer instance, const char* signal, std::function<void()> action);

    // The rule of every consent window: it opens with `refuseId` focused and the buttons
    // `allowIds` insensitive until kConsentArmDelayMs after it is shown, so that a key
    // pressed for the page cannot answer it. Call before run().
    void holdBackConsent(std::initializer_list<int> allowIds, int refuseId);

    // Shows the window, runs it modally until end() and returns the outcome given there.
    DialogOutcome run();
    void end(DialogOutcome outcome);
    void close();

  private:
    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);
    static gboolean onKey(GtkWidget*, GdkEventKey* event, gpointer self);
    static gboolean onArmed(gpointer self);

    Toplevel window_;
    ModalLoop loop_;
    DialogBaseUnits units_{1, 1};
    std::map<int, GtkWidget*> controls_;
    std::deque<std::function<void()>> actions_;
    DialogOutcome outcome_ = DialogOutcome::Cancel;
    bool running_ = false;
    std::vector<GtkWidget*> held_;
    GtkWidget* focus_ = nullptr;
    guint armTimer_ = 0;
};

}  // namespace ui::gtk
