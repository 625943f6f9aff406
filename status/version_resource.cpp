#include "status/version_resource.h"

#include "build_version.h"

namespace {
constexpr DWORD kVersionMS = (DWORD{KSCAPI_VERSION_MAJOR} << 16) | DWORD{KSCAPI_VERSION_MINOR};
constexpr DWORD kVersionLS = (DWORD{KSCAPI_VERSION_PATCH} << 16) | DWORD{KSCAPI_VERSION_TWEAK};
static_assert(KSCAPI_VERSION_MAJOR <= 0xFFFF && KSCAPI_VERSION_MINOR <= 0xFFFF &&
                  KSCAPI_VERSION_PATCH <= 0xFFFF && KSCAPI_VERSION_TWEAK <= 0xFFFF,
              "each version number must fit a 16-bit word");
constexpr DWORD kStructureVersion = 0x00010000;
constexpr DWORD kFileFlagsMask = 0x3F;  // VS_FFI_FILEFLAGSMASK
constexpr DWORD kFileOsUnknown = 0;     // VOS_UNKNOWN: not a Windows module
constexpr DWORD kFileTypeDll = 2;       // VFT_DLL

constexpr bool sameText(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
#define KSCAPI_VERSION_SECTION "kestrune_version"
static_assert(sameText(KSCAPI_VERSION_SECTION, kKestruneVersionSection),
              "the record must sit in the section the version calls read");
}  // namespace

// "used" keeps the record although nothing reads it in the program: it is read back
// from the file.
__attribute__((used, section(KSCAPI_VERSION_SECTION)))
const VS_FIXEDFILEINFO kModuleVersionRecord = {
    .dwSignature = VS_FFI_SIGNATURE,
    .dwStrucVersion = kStructureVersion,
    .dwFileVersionMS = kVersionMS,
    .dwFileVersionLS = kVersionLS,
    .dwProductVersionMS = kVersionMS,
    .dwProductVersionLS = kVersionLS,
    .dwFileFlagsMask = kFileFlagsMask,
    .dwFileFlags = 0,
    .dwFileOS = kFileOsUnknown,
    .dwFileType = kFileTypeDll,
    .dwFileSubtype = 0,
    .dwFileDateMS = 0,
    .dwFileDateLS = 0,
};
