// kscapi: a command-line automation host over control objects.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "build_version.h"
#include "control/operation_table.h"
#include "host/arguments.h"
#include "host/bridge/bridge_command.h"
#include "host/demo_command.h"
#include "host/doctor.h"
#include "host/module_commands.h"
#include "host/reg_command.h"
#include "host/reset.h"
#include "host/script_runner.h"
#include "host/store_command.h"
#include "platform/com/com_runtime.h"
#include "platform/text/codepage.h"
#include "store/cert_store.h"
#include "ui/deferred_backend.h"
#include "ui/scripted_backend.h"
#include "ui/terminal_backend.h"
#ifdef KSCAPI_HAVE_GTK
#include "ui/desktop_plugin.h"
#endif

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  kscapi [--home DIR] [--acp N] [--ui MODE] run [FILE|-]     run a script of calls\n"
    "  kscapi [--home DIR] [--acp N] [--ui MODE] call OP [ARG...]  one call on a fresh object\n"
    "  kscapi [--home DIR] [--acp N] [--ui MODE] --progid NAME (run|call) ...\n"
    "                                   the same, on objects created by ProgID and driven\n"
    "                                   only through IDispatch, as a page's script does\n"
    "  kscapi [--home DIR] register|unregister [MODULE]   class registration of the module\n"
    "  kscapi [--home DIR] reg get PATH | reg set PATH (--dword N|--sz S) | reg list [KEY]\n"
    "  kscapi [--home DIR] store list [MY|ROOT|CA] | store add STORE FILE |\n"
    "                      store delete STORE THUMBPRINT | store import-pfx FILE PASSWORD "
    "[--exportable]\n"
    "  kscapi [--home DIR] [--acp N] filter FILTER [FLAGS [KEYUSAGE]] [--store MY|ROOT|CA]\n"
    "                                   which certificates SelectSigner's search accepts, and\n"
    "                                   for each other one the filter item or test it fails\n"
    "  kscapi [--home DIR] keys list\n"
    "  kscapi [--home DIR] providers list | providers add-pkcs11 NAME [MODULE] [--token LABEL] |\n"
    "                      providers list-pkcs11 | providers remove NAME\n"
    "  kscapi [--home DIR] bridge install|uninstall [--browser chromium|chrome|firefox|all]\n"
    "                      | bridge origins [revoke ORIGIN] | bridge develop on|off|status\n"
    "                                   the browser bridge's host manifests and origins\n"
    "  kscapi [--home DIR] doctor [--json]  checks what a web page needs, with fixes\n"
    "  kscapi [--home DIR] reset [--yes]    removes your state: keys, certificates, settings\n"
    "  kscapi demo [--json] [--keep]        enroll, sign, export, import in throw-away homes\n"
    "  kscapi ops                                                   the operation table\n"
    "  kscapi --help | --version\n"
    "\n"
    "  --home DIR   per-user state folder (default $KSCAPI_HOME, else\n"
    "               ${XDG_DATA_HOME:-~/.local/share}/kestrune)\n"
    "  --acp N      ANSI code page of the control's texts (default $KSCAPI_ACP, else 950)\n"
    "  --ui MODE    how dialogs are shown: auto (default: desktop windows when a display\n"
    "               opens, else the terminal when standard input is one, else none), gtk,\n"
    "               tty, script or none\n"
    "\n"
    "Script lines: OP ARG... (a call; string arguments as JSON string literals, bare\n"
    "words or null; int arguments decimal or 0x hex), @new NAME, @use NAME,\n"
    "!dialog KIND ok JSON | !dialog KIND cancel | !dialog KIND fail (with --ui script),\n"
    "blank lines and lines starting with #.\n"
    "\n"
    "With KSCAPI_HOLD_AFTER_PFX_LOAD set, every PFX load prints {\"held\":\"pfx-load\",\n"
    "\"pid\":N} and waits for the end of standard input before it goes on (for tests\n"
    "that stop a process while the keys of a load exist).\n";

