// Writing a certificate of the user's personal store, with its private key, into a new
// PFX file.
#pragma once

#include <cstdint>
#include <string>

#include "core/file_replacer.h"
#include "core/secret_string.h"
#include "status/error_pair.h"
#include "ui/launchers.h"

// The export's file name: the page's default name with ".pfx" appended unless it holds
// ".pfx" anywhere (ASCII case ignored), or without one the certificate's common name and
// ".pfx".
std::string pfxExportFileName(const std::string& defaultName, const std::string& commonName);
// Whether the name, joined to a folder, names a file in that folder: not empty, not "."
// or "..", no separator.
bool isPlainFileName(const std::string& name);

// Where the last export went.
struct ExportedPfxFile {
    std::string folder;
    std::string fileName;
};

// Writes the certificate of "MY" that the filter (with dwFlags' low bits and dwKeyUsage)
// finds, the user choosing in the list dialog among several, with its private key into
// folder/name, name from pfxExportFileName. An empty folder or password opens the save
// dialog, whose folder and password then count. A missing folder is created, one level.
// The file is written whole or not at all (through `writer`); with dwFlags bit 0x1000
// the certificate then leaves "MY" (its key container stays). The caller clears status;
// `exported` is set on success only. Codes: 5201, the search's 5010 / 5011 / 5012 /
// 5017, 5010 (nothing found, no list dialog), 5070 (a dialog cancelled), 5226, 5204 (no
// private key), 5206 (the memory store refuses it), 5402 (a name that would leave the
// folder, no buffer, or the write failed), 5002 (no save dialog), 5205 (the key cannot
// be exported, with the platform code; 5070 for ERROR_CANCELLED), 1001 (no folder).
// Returns status.lastError.
ErrorCode exportPfxFromMy(const std::string& filter, const std::string& folder,
                          const SecretString& password, int32_t dwFlags, int32_t dwKeyUsage,
                          const std::string& defaultName, const ui::DialogSettings& dialog,
                          ExportedPfxFile& exported, ErrorPair& status,
                          const FileReplacer& writer = FileReplacer());
