#include "control/capi_engine.h"

#include "core/cert_getters.h"
#include "core/paths.h"
#include "digest/hash_operations.h"
#include "enroll/accept_pkcs7.h"
#include "enroll/pkcs10_request.h"
#include "enroll/providers.h"
#include "mobile/mobile_export.h"
#include "pfx/password_change.h"
#include "pfx/password_rules.h"
#include "pfx/pfx_export.h"
#include "pfx/pfx_import.h"
#include "platform/text/codepage.h"
#include "sign/signing.h"
#include "status/environment.h"
#include "status/error_codes.h"
#include "status/error_messages.h"
#include "status/registry_values.h"
#include "store/signer_selection.h"
#include "ui/caller_guard.h"
#include "ui/consent_dialogs.h"
#include "ui/key_access_dialog.h"
#include "ui/pin_dialog.h"

// Construction order: enrollment record, strings and signer, numeric defaults, the
// system's version record, then the folders file dialogs start in.
CapiEngine::CapiEngine() {
    // Keys created user-protected ask through this object's dialogs before each use.
    ui::installKeyAccessConsent();
    // A certificate becomes a trusted root only when the user says so in a dialog.
    ui::installRootInstallConsent();
    ui::installPinPrompt();
    signerSource = -1;
    lastError = 0;
    capiError = 0;
    passwordMinLength = 0;
    passwordMaxLength = 16;
    osVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(&osVersion)) {
        osVersion = OSVERSIONINFOA{};
        osVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    }
    // There is no older-system branch here: the profile folder is always $HOME.
    homeFolder = homeFolderFromEnvironment();
    defaultFolder = defaultFolderFor(homeFolder);
}

CapiEngine::~CapiEngine() = default;

void CapiEngine::clearSigner() {
    signerSource = -1;
    signerThumbprint.clear();
    signerPfxPath.clear();
    signerPfxName.clear();
    signerPfxPassword.clear();
    signerCert.release();
}

// ---- Status and environment ----

std::string CapiEngine::GetVersion() {
    lastError = 0;
    return queryModuleVersion(*this);
}

std::string CapiEngine::GetErrorMsg() const {
    return errorMessage(lastError);
}

std::string CapiEngine::GetCapiErrorMsg() const {
    return capiErrorMessage(capiError);
}

std::string CapiEngine::GetMacAddress() {
    lastError = 0;
    return macAddressList(*this);
}

std::string CapiEngine::GetWindowsSystemName() const {
    return windowsSystemName();
}

// ---- Registry values ----

std::string CapiEngine::RegReadHKCU(const std::u16string& strName) {
    lastError = 0;
    return regReadHKCU(toAnsi(strName), *this);
}

int32_t CapiEngine::RegWriteHKCUInt(const std::u16string& strName, int32_t dw) {
    lastError = 0;
    return regWriteHKCUInt(toAnsi(strName), dw, *this);
}

int32_t CapiEngine::RegWriteHKCUStr(const std::u16string& strName, const std::u16string& str) {
    lastError = 0;
    return regWriteHKCUStr(toAnsi(strName), toAnsi(str), *this);
}

// ---- Hashing ----

std::string CapiEngine::Hash(const std::u16string& strPlainText, int32_t dwFlags) {
    lastError = 0;
    return hashText(strPlainText, dwFlags, *this);
}

std::string CapiEngine::HashFile(const std::u16string& strFileName, int32_t dwFlags) {
    lastError = 0;
    return hashFile(strFileName, dwFlags, *this);
}

// ---- Enrollment ----

int32_t CapiEngine::SetProviderName(const std::u16string& strProviderName) {
    lastError = 0;
    capiError = 0;
    return setProviderName(enrollment, toAnsi(strProviderName), *this);
}

std::string CapiEngine::CreatePKCS10(const std::u16string& commonName, int32_t keyBits,
                                     int32_t genKeyFlags) {
    lastError = 0;
    capiError = 0;
    return createPkcs10(enrollment, toAnsi(commonName), keyBits, genKeyFlags, *this);
}

int32_t CapiEngine::AcceptPKCS7(const std::u16string& strPkcs7) {
    lastError = 0;
    capiError = 0;
    return acceptPkcs7(enrollment, toAnsi(strPkcs7), *this);
}

// ---- PFX management and mobile export ----

int32_t CapiEngine::PresetPasswdLengthRange(int32_t min, int32_t max) {
    lastError = 0;
    normalizePasswordRange(min, max);
    passwordMinLength = min;
    passwordMaxLength = max;
    return 0;
}

int32_t CapiEngine::ImportPfxToIE(const std::u16string& strPfxPath,
                                  const std::u16string& strPfxName, const std::u16string& strPasswd,
                                  int32_t dwFlags, int32_t dwKeyUsage) {
    return importPfxToMy(toAnsi(strPfxPath), toAnsi(strPfxName), secretToAnsi(strPasswd), dwFlags,
                         dwKeyUsage, dialogSettings(), *this);
}

