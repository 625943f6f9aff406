#include "control/registration.h"

#include <initializer_list>
#include <utility>

#include "control/guids.h"
#include "platform/com/com_runtime.h"
#include "platform/registry/registry.h"
#include "platform/system/last_error.h"

namespace {

// The automation marshaller every dual interface names as its proxy and stub.
constexpr const char* kAutomationProxyStub = "{00020424-0000-0000-C000-000000000046}";

struct Value {
    const char* name;  // null: the key's default value
    std::string data;
};

// Creates `path` below HKEY_CLASSES_ROOT and sets its string values.
bool writeKey(const std::string& path, std::initializer_list<Value> values) {
    RegKeyHolder key;
    LONG rc = RegCreateKeyA(HKEY_CLASSES_ROOT, path.c_str(), key.out());
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return false;
    }
    for (const auto& v : values) {
        rc = RegSetValueExA(key.get(), v.name, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(v.data.c_str()),
                            static_cast<DWORD>(v.data.size() + 1));
        if (rc != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(rc));
            return false;
        }
    }
    return true;
}

void removeTree(const std::string& path) {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str());
}

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

HRESULT registerServer(const std::string& modulePath) {
    const std::string clsid = guidToString(CLSID_KSCapi);
    const std::string libid = guidToString(LIBID_KESTRUNEATLLib);
    const std::string iid = guidToString(IID_IKSCapi);
    const std::string classKey = "CLSID\\" + clsid;
    // The class's own key is rebuilt from nothing, Programmable with it.
    removeTree(classKey + "\\Programmable");
    removeTree(classKey);
    bool ok =
        writeKey(kProgId, {{nullptr, kClassDisplayName}}) &&
        writeKey(std::string(kProgId) + "\\CLSID", {{nullptr, clsid}}) &&
        writeKey(kVersionIndependentProgId, {{nullptr, kClassDisplayName}}) &&
        writeKey(std::string(kVersionIndependentProgId) + "\\CLSID", {{nullptr, clsid}}) &&
        writeKey(std::string(kVersionIndependentProgId) + "\\CurVer", {{nullptr, kProgId}}) &&
        writeKey(classKey, {{nullptr, kClassDisplayName}}) &&
        writeKey(classKey + "\\ProgID", {{nullptr, kProgId}}) &&
        writeKey(classKey + "\\VersionIndependentProgID", {{nullptr, kVersionIndependentProgId}}) &&
        writeKey(classKey + "\\Programmable", {}) &&
        writeKey(classKey + "\\InprocServer32",
                 {{nullptr, modulePath}, {"ThreadingModel", "Apartment"}}) &&
        writeKey(classKey + "\\TypeLib", {{nullptr, libid}}) &&
        // The type library: name, module, flags, help folder.
        writeKey("TypeLib\\" + libid + "\\1.0", {{nullptr, kTypeLibraryName}}) &&
        writeKey("TypeLib\\" + libid + "\\1.0\\0\\linux64", {{nullptr, modulePath}}) &&
        writeKey("TypeLib\\" + libid + "\\1.0\\FLAGS", {{nullptr, "0"}}) &&
        writeKey("TypeLib\\" + libid + "\\1.0\\HELPDIR", {{nullptr, folderOf(modulePath)}}) &&
        writeKey("Interface\\" + iid, {{nullptr, "IKSCapi"}}) &&
        writeKey("Interface\\" + iid + "\\ProxyStubClsid32", {{nullptr, kAutomationProxyStub}}) &&
        writeKey("Interface\\" + iid + "\\TypeLib", {{nullptr, libid}, {"Version", "1.0"}});
    return ok ? S_OK : E_FAIL;
}

HRESULT unregisterServer() {
    removeTree(kProgId);
    removeTree(kVersionIndependentProgId);
    removeTree("CLSID\\" + guidToString(CLSID_KSCapi));
    removeTree("TypeLib\\" + guidToString(LIBID_KESTRUNEATLLib));
    removeTree("Interface\\" + guidToString(IID_IKSCapi));
    return S_OK;
}
