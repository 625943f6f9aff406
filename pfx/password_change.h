// Protecting a PFX file with a new password, in place.
#pragma once

#include <cstdint>
#include <string>

#include "core/file_replacer.h"
#include "core/secret_string.h"
#include "status/error_pair.h"
#include "ui/launchers.h"

// Rewrites the PFX file `fileName` in `folder`, opened with `oldPassword`, protected by
// `newPassword`: every certificate stays, each with its private key. When any of the
// four strings is empty the change-password dialog asks for the file and the three
// passwords, and the new one must equal its confirmation. The new content takes the
// old one's place only once it is complete (through `writer`): on any failure the file
// is as it was and no temporary file remains. The key containers the load made are
// removed again. The caller clears status. Codes: 5070 / 5002 (dialog), 5209 (new and
// confirmation differ), 5902 (no such file), the load's 5005 / 5401 / 5207 / 5208
// (5906 for NTE_PERM), 5210 (no store, or the encoding failed), 5204 / 5205 / 5070 for
// an encoding that failed with NTE_NO_KEY / NTE_BAD_KEY / ERROR_CANCELLED, 5205 with
// NTE_BAD_KEY as well when the file holds a key the load could not keep (one that is not
// RSA, or one without its certificate), which the rewrite would lose (5401 when the
// file cannot be read again for that check); 1103 when no buffer can be had or the file
// cannot be written. Returns status.lastError.
ErrorCode changePfxPassword(const std::string& folder, const std::string& fileName,
                            const SecretString& oldPassword, const SecretString& newPassword,
                            const ui::DialogSettings& dialog, ErrorPair& status,
                            const FileReplacer& writer = FileReplacer());
