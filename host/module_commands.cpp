#include "host/module_commands.h"

#include <dlfcn.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <ostream>

#include "control/guids.h"
#include "install_paths.h"
#include "platform/com/com_runtime.h"
#include "platform/registry/registry.h"
#include "platform/system/files.h"
#include "ui/caller_guard.h"
#include "ui/dialogs.h"

namespace host {

namespace {

using EntryPoint = HRESULT (*)();
using UseBackend = void (*)(ui::DialogBackend*);
using UseGuard = void (*)(ui::CallerGuard*);

// Hands the host's dialog backend and caller guard to the module already loaded from
// `modulePath`.
void lendBackend(const std::string& modulePath) {
    void* handle = dlopen(nativePath(modulePath).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return;
    if (auto use = reinterpret_cast<UseBackend>(dlsym(handle, "KestruneUseDialogBackend")))
        use(&ui::backend());
    if (auto use = reinterpret_cast<UseGuard>(dlsym(handle, "KestruneUseCallerGuard")))
        use(&ui::callerGuard());
    dlclose(handle);
}

}  // namespace

std::string besideProgram(const std::string& name) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<size_t>(n));
        path = path.substr(0, path.find_last_of('/') + 1) + name;
        // An installed kscapi lives in the programs' folder, its module and bridge in the
        // library folder.
        if (access(path.c_str(), F_OK) == 0) return path;
    }
    return std::string(KSCAPI_INSTALLED_LIBDIR) + "/" + name;
}

std::string defaultModulePath() {
    return besideProgram("libKestruneATL.so");
}

int runRegistration(const std::string& path, bool unregister, std::ostream& out) {
    nlohmann::ordered_json line;
    line[unregister ? "unregister" : "register"] = path;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    HRESULT hr = E_FAIL;
    if (!handle) {
        line["error"] = dlerror();
    } else {
        auto entry = reinterpret_cast<EntryPoint>(
            dlsym(handle, unregister ? "DllUnregisterServer" : "DllRegisterServer"));
        if (entry)
            hr = entry();
        else
            line["error"] = "no entry point";
        dlclose(handle);
    }
    line["hresult"] = hr;
    out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    return hr == S_OK ? 0 : 1;
}

ScriptRunner::ObjectFactory progIdFactory(const std::string& progId) {
    return [progId, lent = false](std::string& reason) mutable -> IDispatch* {
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(progId.c_str(), &clsid))) {
            reason = "ProgID not registered: " + progId;
            return nullptr;
        }
        IDispatch* object = nullptr;
        HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(&object));
        if (FAILED(hr) || !object) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
            reason = "cannot create " + progId + " (" + code + ")";
            return nullptr;
        }
        if (!lent) {
            // The module CoCreateInstance loaded: the user's registration's, else the
            // machine's.
            std::string module;
            if (registeredServerPath(clsid, module, nullptr)) lendBackend(module);
            lent = true;
        }
        return object;
    };
}

}  // namespace host
