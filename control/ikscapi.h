// The control's interface with the platform's object layout: IUnknown's three
// functions first, then IDispatch's four, then the interface's own in slot order.
#pragma once

#include "platform/com/bstr.h"
#include "platform/com/com.h"
#include "platform/com/variant.h"
#include "platform/system/types.h"

// The control's dual interface: 37 operations, each returning S_OK with its result in Ret.
struct IKSCapi : IDispatch {
    virtual HRESULT GetVersion(BSTR* Ret) = 0;
    virtual HRESULT GetErrorCode(LONG* Ret) = 0;
    virtual HRESULT GetErrorMsg(BSTR* Ret) = 0;
    virtual HRESULT GetCapiErrorCode(LONG* Ret) = 0;
    virtual HRESULT GetCapiErrorMsg(BSTR* Ret) = 0;
    virtual HRESULT GetMacAddress(BSTR* Ret) = 0;
    virtual HRESULT GetWindowsSystemName(BSTR* Ret) = 0;
    virtual HRESULT RegReadHKCU(BSTR strName, BSTR* Ret) = 0;
    virtual HRESULT RegWriteHKCUInt(BSTR strName, LONG dw, LONG* Ret) = 0;
    virtual HRESULT RegWriteHKCUStr(BSTR strName, BSTR str, LONG* Ret) = 0;
    virtual HRESULT Hash(BSTR strPlainText, LONG dwFlags, BSTR* Ret) = 0;
    virtual HRESULT HashFile(BSTR strFileName, LONG dwFlags, BSTR* Ret) = 0;
    virtual HRESULT SetProviderName(BSTR strProviderName, LONG* Ret) = 0;
    virtual HRESULT CreatePKCS10(BSTR commonName, LONG keyBits, LONG genKeyFlags, BSTR* Ret) = 0;
    virtual HRESULT AcceptPKCS7(BSTR strPkcs7, LONG* Ret) = 0;
    virtual HRESULT PresetPasswdLengthRange(LONG min, LONG max, LONG* Ret) = 0;
    virtual HRESULT ImportPfxToIE(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags,
                                  LONG dwKeyUsage, LONG* Ret) = 0;
    virtual HRESULT SetDefaultPfxFileName(BSTR strPrefix, LONG* Ret) = 0;
    virtual HRESULT ExportPfxFromIE(BSTR strSubject, BSTR strPfxPath, BSTR strPassword,
                                    LONG dwFlags, LONG dwKeyUsage, LONG* Ret) = 0;
    virtual HRESULT ExportMobileFromPfx(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd,
                                        LONG dwFlags, LONG dwKeyUsage, BSTR* Ret) = 0;
    virtual HRESULT ExportMobileFromIE(BSTR strSubject, BSTR strPasswd, LONG dwFlags,
                                       LONG dwKeyUsage, BSTR* Ret) = 0;
    virtual HRESULT GetExportedPfxFilePath(BSTR* Ret) = 0;
    virtual HRESULT GetExportedPfxFileName(BSTR* Ret) = 0;
    virtual HRESULT ChangePfxPasswd(BSTR strPfxPath, BSTR strPfxName, BSTR strOldPass,
                                    BSTR strNewPass, LONG dwFlags, LONG* Ret) = 0;
    virtual HRESULT SelectSigner(BSTR certFilter, LONG dwFlags, LONG dwKeyUsage, LONG* Ret) = 0;
    virtual HRESULT GetSignerPfxFilePath(BSTR* Ret) = 0;
    virtual HRESULT GetSignerPfxFileName(BSTR* Ret) = 0;
    virtual HRESULT SignPkcs1(BSTR strContent, LONG dwFlags, BSTR* Ret) = 0;
    virtual HRESULT SignPkcs7(BSTR strContent, LONG dwFlags, BSTR* Ret) = 0;
    virtual HRESULT GetCertB64(BSTR* Ret) = 0;
    virtual HRESULT GetCertSubject(BSTR* Ret) = 0;
    virtual HRESULT GetCertSubjectCN(BSTR* Ret) = 0;
    virtual HRESULT GetCertIssuer(BSTR* Ret) = 0;
    virtual HRESULT GetCertSerial(BSTR* Ret) = 0;
    virtual HRESULT GetCertNotBefore(BSTR* Ret) = 0;
    virtual HRESULT GetCertNotAfter(BSTR* Ret) = 0;
    virtual HRESULT GetCertFinger(BSTR* Ret) = 0;
};
