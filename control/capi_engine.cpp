#include "control/capi_engine_internal.h"
#include "control/operation_table.h"
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

// The entries: the row's clearing, then the body. A body leaves the values its row does
// not clear as the previous call left them.
#define KSOP_ENGINE_ARG(index, type, name) , name
#define KS_OPERATION(slot, dispid, name, result, clears, count, params)                      \
    KSOP_ENGINE_TYPE(result) CapiEngine::name(KSOP_ENGINE_PARAMS(count, params)) {           \
        clearErrors(*this, ErrorClearing::clears);                                           \
        return run##name(KSOP_DROP_FIRST(~KSOP_EACH_PARAM(count, KSOP_ENGINE_ARG, params))); \
    }
#include "control/operations.def"
#undef KS_OPERATION

void CapiEngine::clearSigner() {
    signerSource = -1;
    signerThumbprint.clear();
    signerPfxPath.clear();
    signerPfxName.clear();
    signerPfxPassword.clear();
    signerCert.release();
}

// ---- Status and environment ----

std::string CapiEngine::runGetVersion() {
    return queryModuleVersion(*this);
}

int32_t CapiEngine::runGetErrorCode() {
    return lastError;
}

std::string CapiEngine::runGetErrorMsg() {
    return errorMessage(lastError);
}

int32_t CapiEngine::runGetCapiErrorCode() {
    return static_cast<int32_t>(capiError);
}

std::string CapiEngine::runGetCapiErrorMsg() {
    return capiErrorMessage(capiError);
}

std::string CapiEngine::runGetMacAddress() {
    return macAddressList(*this);
}

std::string CapiEngine::runGetWindowsSystemName() {
    return windowsSystemName();
}

// ---- Registry values ----

std::string CapiEngine::runRegReadHKCU(const std::u16string& strName) {
    return regReadHKCU(toAnsi(strName), *this);
}

int32_t CapiEngine::runRegWriteHKCUInt(const std::u16string& strName, int32_t dw) {
    return regWriteHKCUInt(toAnsi(strName), dw, *this);
}

int32_t CapiEngine::runRegWriteHKCUStr(const std::u16string& strName, const std::u16string& str) {
    return regWriteHKCUStr(toAnsi(strName), toAnsi(str), *this);
}

// ---- Hashing ----

std::string CapiEngine::runHash(const std::u16string& strPlainText, int32_t dwFlags) {
    return hashText(strPlainText, dwFlags, *this);
}

std::string CapiEngine::runHashFile(const std::u16string& strFileName, int32_t dwFlags) {
    return hashFile(strFileName, dwFlags, *this);
}

// ---- Enrollment ----

int32_t CapiEngine::runSetProviderName(const std::u16string& strProviderName) {
    return setProviderName(enrollment, toAnsi(strProviderName), *this);
}

std::string CapiEngine::runCreatePKCS10(const std::u16string& commonName, int32_t keyBits,
                                        int32_t genKeyFlags) {
    return createPkcs10(enrollment, toAnsi(commonName), keyBits, genKeyFlags, *this);
}

int32_t CapiEngine::runAcceptPKCS7(const std::u16string& strPkcs7) {
    return acceptPkcs7(enrollment, toAnsi(strPkcs7), *this);
}

// ---- PFX management and mobile export ----

int32_t CapiEngine::runPresetPasswdLengthRange(int32_t min, int32_t max) {
    normalizePasswordRange(min, max);
    passwordMinLength = min;
    passwordMaxLength = max;
    return 0;
}

int32_t CapiEngine::runImportPfxToIE(const std::u16string& strPfxPath,
                                     const std::u16string& strPfxName,
                                     const std::u16string& strPasswd, int32_t dwFlags,
                                     int32_t dwKeyUsage) {
    return importPfxToMy(toAnsi(strPfxPath), toAnsi(strPfxName), secretToAnsi(strPasswd), dwFlags,
                         dwKeyUsage, dialogSettings(), *this);
}

int32_t CapiEngine::runSetDefaultPfxFileName(const std::u16string& strPrefix) {
    defaultPfxPrefix = toAnsi(strPrefix);
    return 0;
}

int32_t CapiEngine::runExportPfxFromIE(const std::u16string& strSubject,
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
std::string CapiEngine::runExportMobileFromPfx(const std::u16string& strPfxPath,
                                               const std::u16string& strPfxName,
                                               const std::u16string& strPasswd, int32_t,
                                               int32_t dwKeyUsage) {
    return exportMobileFromPfx(
        ui::makePfxDialogRequest(dialogSettings(), toAnsi(strPfxPath), toAnsi(strPfxName)),
        secretToAnsi(strPasswd), dwKeyUsage, *this);
}

std::string CapiEngine::runExportMobileFromIE(const std::u16string& strSubject,
                                              const std::u16string& strPasswd, int32_t dwFlags,
                                              int32_t dwKeyUsage) {
    return exportMobileFromIE(toAnsi(strSubject), secretToAnsi(strPasswd), dwFlags, dwKeyUsage,
                              *this);
}

std::string CapiEngine::runGetExportedPfxFilePath() {
    return exportedPfxPath;
}

std::string CapiEngine::runGetExportedPfxFileName() {
    return exportedPfxName;
}

int32_t CapiEngine::runChangePfxPasswd(const std::u16string& strPfxPath,
                                       const std::u16string& strPfxName,
                                       const std::u16string& strOldPass,
                                       const std::u16string& strNewPass, int32_t /*dwFlags*/) {
    return changePfxPassword(toAnsi(strPfxPath), toAnsi(strPfxName), secretToAnsi(strOldPass),
                             secretToAnsi(strNewPass), dialogSettings(), *this);
}

// ---- Signer selection and signing ----

int32_t CapiEngine::runSelectSigner(const std::u16string& certFilter, int32_t dwFlags,
                                    int32_t dwKeyUsage) {
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

std::string CapiEngine::runGetSignerPfxFilePath() {
    return signerPfxPath;
}

std::string CapiEngine::runGetSignerPfxFileName() {
    return signerPfxName;
}

SignerRef CapiEngine::signer() const {
    return {signerSource,  signerThumbprint, signerCert,
            signerPfxPath, signerPfxName,    signerPfxPassword};
}

std::string CapiEngine::runSignPkcs1(const std::u16string& strContent, int32_t dwFlags) {
    return signPkcs1(strContent, dwFlags, signer(), *this);
}

std::string CapiEngine::runSignPkcs7(const std::u16string& strContent, int32_t dwFlags) {
    return signPkcs7(strContent, dwFlags, signer(), *this);
}

// ---- Certificate fields of the selected signer ----

// Its row clears neither error value, unlike the other getters' rows.
std::string CapiEngine::runGetCertB64() {
    return certB64(signerCert);
}

// The other getters' rows clear the error code, and they report nothing themselves:
// without a selected signer, or with bytes that do not parse, the field is empty.
std::string CapiEngine::runGetCertSubject() {
    return certSubject(signerCert);
}

std::string CapiEngine::runGetCertSubjectCN() {
    return certSubjectCN(signerCert);
}

std::string CapiEngine::runGetCertIssuer() {
    return certIssuer(signerCert);
}

std::string CapiEngine::runGetCertSerial() {
    return certSerial(signerCert);
}

std::string CapiEngine::runGetCertNotBefore() {
    return certNotBefore(signerCert);
}

std::string CapiEngine::runGetCertNotAfter() {
    return certNotAfter(signerCert);
}

std::string CapiEngine::runGetCertFinger() {
    return certFinger(signerCert);
}
