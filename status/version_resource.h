// The module's file version record. It lives in its own ELF section so that
// GetFileVersionInfoA can read it from the module file, as a version resource is read.
#pragma once

#include "platform/system/version_info.h"

// The module's application name: its file name without extension.
constexpr const char* kModuleApplicationName = "KestruneATL";

// The record placed in the kKestruneVersionSection section of every binary that links
// the engine; its file and product version are the project's version.
extern const VS_FIXEDFILEINFO kModuleVersionRecord;
