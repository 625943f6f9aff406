// The consent asked before a key the user protected is used: the hook a front end sets
// answers for the user.
#include <mutex>
#include <utility>

#include "platform/crypt/key_container_internal.h"

namespace {

std::mutex& consentMutex() {
    static std::mutex mutex;
    return mutex;
}

KeyConsentHook& consentHook() {
    static KeyConsentHook hook;
    return hook;
}

}  // namespace

bool key_containers::askConsent(const KeyUseRequest& request) {
    KeyConsentHook hook;
    {
        std::lock_guard lock(consentMutex());
        hook = consentHook();
    }
    if (!hook) return false;
    try {
        return hook(request);
    } catch (...) {
        // Whatever went wrong while asking, the key was not allowed.
        return false;
    }
}

KeyConsentHook setKeyConsentHook(KeyConsentHook hook) {
    std::lock_guard lock(consentMutex());
    std::swap(consentHook(), hook);
    return hook;
}
