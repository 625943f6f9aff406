// The entry point of the desktop plugin (ui/desktop_plugin.h), the one symbol it exports.
#include <cstring>
#include <memory>

#include "build_version.h"
#include "platform/system/last_error.h"
#include "platform/text/codepage.h"
#include "ui/desktop_plugin.h"
#include "ui/gtk_backend.h"

extern "C" ui::DialogBackend* KestruneGtkBackend(ui::DesktopPluginHost* host) noexcept {
    if (!host) return nullptr;
    try {
        host->displayOpens = false;
        if (host->size != sizeof(ui::DesktopPluginHost) ||
            host->interface != ui::kDesktopPluginInterface || !host->version ||
            std::strcmp(host->version, KSCAPI_VERSION_TEXT) != 0 || !host->codePage ||
            !host->requester || !host->lastError || !host->setLastError)
            return nullptr;
        const ui::DesktopPluginHost state = *host;
        // The plugin's copy of the code page, the site and the last error follow the
        // host's for the length of each dialog, nested ones included.
        auto enter = [state] {
            SetProcessAnsiCodePage(state.codePage());
            ui::setDialogRequester(state.requester());
            SetLastError(state.lastError());
        };
        auto leave = [state] { state.setLastError(GetLastError()); };
        enter();
        host->displayOpens = ui::gtkDisplayReachable();
        leave();
        return ui::makeForwardingBackend(ui::makeGtkBackend(), enter, leave).release();
    } catch (...) {
        return nullptr;
    }
}