// The stop the crash tests need: after each PFX load the host says so and waits for
// the end of its standard input (the test kills it meanwhile, or closes the pipe).
void installLoadHold() {
    const char* hold = std::getenv("KSCAPI_HOLD_AFTER_PFX_LOAD");
    if (!hold || !*hold) return;
    PfxStore::setLoadObserver([] {
        std::cout << nlohmann::json{{"held", "pfx-load"}, {"pid", ::getpid()}}.dump() << '\n';
        std::cout.flush();
        std::cin.ignore(std::numeric_limits<std::streamsize>::max());
        std::cin.clear();
    });
}

int usage(const std::string& message) {
    if (!message.empty()) std::cerr << "kscapi: " << message << "\n";
    std::cerr << kUsage;
    return 2;
}

void printOperations() {
    const OperationInfo* ops = operations();
    for (size_t i = 0; i < kOperationCount; ++i) {
        const OperationInfo& op = ops[i];
        nlohmann::ordered_json line;
        line["slot"] = op.slot;
        line["dispid"] = op.dispid;
        line["name"] = op.name;
        auto params = nlohmann::ordered_json::array();
        for (int p = 0; p < op.paramCount; ++p) {
            nlohmann::ordered_json param;
            param["name"] = op.params[p].name;
            param["type"] = op.params[p].type == ValueType::String ? "string" : "int";
            params.push_back(param);
        }
        line["params"] = params;
        line["result"] = op.result == ValueType::String ? "string" : "int";
        std::cout << line.dump() << '\n';
    }
}

#ifdef KSCAPI_HAVE_GTK
// The desktop plugin: beside this program in a build tree, else where it is installed.
std::string desktopPluginPath() {
    return host::besideProgram(ui::kDesktopPluginFile);
}
#endif

// The desktop backend for `gtk`, when this build has it and its plugin is there (its
// dialogs fail to be created without a display, or when the plugin does not load at the
// first one). False otherwise.
bool installDesktopBackend() {
#ifdef KSCAPI_HAVE_GTK
    std::string plugin = desktopPluginPath();
    if (access(plugin.c_str(), F_OK) != 0) {
        std::cerr << "kscapi: the desktop dialogs are not installed (no " << plugin << ")\n";
        return false;
    }
    ui::setBackend(ui::makeDesktopBackend(plugin, ui::makeNoneBackend(), false, "kscapi"));
    return true;
#else
    return false;
#endif
}

// For `auto`: desktop windows when a display is named and opens, else `local`. The plugin
// is loaded and the display tried at the first dialog, not at start: starting GTK costs
// more than most runs take, and most runs show no dialog.
std::unique_ptr<ui::DialogBackend> preferDesktop(std::unique_ptr<ui::DialogBackend> local) {
#ifdef KSCAPI_HAVE_GTK
    if (ui::sessionNamesDisplay())
        return ui::makeDesktopBackend(desktopPluginPath(), std::move(local), true, "kscapi");
#endif
    return local;
}

// Installs the dialog backend for `mode`. Returns the scripted backend when that is the
// one chosen, so that scripts can queue answers; false for an unknown or unavailable mode.
bool installBackend(const std::string& mode, ui::ScriptedBackend*& scripted) {
    scripted = nullptr;
    if (mode == "script") {
        auto backend = std::make_unique<ui::ScriptedBackend>([](const std::string& line) {
            std::cout << line << '\n';
            std::cout.flush();
        });
        scripted = backend.get();
        ui::setBackend(std::move(backend));
        return true;
    }
    if (mode == "none") {
        ui::setBackend(ui::makeNoneBackend());
        return true;
    }
    if (mode == "gtk") return installDesktopBackend();
    if (mode == "tty" || mode == "auto") {
        std::unique_ptr<ui::DialogBackend> local;
        std::FILE* tty = std::fopen("/dev/tty", "r+");
        if (tty && (mode == "tty" || isatty(STDIN_FILENO))) {
            // The terminal stays open for the life of the process.
            local = ui::makeTerminalBackend(tty, tty);
        } else {
            if (tty) std::fclose(tty);
            if (mode == "tty") return false;
            local = ui::makeNoneBackend();
        }
        ui::setBackend(mode == "auto" ? preferDesktop(std::move(local)) : std::move(local));
        return true;
    }
    return false;
}

