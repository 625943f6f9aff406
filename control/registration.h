// The control's class registration in the per-user class registry.
#pragma once

#include <string>

#include "platform/system/types.h"

constexpr const char* kProgId = "KestruneATL.KSCapi.1";
constexpr const char* kVersionIndependentProgId = "KestruneATL.KSCapi";
constexpr const char* kClassDisplayName = "KSCapi Class";
constexpr const char* kTypeLibraryName = "KESTRUNEATLLib";

// Writes the ProgIDs, the class key (replaced whole) with its InprocServer32 naming
// `modulePath`, and the type library and interface entries. S_OK, or E_FAIL (with the
// registry's error as last error) when a key or value cannot be written.
HRESULT registerServer(const std::string& modulePath);
// Removes the entries registerServer writes; the CLSID key itself stays. Entries already
// missing are not an error.
HRESULT unregisterServer();
