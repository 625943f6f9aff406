#include "ui/desktop_plugin.h"

#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "build_version.h"
#include "platform/system/last_error.h"
#include "platform/text/codepage.h"
#include "ui/deferred_backend.h"

namespace ui {

DesktopPlugin loadDesktopPlugin(const std::string& path) {
    DesktopPlugin plugin;
    if (path.empty() || path.front() != '/') {
        plugin.failure = "no absolute path for " + std::string(kDesktopPluginFile);
        return plugin;
    }
    // Never closed: GTK cannot be unloaded from a process once it has started.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char* reason = dlerror();
        plugin.failure = reason ? reason : path;
        return plugin;
    }
    auto entry = reinterpret_cast<DesktopPluginEntry>(dlsym(handle, kDesktopPluginEntry));
    if (!entry) {
        plugin.failure = path;
        plugin.failure += ": no ";
        plugin.failure += kDesktopPluginEntry;
        return plugin;
    }
    DesktopPluginHost host;
    host.version = KSCAPI_VERSION_TEXT;
    host.codePage = [] { return GetACP(); };
    host.requester = [] { return dialogRequester(); };
    host.lastError = [] { return GetLastError(); };
    host.setLastError = [](DWORD code) { SetLastError(code); };
    plugin.backend.reset(entry(&host));
    plugin.displayOpens = host.displayOpens;
    if (!plugin.backend) {
        plugin.failure = path;
        plugin.failure += ": built for another version of the host";
    }
    return plugin;
}

std::unique_ptr<DialogBackend> makeDesktopBackend(std::string path,
                                                  std::unique_ptr<DialogBackend> fallback,
                                                  bool needDisplay, std::string program) {
    auto kept = std::make_shared<std::unique_ptr<DialogBackend>>(std::move(fallback));
    return makeDeferredBackend([path = std::move(path), kept, needDisplay,
                                program = std::move(program)]() -> std::unique_ptr<DialogBackend> {
        DesktopPlugin desktop = loadDesktopPlugin(path);
        if (!desktop.backend) {
            std::fprintf(stderr,
                         "%s: the desktop dialogs cannot be loaded (%s); falling back to the "
                         "dialog backend \"%s\"\n",
                         program.c_str(), desktop.failure.c_str(),
                         *kept ? (*kept)->name() : "none");
            return std::move(*kept);
        }
        if (needDisplay && !desktop.displayOpens) return std::move(*kept);
        return std::move(desktop.backend);
    });
}

}  // namespace ui