// The dialog backend kscapi-bridge would choose in this session (its KSCAPI_BRIDGE_UI
// rules), for the doctor.
std::string bridgeDialogBackend() {
    const char* mode = std::getenv("KSCAPI_BRIDGE_UI");
    if (mode && *mode && std::string(mode) != "auto") return mode;
#ifdef KSCAPI_HAVE_GTK
    if (ui::loadDesktopPlugin(desktopPluginPath()).displayOpens) return "gtk";
#endif
    return "none";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string home, acp, uiMode = "auto", progId;
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (a == "--version") {
            std::cout << "kscapi " << KSCAPI_VERSION_TEXT << '\n';
            return 0;
        }
        if (a == "--home" || a == "--acp" || a == "--ui" || a == "--progid") {
            if (i + 1 >= args.size()) return usage(a + " needs a value");
            std::string& target = a == "--home"  ? home
                                  : a == "--acp" ? acp
                                  : a == "--ui"  ? uiMode
                                                 : progId;
            target = args[++i];
            continue;
        }
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) return usage("unknown option " + a);
        break;
    }
    if (i >= args.size()) return usage("");
    std::string command = args[i++];
    std::vector<std::string> rest(args.begin() + static_cast<long>(i), args.end());

    if (command == "ops") {
        if (!rest.empty()) return usage("ops takes no arguments");
        printOperations();
        return 0;
    }
    if (!home.empty()) setenv("KSCAPI_HOME", home.c_str(), 1);
    if (!acp.empty()) {
        auto cp = host::parseInt(acp);
        if (!cp || *cp <= 1 || !SetProcessAnsiCodePage(static_cast<UINT>(*cp)))
            return usage("unsupported code page " + acp);
        // A module loaded by ProgID reads the code page from the environment.
        setenv("KSCAPI_ACP", acp.c_str(), 1);
    }
    installLoadHold();
    if (command == "demo") return host::runDemo(rest, std::cout, std::cerr);
    if (command == "reg") return runRegCommand(rest, std::cout, std::cerr);
    if (command == "store") return runStoreCommand(rest, std::cout, std::cerr);
    if (command == "filter") return runFilterCommand(rest, std::cout, std::cerr);
    if (command == "keys") return runKeysCommand(rest, std::cout, std::cerr);
    if (command == "providers") return runProvidersCommand(rest, std::cout, std::cerr);
    if (command == "bridge") return bridge::runBridgeCommand(rest, std::cout, std::cerr);
    if (command == "doctor")
        return host::runDoctor(rest, bridgeDialogBackend(), std::cout, std::cerr);
    if (command == "reset") return host::runReset(rest, std::cin, std::cout, std::cerr);
    if (command == "register" || command == "unregister") {
        if (rest.size() > 1) return usage(command + " takes at most one module");
        return host::runRegistration(rest.empty() ? host::defaultModulePath() : rest[0],
                                     command == "unregister", std::cout);
    }
    if (command != "run" && command != "call") return usage("unknown command " + command);
    ui::ScriptedBackend* scripted = nullptr;
    if (!installBackend(uiMode, scripted)) return usage("dialog backend not available: " + uiMode);

    int status;
    {
        host::ScriptRunner runner(std::cout, scripted,
                                  progId.empty() ? nullptr : host::progIdFactory(progId),
                                  !progId.empty());
        if (command == "call") {
            if (rest.empty()) return usage("call needs an operation");
            std::string op = rest.front();
            rest.erase(rest.begin());
            status = runner.runCall(op, rest) ? 0 : 1;
        } else if (rest.size() > 1) {
            return usage("run takes one script");
        } else if (rest.empty() || rest[0] == "-") {
            status = runner.runScript(std::cin) > 0 ? 1 : 0;
        } else {
            std::ifstream file(rest[0]);
            if (!file) {
                std::cerr << "kscapi: cannot open " << rest[0] << "\n";
                return 2;
            }
            status = runner.runScript(file) > 0 ? 1 : 0;
        }
    }
    // The objects are released; a module loaded for them may go now.
    CoFreeUnusedLibraries();
    return status;
}
