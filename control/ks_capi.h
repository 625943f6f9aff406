// The automation object a page creates. It does no work itself: each method, expanded
// from control/operations.def, makes private copies of its string arguments, calls the
// engine's entry of the same name and converts the result.
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <utility>

#include "control/capi_engine_internal.h"
#include "control/ikscapi.h"
#include "control/object_safety_internal.h"

class KSCapi final : public IKSCapi, public IObjectSafety {
  public:
    // A new object with one reference, or null when memory runs out. The caller owns
    // the reference and gives it back with Release.
    static KSCapi* create();
    // A new object for the class factory. With an outer object, the new one is its
    // aggregated inner part: *ppv receives the inner object's own IUnknown, and riid must
    // be IID_IUnknown (CLASS_E_NOAGGREGATION otherwise). A failing interface request
    // destroys the new object. E_OUTOFMEMORY when it cannot be created.
    static HRESULT createInstance(IUnknown* outer, REFIID riid, void** ppv);

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // Scripting safety: the object is safe for untrusted callers (option 1) and claims
    // nothing about initialisation from untrusted data.
    HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                      DWORD* pdwEnabledOptions) override;
    HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                      DWORD dwEnabledOptions) override;

    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;

    // The engine, for in-process hosts and tests that look at its state.
    CapiEngine& engine() { return engine_; }

    // The operations, one a row of control/operations.def.
#define KS_OPERATION(slot, dispid, name, result, clears, count, params)                         \
    HRESULT name(KSOP_EACH_PARAM(count, KSOP_C_PARAM_BEFORE, params) KSOP_C_TYPE(result) * Ret) \
        override;
#include "control/operations.def"
#undef KS_OPERATION

  private:
    KSCapi();
    ~KSCapi();

    // The identity of an aggregated object: it owns the object's lifetime, while the
    // object's public IUnknown methods go to the outer object.
    struct InnerUnknown final : IUnknown {
        KSCapi* self = nullptr;
        HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
        ULONG AddRef() override;
        ULONG Release() override;
    };
    HRESULT innerQueryInterface(REFIID riid, void** ppvObject);
    ULONG innerAddRef();
    ULONG innerRelease();

    IUnknown* outer_ = nullptr;
    InnerUnknown inner_;

    // The private copy of a string argument: up to its first zero character; null is
    // the empty string.
    static std::u16string argument(BSTR value);

    // The frame every method runs in: results are never null strings, the method always
    // answers S_OK, and nothing thrown inside reaches the caller.
    template <typename Op>
    HRESULT frame(BSTR* Ret, Op&& op);
    template <typename Op>
    HRESULT frame(LONG* Ret, Op&& op);

    std::atomic<ULONG> refs_{1};
    ULONG safetyOptions_ = 0;
    CapiEngine engine_;
};
