#include <atomic>
#include <new>
#include <string>

#include "control/guids.h"
#include "control/operation_table.h"
#include "control/type_info_internal.h"

namespace {

VARTYPE typeOf(ValueType t) {
    return t == ValueType::String ? VT_BSTR : VT_I4;
}

BSTR ascii(const char* text) {
    std::u16string w(text, text + std::char_traits<char>::length(text));
    return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

// A FUNCDESC and the parameter descriptions it points at, freed together.
struct FuncDescBlock {
    FUNCDESC desc;
    ELEMDESC params[5];
};

class KSCapiTypeInfo final : public ITypeInfo {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        static constexpr IID kIIDTypeInfo = {0x00020401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
        if (riid == IID_IUnknown || riid == kIIDTypeInfo) {
            *ppv = static_cast<ITypeInfo*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return refs_.fetch_add(1) + 1; }
    ULONG Release() override {
        ULONG left = refs_.fetch_sub(1) - 1;
        if (left == 0) delete this;
        return left;
    }

    HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) override {
        if (!ppTypeAttr) return E_INVALIDARG;
        auto* a = new (std::nothrow) TYPEATTR{};
        if (!a) return E_OUTOFMEMORY;
        a->guid = IID_IKSCapi;
        a->memidConstructor = MEMBERID_NIL;
        a->memidDestructor = MEMBERID_NIL;
        a->cbSizeInstance = sizeof(void*);
        a->typekind = TKIND_DISPATCH;
        a->cFuncs = static_cast<WORD>(kOperationCount);
        a->cbSizeVft = static_cast<WORD>(7 * sizeof(void*));
        a->cbAlignment = alignof(void*);
        a->wTypeFlags = TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FOLEAUTOMATION;
        a->wMajorVerNum = 1;
        a->wMinorVerNum = 0;
        a->tdescAlias.vt = VT_EMPTY;
        *ppTypeAttr = a;
        return S_OK;
    }
    void ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { delete pTypeAttr; }

    HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override {
        if (!ppFuncDesc) return E_INVALIDARG;
        if (index >= kOperationCount) return TYPE_E_ELEMENTNOTFOUND;
        const OperationInfo& op = operations()[index];
        auto* block = new (std::nothrow) FuncDescBlock{};
        if (!block) return E_OUTOFMEMORY;
        FUNCDESC& d = block->desc;
        d.memid = op.dispid;
        d.lprgelemdescParam = op.paramCount ? block->params : nullptr;
        d.funckind = FUNC_DISPATCH;
        d.invkind = INVOKE_FUNC;
        d.callconv = CC_STDCALL;
        d.cParams = static_cast<SHORT>(op.paramCount);
        d.oVft = static_cast<SHORT>((7 + index) * sizeof(void*));
        for (int p = 0; p < op.paramCount; ++p) {
            block->params[p].tdesc.vt = typeOf(op.params[p].type);
            block->params[p].paramdesc.wParamFlags = PARAMFLAG_FIN;
        }
        // Script callers see the Ret out-parameter as the function's value.
        d.elemdescFunc.tdesc.vt = typeOf(op.result);
        *ppFuncDesc = &block->desc;
        return S_OK;
    }
    void ReleaseFuncDesc(FUNCDESC* pFuncDesc) override {
        delete reinterpret_cast<FuncDescBlock*>(pFuncDesc);
    }

    HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override {
        if (!rgBstrNames || !pcNames) return E_INVALIDARG;
        const OperationInfo* op = findOperationByDispid(memid);
        if (!op) return TYPE_E_ELEMENTNOTFOUND;
        UINT n = 0;
        if (n < cMaxNames) rgBstrNames[n++] = ascii(op->name);
        for (int p = 0; p < op->paramCount && n < cMaxNames; ++p)
            rgBstrNames[n++] = ascii(op->params[p].name);
        *pcNames = n;
        return S_OK;
    }

    HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override {
        return idsOfNames(rgszNames, cNames, pMemId);
    }

    HRESULT Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        if (!pvInstance) return E_INVALIDARG;
        return static_cast<IDispatch*>(pvInstance)
            ->Invoke(memid, IID_NULL, 0, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
    }

    HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                             DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
        const char* name = "IKSCapi";
        if (memid != MEMBERID_NIL) {
            const OperationInfo* op = findOperationByDispid(memid);
            if (!op) return TYPE_E_ELEMENTNOTFOUND;
            name = op->name;
        }
        if (pBstrName) *pBstrName = ascii(name);
        if (pBstrDocString)
            *pBstrDocString = memid == MEMBERID_NIL ? ascii("IKSCapi Interface") : nullptr;
        if (pdwHelpContext) *pdwHelpContext = 0;
        if (pBstrHelpFile) *pBstrHelpFile = nullptr;
        return S_OK;
    }

    // The rest describes what a dispatch interface does not have here.
    HRESULT GetTypeComp(ITypeComp** p) override { return none(p); }
    HRESULT GetVarDesc(UINT, void**) override { return TYPE_E_ELEMENTNOTFOUND; }
    HRESULT GetRefTypeOfImplType(UINT, HREFTYPE*) override { return TYPE_E_ELEMENTNOTFOUND; }
    HRESULT GetImplTypeFlags(UINT, INT*) override { return TYPE_E_ELEMENTNOTFOUND; }
    HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT GetRefTypeInfo(HREFTYPE, ITypeInfo** p) override { return none(p); }
    HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void** p) override { return none(p); }
    HRESULT CreateInstance(IUnknown*, REFIID, void** p) override { return none(p); }
    HRESULT GetMops(MEMBERID, BSTR* p) override {
        if (p) *p = nullptr;
        return S_OK;
    }
    HRESULT GetContainingTypeLib(ITypeLib** p, UINT*) override { return none(p); }
    void ReleaseVarDesc(void*) override {}

  private:
    template <typename T>
    static HRESULT none(T** p) {
        if (p) *p = nullptr;
        return E_NOTIMPL;
    }
    std::atomic<ULONG> refs_{1};
};

}  // namespace

ITypeInfo* createKSCapiTypeInfo() {
    return new (std::nothrow) KSCapiTypeInfo();
}
