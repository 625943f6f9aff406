#include "platform/store/root_install.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex& hookMutex() {
    static std::mutex mutex;
    return mutex;
}

RootInstallHook& hook() {
    static RootInstallHook installed;
    return installed;
}

thread_local bool t_byUser = false;

}  // namespace

RootInstallHook setRootInstallHook(RootInstallHook next) {
    std::lock_guard lock(hookMutex());
    std::swap(hook(), next);
    return next;
}

RootInstallByUser::RootInstallByUser() : previous_(t_byUser) {
    t_byUser = true;
}

RootInstallByUser::~RootInstallByUser() {
    t_byUser = previous_;
}

bool rootInstallAllowed(const char* storeName, PCCERT_CONTEXT certificate, bool alreadyThere) {
    if (!storeName || std::strcmp(storeName, "ROOT") != 0 || alreadyThere || t_byUser) return true;
    RootInstallHook ask;
    {
        std::lock_guard lock(hookMutex());
        ask = hook();
    }
    if (!ask) return true;
    try {
        return ask(certificate);
    } catch (...) {
        // Whatever went wrong while asking, nobody said yes.
        return false;
    }
}
