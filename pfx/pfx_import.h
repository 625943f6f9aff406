// Installing a PFX file's keyed certificates, with their keys, in the user's personal
// store.
#pragma once

#include <cstdint>
#include <string>

#include "core/secret_string.h"
#include "status/error_pair.h"
#include "ui/launchers.h"

// Installs into "MY" every certificate of the file `fileName` in `folder` that has a
// private key (and, when dwKeyUsage > 0, all of its key-usage bits); their key
// containers stay, every other container the load made goes. When the folder, the
// name or the password is empty the PFX file dialog asks for all three. dwFlags bit 0x1
// makes the keys exportable, 0x2 user-protected. The caller clears status; 0 when at
// least one certificate went in, else the dialog's 5070 / 5002, 5902 (no such file),
// the load's 5005 / 5401 / 5207 / 5208 (5906 for NTE_PERM), 5201, or the reason the
// last certificate was passed over: 5204 (no key), 5017 (key usage), 5010 (the add
// failed, with its platform code, or the file held no certificate). Returns
// status.lastError.
ErrorCode importPfxToMy(const std::string& folder, const std::string& fileName,
                        const SecretString& password, int32_t dwFlags, int32_t dwKeyUsage,
                        const ui::DialogSettings& dialog, ErrorPair& status);
