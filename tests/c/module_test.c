/* A host written in C: loads the module, creates the control through its class
 * factory, and calls it through the interface table and through IDispatch::Invoke.
 * Usage: kscapi_module_test PATH-TO-libKestruneATL.so */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "control/kscapi.h"

static int failures = 0;
#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

static KSSysAllocStringLenFn sysAlloc;
static KSSysFreeStringFn sysFree;
static KSSysStringLenFn sysLen;

/* ASCII text as a BSTR. */
static BSTR bstr(const char* text) {
    OLECHAR wide[256];
    UINT n = (UINT)strlen(text);
    for (UINT i = 0; i < n; ++i) wide[i] = (OLECHAR)(unsigned char)text[i];
    return sysAlloc(wide, n);
}

/* True when the BSTR holds exactly the ASCII text. */
static int equals(BSTR s, const char* text) {
    UINT n = sysLen(s);
    if (n != strlen(text)) return 0;
    for (UINT i = 0; i < n; ++i)
        if (s[i] != (OLECHAR)(unsigned char)text[i]) return 0;
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s MODULE\n", argv[0]);
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    KSDllGetClassObjectFn getClassObject =
        (KSDllGetClassObjectFn)dlsym(module, "DllGetClassObject");
    KSDllCanUnloadNowFn canUnloadNow = (KSDllCanUnloadNowFn)dlsym(module, "DllCanUnloadNow");
    sysAlloc = (KSSysAllocStringLenFn)dlsym(module, "SysAllocStringLen");
    sysFree = (KSSysFreeStringFn)dlsym(module, "SysFreeString");
    sysLen = (KSSysStringLenFn)dlsym(module, "SysStringLen");
    KSVariantClearFn variantClear = (KSVariantClearFn)dlsym(module, "VariantClear");
    CHECK(getClassObject && canUnloadNow && sysAlloc && sysFree && sysLen && variantClear);
    if (failures) return 1;
    CHECK(dlsym(module, "_ZN6KSCapi6createEv") == NULL); /* nothing else is visible */

    void* p = (void*)1;
    CHECK(getClassObject(&KS_IID_IKSCapi, &KS_IID_IClassFactory, &p) != 0);
    IKSClassFactory* factory = NULL;
    CHECK(getClassObject(&KS_CLSID_KSCapi, &KS_IID_IClassFactory, (void**)&factory) == 0);
    if (!factory) return 1;
    IKSCapi* capi = NULL;
    CHECK(factory->lpVtbl->CreateInstance(factory, NULL, &KS_IID_IKSCapi, (void**)&capi) == 0);
    factory->lpVtbl->Release(factory);
    if (!capi) return 1;
    CHECK(canUnloadNow() == 1); /* S_FALSE while the object lives */

    /* Through the interface table. */
    LONG ret = -1;
    CHECK(capi->lpVtbl->PresetPasswdLengthRange(capi, 8, 0, &ret) == 0 && ret == 0);
    BSTR text = NULL;
    CHECK(capi->lpVtbl->GetVersion(capi, &text) == 0);
    CHECK(text && equals(text, "4.0.1.2"));
    sysFree(text);
    LONG code = -1;
    CHECK(capi->lpVtbl->GetErrorCode(capi, &code) == 0 && code == 0);

    /* By name through IDispatch, as a page's script calls it. */
    OLECHAR name[] = {'P', 'r', 'e', 's', 'e', 't', 'P', 'a', 's', 's', 'w', 'd',
                      'L', 'e', 'n', 'g', 't', 'h', 'R', 'a', 'n', 'g', 'e', 0};
    OLECHAR* names[] = {name};
    DISPID id = 0;
    CHECK(capi->lpVtbl->GetIDsOfNames(capi, &KS_IID_NULL, names, 1, 0, &id) == 0 && id == 50);
    KSVARIANT args[2];
    memset(args, 0, sizeof args);
    args[0].vt = KS_VT_BSTR; /* max, the last argument comes first */
    args[0].u.bstrVal = bstr("12");
    args[1].vt = KS_VT_I4; /* min */
    args[1].u.lVal = 4;
    KSDISPPARAMS params = {args, NULL, 2, 0};
    KSVARIANT result;
    memset(&result, 0, sizeof result);
    UINT argErr = 0;
    CHECK(capi->lpVtbl->Invoke(capi, id, &KS_IID_NULL, 0, KS_DISPATCH_METHOD, &params, &result,
                               NULL, &argErr) == 0);
    CHECK(result.vt == KS_VT_I4 && result.u.lVal == 0);
    sysFree(args[0].u.bstrVal);

    KSDISPPARAMS none = {NULL, NULL, 0, 0};
    CHECK(capi->lpVtbl->Invoke(capi, 3, &KS_IID_NULL, 0, KS_DISPATCH_PROPERTYGET, &none, &result,
                               NULL, &argErr) == 0);
    CHECK(result.vt == KS_VT_BSTR && sysLen(result.u.bstrVal) > 0);
    variantClear(&result);

    /* Scripting safety. */
    IKSObjectSafety* safety = NULL;
    CHECK(capi->lpVtbl->QueryInterface(capi, &KS_IID_IObjectSafety, (void**)&safety) == 0);
    if (safety) {
        DWORD supported = 9, enabled = 9;
        CHECK(safety->lpVtbl->SetInterfaceSafetyOptions(safety, &KS_IID_IDispatch, 1, 1) == 0);
        CHECK(safety->lpVtbl->SetInterfaceSafetyOptions(safety, &KS_IID_IDispatch, 3, 3) ==
              (HRESULT)0x80004005);
        CHECK(safety->lpVtbl->GetInterfaceSafetyOptions(safety, &KS_IID_IDispatch, &supported,
                                                        &enabled) == 0);
        CHECK(supported == 1 && enabled == 1);
        supported = enabled = 9;
        CHECK(safety->lpVtbl->GetInterfaceSafetyOptions(safety, &KS_IID_IClassFactory, &supported,
                                                        &enabled) == (HRESULT)0x80004002);
        CHECK(supported == 0 && enabled == 0);
        safety->lpVtbl->Release(safety);
    }

    CHECK(capi->lpVtbl->Release(capi) == 0);
    CHECK(canUnloadNow() == 0);
    dlclose(module);
    if (failures == 0) printf("1 passed, 0 failed\n");
    return failures ? 1 : 0;
}
