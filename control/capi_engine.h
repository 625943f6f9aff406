// The engine behind one control object: every piece of state that outlives a call,
// and one method per interface operation. String arguments arrive as the private UTF-16
// copies the control object made (cut at the first zero character, null as empty);
// string results are narrow text in the process's ANSI code page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "core/secret_string.h"
#include "enroll/enrollment_state.h"
#include "platform/system/sysinfo.h"
#include "sign/signer_store.h"
#include "status/error_pair.h"
#include "ui/launchers.h"

class CapiEngine : public ErrorPair {  // lastError, capiError come first
  public:
    CapiEngine();
    ~CapiEngine();
    CapiEngine(const CapiEngine&) = delete;
    CapiEngine& operator=(const CapiEngine&) = delete;

    // Status and environment.
    std::string GetVersion();
    int32_t GetErrorCode() const { return lastError; }
    std::string GetErrorMsg() const;
    int32_t GetCapiErrorCode() const { return static_cast<int32_t>(capiError); }
    std::string GetCapiErrorMsg() const;
    std::string GetMacAddress();
    std::string GetWindowsSystemName() const;
    // Registry values of the current user.
    std::string RegReadHKCU(const std::u16string& strName);
    int32_t RegWriteHKCUInt(const std::u16string& strName, int32_t dw);
    int32_t RegWriteHKCUStr(const std::u16string& strName, const std::u16string& str);
    // Hashing.
    std::string Hash(const std::u16string& strPlainText, int32_t dwFlags);
    std::string HashFile(const std::u16string& strFileName, int32_t dwFlags);
    // Enrollment.
    int32_t SetProviderName(const std::u16string& strProviderName);
    std::string CreatePKCS10(const std::u16string& commonName, int32_t keyBits,
                             int32_t genKeyFlags);
    int32_t AcceptPKCS7(const std::u16string& strPkcs7);
    // PFX management and mobile export.
    int32_t PresetPasswdLengthRange(int32_t min, int32_t max);
    int32_t ImportPfxToIE(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                          const std::u16string& strPasswd, int32_t dwFlags, int32_t dwKeyUsage);
    int32_t SetDefaultPfxFileName(const std::u16string& strPrefix);
    int32_t ExportPfxFromIE(const std::u16string& strSubject, const std::u16string& strPfxPath,
                            const std::u16string& strPassword, int32_t dwFlags, int32_t dwKeyUsage);
    std::string ExportMobileFromPfx(const std::u16string& strPfxPath,
                                    const std::u16string& strPfxName,
                                    const std::u16string& strPasswd, int32_t dwFlags,
                                    int32_t dwKeyUsage);
    std::string ExportMobileFromIE(const std::u16string& strSubject,
                                   const std::u16string& strPasswd, int32_t dwFlags,
                                   int32_t dwKeyUsage);
    std::string GetExportedPfxFilePath() const { return exportedPfxPath; }
    std::string GetExportedPfxFileName() const { return exportedPfxName; }
    int32_t ChangePfxPasswd(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                            const std::u16string& strOldPass, const std::u16string& strNewPass,
                            int32_t dwFlags);
    // Signer selection and signing.
    int32_t SelectSigner(const std::u16string& certFilter, int32_t dwFlags, int32_t dwKeyUsage);
    std::string GetSignerPfxFilePath() const { return signerPfxPath; }
    std::string GetSignerPfxFileName() const { return signerPfxName; }
    std::string SignPkcs1(const std::u16string& strContent, int32_t dwFlags);
    std::string SignPkcs7(const std::u16string& strContent, int32_t dwFlags);
    // Fields of the selected signer's certificate.
    std::string GetCertB64();
    std::string GetCertSubject();
    std::string GetCertSubjectCN();
    std::string GetCertIssuer();
    std::string GetCertSerial();
    std::string GetCertNotBefore();
    std::string GetCertNotAfter();
    std::string GetCertFinger();

    // State, in declaration order after the error pair.
    OSVERSIONINFOA osVersion{};
    EnrollmentState enrollment;
    std::string homeFolder;
    std::string defaultFolder;
    int32_t signerSource = -1;  // 1 personal store, 2 PFX file
    std::string signerThumbprint;
    std::string signerPfxPath;
    std::string signerPfxName;
    SecretString signerPfxPassword;
    ByteBuffer signerCert;
    int32_t passwordMinLength = 0;
    int32_t passwordMaxLength = 16;
    std::string exportedPfxPath;
    std::string exportedPfxName;
    std::string defaultPfxPrefix;

  private:
    // The selected signer as the signing calls read it.
    SignerRef signer() const;
    // Clears the selected signer: source -1, strings empty, certificate emptied.
    void clearSigner();
    // The default folder and password length range the PFX dialogs start with.
    ui::DialogSettings dialogSettings() const {
        return {defaultFolder, passwordMinLength, passwordMaxLength};
    }
};
