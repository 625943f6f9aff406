// A PKCS#11 module for tests that passes every call to SoftHSM (or the module named by
// KSCAPI_SHIM_MODULE) and adds what SoftHSM lacks: a user PIN that locks after
// KSCAPI_SHIM_TRIES (default 3) wrong PINs in a row, with the token flags that tell so,
// with KSCAPI_SHIM_REMOVE_AFTER_LOGIN set, a token that is pulled out right after the
// user logs in, and with KSCAPI_SHIM_CONTEXT_PIN set, private keys that report
// CKA_ALWAYS_AUTHENTICATE and sign only after a CKU_CONTEXT_SPECIFIC login with that PIN
// following each C_SignInit (CKR_USER_NOT_LOGGED_IN otherwise), as signature cards do.
// The count of wrong PINs lives in the file KSCAPI_SHIM_STATE, so it carries over from
// one process to the next as a card's counter does.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

CK_FUNCTION_LIST* g_real = nullptr;
CK_FUNCTION_LIST g_list;
bool g_removed = false;
// Sessions with a signature started, and whether its context PIN was given.
std::map<CK_SESSION_HANDLE, bool> g_signing;

const char* contextPin() {
    return std::getenv("KSCAPI_SHIM_CONTEXT_PIN");
}

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
    if (user == CKU_CONTEXT_SPECIFIC && contextPin()) {
        auto started = g_signing.find(session);
        if (started == g_signing.end()) return CKR_OPERATION_NOT_INITIALIZED;
        std::string expected = contextPin();
        if (!pin || length != expected.size() || std::memcmp(pin, expected.data(), length) != 0)
            return CKR_PIN_INCORRECT;
        started->second = true;
        return CKR_OK;
    }
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
    CK_RV rv = g_real->C_SignInit(session, mechanism, key);
    if (rv == CKR_OK && contextPin()) g_signing[session] = false;
    return rv;
}

CK_RV sign(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG length, CK_BYTE* signature,
           CK_ULONG* signatureLength) {
    auto started = g_signing.find(session);
    if (started != g_signing.end() && !started->second) {
        // Refused: the operation ends, in SoftHSM too.
        g_signing.erase(started);
        CK_BYTE scrap[2048];
        CK_ULONG room = sizeof scrap;
        g_real->C_Sign(session, data, length, scrap, &room);
        return CKR_USER_NOT_LOGGED_IN;
    }
    CK_RV rv = g_real->C_Sign(session, data, length, signature, signatureLength);
    // Only a size query or too small a buffer keeps the operation going.
    if (started != g_signing.end() && signature && rv != CKR_BUFFER_TOO_SMALL)
        g_signing.erase(started);
    return rv;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE* attributes, CK_ULONG count) {
    CK_RV rv = g_real->C_GetAttributeValue(session, object, attributes, count);
    if (rv != CKR_OK || !contextPin()) return rv;
    for (CK_ULONG i = 0; i < count; ++i)
        if (attributes[i].type == CKA_ALWAYS_AUTHENTICATE && attributes[i].pValue &&
            attributes[i].ulValueLen == sizeof(CK_BBOOL))
            *static_cast<CK_BBOOL*>(attributes[i].pValue) = CK_TRUE;
    return rv;
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
        g_list.C_Sign = sign;
        g_list.C_GetAttributeValue = getAttributeValue;
        g_list.C_FindObjectsInit = findObjectsInit;
    }
    *out = &g_list;
    return CKR_OK;
}