int32_t CapiEngine::SetDefaultPfxFileName(const std::u16string& strPrefix) {
    lastError = 0;
    defaultPfxPrefix = toAnsi(strPrefix);
    return 0;
}

int32_t CapiEngine::ExportPfxFromIE(const std::u16string& strSubject,
                                    const std::u16string& strPfxPath,
                                    const std::u16string& strPassword, int32_t dwFlags,
                                    int32_t dwKeyUsage) {
    exportedPfxPath.clear();
    exportedPfxName.clear();
    ExportedPfxFile exported;
    if (exportPfxFromMy(toAnsi(strSubject), toAnsi(strPfxPath), secretToAnsi(strPassword), dwFlags,
                        dwKeyUsage, defaultPfxPrefix, dialogSettings(), exported, *this) == 0) {
        exportedPfxPath = exported.folder;
        exportedPfxName = exported.fileName;
        // Handed to the caller through GetExportedPfxFilePath and GetExportedPfxFileName.
        ui::callerGuard().pathHanded(joinPath(exported.folder, exported.fileName),
                                     ui::PathUse::ReadFile);
    }
    return lastError;
}

// dwFlags is accepted and not read: the file's keys are always loaded exportable.
std::string CapiEngine::ExportMobileFromPfx(const std::u16string& strPfxPath,
                                            const std::u16string& strPfxName,
                                            const std::u16string& strPasswd, int32_t,
                                            int32_t dwKeyUsage) {
    lastError = 0;
    capiError = 0;
    return exportMobileFromPfx(
        ui::makePfxDialogRequest(dialogSettings(), toAnsi(strPfxPath), toAnsi(strPfxName)),
        secretToAnsi(strPasswd), dwKeyUsage, *this);
}

std::string CapiEngine::ExportMobileFromIE(const std::u16string& strSubject,
                                           const std::u16string& strPasswd, int32_t dwFlags,
                                           int32_t dwKeyUsage) {
    lastError = 0;
    capiError = 0;
    return exportMobileFromIE(toAnsi(strSubject), secretToAnsi(strPasswd), dwFlags, dwKeyUsage,
                              *this);
}

int32_t CapiEngine::ChangePfxPasswd(const std::u16string& strPfxPath,
                                    const std::u16string& strPfxName,
                                    const std::u16string& strOldPass,
                                    const std::u16string& strNewPass, int32_t /*dwFlags*/) {
    return changePfxPassword(toAnsi(strPfxPath), toAnsi(strPfxName), secretToAnsi(strOldPass),
                             secretToAnsi(strNewPass), dialogSettings(), *this);
}

// ---- Signer selection and signing ----

int32_t CapiEngine::SelectSigner(const std::u16string& certFilter, int32_t dwFlags,
                                 int32_t dwKeyUsage) {
    lastError = 0;
    capiError = 0;
    clearSigner();
    SelectedSigner chosen;
    selectSigner(toAnsi(certFilter), dwFlags, dwKeyUsage, dialogSettings(), chosen, *this);
    if (chosen.source != -1) {
        signerSource = chosen.source;
        signerThumbprint = chosen.thumbprint;
        signerCert = std::move(chosen.certificate);
        signerPfxPath = chosen.pfxPath;
        signerPfxName = chosen.pfxName;
        signerPfxPassword = std::move(chosen.pfxPassword);
    }
    return lastError;
}

SignerRef CapiEngine::signer() const {
    return {signerSource,  signerThumbprint, signerCert,
            signerPfxPath, signerPfxName,    signerPfxPassword};
}

std::string CapiEngine::SignPkcs1(const std::u16string& strContent, int32_t dwFlags) {
    lastError = 0;
    capiError = 0;
    return signPkcs1(strContent, dwFlags, signer(), *this);
}

std::string CapiEngine::SignPkcs7(const std::u16string& strContent, int32_t dwFlags) {
    lastError = 0;
    capiError = 0;
    return signPkcs7(strContent, dwFlags, signer(), *this);
}

// ---- Certificate fields of the selected signer ----

// Changes neither error value.
std::string CapiEngine::GetCertB64() {
    return certB64(signerCert);
}

// The other getters clear the error code and report nothing themselves: without a
// selected signer, or with bytes that do not parse, the field is empty.
std::string CapiEngine::GetCertSubject() {
    lastError = 0;
    return certSubject(signerCert);
}

std::string CapiEngine::GetCertSubjectCN() {
    lastError = 0;
    return certSubjectCN(signerCert);
}

std::string CapiEngine::GetCertIssuer() {
    lastError = 0;
    return certIssuer(signerCert);
}

std::string CapiEngine::GetCertSerial() {
    lastError = 0;
    return certSerial(signerCert);
}

std::string CapiEngine::GetCertNotBefore() {
    lastError = 0;
    return certNotBefore(signerCert);
}

std::string CapiEngine::GetCertNotAfter() {
    lastError = 0;
    return certNotAfter(signerCert);
}

std::string CapiEngine::GetCertFinger() {
    lastError = 0;
    return certFinger(signerCert);
}
