// PKCS#11 modules (smart-card and token middleware) as the platform layer uses them: a
// module is loaded with dlopen and initialised once per process, finalised when the
// process ends; sessions and logins are objects that close themselves. Every call
// answers with the module's CK_RV; cryptErrorOfCkr turns one into the platform's code.
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/types.h"

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
};
using ModulePtr = std::shared_ptr<Module>;

// A token in one of the module's slots, as C_GetTokenInfo describes it; the texts are the
// blank-padded fields without their padding.
struct TokenSlot {
    CK_SLOT_ID slot = 0;
    std::string label;
    std::string serial;
    CK_FLAGS flags = 0;
};
// The slots of `module` that hold a token, in the module's order.
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

}  // namespace pkcs11
