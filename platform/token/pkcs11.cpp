// Loading PKCS#11 modules and talking to their tokens.
#include "platform/token/pkcs11.h"

#include <dlfcn.h>
#include <p11-kit/p11-kit.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/system/shared_library.h"

namespace pkcs11 {
namespace {

std::mutex& modulesMutex() {
    static std::mutex m;
    return m;
}

// Every module this process loaded, by path. Never destroyed: modules are finalised by
// finalizeAll at exit, and sessions still open then only find them finalised.
std::map<std::string, ModulePtr>& modules() {
    static auto* loaded = new std::map<std::string, ModulePtr>();
    return *loaded;
}

// Finalises every module, leaving them mapped. Registered with atexit after each load,
// so it runs before the destructors of the module's own static objects, which it
// registered while it was being loaded; a module finalised after those crashes.
void finalizeAll() {
    std::lock_guard lock(modulesMutex());
    for (auto& [path, module] : modules()) module->finalize();
}

// A fixed-width, blank-padded field of CK_TOKEN_INFO without its padding.
template <size_t N>
std::string paddedText(const CK_UTF8CHAR (&field)[N]) {
    std::string text(reinterpret_cast<const char*>(field), N);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

}  // namespace

ModulePtr Module::load(const std::string& path, CK_RV* rv) {
    std::lock_guard lock(modulesMutex());
    auto found = modules().find(path);
    if (found != modules().end()) {
        *rv = CKR_OK;
        return found->second;
    }
    ModulePtr module(new Module(path));
    *rv = CKR_GENERAL_ERROR;
    // RTLD_LOCAL keeps the module's own symbols (often OpenSSL of another version) out of
    // this process's namespace.
    module->library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module->library_) return nullptr;
    auto getList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(module->library_, "C_GetFunctionList"));
    if (!getList) return nullptr;
    CK_FUNCTION_LIST* api = nullptr;
    if ((*rv = getList(&api)) != CKR_OK) return nullptr;
    if (!api || !api->C_Initialize) {
        *rv = CKR_GENERAL_ERROR;
        return nullptr;
    }
    module->api_ = api;
    // The module may be called from any thread: it is told to use the system's locks.
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    *rv = api->C_Initialize(&args);
    if (*rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        // Somebody else in this process initialised it and will finalise it.
        *rv = CKR_OK;
    } else if (*rv != CKR_OK) {
        module->api_ = nullptr;
        return nullptr;
    } else {
        module->initialized_ = true;
        module->owned_ = true;
    }
    modules()[path] = module;
    std::atexit(finalizeAll);
    return module;
}

Module::Use::Use(ModulePtr module) : module_(std::move(module)) {
    if (!module_) return;
    std::lock_guard lock(module_->useMutex_);
    ++module_->uses_;
}

Module::Use& Module::Use::operator=(Use&& other) noexcept {
    if (this != &other) {
        reset();
        module_ = std::move(other.module_);
    }
    return *this;
}

void Module::Use::reset() {
    if (!module_) return;
    {
        std::lock_guard lock(module_->useMutex_);
        --module_->uses_;
    }
    module_.reset();
}

Module::Use Module::use(const std::string& path, CK_RV* rv) {
    ModulePtr module = load(path, rv);
    if (!module) return Use();
    {
        std::lock_guard lock(module->useMutex_);
        // Finalising ends every session and login of the process on the module, so only
        // an idle module that this process initialises itself starts over.
        if (module->uses_ == 0 && module->owned_ && module->api_) {
            if (module->initialized_) module->api_->C_Finalize(nullptr);
            CK_C_INITIALIZE_ARGS args{};
            args.flags = CKF_OS_LOCKING_OK;
            *rv = module->api_->C_Initialize(&args);
            // A module that failed stays finalised; the next use tries again.
            module->initialized_ = *rv == CKR_OK;
            if (*rv != CKR_OK) return Use();
        }
    }
    return Use(std::move(module));
}

void Module::finalize() {
    if (initialized_ && api_) api_->C_Finalize(nullptr);
    initialized_ = false;
    owned_ = false;
    api_ = nullptr;
}

