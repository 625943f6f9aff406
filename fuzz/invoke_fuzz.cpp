// IDispatch::Invoke of the control with arbitrary calls: any member identifier, flags and
// argument count, and arguments of every variant type, by reference too (pointing at
// values, at other variants or at themselves, or null). Each input runs up to four calls
// on a new object in an emptied home. Invoke answers S_OK or one of its dispatch errors,
// never leaks or keeps an interface reference, and after every call the error pair reads
// back with a message naming its code.
//
// Parameters that name files or folders take their text from a fixed list inside the
// throwaway home, or a non-string variant's digits, which the working folder (the home,
// from the first input on) resolves; so the fuzzer never reads or writes a file of the
// machine. Give this target absolute corpus and artifact paths.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "control/guids.h"
#include "control/ks_capi.h"
#include "control/operation_table.h"
#include "fuzz/fuzz_support.h"
#include "platform/text/codepage.h"

namespace {

// An interface pointer to pass as VT_UNKNOWN or VT_DISPATCH; it must end each input with
// the references it started with.
class CountedUnknown final : public IDispatch {
  public:
    HRESULT QueryInterface(REFIID, void** ppv) override {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    long refs = 1;
};

CountedUnknown g_unknown;
std::vector<uint8_t> g_pfx;

constexpr VARTYPE kTypes[] = {VT_EMPTY,   VT_NULL,    VT_I2,   VT_I4,       VT_R4,    VT_R8,
                              VT_BSTR,    VT_BSTR,    VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL,
                              VT_VARIANT, VT_UNKNOWN, VT_I1,   VT_UI1,      VT_UI2,   VT_UI4,
                              VT_I8,      VT_UI8,     VT_INT,  VT_UINT};

// Storage for what one call's variants hold or point at; nothing moves while the call
// runs (deques keep their elements in place).
struct CallStorage {
    std::deque<VARIANT> variants;  // targets of VT_BYREF | VT_VARIANT
    std::deque<std::array<uint64_t, 2>> values;
    std::vector<BSTR> strings;
    ~CallStorage() {
        for (BSTR s : strings) SysFreeString(s);
    }
    BSTR keep(const std::u16string& text) {
        BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        FUZZ_CHECK(s != nullptr);
        strings.push_back(s);
        return s;
    }
};

bool contains(const char* name, const char* part) {
    return name && std::strstr(name, part) != nullptr;
}

// The text of a string argument: for file and folder names one of a few inside the home,
// for passwords sometimes the fixtures' password, else any UTF-16 code units.
std::u16string stringValue(FuzzedDataProvider& in, const char* paramName) {
    if (contains(paramName, "Path") || contains(paramName, "FileName") ||
        contains(paramName, "PfxName") || contains(paramName, "Prefix")) {
        const std::string choices[] = {"",
                                       fuzz::home(),
                                       "user.pfx",
                                       fuzz::home() + "/user.pfx",
                                       "missing.pfx",
                                       fuzz::home() + "/sub"};
        return fromUtf8(choices[in.ConsumeIntegralInRange<size_t>(0, std::size(choices) - 1)]);
    }
    if ((contains(paramName, "Pass") || contains(paramName, "passwd")) && in.ConsumeBool())
        return u"secret";
    std::string bytes = in.ConsumeRandomLengthString(64);
    if (in.ConsumeBool()) return fromUtf8(bytes);
    return fuzz::unitsFromBytes(bytes);
}

void fillScalar(FuzzedDataProvider& in, VARIANT& v) {
    v.llVal = 0;
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            v.llVal = in.ConsumeIntegral<int64_t>();
            break;
        case 1:
            v.dblVal = in.ConsumeFloatingPoint<double>();
            break;
        case 2:
            v.fltVal = in.ConsumeFloatingPoint<float>();
            break;
        default:
            v.lVal = in.ConsumeIntegralInRange<LONG>(-3, 3);
            break;
    }
}

VARIANT makeVariant(FuzzedDataProvider& in, CallStorage& storage, const char* paramName,
                    int depth) {
    VARIANT v;
    VariantInit(&v);
    uint8_t choice = in.ConsumeIntegral<uint8_t>();
    bool byRef = choice & 0x80;
    VARTYPE base = (choice & 0x7F) == 0x7F ? in.ConsumeIntegral<VARTYPE>() & 0x0FFF
                                           : kTypes[(choice & 0x7F) % std::size(kTypes)];
    if (base == VT_VARIANT && !byRef) base = VT_EMPTY;  // a variant never holds one by value
    v.vt = byRef ? static_cast<VARTYPE>(base | VT_BYREF) : base;

    auto stringOrNull = [&]() -> BSTR {
        return in.ConsumeIntegral<uint8_t>() < 16 ? nullptr
                                                  : storage.keep(stringValue(in, paramName));
    };
    if (!byRef) {
        if (base == VT_BSTR)
            v.bstrVal = stringOrNull();
        else if (base == VT_DISPATCH || base == VT_UNKNOWN)
            v.pdispVal = in.ConsumeBool() ? &g_unknown : nullptr;
        else
            fillScalar(in, v);
        return v;
    }
    if (in.ConsumeIntegral<uint8_t>() < 8) {
        v.byref = nullptr;
        return v;
    }
    if (base == VT_VARIANT) {
        // Another variant: new, or one made already (itself included), so chains and
        // cycles of references reach the conversion.
        if (!storage.variants.empty() && (depth >= 3 || in.ConsumeBool())) {
            v.byref =
                &storage
                     .variants[in.ConsumeIntegralInRange<size_t>(0, storage.variants.size() - 1)];
            return v;
        }
        storage.variants.emplace_back();
        VARIANT& target = storage.variants.back();
        VariantInit(&target);
        v.byref = &target;
        target = makeVariant(in, storage, paramName, depth + 1);
        return v;
    }
    storage.values.push_back({});
    void* slot = storage.values.back().data();
    if (base == VT_BSTR) {
        BSTR s = stringOrNull();
        std::memcpy(slot, &s, sizeof s);
    } else if (base == VT_DISPATCH || base == VT_UNKNOWN) {
        IDispatch* p = in.ConsumeBool() ? &g_unknown : nullptr;
        std::memcpy(slot, &p, sizeof p);
    } else {
        VARIANT scalar;
        fillScalar(in, scalar);
        std::memcpy(slot, &scalar.llVal, sizeof scalar.llVal);
    }
    v.byref = slot;
    return v;
}

bool dispatchError(HRESULT hr) {
    return hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_NONAMEDARGS || hr == DISP_E_BADPARAMCOUNT ||
           hr == DISP_E_TYPEMISMATCH || hr == E_INVALIDARG;
}

// The error pair after a call, read through Invoke as a page reads it.
void checkErrorPair(IDispatch* object) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    for (DISPID codeId : {2, 4}) {
        VARIANT code, message;
        VariantInit(&code);
        VariantInit(&message);
        FUZZ_CHECK(object->Invoke(codeId, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &code, nullptr,
                                  nullptr) == S_OK);
        FUZZ_CHECK(object->Invoke(codeId + 1, IID_NULL, 0, DISPATCH_METHOD, &none, &message,
                                  nullptr, nullptr) == S_OK);
        FUZZ_CHECK(code.vt == VT_I4 && message.vt == VT_BSTR && message.bstrVal);
        std::u16string text(message.bstrVal, SysStringLen(message.bstrVal));
        std::u16string suffix = fromUtf8("(" + std::to_string(code.lVal) + ")");
        if (codeId == 2)
            FUZZ_CHECK(text.size() >= suffix.size() &&
                       text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0);
        VariantClear(&message);
    }
}

