// Host commands that work with the control's module: registering it, and creating its
// objects by ProgID as a script host does.
#pragma once

#include <iosfwd>
#include <string>

#include "host/script_runner.h"

namespace host {

// The file `name` beside the running program when it is there, else in the folder the
// installation puts the module and the bridge in.
std::string besideProgram(const std::string& name);
// besideProgram("libKestruneATL.so").
std::string defaultModulePath();
// Loads the module at `path` and calls its DllRegisterServer (or DllUnregisterServer).
// Prints one JSON line; returns 0 on success, 1 on failure.
int runRegistration(const std::string& path, bool unregister, std::ostream& out);
// A factory that creates objects of the class registered for `progId` through the
// in-process server loader, lending the host's dialog backend to the module.
ScriptRunner::ObjectFactory progIdFactory(const std::string& progId);

}  // namespace host
