// PKCS#11 modules (smart-card and token middleware) as the platform layer uses them: a
// module is loaded with dlopen once per process and finalised when the process ends;
// while nothing of it is in use it may be initialised afresh, so that tokens added since
// are seen. Sessions and logins are objects that close themselves. Every call answers
// with the module's CK_RV; cryptErrorOfCkr turns one into the platform's code.
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/system/types.h"

namespace pkcs11 {

// One loaded and initialised module. Shared: sessions keep their module alive.
class Module {
  public:
    ~Module() { close(); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // The module at `path`, loaded and C_Initialize'd on first use in this process and
    // shared after that. Null with *rv (CKR_GENERAL_ERROR when it does not load or has no
    // C_GetFunctionList, else the module's answer).
    static std::shared_ptr<Module> load(const std::string& path, CK_RV* rv);

    CK_FUNCTION_LIST* api() const { return api_; }
    const std::string& path() const { return path_; }

    // Marks the module in use (sessions and token walks are): it is not initialised
    // afresh until every use ended. Counted, so uses may nest.
    class Use {
      public:
        Use() = default;
        explicit Use(std::shared_ptr<Module> module);
        ~Use() { reset(); }
        Use(Use&& other) noexcept : module_(std::move(other.module_)) {}
        Use& operator=(Use&& other) noexcept;
        void reset();
        Module* operator->() const { return module_.get(); }
        Module& operator*() const { return *module_; }
        const std::shared_ptr<Module>& module() const { return module_; }
        explicit operator bool() const { return module_ != nullptr; }

      private:
        std::shared_ptr<Module> module_;
    };
    // The module at `path` (as load), first finalised and initialised again when this
    // process initialised it and nothing uses it: some modules (SoftHSM among them) look
    // for tokens only in C_Initialize, so a token added while the process runs shows
    // only after that. Held, the result keeps the module from the next re-initialisation.
    // Empty with *rv as load's, or the module's answer to C_Initialize.
    static Use use(const std::string& path, CK_RV* rv);
    // C_Finalize (when this process initialised it); api() is null after it. Idempotent.
    void finalize();
    // finalize() and dlclose. Idempotent.
    void close();

  private:
    explicit Module(std::string path) : path_(std::move(path)) {}

    std::string path_;
    void* library_ = nullptr;
    CK_FUNCTION_LIST* api_ = nullptr;
    bool initialized_ = false;
    bool owned_ = false;  // this process initialised it, so it may do so again
    std::mutex useMutex_;
    int uses_ = 0;
};
using ModulePtr = std::shared_ptr<Module>;

// A token in one of the module's slots, as C_GetTokenInfo describes it; the texts are the
// blank-padded fields without their padding.
struct TokenSlot {
    CK_SLOT_ID slot = 0;
    std::string label;
    std::string serial;
    CK_FLAGS flags = 0;
    std::string reader;  // the slot's description (for a card, its reader's name)
    // What the user is shown to tell the token from the others: its label, followed by
    // " (reader)" when another present token of the module has the same label.
    std::string shownName;
};
// The slots of `module` that hold a token, in the module's order, asked afresh every time
// (C_GetSlotList with tokenPresent), so a card put in or pulled out is noticed.
CK_RV presentTokens(Module& module, std::vector<TokenSlot>& out);
// The token in `slot` now; CKR_TOKEN_NOT_PRESENT when the slot is empty.
CK_RV tokenInfo(Module& module, CK_SLOT_ID slot, TokenSlot& out);

// One session with a token; closed by close() and the destructor.
class Session {
  public:
    Session() = default;
    ~Session() { close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Holds a use of the module while open.
    CK_RV open(ModulePtr module, CK_SLOT_ID slot, bool readWrite);
    // Idempotent. Closing a token's last session also ends its login.
    void close();
    bool isOpen() const { return handle_ != CK_INVALID_HANDLE; }
    // Open on a module not finalised yet (at exit the modules go first).
    bool usable() const { return isOpen() && module_ && module_->api(); }
    CK_SESSION_HANDLE handle() const { return handle_; }
    CK_FUNCTION_LIST* api() const { return module_->api(); }
    const ModulePtr& module() const { return module_; }

    // The objects matching `attributes` (all of them, in the module's order).
    CK_RV find(std::vector<CK_ATTRIBUTE> attributes, std::vector<CK_OBJECT_HANDLE>& out);
    // One attribute's value with the two-call size protocol.
    CK_RV attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<CK_BYTE>& out);

  private:
    Module::Use use_;
    ModulePtr module_;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
};

// An attribute pointing at a value the caller keeps alive.
template <typename T>
CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, const T& value) {
    return {type, const_cast<T*>(&value), sizeof(T)};
}
inline CK_ATTRIBUTE attributeBytes(CK_ATTRIBUTE_TYPE type, const std::vector<CK_BYTE>& value) {
    return {type, const_cast<CK_BYTE*>(value.data()), static_cast<CK_ULONG>(value.size())};
}

// The platform's code for a module's answer: a wrong PIN SCARD_W_WRONG_CHV, a locked
// one SCARD_W_CHV_BLOCKED, a cancelled prompt SCARD_W_CANCELLED_BY_USER, a token or
// session that went away SCARD_W_REMOVED_CARD; NTE_FAIL for anything unexpected.
DWORD cryptErrorOfCkr(CK_RV rv);

// The process's default module: p11-kit's proxy, which serves every module the system
// has configured; empty when it is not installed.
std::string defaultModulePath();

// A module the system's p11-kit configuration offers (p11-kit list-modules).
struct ConfiguredModule {
    std::string name;  // as p11-kit names it: the configuration file's name, e.g. "opensc"
    std::string path;  // the library's absolute path
};
// The modules configured for p11-kit (system and user configuration), in its order;
// modules whose library does not load are left out.
std::vector<ConfiguredModule> configuredModules();
// The absolute library path of the configured module `name`; empty when p11-kit has no
// module of that name.
std::string configuredModulePath(const std::string& name);

}  // namespace pkcs11
