// The desktop backend: every dialog as a modal GTK 3 window, laid out from its resource,
// with the platform's pieces the dialogs call (the open-file chooser, the folder browser,
// message boxes). Built only when GTK is found, into the desktop plugin that hosts load
// at their first dialog (ui/desktop_plugin.h) and into the GUI tests.
//
// GTK is initialised on the first dialog, on the calling thread, which from then on is
// the only one that can show dialogs. When no display can be opened (neither $DISPLAY
// nor $WAYLAND_DISPLAY reaches one), or a dialog is asked for from another thread, the
// dialog is not created: Failed, and a message box answers 0. Each dialog runs a main
// loop nested on the calling thread and returns when the user ends it; nothing of it
// stays behind. Windows are modal and transient for the dialog they were opened from,
// else for the process's active window.
#pragma once

#include <memory>

#include "ui/dialogs.h"

namespace ui {

// A new desktop backend; it holds no window until a dialog is shown.
std::unique_ptr<DialogBackend> makeGtkBackend();

// Initialises GTK on the calling thread when that opens a display. True when the desktop
// backend can show dialogs on this thread.
bool gtkDisplayReachable();

}  // namespace ui
