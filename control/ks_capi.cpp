#include "control/ks_capi.h"

#include "control/guids.h"
#include "control/module_state_internal.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"

KSCapi::KSCapi() {
    inner_.self = this;
    module_state::objectCreated();
}

KSCapi::~KSCapi() {
    module_state::objectDestroyed();
}

KSCapi* KSCapi::create() {
    return new (std::nothrow) KSCapi();
}

HRESULT KSCapi::createInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !(riid == IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    KSCapi* object = create();
    if (!object) return E_OUTOFMEMORY;
    object->outer_ = outer;
    // The object starts with one reference, held here until the request is answered.
    HRESULT hr =
        outer ? object->inner_.QueryInterface(riid, ppv) : object->innerQueryInterface(riid, ppv);
    object->innerRelease();
    return hr;
}

HRESULT KSCapi::innerQueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject) return E_POINTER;
    if (riid == IID_IUnknown && outer_) {
        *ppvObject = static_cast<IUnknown*>(&inner_);
    } else if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IKSCapi) {
        *ppvObject = static_cast<IKSCapi*>(this);
    } else if (riid == IID_IObjectSafety) {
        *ppvObject = static_cast<IObjectSafety*>(this);
    } else {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    // Through the interface handed out: an aggregated object's interfaces count their
    // references on the outer object, its inner IUnknown on itself.
    static_cast<IUnknown*>(*ppvObject)->AddRef();
    return S_OK;
}

ULONG KSCapi::innerAddRef() {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG KSCapi::innerRelease() {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

HRESULT KSCapi::InnerUnknown::QueryInterface(REFIID riid, void** ppvObject) {
    return self->innerQueryInterface(riid, ppvObject);
}
ULONG KSCapi::InnerUnknown::AddRef() {
    return self->innerAddRef();
}
ULONG KSCapi::InnerUnknown::Release() {
    return self->innerRelease();
}

HRESULT KSCapi::QueryInterface(REFIID riid, void** ppvObject) {
    if (outer_) return outer_->QueryInterface(riid, ppvObject);
    return innerQueryInterface(riid, ppvObject);
}

ULONG KSCapi::AddRef() {
    return outer_ ? outer_->AddRef() : innerAddRef();
}

ULONG KSCapi::Release() {
    return outer_ ? outer_->Release() : innerRelease();
}

std::u16string KSCapi::argument(BSTR value) {
    if (!value) return std::u16string();
    size_t n = 0;
    while (value[n] != 0) ++n;
    return std::u16string(value, n);
}

template <typename Op>
HRESULT KSCapi::frame(BSTR* Ret, Op&& op) {
    if (!Ret) return E_POINTER;
    std::u16string wide;
    try {
        wide = fromAnsi(op());
    } catch (const std::bad_alloc&) {
        engine_.fail(err::kOutOfMemory);
        wide.clear();
    } catch (...) {
        engine_.fail(err::kGeneral);
        wide.clear();
    }
    *Ret = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return *Ret ? S_OK : E_OUTOFMEMORY;
}

template <typename Op>
HRESULT KSCapi::frame(LONG* Ret, Op&& op) {
    if (!Ret) return E_POINTER;
    try {
        *Ret = op();
    } catch (const std::bad_alloc&) {
        *Ret = engine_.fail(err::kOutOfMemory);
    } catch (...) {
        *Ret = engine_.fail(err::kGeneral);
    }
    return S_OK;
}

#define KSOP_ARGUMENT_String(name) argument(name)
#define KSOP_ARGUMENT_Int(name) name
#define KSOP_KSCAPI_ARG(index, type, name) , KSOP_ARGUMENT_##type(name)
#define KS_OPERATION(slot, dispid, name, result, clears, count, params)                            \
    HRESULT KSCapi::name(KSOP_EACH_PARAM(count, KSOP_C_PARAM_BEFORE, params) KSOP_C_TYPE(result) * \
                         Ret) {                                                                    \
        return frame(Ret, [&] {                                                                    \
            return engine_.name(                                                                   \
                KSOP_DROP_FIRST(~KSOP_EACH_PARAM(count, KSOP_KSCAPI_ARG, params)));                \
        });                                                                                        \
    }
#include "control/operations.def"
#undef KS_OPERATION
