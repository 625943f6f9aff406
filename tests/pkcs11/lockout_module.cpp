// A PKCS#11 module for tests that passes every call to SoftHSM (or the module named by
// KSCAPI_SHIM_MODULE) and adds what SoftHSM lacks: a user PIN that locks after
// KSCAPI_SHIM_TRIES (default 3) wrong PINs in a row, with the token flags that tell so,
// and, with KSCAPI_SHIM_REMOVE_AFTER_LOGIN set, a token that is pulled out right after
// the user logs in. The count of wrong PINs lives in the file KSCAPI_SHIM_STATE, so it
// carries over from one process to the next as a card's counter does.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

CK_FUNCTION_LIST* g_real = nullptr;
CK_FUNCTION_LIST g_list;
bool g_removed = false;

std::string statePath() {
    const char* path = std::getenv("KSCAPI_SHIM_STATE");
    return path ? path : "";
}

int tries() {
    const char* text = std::getenv("KSCAPI_SHIM_TRIES");
    return text ? std::atoi(text) : 3;
}

int wrongPins() {
    int count = 0;
    if (FILE* f = std::fopen(statePath().c_str(), "r")) {
        if (std::fscanf(f, "%d", &count) != 1) count = 0;
        std::fclose(f);
    }
    return count;
}

void setWrongPins(int count) {
    if (FILE* f = std::fopen(statePath().c_str(), "w")) {
        std::fprintf(f, "%d\n", count);
        std::fclose(f);
    }
}

CK_RV getSlotList(CK_BBOOL present, CK_SLOT_ID* slots, CK_ULONG* count) {
    if (g_removed && present) {
        *count = 0;
        return CKR_OK;
    }
    return g_real->C_GetSlotList(present, slots, count);
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    if (g_removed) return CKR_TOKEN_NOT_PRESENT;
    CK_RV rv = g_real->C_GetTokenInfo(slot, info);
    if (rv != CKR_OK) return rv;
    info->flags &= ~(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
    int wrong = wrongPins();
    if (wrong >= tries())
        info->flags |= CKF_USER_PIN_LOCKED;
    else if (wrong == tries() - 1)
        info->flags |= CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY;
    else if (wrong > 0)
        info->flags |= CKF_USER_PIN_COUNT_LOW;
    return CKR_OK;
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG length) {
    if (user == CKU_USER && wrongPins() >= tries()) return CKR_PIN_LOCKED;
    CK_RV rv = g_real->C_Login(session, user, pin, length);
    if (user != CKU_USER) return rv;
    if (rv == CKR_PIN_INCORRECT) {
        int wrong = wrongPins() + 1;
        setWrongPins(wrong);
        return wrong >= tries() ? CKR_PIN_LOCKED : rv;
    }
    if (rv == CKR_OK) {
        setWrongPins(0);
        if (std::getenv("KSCAPI_SHIM_REMOVE_AFTER_LOGIN")) g_removed = true;
    }
    return rv;
}

CK_RV signInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    if (g_removed) return CKR_DEVICE_REMOVED;
    return g_real->C_SignInit(session, mechanism, key);
}

CK_RV findObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count) {
    if (g_removed) return CKR_DEVICE_REMOVED;
    return g_real->C_FindObjectsInit(session, attributes, count);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** out) {
    if (!g_real) {
        const char* path = std::getenv("KSCAPI_SHIM_MODULE");
        void* library =
            dlopen(path ? path : "/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
        if (!library) return CKR_GENERAL_ERROR;
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
        if (!get || get(&g_real) != CKR_OK) return CKR_GENERAL_ERROR;
        g_list = *g_real;
        g_list.C_GetSlotList = getSlotList;
        g_list.C_GetTokenInfo = getTokenInfo;
        g_list.C_Login = login;
        g_list.C_SignInit = signInit;
        g_list.C_FindObjectsInit = findObjectsInit;
    }
    *out = &g_list;
    return CKR_OK;
}
