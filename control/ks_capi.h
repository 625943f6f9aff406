// The automation object a page creates. It does no work itself: each method makes
// private copies of its string arguments, calls the engine and converts the result.
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <utility>

#include "control/capi_engine.h"
#include "control/ikscapi.h"
#include "control/object_safety.h"

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

    HRESULT GetVersion(BSTR* Ret) override;
    HRESULT GetErrorCode(LONG* Ret) override;
    HRESULT GetErrorMsg(BSTR* Ret) override;
    HRESULT GetCapiErrorCode(LONG* Ret) override;
    HRESULT GetCapiErrorMsg(BSTR* Ret) override;
    HRESULT GetMacAddress(BSTR* Ret) override;
    HRESULT GetWindowsSystemName(BSTR* Ret) override;
    HRESULT RegReadHKCU(BSTR strName, BSTR* Ret) override;
    HRESULT RegWriteHKCUInt(BSTR strName, LONG dw, LONG* Ret) override;
    HRESULT RegWriteHKCUStr(BSTR strName, BSTR str, LONG* Ret) override;
    HRESULT Hash(BSTR strPlainText, LONG dwFlags, BSTR* Ret) override;
    HRESULT HashFile(BSTR strFileName, LONG dwFlags, BSTR* Ret) override;
    HRESULT SetProviderName(BSTR strProviderName, LONG* Ret) override;
    HRESULT CreatePKCS10(BSTR commonName, LONG keyBits, LONG genKeyFlags, BSTR* Ret) override;
    HRESULT AcceptPKCS7(BSTR strPkcs7, LONG* Ret) override;
    HRESULT PresetPasswdLengthRange(LONG min, LONG max, LONG* Ret) override;
    HRESULT ImportPfxToIE(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags,
                          LONG dwKeyUsage, LONG* Ret) override;
    HRESULT SetDefaultPfxFileName(BSTR strPrefix, LONG* Ret) override;
    HRESULT ExportPfxFromIE(BSTR strSubject, BSTR strPfxPath, BSTR strPassword, LONG dwFlags,
                            LONG dwKeyUsage, LONG* Ret) override;
    HRESULT ExportMobileFromPfx(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags,
                                LONG dwKeyUsage, BSTR* Ret) override;
    HRESULT ExportMobileFromIE(BSTR strSubject, BSTR strPasswd, LONG dwFlags, LONG dwKeyUsage,
                               BSTR* Ret) override;
    HRESULT GetExportedPfxFilePath(BSTR* Ret) override;
    HRESULT GetExportedPfxFileName(BSTR* Ret) override;
    HRESULT ChangePfxPasswd(BSTR strPfxPath, BSTR strPfxName, BSTR strOldPass, BSTR strNewPass,
                            LONG dwFlags, LONG* Ret) override;
    HRESULT SelectSigner(BSTR certFilter, LONG dwFlags, LONG dwKeyUsage, LONG* Ret) override;
    HRESULT GetSignerPfxFilePath(BSTR* Ret) override;
    HRESULT GetSignerPfxFileName(BSTR* Ret) override;
    HRESULT SignPkcs1(BSTR strContent, LONG dwFlags, BSTR* Ret) override;
    HRESULT SignPkcs7(BSTR strContent, LONG dwFlags, BSTR* Ret) override;
    HRESULT GetCertB64(BSTR* Ret) override;
    HRESULT GetCertSubject(BSTR* Ret) override;
    HRESULT GetCertSubjectCN(BSTR* Ret) override;
    HRESULT GetCertIssuer(BSTR* Ret) override;
    HRESULT GetCertSerial(BSTR* Ret) override;
    HRESULT GetCertNotBefore(BSTR* Ret) override;
    HRESULT GetCertNotAfter(BSTR* Ret) override;
    HRESULT GetCertFinger(BSTR* Ret) override;

    // The engine, for in-process hosts and tests that look at its state.
    CapiEngine& engine() { return engine_; }

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
