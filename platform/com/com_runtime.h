// Creating objects by class as a script host does: class identifiers from ProgIDs in
// the per-user class registration, else the machine's (platform/registry/machine_hive.h), and
// in-process servers loaded from the module named under the class's InprocServer32 key.
#pragma once

#include <string>

#include "platform/com/com.h"
#include "platform/system/types.h"

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8u);
constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9u);
constexpr HRESULT REGDB_E_READREGDB = static_cast<HRESULT>(0x80040150u);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with upper-case digits.
std::string guidToString(REFGUID guid);
// Parses the braced form (digits of either case). False when it is not one.
bool guidFromString(const std::string& text, GUID& guid);

// The class identifier registered for a ProgID: HKEY_CLASSES_ROOT\<ProgID>\CLSID, or,
// when that is missing, the one of the ProgID its CurVer names. CO_E_CLASSSTRING when
// the ProgID is not registered.
HRESULT CLSIDFromProgID(LPCSTR lpszProgID, CLSID* lpclsid);
// The module registered for a class under CLSID\{clsid}\InprocServer32: the user's
// registration's, else the machine's (*fromMachine, when given, says which). False when
// neither registers it.
bool registeredServerPath(REFCLSID rclsid, std::string& path, bool* fromMachine);
// The class factory (or another interface of it) of an in-process server: the module
// registered under HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 is loaded (once per
// process) and asked through its DllGetClassObject. REGDB_E_CLASSNOTREG when the class
// is not registered, CO_E_DLLNOTFOUND when the module cannot be loaded, CO_E_ERRORINDLL
// when it has no entry point.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid,
                         void** ppv);
// Creates one object of the class through its factory and asks it for riid.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         void** ppv);
// Unloads the modules that answer S_OK to DllCanUnloadNow.
void CoFreeUnusedLibraries();
// Number of modules loaded through CoGetClassObject and not yet unloaded.
size_t loadedServerCount();
