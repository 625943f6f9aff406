#include "control/ks_capi.h"

#include "control/guids.h"
#include "control/module_state.h"
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
        engine_.lastError = err::kOutOfMemory;
        wide.clear();
    } catch (...) {
        engine_.lastError = err::kGeneral;
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
        engine_.lastError = err::kOutOfMemory;
        *Ret = engine_.lastError;
    } catch (...) {
        engine_.lastError = err::kGeneral;
        *Ret = engine_.lastError;
    }
    return S_OK;
}

HRESULT KSCapi::GetVersion(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetVersion(); });
}

HRESULT KSCapi::GetErrorCode(LONG* Ret) {
    return frame(Ret, [&] { return engine_.GetErrorCode(); });
}

HRESULT KSCapi::GetErrorMsg(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetErrorMsg(); });
}

HRESULT KSCapi::GetCapiErrorCode(LONG* Ret) {
    return frame(Ret, [&] { return engine_.GetCapiErrorCode(); });
}

HRESULT KSCapi::GetCapiErrorMsg(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetCapiErrorMsg(); });
}

HRESULT KSCapi::GetMacAddress(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetMacAddress(); });
}

HRESULT KSCapi::GetWindowsSystemName(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetWindowsSystemName(); });
}

HRESULT KSCapi::RegReadHKCU(BSTR strName, BSTR* Ret) {
    return frame(Ret, [&] { return engine_.RegReadHKCU(argument(strName)); });
}

HRESULT KSCapi::RegWriteHKCUInt(BSTR strName, LONG dw, LONG* Ret) {
    return frame(Ret, [&] { return engine_.RegWriteHKCUInt(argument(strName), dw); });
}

HRESULT KSCapi::RegWriteHKCUStr(BSTR strName, BSTR str, LONG* Ret) {
    return frame(Ret, [&] { return engine_.RegWriteHKCUStr(argument(strName), argument(str)); });
}

HRESULT KSCapi::Hash(BSTR strPlainText, LONG dwFlags, BSTR* Ret) {
    return frame(Ret, [&] { return engine_.Hash(argument(strPlainText), dwFlags); });
}

HRESULT KSCapi::HashFile(BSTR strFileName, LONG dwFlags, BSTR* Ret) {
    return frame(Ret, [&] { return engine_.HashFile(argument(strFileName), dwFlags); });
}

HRESULT KSCapi::SetProviderName(BSTR strProviderName, LONG* Ret) {
    return frame(Ret, [&] { return engine_.SetProviderName(argument(strProviderName)); });
}

HRESULT KSCapi::CreatePKCS10(BSTR commonName, LONG keyBits, LONG genKeyFlags, BSTR* Ret) {
    return frame(Ret,
                 [&] { return engine_.CreatePKCS10(argument(commonName), keyBits, genKeyFlags); });
}

HRESULT KSCapi::AcceptPKCS7(BSTR strPkcs7, LONG* Ret) {
    return frame(Ret, [&] { return engine_.AcceptPKCS7(argument(strPkcs7)); });
}

HRESULT KSCapi::PresetPasswdLengthRange(LONG min, LONG max, LONG* Ret) {
    return frame(Ret, [&] { return engine_.PresetPasswdLengthRange(min, max); });
}

HRESULT KSCapi::ImportPfxToIE(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags,
                              LONG dwKeyUsage, LONG* Ret) {
    return frame(Ret, [&] {
        return engine_.ImportPfxToIE(argument(strPfxPath), argument(strPfxName),
                                     argument(strPasswd), dwFlags, dwKeyUsage);
    });
}

HRESULT KSCapi::SetDefaultPfxFileName(BSTR strPrefix, LONG* Ret) {
    return frame(Ret, [&] { return engine_.SetDefaultPfxFileName(argument(strPrefix)); });
}

HRESULT KSCapi::ExportPfxFromIE(BSTR strSubject, BSTR strPfxPath, BSTR strPassword, LONG dwFlags,
                                LONG dwKeyUsage, LONG* Ret) {
    return frame(Ret, [&] {
        return engine_.ExportPfxFromIE(argument(strSubject), argument(strPfxPath),
                                       argument(strPassword), dwFlags, dwKeyUsage);
    });
}

HRESULT KSCapi::ExportMobileFromPfx(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags,
                                    LONG dwKeyUsage, BSTR* Ret) {
    return frame(Ret, [&] {
        return engine_.ExportMobileFromPfx(argument(strPfxPath), argument(strPfxName),
                                           argument(strPasswd), dwFlags, dwKeyUsage);
    });
}

HRESULT KSCapi::ExportMobileFromIE(BSTR strSubject, BSTR strPasswd, LONG dwFlags, LONG dwKeyUsage,
                                   BSTR* Ret) {
    return frame(Ret, [&] {
        return engine_.ExportMobileFromIE(argument(strSubject), argument(strPasswd), dwFlags,
                                          dwKeyUsage);
    });
}

HRESULT KSCapi::GetExportedPfxFilePath(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetExportedPfxFilePath(); });
}

HRESULT KSCapi::GetExportedPfxFileName(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetExportedPfxFileName(); });
}

HRESULT KSCapi::ChangePfxPasswd(BSTR strPfxPath, BSTR strPfxName, BSTR strOldPass, BSTR strNewPass,
                                LONG dwFlags, LONG* Ret) {
    return frame(Ret, [&] {
        return engine_.ChangePfxPasswd(argument(strPfxPath), argument(strPfxName),
                                       argument(strOldPass), argument(strNewPass), dwFlags);
    });
}

HRESULT KSCapi::SelectSigner(BSTR certFilter, LONG dwFlags, LONG dwKeyUsage, LONG* Ret) {
    return frame(Ret,
                 [&] { return engine_.SelectSigner(argument(certFilter), dwFlags, dwKeyUsage); });
}

HRESULT KSCapi::GetSignerPfxFilePath(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetSignerPfxFilePath(); });
}

HRESULT KSCapi::GetSignerPfxFileName(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetSignerPfxFileName(); });
}

HRESULT KSCapi::SignPkcs1(BSTR strContent, LONG dwFlags, BSTR* Ret) {
    return frame(Ret, [&] { return engine_.SignPkcs1(argument(strContent), dwFlags); });
}

HRESULT KSCapi::SignPkcs7(BSTR strContent, LONG dwFlags, BSTR* Ret) {
    return frame(Ret, [&] { return engine_.SignPkcs7(argument(strContent), dwFlags); });
}

HRESULT KSCapi::GetCertB64(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetCertB64(); });
}

HRESULT KSCapi::GetCertSubject(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetCertSubject(); });
}

HRESULT KSCapi::GetCertSubjectCN(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetCertSubjectCN(); });
}

HRESULT KSCapi::GetCertIssuer(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetCertIssuer(); });
}

HRESULT KSCapi::GetCertSerial(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetCertSerial(); });
}

HRESULT KSCapi::GetCertNotBefore(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetCertNotBefore(); });
}

HRESULT KSCapi::GetCertNotAfter(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetCertNotAfter(); });
}

HRESULT KSCapi::GetCertFinger(BSTR* Ret) {
    return frame(Ret, [&] { return engine_.GetCertFinger(); });
}
