// The entry points of the in-process module, with C linkage as hosts look them up.
#include "control/class_factory.h"

extern "C" {

HRESULT DllGetClassObject(const CLSID* rclsid, const IID* riid, void** ppv) {
    if (!rclsid || !riid) return E_POINTER;
    return getClassObject(*rclsid, *riid, ppv);
}

HRESULT DllCanUnloadNow() {
    return canUnloadNow();
}

}  // extern "C"

// The automation-string and value functions are exported with the entry points; keep
// them in the module even though the module itself may not call each one.
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "status/version_resource.h"

namespace {
// The version record travels in the module file, where GetVersion reads it.
__attribute__((used)) const void* const kVersionRecord = &kModuleVersionRecord;
[[maybe_unused]] volatile const void* const kExported[] = {
    reinterpret_cast<const void*>(&SysAllocString),
    reinterpret_cast<const void*>(&SysAllocStringLen),
    reinterpret_cast<const void*>(&SysFreeString),
    reinterpret_cast<const void*>(&SysStringLen),
    reinterpret_cast<const void*>(&SysStringByteLen),
    reinterpret_cast<const void*>(&VariantInit),
    reinterpret_cast<const void*>(&VariantClear),
    reinterpret_cast<const void*>(&VariantCopy),
    reinterpret_cast<const void*>(&VariantChangeType)};
}  // namespace

#include <dlfcn.h>

#include "control/registration.h"
#include "platform/system/files.h"

namespace {
// The module's own file, found from an address inside it.
std::string moduleFilePath() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&moduleFilePath), &info) || !info.dli_fname) return {};
    char resolved[4096];
    if (!realpath(info.dli_fname, resolved)) return {};
    return ansiPath(resolved);
}
}  // namespace

extern "C" {

HRESULT DllRegisterServer() {
    std::string path = moduleFilePath();
    if (path.empty()) return E_FAIL;
    return registerServer(path);
}

HRESULT DllUnregisterServer() {
    return unregisterServer();
}

}  // extern "C"

#include "ui/caller_guard.h"
#include "ui/dialogs.h"

extern "C" {

// Lets the host that loaded the module show the module's dialogs through its own
// backend (null: back to none). The host keeps the backend alive while objects live.
void KestruneUseDialogBackend(ui::DialogBackend* backend) {
    ui::setBackend(backend ? ui::makeForwardingBackend(*backend) : nullptr);
}

// Lets the host that loaded the module answer the module's questions before it acts for
// a caller (null: back to the default, which lets the caller act as the user). The host
// keeps the guard alive while objects live.
void KestruneUseCallerGuard(ui::CallerGuard* guard) {
    ui::setCallerGuard(guard ? ui::makeForwardingGuard(*guard) : nullptr);
}

}  // extern "C"
