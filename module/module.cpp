// The entry points of the in-process module, with C linkage as hosts look them up.
#include "control/class_factory.h"

extern "C" {

HRESULT DllGetClassObject(const CLSID* rclsid, const IID* riid, void** ppv) {
    if (!rclsid || !riid) return E_POINTER;
    return getClassObject(*rclsid, *riid, ppv);
}

HRESULT DllCanUnloadNow() { return canUnloadNow(); }

}  // extern "C"

// The automation-string and value functions are exported with the entry points; keep
// them in the module even though the module itself may not call each one.
#include "platform/bstr.h"
#include "platform/variant.h"

namespace {
[[maybe_unused]] volatile const void* const kExported[] = {
    reinterpret_cast<const void*>(&SysAllocString),    reinterpret_cast<const void*>(&SysAllocStringLen),
    reinterpret_cast<const void*>(&SysFreeString),     reinterpret_cast<const void*>(&SysStringLen),
    reinterpret_cast<const void*>(&SysStringByteLen),  reinterpret_cast<const void*>(&VariantInit),
    reinterpret_cast<const void*>(&VariantClear),      reinterpret_cast<const void*>(&VariantCopy),
    reinterpret_cast<const void*>(&VariantChangeType)};
}  // namespace
