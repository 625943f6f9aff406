// The two mobile exports: a certificate with its private key, from a PFX file or from
// the user's personal store, as the password-protected text of mobile_record.h. Neither
// keeps anything: the PFX variant leaves no key container behind, the store variant
// changes nothing in "MY".
#pragma once

#include <cstdint>
#include <string>

#include "core/byte_buffer.h"
#include "core/secret_string.h"
#include "platform/crypt/wincrypt.h"
#include "status/error_pair.h"
#include "ui/launchers.h"

// Exports the private key in slot keySpec of the container `provider` is open on as a
// PRIVATEKEYBLOB into `blob` (which the caller wipes by releasing it). 0, or 5204 (no
// key in the slot) / 5205 (the key cannot be exported, or its blob is no RSA key of a
// bit length the record can carry) with status set: capiError is the platform's last
// error, NTE_BAD_KEY for a blob of the wrong shape. `blob` is empty on failure.
ErrorCode exportPrivateKeyBlob(HCRYPTPROV provider, DWORD keySpec, ByteBuffer& blob,
                               ErrorPair& status);

// ExportMobileFromPfx. `request` carries the page's folder and file name with the
// engine's default folder and password length range; `password` opens the file and
// protects the result. An empty folder, file name or password opens the PFX save
// dialog, whose values then replace all three. The file's certificates are tried in
// order; the first with an exportable private key (and every bit of dwKeyUsage when it
// is greater than 0) is exported. Success: the Base64 text, status 0 / 0. Failure:
// empty, with lastError 5070 / 5002 (dialog cancelled / not created), 5902 (no such
// file), the PFX load's 5005 / 5401 / 5207 / 5208 with its platform error, 5010 (no
// certificate with a key), or the last tried certificate's 5017 / 5204 / 5205, or the
// record's codes (buildMobileRecord).
std::string exportMobileFromPfx(const ui::PfxDialogRequest& request, const SecretString& password,
                                int32_t dwKeyUsage, ErrorPair& status);

// ExportMobileFromIE. Searches "MY" with the filter; dwFlags & 3 decides whether the
// list dialog chooses (listDialogChooses). An empty password opens the password dialog.
// Success: the Base64 text, status 0 / 0. Failure: empty, with lastError 5201 (the
// store), the search's 5010 / 5011 / 5012 / 5017 with its platform error, 5070 (a dialog
// cancelled), 5002 (password dialog not created), 5204 / 5205 (key missing / not
// exportable, with the platform error) or the record's codes.
std::string exportMobileFromIE(const std::string& filter, const SecretString& password,
                               int32_t dwFlags, int32_t dwKeyUsage, ErrorPair& status);
