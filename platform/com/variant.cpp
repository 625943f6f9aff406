#include "platform/com/variant.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/com/com.h"

namespace {

// The value a VT_BYREF variant points at, as a plain variant of the base type. A
// VT_VARIANT reference leads to a variant that holds a value or a reference to one, never
// to another variant reference: the platform refuses that, and following it would let a
// caller's cycle of references recurse without end.
bool dereference(const VARIANT* src, VARIANT& out) {
    if (!(src->vt & VT_BYREF)) {
        out = *src;
        return true;
    }
    VARTYPE base = static_cast<VARTYPE>(src->vt & ~VT_BYREF);
    if (!src->byref) return false;
    out = VARIANT{};
    out.vt = base;
    switch (base) {
        case VT_VARIANT: {
            const auto* target = static_cast<const VARIANT*>(src->byref);
            if (target->vt == (VT_VARIANT | VT_BYREF)) return false;
            return dereference(target, out);
        }
        case VT_I2:
            out.iVal = *static_cast<const SHORT*>(src->byref);
            return true;
        case VT_I4:
        case VT_INT:
            out.lVal = *static_cast<const LONG*>(src->byref);
            return true;
        case VT_UI4:
        case VT_UINT:
            out.ulVal = *static_cast<const ULONG*>(src->byref);
            return true;
        case VT_R8:
            out.dblVal = *static_cast<const double*>(src->byref);
            return true;
        case VT_R4:
            out.fltVal = *static_cast<const float*>(src->byref);
            return true;
        case VT_BOOL:
            out.boolVal = *static_cast<const VARIANT_BOOL*>(src->byref);
            return true;
        case VT_BSTR:
            out.bstrVal = *static_cast<BSTR const*>(src->byref);
            return true;
        case VT_UI1:
            out.bVal = *static_cast<const BYTE*>(src->byref);
            return true;
        default:
            return false;
    }
}

// The numeric value of a scalar variant; false when the type holds no number.
bool numericValue(const VARIANT& v, double& out, bool& isInteger, int64_t& integer) {
    isInteger = true;
    switch (v.vt) {
        case VT_EMPTY:
            integer = 0;
            break;
        case VT_I1:
            integer = v.cVal;
            break;
        case VT_UI1:
            integer = v.bVal;
            break;
        case VT_I2:
            integer = v.iVal;
            break;
        case VT_UI2:
            integer = v.uiVal;
            break;
        case VT_I4:
        case VT_INT:
            integer = v.lVal;
            break;
        case VT_UI4:
        case VT_UINT:
            integer = v.ulVal;
            break;
        case VT_I8:
            integer = v.llVal;
            break;
        case VT_BOOL:
            integer = v.boolVal ? -1 : 0;
            break;
        case VT_R4:
            isInteger = false;
            out = v.fltVal;
            return true;
        case VT_R8:
            isInteger = false;
            out = v.dblVal;
            return true;
        default:
            return false;
    }
    out = static_cast<double>(integer);
    return true;
}

// A number written in a string: optional blanks, sign, digits, fraction, exponent.
bool parseNumber(BSTR s, double& out) {
    if (!s) return false;
    std::string narrow;
    for (UINT i = 0, n = SysStringLen(s); i < n; ++i) {
        if (s[i] > 0x7F) return false;
        narrow.push_back(static_cast<char>(s[i]));
    }
    size_t b = narrow.find_first_not_of(" \t");
    size_t e = narrow.find_last_not_of(" \t");
    if (b == std::string::npos) return false;
    narrow = narrow.substr(b, e - b + 1);
    if (narrow.find_first_not_of("+-0123456789.eE") != std::string::npos) return false;
    // from_chars reads the C locale's form whatever LC_NUMERIC says; it takes no plus
    // sign, which the strings scripts pass may carry.
    std::string_view text = narrow;
    if (text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return false;
    }
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, out);
    // Results too small for a normal double are refused like those too large, as
    // strtod's range error did.
    return error == std::errc() && stop == end && std::fpclassify(out) != FP_SUBNORMAL;
}

