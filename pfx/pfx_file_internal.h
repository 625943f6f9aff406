// The steps the PFX operations share: loading the file the user named, and encoding a
// store as a PFX file's bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/byte_buffer.h"
#include "platform/crypt/wincrypt.h"
#include "status/error_pair.h"
#include "store/cert_store.h"

// Loads the PFX file at `path` into `pfx` (PfxStore::Load with `flags`). status gets
// 5902 for a path where nothing exists (capiError untouched), else Load's code with
// the holder's platformError (success included), NTE_PERM turning the code into 5906.
// Returns status.lastError.
ErrorCode loadPfxFile(const std::string& path, std::string_view password, int32_t flags,
                      PfxStore& pfx, ErrorPair& status);

// Encodes every certificate of the store with its exportable private key, protected by
// `password` (ANSI code page), with PFXExportCertStore and EXPORT_PRIVATE_KEYS |
// REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY: the size first, then into `out`. 0 with status
// untouched on success. On failure `out` is empty and status records `noBuffer` alone
// when no buffer can be had, else refusal(e) with e, the failing encoding's last error;
// the code is returned.
ErrorCode encodePfx(HCERTSTORE store, std::string_view password, ByteBuffer& out,
                    ErrorCode noBuffer, ErrorCode (*refusal)(DWORD platformError),
                    ErrorPair& status);