void Module::close() {
    finalize();
    if (library_) dlclose(std::exchange(library_, nullptr));
}

CK_RV tokenInfo(Module& module, CK_SLOT_ID slot, TokenSlot& out) {
    CK_TOKEN_INFO info{};
    CK_RV rv = module.api()->C_GetTokenInfo(slot, &info);
    if (rv != CKR_OK) return rv;
    out.slot = slot;
    out.label = paddedText(info.label);
    out.serial = paddedText(info.serialNumber);
    out.flags = info.flags;
    return CKR_OK;
}

CK_RV presentTokens(Module& module, std::vector<TokenSlot>& out) {
    out.clear();
    CK_ULONG count = 0;
    CK_RV rv = module.api()->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) return rv;
    std::vector<CK_SLOT_ID> slots(count);
    // A token may come between the two calls; the module then asks for more room.
    while ((rv = module.api()->C_GetSlotList(CK_TRUE, slots.data(), &count)) ==
           CKR_BUFFER_TOO_SMALL)
        slots.resize(count);
    if (rv != CKR_OK) return rv;
    slots.resize(count);
    for (CK_SLOT_ID slot : slots) {
        TokenSlot token;
        // A token pulled out meanwhile is simply not there.
        if (tokenInfo(module, slot, token) != CKR_OK || !(token.flags & CKF_TOKEN_INITIALIZED))
            continue;
        CK_SLOT_INFO info{};
        if (module.api()->C_GetSlotInfo(slot, &info) == CKR_OK)
            token.reader = paddedText(info.slotDescription);
        out.push_back(std::move(token));
    }
    // Two cards of one kind often carry one label; only their readers tell them apart.
    for (TokenSlot& token : out) {
        token.shownName = token.label;
        bool shared = std::count_if(out.begin(), out.end(), [&](const TokenSlot& other) {
                          return other.label == token.label;
                      }) > 1;
        if (shared && !token.reader.empty()) token.shownName += " (" + token.reader + ")";
    }
    return CKR_OK;
}

CK_RV Session::open(ModulePtr module, CK_SLOT_ID slot, bool readWrite) {
    close();
    CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    CK_RV rv = module->api()->C_OpenSession(slot, flags, nullptr, nullptr, &handle);
    if (rv != CKR_OK) return rv;
    use_ = Module::Use(module);
    module_ = std::move(module);
    handle_ = handle;
    return CKR_OK;
}

void Session::close() {
    if (handle_ != CK_INVALID_HANDLE && usable()) module_->api()->C_CloseSession(handle_);
    handle_ = CK_INVALID_HANDLE;
    module_.reset();
    use_.reset();
}

CK_RV Session::find(std::vector<CK_ATTRIBUTE> attributes, std::vector<CK_OBJECT_HANDLE>& out) {
    out.clear();
    CK_RV rv = api()->C_FindObjectsInit(handle_, attributes.data(),
                                        static_cast<CK_ULONG>(attributes.size()));
    if (rv != CKR_OK) return rv;
    CK_OBJECT_HANDLE batch[32];
    CK_ULONG got = 0;
    while ((rv = api()->C_FindObjects(handle_, batch, 32, &got)) == CKR_OK && got > 0)
        out.insert(out.end(), batch, batch + got);
    CK_RV final = api()->C_FindObjectsFinal(handle_);
    return rv != CKR_OK ? rv : final;
}

CK_RV Session::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                         std::vector<CK_BYTE>& out) {
    out.clear();
    CK_ATTRIBUTE query{type, nullptr, 0};
    CK_RV rv = api()->C_GetAttributeValue(handle_, object, &query, 1);
    if (rv != CKR_OK) return rv;
    if (query.ulValueLen == CK_UNAVAILABLE_INFORMATION) return CKR_ATTRIBUTE_SENSITIVE;
    out.resize(query.ulValueLen);
    query.pValue = out.data();
    rv = api()->C_GetAttributeValue(handle_, object, &query, 1);
    if (rv == CKR_OK) out.resize(query.ulValueLen);
    return rv;
}

