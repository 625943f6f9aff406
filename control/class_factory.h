// The class factory hosts ask the module for, and the module's entry points.
#pragma once

#include "platform/com/com.h"

// The module's DllGetClassObject: the factory of KSCapi for its class identifier,
// CLASS_E_CLASSNOTAVAILABLE for any other; the caller owns the reference it gets.
HRESULT getClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
// The module's DllCanUnloadNow.
HRESULT canUnloadNow();
