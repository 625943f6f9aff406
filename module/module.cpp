// The in-process module that hosts load. Its entry points come with the server frame.
#include "status/version_resource.h"

namespace kestrune_module {
int linked = 0;
// Until the entry points pull the engine in, this keeps the version record in the
// module file, where GetVersion looks first.
__attribute__((used)) const void* const versionRecord = &kModuleVersionRecord;
}  // namespace kestrune_module
