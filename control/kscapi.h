/* The control's public interface for C and C++ hosts on this platform: the types,
 * identifiers and function tables a host needs to load the module, create the object
 * and call it, through its interface slots or by name through IDispatch. The layouts are
 * the platform's: an interface pointer points at a pointer to its function table, and
 * every function takes the interface pointer first. The operations' slots are read from
 * operations.def beside this header, the list the module itself is built from: a host
 * needs the three files. */
#ifndef KESTRUNE_KSCAPI_H
#define KESTRUNE_KSCAPI_H

#include <stdint.h>

#include "operation_list.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t HRESULT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef uint32_t DWORD;
typedef uint32_t LCID;
typedef int32_t BOOL;
typedef uint16_t WORD;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef int32_t DISPID;
typedef uint16_t OLECHAR; /* a UTF-16 code unit */
typedef OLECHAR* BSTR;    /* UTF-16 text after a 32-bit byte-length prefix */

typedef struct KSGUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} KSGUID;

/* {12A68E1B-90F9-4181-A48A-04DB481817BE} */
static const KSGUID KS_CLSID_KSCapi = {
    0x12A68E1B, 0x90F9, 0x4181, {0xA4, 0x8A, 0x04, 0xDB, 0x48, 0x18, 0x17, 0xBE}};
/* {0781970D-6B1D-48C6-A16E-48822665C455} */
static const KSGUID KS_IID_IKSCapi = {
    0x0781970D, 0x6B1D, 0x48C6, {0xA1, 0x6E, 0x48, 0x82, 0x26, 0x65, 0xC4, 0x55}};
/* {2C6CDCFA-B4C0-4374-BFA5-1411B1749175} */
static const KSGUID KS_LIBID_KESTRUNEATLLib = {
    0x2C6CDCFA, 0xB4C0, 0x4374, {0xBF, 0xA5, 0x14, 0x11, 0xB1, 0x74, 0x91, 0x75}};
static const KSGUID KS_IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const KSGUID KS_IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const KSGUID KS_IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const KSGUID KS_IID_IObjectSafety = {
    0xCB5BDC81, 0x93C1, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
static const KSGUID KS_IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

#define KS_VT_EMPTY 0
#define KS_VT_NULL 1
#define KS_VT_I2 2
#define KS_VT_I4 3
#define KS_VT_R8 5
#define KS_VT_BSTR 8
#define KS_VT_BOOL 11
#define KS_DISPATCH_METHOD 1
#define KS_DISPATCH_PROPERTYGET 2

typedef struct KSVARIANT {
    VARTYPE vt;
    WORD wReserved1, wReserved2, wReserved3;
    union {
        int64_t llVal;
        LONG lVal;
        int16_t iVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        void* byref;
        struct {
            void* pvRecord;
            void* pRecInfo;
        } record;
    } u;
} KSVARIANT;

typedef struct KSDISPPARAMS {
    KSVARIANT* rgvarg; /* arguments, last first */
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
} KSDISPPARAMS;

/* clang-format 14 breaks a long function pointer member after its name, and then again
 * differently on its next run: the function tables keep their own layout. */
/* clang-format off */
typedef struct IKSCapi IKSCapi;
typedef struct IKSCapiVtbl {
    HRESULT (*QueryInterface)(IKSCapi* This, const KSGUID* riid, void** ppvObject);
    ULONG (*AddRef)(IKSCapi* This);
    ULONG (*Release)(IKSCapi* This);
    HRESULT (*GetTypeInfoCount)(IKSCapi* This, UINT* pctinfo);
    HRESULT (*GetTypeInfo)(IKSCapi* This, UINT iTInfo, LCID lcid, void** ppTInfo);
    HRESULT (*GetIDsOfNames)(IKSCapi* This, const KSGUID* riid, OLECHAR** rgszNames, UINT cNames,
                             LCID lcid, DISPID* rgDispId);
    HRESULT (*Invoke)(IKSCapi* This, DISPID dispIdMember, const KSGUID* riid, LCID lcid, WORD wFlags,
                      KSDISPPARAMS* pDispParams, KSVARIANT* pVarResult, void* pExcepInfo,
                      UINT* puArgErr);
    /* The operations, in slot order. */
#define KS_OPERATION(slot, dispid, name, result, clears, count, params) \
    HRESULT (*name)(IKSCapi* This KSOP_EACH_PARAM(count, KSOP_C_PARAM_AFTER, params), KSOP_C_TYPE(result)* Ret);
#include "operations.def"
#undef KS_OPERATION
} IKSCapiVtbl;
struct IKSCapi {
    const IKSCapiVtbl* lpVtbl;
};

typedef struct IKSClassFactory IKSClassFactory;
typedef struct IKSClassFactoryVtbl {
    HRESULT (*QueryInterface)(IKSClassFactory* This, const KSGUID* riid, void** ppvObject);
    ULONG (*AddRef)(IKSClassFactory* This);
    ULONG (*Release)(IKSClassFactory* This);
    HRESULT (*CreateInstance)(IKSClassFactory* This, void* pUnkOuter, const KSGUID* riid, void** ppvObject);
    HRESULT (*LockServer)(IKSClassFactory* This, BOOL fLock);
} IKSClassFactoryVtbl;
struct IKSClassFactory {
    const IKSClassFactoryVtbl* lpVtbl;
};

typedef struct IKSObjectSafety IKSObjectSafety;
typedef struct IKSObjectSafetyVtbl {
    HRESULT (*QueryInterface)(IKSObjectSafety* This, const KSGUID* riid, void** ppvObject);
    ULONG (*AddRef)(IKSObjectSafety* This);
    ULONG (*Release)(IKSObjectSafety* This);
    HRESULT (*GetInterfaceSafetyOptions)(IKSObjectSafety* This, const KSGUID* riid,
                                         DWORD* pdwSupportedOptions, DWORD* pdwEnabledOptions);
    HRESULT (*SetInterfaceSafetyOptions)(IKSObjectSafety* This, const KSGUID* riid,
                                         DWORD dwOptionSetMask, DWORD dwEnabledOptions);
} IKSObjectSafetyVtbl;
struct IKSObjectSafety {
    const IKSObjectSafetyVtbl* lpVtbl;
};
/* clang-format on */

/* The module's entry points (look them up with dlsym). */
typedef HRESULT (*KSDllGetClassObjectFn)(const KSGUID* rclsid, const KSGUID* riid, void** ppv);
typedef HRESULT (*KSDllCanUnloadNowFn)(void);
typedef HRESULT (*KSDllRegisterServerFn)(void);
typedef HRESULT (*KSDllUnregisterServerFn)(void);

/* Automation strings and values, exported by the module for hosts on this platform. */
typedef BSTR (*KSSysAllocStringLenFn)(const OLECHAR* text, UINT length);
typedef void (*KSSysFreeStringFn)(BSTR text);
typedef UINT (*KSSysStringLenFn)(BSTR text);
typedef HRESULT (*KSVariantClearFn)(KSVARIANT* value);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_KSCAPI_H */
