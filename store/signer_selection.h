// Choosing the certificate later signatures are made with: from the user's personal
// store by the page's filter, or from a PFX file the user names.
#pragma once

#include <cstdint>
#include <string>

#include "core/byte_buffer.h"
#include "core/secret_string.h"
#include "status/error_pair.h"
#include "ui/launchers.h"

// The selected signer, as the engine keeps it between calls.
struct SelectedSigner {
    int32_t source = -1;  // 1 personal store, 2 PFX file
    std::string thumbprint;
    ByteBuffer certificate;
    std::string pfxPath;
    std::string pfxName;
    SecretString pfxPassword;

    void clear();
};

// What the PFX file dialog is given.
using SignerDialogSettings = ui::DialogSettings;

// Looks in "MY" with the filter (the list dialog chooses when the mode says so), and
// otherwise asks for a PFX file and takes its first acceptable certificate. `signer` is
// cleared first and filled only when a certificate was chosen. `status` receives the
// outcome (capiError from the holders); the result is status.lastError.
ErrorCode selectSigner(const std::string& filter, int32_t dwFlags, int32_t dwKeyUsage,
                       const SignerDialogSettings& dialog, SelectedSigner& signer,
                       ErrorPair& status);
