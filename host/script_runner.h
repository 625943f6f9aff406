// Runs scripts of calls on control objects and prints one JSON line per call.
#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "control/ikscapi.h"
#include "control/operation_table.h"
#include "host/arguments.h"
#include "ui/scripted_backend.h"

namespace host {

// Calls `op` on `object` only through IDispatch, its name resolved with GetIDsOfNames as
// a page's script does, with `args` (op.paramCount of them, in parameter order; the
// caller keeps their strings). Success: S_OK with the result in `text` or `number`.
// Failure: the HRESULT of GetIDsOfNames or Invoke, the results untouched.
HRESULT invokeByName(IDispatch* object, const OperationInfo& op, const OperationArg* args,
                     std::u16string& text, LONG& number);
// The object's error pair read back through IDispatch (GetErrorCode, GetCapiErrorCode).
void readErrorPair(IDispatch* object, LONG& lastError, LONG& capiError);

class ScriptRunner {
  public:
    // Makes a new control object for `@new` and the first call. Returns an IDispatch
    // reference the runner owns, or null with a reason.
    using ObjectFactory = std::function<IDispatch*(std::string& reason)>;

    // `out` receives the result lines; `scripted` is the dialog backend to queue
    // answers in, or null when the host is not using the scripted backend. Objects come
    // from `factory` (default: made in this process). With `lateBound`, calls go only
    // through IDispatch, names resolved with GetIDsOfNames, as a page's script makes them;
    // otherwise through the interface slots.
    ScriptRunner(std::ostream& out, ui::ScriptedBackend* scripted, ObjectFactory factory = nullptr,
                 bool lateBound = false);
    ~ScriptRunner();
    ScriptRunner(const ScriptRunner&) = delete;
    ScriptRunner& operator=(const ScriptRunner&) = delete;

    // Runs one script line (numbered from 1 for messages). False when the line was
    // malformed; a failing operation is not a malformed line.
    bool runLine(const std::string& line, int lineNumber);
    // Runs a whole script; returns the number of malformed lines.
    int runScript(std::istream& in);
    // One call given as separate words, as `kscapi call` receives them. False when the
    // words are malformed (the reason is printed as an error line).
    bool runCall(const std::string& op, const std::vector<std::string>& words);

  private:
    IDispatch* current(std::string& reason);
    bool call(const std::string& op, const std::vector<ArgumentToken>& args, int lineNumber);
    void error(const std::string& message, int lineNumber);

    std::ostream& out_;
    ui::ScriptedBackend* scripted_;
    ObjectFactory factory_;
    bool lateBound_;
    std::map<std::string, IDispatch*> objects_;
    std::string currentName_;
};

}  // namespace host
