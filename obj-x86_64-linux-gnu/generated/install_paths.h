// Where an installation puts the control's files (set by the build's install prefix).
#pragma once

// The folder of the installed module and bridge.
#define KSCAPI_INSTALLED_LIBDIR "/usr/lib/x86_64-linux-gnu/kestrune"
// The machine-wide class registration file and the machine's providers folder.
#define KSCAPI_MACHINE_HIVE_DEFAULT "/usr/lib/x86_64-linux-gnu/kestrune/machine.reg"
#define KSCAPI_PROVIDERS_DIR_DEFAULT "/etc/kestrune/providers.d"
