// Late binding and scripting safety of the control object, driven by the operation
// table: names map to dispatch identifiers, and Invoke calls the interface slot.
#include <vector>

#include "control/guids.h"
#include "control/ks_capi.h"
#include "control/operation_table.h"
#include "control/type_info_internal.h"

namespace {

char lowerAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char>(c - u'A' + 'a') : static_cast<char>(c);
}

bool sameName(LPCOLESTR wide, const char* name) {
    size_t i = 0;
    for (; wide[i] != 0 && name[i] != 0; ++i) {
        if (wide[i] > 0x7F) return false;
        char n =
            name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
        if (lowerAscii(wide[i]) != n) return false;
    }
    return wide[i] == 0 && name[i] == 0;
}

// Frees the arguments converted for one call.
struct ConvertedArguments {
    std::vector<VARIANT> values;
    std::vector<OperationArg> args;
    ~ConvertedArguments() {
        for (auto& v : values) VariantClear(&v);
    }
};

}  // namespace

HRESULT KSCapi::GetTypeInfoCount(UINT* pctinfo) {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT KSCapi::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    *ppTInfo = createKSCapiTypeInfo();
    return *ppTInfo ? S_OK : E_OUTOFMEMORY;
}

HRESULT idsOfNames(LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId) {
    if (cNames == 0) return S_OK;
    if (!rgszNames || !rgDispId || !rgszNames[0]) return E_POINTER;
    const OperationInfo* op = nullptr;
    for (size_t i = 0; i < kOperationCount && !op; ++i)
        if (sameName(rgszNames[0], operations()[i].name)) op = &operations()[i];
    HRESULT hr = S_OK;
    rgDispId[0] = op ? op->dispid : DISPID_UNKNOWN;
    if (!op) hr = DISP_E_UNKNOWNNAME;
    // Parameter names map to their position in the parameter list.
    for (UINT n = 1; n < cNames; ++n) {
        rgDispId[n] = DISPID_UNKNOWN;
        for (int p = 0; op && rgszNames[n] && p < op->paramCount; ++p)
            if (sameName(rgszNames[n], op->params[p].name)) rgDispId[n] = p;
        if (rgDispId[n] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT KSCapi::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                              DISPID* rgDispId) {
    if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return idsOfNames(rgszNames, cNames, rgDispId);
}

HRESULT KSCapi::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                       VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr) {
    if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    const OperationInfo* op = findOperationByDispid(dispIdMember);
    if (!op) return DISP_E_MEMBERNOTFOUND;
    // Script engines read argument-less operations as properties too.
    bool asMethod = wFlags & DISPATCH_METHOD;
    bool asGet = (wFlags & DISPATCH_PROPERTYGET) && op->paramCount == 0;
    if (!asMethod && !asGet) return DISP_E_MEMBERNOTFOUND;
    UINT count = pDispParams ? pDispParams->cArgs : 0;
    if (pDispParams && pDispParams->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
    if (count != static_cast<UINT>(op->paramCount)) return DISP_E_BADPARAMCOUNT;
    if (count > 0 && !pDispParams->rgvarg) return E_INVALIDARG;

    ConvertedArguments converted;
    converted.values.resize(count);
    converted.args.resize(count);
    for (UINT i = 0; i < count; ++i) {
        // Arguments arrive last first.
        UINT position = count - 1 - i;
        const VARIANT& in = pDispParams->rgvarg[position];
        VARIANT& out = converted.values[i];
        VariantInit(&out);
        VARTYPE base = static_cast<VARTYPE>(in.vt & ~VT_BYREF);
        if (op->params[i].type == ValueType::String && (in.vt == VT_EMPTY || in.vt == VT_NULL)) {
            converted.args[i].str = nullptr;
            continue;
        }
        if (op->params[i].type == ValueType::String && base == VT_BSTR && !(in.vt & VT_BYREF)) {
            converted.args[i].str = in.bstrVal;  // borrowed: the caller keeps it
            continue;
        }
        HRESULT hr = VariantChangeType(&out, &in, 0,
                                       op->params[i].type == ValueType::String ? VT_BSTR : VT_I4);
        if (FAILED(hr)) {
            if (puArgErr) *puArgErr = position;
            return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
        }
        if (op->params[i].type == ValueType::String)
            converted.args[i].str = out.bstrVal;
        else
            converted.args[i].i = out.lVal;
    }

    OperationResult result;
    HRESULT hr = op->invoke(this, converted.args.data(), &result);
    if (FAILED(hr)) return hr;
    if (!pVarResult) {
        SysFreeString(result.str);
        return S_OK;
    }
    VariantInit(pVarResult);
    if (op->result == ValueType::String) {
        pVarResult->vt = VT_BSTR;
        pVarResult->bstrVal = result.str;
    } else {
        pVarResult->vt = VT_I4;
        pVarResult->lVal = result.i;
    }
    return S_OK;
}

HRESULT KSCapi::GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                          DWORD* pdwEnabledOptions) {
    if (!pdwSupportedOptions || !pdwEnabledOptions) return E_POINTER;
    IUnknown* probe = nullptr;
    HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&probe));
    if (FAILED(hr)) {
        *pdwSupportedOptions = 0;
        *pdwEnabledOptions = 0;
        return hr;
    }
    probe->Release();
    *pdwSupportedOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
    *pdwEnabledOptions = safetyOptions_;
    return S_OK;
}

HRESULT KSCapi::SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                          DWORD dwEnabledOptions) {
    IUnknown* probe = nullptr;
    HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&probe));
    if (FAILED(hr)) return E_NOINTERFACE;
    probe->Release();
    if (dwOptionSetMask & ~INTERFACESAFE_FOR_UNTRUSTED_CALLER) return E_FAIL;
    // An option ends enabled whenever the mask names it; one named only among the
    // enabled options is cleared.
    safetyOptions_ = (safetyOptions_ & ~dwEnabledOptions) | dwOptionSetMask;
    return S_OK;
}