DWORD cryptErrorOfCkr(CK_RV rv) {
    switch (rv) {
        case CKR_OK:
            return ERROR_SUCCESS;
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            return SCARD_W_WRONG_CHV;
        case CKR_PIN_LOCKED:
            return SCARD_W_CHV_BLOCKED;
        case CKR_FUNCTION_CANCELED:
            return SCARD_W_CANCELLED_BY_USER;
        case CKR_DEVICE_REMOVED:
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_TOKEN_NOT_RECOGNIZED:
        case CKR_SESSION_CLOSED:
        case CKR_SESSION_HANDLE_INVALID:
        case CKR_SLOT_ID_INVALID:
            return SCARD_W_REMOVED_CARD;
        case CKR_HOST_MEMORY:
        case CKR_DEVICE_MEMORY:
            return NTE_NO_MEMORY;
        case CKR_MECHANISM_INVALID:
        case CKR_MECHANISM_PARAM_INVALID:
            return NTE_BAD_ALGID;
        case CKR_KEY_HANDLE_INVALID:
        case CKR_KEY_TYPE_INCONSISTENT:
        case CKR_KEY_FUNCTION_NOT_PERMITTED:
        case CKR_KEY_SIZE_RANGE:
            return NTE_BAD_KEY;
        case CKR_USER_NOT_LOGGED_IN:
        case CKR_TOKEN_WRITE_PROTECTED:
            return NTE_PERM;
        default:
            return NTE_FAIL;
    }
}

std::string defaultModulePath() {
    static const char* const kCandidates[] = {
        "/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so",
        "/usr/lib/aarch64-linux-gnu/p11-kit-proxy.so",
        "/usr/lib64/p11-kit-proxy.so",
        "/usr/lib/p11-kit-proxy.so",
    };
    for (const char* path : kCandidates)
        if (access(path, R_OK) == 0) return path;
    return std::string();
}

namespace {

// libp11-kit, opened when the configured modules are first listed instead of linked, as
// few runs use a token.
struct P11KitLibrary {
    decltype(&p11_kit_modules_load) modulesLoad = nullptr;
    decltype(&p11_kit_module_get_name) moduleGetName = nullptr;
    decltype(&p11_kit_module_get_filename) moduleGetFilename = nullptr;
    decltype(&p11_kit_modules_release) modulesRelease = nullptr;
};

// Null when p11-kit is not installed: no module is configured then.
const P11KitLibrary* p11KitLibrary() {
    return shared_library::functions<P11KitLibrary>(
        "libp11-kit.so.0", [](void* handle, P11KitLibrary& library) {
            using shared_library::bind;
            return bind(handle, "p11_kit_modules_load", library.modulesLoad) &&
                   bind(handle, "p11_kit_module_get_name", library.moduleGetName) &&
                   bind(handle, "p11_kit_module_get_filename", library.moduleGetFilename) &&
                   bind(handle, "p11_kit_modules_release", library.modulesRelease);
        });
}

}  // namespace

std::vector<ConfiguredModule> configuredModules() {
    std::vector<ConfiguredModule> out;
    const P11KitLibrary* p11Kit = p11KitLibrary();
    if (!p11Kit) return out;
    // Loaded, not initialised: only their names and files are read.
    CK_FUNCTION_LIST** loaded = p11Kit->modulesLoad(nullptr, 0);
    if (!loaded) return out;
    for (CK_FUNCTION_LIST** module = loaded; *module; ++module) {
        char* name = p11Kit->moduleGetName(*module);
        char* file = p11Kit->moduleGetFilename(*module);
        if (name && file && file[0] == '/') out.push_back({name, file});
        free(name);
        free(file);
    }
    p11Kit->modulesRelease(loaded);
    return out;
}

std::string configuredModulePath(const std::string& name) {
    for (ConfiguredModule& module : configuredModules())
        if (module.name == name) return std::move(module.path);
    return std::string();
}

}  // namespace pkcs11
