// The engine behind one control object: every piece of state that outlives a call,
// and one entry per interface operation. String arguments arrive as the private UTF-16
// copies the control object made (cut at the first zero character, null as empty);
// string results are narrow text in the process's ANSI code page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "control/operation_list.h"
#include "core/byte_buffer.h"
#include "core/secret_string.h"
#include "enroll/enrollment_state.h"
#include "platform/system/sysinfo.h"
#include "sign/signer_store.h"
#include "status/error_pair.h"
#include "ui/launchers.h"

// The engine's types for the list's values.
#define KSOP_ENGINE_TYPE_String std::string
#define KSOP_ENGINE_TYPE_Int int32_t
#define KSOP_ENGINE_TYPE(type) KSOP_ENGINE_TYPE_##type
#define KSOP_ENGINE_PARAM_String const std::u16string&
#define KSOP_ENGINE_PARAM_Int int32_t
#define KSOP_ENGINE_PARAM(index, type, name) , KSOP_ENGINE_PARAM_##type name
#define KSOP_ENGINE_PARAMS(count, params) \
    KSOP_DROP_FIRST(~KSOP_EACH_PARAM(count, KSOP_ENGINE_PARAM, params))

class CapiEngine : public ErrorPair {  // lastError, capiError come first
  public:
    CapiEngine();
    ~CapiEngine();
    CapiEngine(const CapiEngine&) = delete;
    CapiEngine& operator=(const CapiEngine&) = delete;

    // One entry a row of control/operations.def: it clears the error values the row
    // names, then runs the operation's body, runName below.
#define KS_OPERATION(slot, dispid, name, result, clears, count, params) \
    KSOP_ENGINE_TYPE(result) name(KSOP_ENGINE_PARAMS(count, params));
#include "control/operations.def"
#undef KS_OPERATION

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
    // The operations' bodies, in capi_engine.cpp.
#define KS_OPERATION(slot, dispid, name, result, clears, count, params) \
    KSOP_ENGINE_TYPE(result) run##name(KSOP_ENGINE_PARAMS(count, params));
#include "control/operations.def"
#undef KS_OPERATION

    // The selected signer as the signing calls read it.
    SignerRef signer() const;
    // Clears the selected signer: source -1, strings empty, certificate emptied.
    void clearSigner();
    // The default folder and password length range the PFX dialogs start with.
    ui::DialogSettings dialogSettings() const {
        return {defaultFolder, passwordMinLength, passwordMaxLength};
    }
};