void oneCall(FuzzedDataProvider& in, IDispatch* object) {
    const OperationInfo* op = nullptr;
    DISPID id;
    if (in.ConsumeIntegral<uint8_t>() < 240) {
        op = &operations()[in.ConsumeIntegralInRange<size_t>(0, kOperationCount - 1)];
        id = op->dispid;
    } else {
        id = in.ConsumeIntegral<DISPID>();
        op = findOperationByDispid(id);
    }
    WORD flags = in.ConsumeIntegral<uint8_t>() < 200 ? DISPATCH_METHOD : in.ConsumeIntegral<WORD>();
    int paramCount = op ? op->paramCount : 0;
    UINT count = in.ConsumeIntegral<uint8_t>() < 220 ? static_cast<UINT>(paramCount)
                                                     : in.ConsumeIntegralInRange<UINT>(0, 6);
    CallStorage storage;
    std::vector<VARIANT> args(count);
    // Arguments arrive last first: rgvarg[count - 1] is the first parameter.
    for (UINT i = 0; i < count; ++i) {
        const char* name = op && static_cast<int>(i) < paramCount ? op->params[i].name : nullptr;
        args[count - 1 - i] = makeVariant(in, storage, name, 0);
    }
    std::vector<DISPID> named(2, 0);
    DISPPARAMS params{count ? args.data() : nullptr, nullptr, count, 0};
    if (in.ConsumeIntegral<uint8_t>() > 250) {
        params.rgdispidNamedArgs = named.data();
        params.cNamedArgs = 1;
    }
    const bool withParams = in.ConsumeIntegral<uint8_t>() > 4;
    const bool withResult = in.ConsumeIntegral<uint8_t>() > 16;
    VARIANT result;
    VariantInit(&result);
    UINT argErr = 0xFFFF;
    HRESULT hr = object->Invoke(id, IID_NULL, 0, flags, withParams ? &params : nullptr,
                                withResult ? &result : nullptr, nullptr, &argErr);
    FUZZ_CHECK(hr == S_OK || dispatchError(hr));
    if (hr == DISP_E_TYPEMISMATCH) FUZZ_CHECK(argErr < count);
    if (hr == S_OK && withResult) {
        FUZZ_CHECK(op != nullptr);
        if (op->result == ValueType::String)
            FUZZ_CHECK(result.vt == VT_BSTR && result.bstrVal != nullptr);
        else
            FUZZ_CHECK(result.vt == VT_I4);
    }
    FUZZ_CHECK(VariantClear(&result) == S_OK);
    // The caller's arguments are still its own, unchanged in type.
    FUZZ_CHECK(g_unknown.refs == 1);
    checkErrorPair(object);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    g_pfx = fuzz::sourceFile("tests/fixtures/pfx/modern.pfx");
    return 0;
}

// libFuzzer reads the corpus folders after initialization, so the working folder changes
// only with the first input.
static void enterHome() {
    static const bool entered = chdir(fuzz::home().c_str()) == 0;
    FUZZ_CHECK(entered);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    enterHome();
    fuzz::resetHome();
    fuzz::writeFile(fuzz::home() + "/user.pfx", g_pfx.data(), g_pfx.size());
    FuzzedDataProvider in(data, size);
    KSCapi* control = KSCapi::create();
    FUZZ_CHECK(control != nullptr);
    IDispatch* object = nullptr;
    FUZZ_CHECK(control->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&object)) == S_OK);
    control->Release();
    for (int call = 0; call < 4 && in.remaining_bytes() > 0; ++call) oneCall(in, object);
    FUZZ_CHECK(object->Release() == 0);
    return 0;
}