BSTR bstrFromAscii(const std::string& s) {
    std::u16string w(s.begin(), s.end());
    return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

// Fifteen significant digits in the shortest of fixed and exponent form (printf's
// "%.15g"), with a point whatever LC_NUMERIC says.
std::string formatDouble(double d) {
    char buf[64];
    auto [end, error] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 15);
    return error == std::errc() ? std::string(buf, end) : std::string();
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
    if (!pvarg) return;
    std::memset(pvarg, 0, sizeof *pvarg);
    pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (!pvarg) return E_INVALIDARG;
    if (!(pvarg->vt & VT_BYREF)) {
        switch (pvarg->vt) {
            case VT_BSTR:
                SysFreeString(pvarg->bstrVal);
                break;
            case VT_UNKNOWN:
            case VT_DISPATCH:
                if (pvarg->punkVal) pvarg->punkVal->Release();
                break;
            case VT_EMPTY:
            case VT_NULL:
            case VT_I1:
            case VT_UI1:
            case VT_I2:
            case VT_UI2:
            case VT_I4:
            case VT_UI4:
            case VT_INT:
            case VT_UINT:
            case VT_I8:
            case VT_UI8:
            case VT_R4:
            case VT_R8:
            case VT_BOOL:
            case VT_ERROR:
                break;
            default:
                return DISP_E_BADVARTYPE;
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    VARIANT copy = *pvargSrc;
    if (!(copy.vt & VT_BYREF)) {
        if (copy.vt == VT_BSTR && copy.bstrVal) {
            copy.bstrVal = SysAllocStringLen(copy.bstrVal, SysStringLen(copy.bstrVal));
            if (!copy.bstrVal) return E_OUTOFMEMORY;
        } else if ((copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) && copy.punkVal) {
            copy.punkVal->AddRef();
        }
    }
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *pvargDest = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    VARIANT src;
    if (!dereference(pvarSrc, src)) return DISP_E_BADVARTYPE;
    VARIANT result;
    VariantInit(&result);
    result.vt = vt;

    if (vt == VT_BSTR) {
        if (src.vt == VT_BSTR) {
            result.bstrVal = src.bstrVal ? SysAllocStringLen(src.bstrVal, SysStringLen(src.bstrVal))
                                         : SysAllocStringLen(nullptr, 0);
        } else if (src.vt == VT_EMPTY) {
            result.bstrVal = SysAllocStringLen(nullptr, 0);
        } else if (src.vt == VT_BOOL) {
            bool alpha = wFlags & VARIANT_ALPHABOOL;
            result.bstrVal =
                bstrFromAscii(src.boolVal ? (alpha ? "True" : "-1") : (alpha ? "False" : "0"));
        } else {
            double d;
            bool isInteger;
            int64_t integer = 0;
            if (!numericValue(src, d, isInteger, integer)) return DISP_E_TYPEMISMATCH;
            result.bstrVal = bstrFromAscii(isInteger ? std::to_string(integer) : formatDouble(d));
        }
        if (!result.bstrVal) return E_OUTOFMEMORY;
    } else if (vt == VT_I4 || vt == VT_R8 || vt == VT_BOOL) {
        double d;
        bool isInteger;
        int64_t integer = 0;
        if (src.vt == VT_BSTR) {
            if (!parseNumber(src.bstrVal, d)) return DISP_E_TYPEMISMATCH;
            isInteger = false;
        } else if (!numericValue(src, d, isInteger, integer)) {
            return DISP_E_TYPEMISMATCH;
        }
        if (vt == VT_R8) {
            result.dblVal = d;
        } else if (vt == VT_BOOL) {
            result.boolVal = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        } else {
            if (!isInteger) {
                if (!std::isfinite(d)) return DISP_E_OVERFLOW;
                d = std::nearbyint(d);  // the default rounding mode rounds half to even
                if (d < -2147483648.0 || d > 2147483647.0) return DISP_E_OVERFLOW;
                integer = static_cast<int64_t>(d);
            }
            if (integer < INT32_MIN || integer > INT32_MAX) return DISP_E_OVERFLOW;
            result.lVal = static_cast<LONG>(integer);
        }
    } else {
        return DISP_E_BADVARTYPE;
    }
    if (pvargDest == pvarSrc) {
        VariantClear(pvargDest);
    } else {
        HRESULT hr = VariantClear(pvargDest);
        if (FAILED(hr)) {
            VariantClear(&result);
            return hr;
        }
    }
    *pvargDest = result;
    return S_OK;
}
