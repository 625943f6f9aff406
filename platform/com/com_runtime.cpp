#include "platform/com/com_runtime.h"

#include <dlfcn.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/crypt/size_protocol.h"
#include "platform/registry/machine_hive.h"
#include "platform/registry/registry.h"
#include "platform/system/files.h"

namespace {

constexpr IID kIIDClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

using GetClassObjectFn = HRESULT (*)(const CLSID*, const IID*, void**);
using CanUnloadNowFn = HRESULT (*)();

// One loaded module; dlclose'd when released.
class LoadedModule {
  public:
    explicit LoadedModule(void* handle) : handle_(handle) {}
    ~LoadedModule() { close(); }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    void close() {
        if (handle_) dlclose(handle_);
        handle_ = nullptr;
    }
    void* symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

  private:
    void* handle_;
};

std::mutex g_mutex;
std::map<std::string, std::unique_ptr<LoadedModule>> g_modules;  // by module path

// The default text of HKEY_LOCAL_MACHINE\Software\Classes\<keyPath>, or false.
bool readMachineDefault(const std::string& keyPath, std::string& out) {
    std::optional<machine::Key> key = machine::findKey("Software\\Classes\\" + keyPath);
    const machine::Value* value = key ? machine::findValue(*key, "") : nullptr;
    if (!value || value->type != REG_SZ) return false;
    out = value->text;
    return true;
}

// The default value of a key of the user's class registration, else of the machine's
// (*fromMachine, when given, says which), or false. A user's key overrides the machine's
// so that a developer's registration wins over the installed one.
bool readDefault(const std::string& keyPath, std::string& out, bool* fromMachine = nullptr) {
    if (fromMachine) *fromMachine = false;
    RegKeyHolder key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_READ, key.out()) !=
        ERROR_SUCCESS) {
        if (fromMachine) *fromMachine = true;
        return readMachineDefault(keyPath, out);
    }
    DWORD type = 0;
    std::string data;
    if (!fetchSized(data,
                    [&](char* buffer, DWORD* size) {
                        return RegQueryValueExA(key.get(), nullptr, nullptr, &type,
                                                reinterpret_cast<BYTE*>(buffer),
                                                size) == ERROR_SUCCESS;
                    }) ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    if (auto zero = data.find('\0'); zero != std::string::npos) data.resize(zero);
    out = data;
    return true;
}

}  // namespace

std::string guidToString(REFGUID g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool guidFromString(const std::string& text, GUID& guid) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
    static const int dashes[] = {9, 14, 19, 24};
    for (int d : dashes)
        if (text[static_cast<size_t>(d)] != '-') return false;
    std::string hex;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        char c = text[i];
        if (c == '-') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        hex.push_back(c);
    }
    if (hex.size() != 32) return false;
    auto field = [&](size_t at, size_t len) {
        return std::stoull(hex.substr(at, len), nullptr, 16);
    };
    guid.Data1 = static_cast<uint32_t>(field(0, 8));
    guid.Data2 = static_cast<uint16_t>(field(8, 4));
    guid.Data3 = static_cast<uint16_t>(field(12, 4));
    for (size_t i = 0; i < 8; ++i) guid.Data4[i] = static_cast<uint8_t>(field(16 + 2 * i, 2));
    return true;
}

HRESULT CLSIDFromProgID(LPCSTR lpszProgID, CLSID* lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    std::string progId = lpszProgID;
    // A CurVer chain is short; the bound only stops a loop in a damaged registration.
    for (int depth = 0; depth < 8 && !progId.empty() && progId.find('\\') == std::string::npos;
         ++depth) {
        std::string text;
        if (readDefault(progId + "\\CLSID", text)) {
            return guidFromString(text, *lpclsid) ? S_OK : CO_E_CLASSSTRING;
        }
        if (!readDefault(progId + "\\CurVer", text)) break;
        progId = text;
    }
    return CO_E_CLASSSTRING;
}

bool registeredServerPath(REFCLSID rclsid, std::string& path, bool* fromMachine) {
    return readDefault("CLSID\\" + guidToString(rclsid) + "\\InprocServer32", path, fromMachine) &&
           !path.empty();
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, void** ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (!(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    std::string path;
    if (!registeredServerPath(rclsid, path, nullptr)) return REGDB_E_CLASSNOTREG;
    GetClassObjectFn getClassObject = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_modules.find(path);
        if (it == g_modules.end()) {
            void* handle = dlopen(nativePath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) return CO_E_DLLNOTFOUND;
            it = g_modules.emplace(path, std::make_unique<LoadedModule>(handle)).first;
        }
        getClassObject =
            reinterpret_cast<GetClassObjectFn>(it->second->symbol("DllGetClassObject"));
    }
    if (!getClassObject) return CO_E_ERRORINDLL;
    return getClassObject(&rclsid, &riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         void** ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, kIIDClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}

void CoFreeUnusedLibraries() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = g_modules.begin(); it != g_modules.end();) {
        auto canUnload = reinterpret_cast<CanUnloadNowFn>(it->second->symbol("DllCanUnloadNow"));
        if (canUnload && canUnload() == S_OK)
            it = g_modules.erase(it);
        else
            ++it;
    }
}

size_t loadedServerCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_modules.size();
}
