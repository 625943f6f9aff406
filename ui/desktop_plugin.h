// The desktop dialogs live in a plugin (libkestrune-gtk.so) that a host loads at its
// first dialog, so that starting a host maps no desktop toolkit: a script that only
// hashes or signs never pays for GTK. The plugin carries its own copy of the dialog
// models and of the platform layer; what the host's copy holds for the dialogs (the ANSI
// code page, the site a dialog works for, the thread's last error) is handed over at
// every dialog through the functions below.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/system/types.h"
#include "ui/dialogs.h"

namespace ui {

// The plugin's file name, in the host's folder (a build tree) or the installed library
// folder.
constexpr char kDesktopPluginFile[] = "libkestrune-gtk.so";
// The plugin's one entry point, with C linkage:
//   DialogBackend* KestruneGtkBackend(DesktopPluginHost* host) noexcept
// It returns a new desktop backend that the caller owns and deletes (the plugin stays
// loaded for the life of the process), or null when `host` is of another layout or
// version. Either way it sets host->displayOpens. Nothing is thrown.
constexpr char kDesktopPluginEntry[] = "KestruneGtkBackend";
// Bumped whenever this structure or the DialogBackend interface changes.
constexpr int kDesktopPluginInterface = 1;

struct DesktopPluginHost {
    // What both sides must agree on: a plugin of another build refuses the host.
    size_t size = sizeof(DesktopPluginHost);
    int interface = kDesktopPluginInterface;
    const char* version = nullptr;
    // The host's state, read before each dialog the plugin shows; the last error the
    // dialog leaves is written back after it.
    UINT (*codePage)() = nullptr;
    std::string (*requester)() = nullptr;
    DWORD (*lastError)() = nullptr;
    void (*setLastError)(DWORD) = nullptr;
    // Set by the plugin: whether GTK opened a display on the calling thread, the only
    // thread that can show the plugin's dialogs from then on.
    bool displayOpens = false;
};

// Owns `target` and passes every dialog to it, with `enter` called before each and
// `leave` after it (the plugin takes the host's state over this way). A null `target`
// is the `none` backend.
std::unique_ptr<DialogBackend> makeForwardingBackend(std::unique_ptr<DialogBackend> target,
                                                     std::function<void()> enter,
                                                     std::function<void()> leave);

using DesktopPluginEntry = DialogBackend* (*)(DesktopPluginHost* host) noexcept;

struct DesktopPlugin {
    // Null when the plugin could not be loaded; `failure` then says why.
    std::unique_ptr<DialogBackend> backend;
    bool displayOpens = false;
    std::string failure;
};

// Loads the plugin at `path`, which must be absolute (hosts take it from their own folder
// or the installed library folder, never from a search path), and asks it for a backend
// on the calling thread. The plugin is never unloaded.
DesktopPlugin loadDesktopPlugin(const std::string& path);

// A backend that loads the plugin at `path` when the first dialog is shown and passes
// every dialog to it. `fallback` serves instead when the plugin cannot be loaded (which
// is reported on standard error after `program`, with the reason), and when
// `needDisplay` and GTK opens no display (not reported: the session simply has none).
std::unique_ptr<DialogBackend> makeDesktopBackend(std::string path,
                                                  std::unique_ptr<DialogBackend> fallback,
                                                  bool needDisplay, std::string program);

}  // namespace ui
