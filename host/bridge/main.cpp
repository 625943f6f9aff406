// kscapi-bridge: the native messaging host that browsers start for the extension. It
// reads framed requests on standard input and writes framed replies on standard output.
//
// Environment:
//   KSCAPI_HOME           per-user state folder, as for kscapi
//   KSCAPI_BRIDGE_UI      how dialogs are shown: auto (default: desktop windows when
//                         DISPLAY or WAYLAND_DISPLAY names a display, opened at the
//                         first dialog; else none), gtk, script or none
//   KSCAPI_BRIDGE_ANSWERS with script: a file of dialog answers, one per line
//                         ("KIND ok JSON", "KIND cancel", "KIND fail"), shared by every
//                         host; a dialog takes the first line of its kind not yet taken
//                         (lines may be appended while the hosts run) and marks it '#'
//   KSCAPI_BRIDGE_ANSWER_WAIT_MS  with script: how long a dialog on the screen waits for
//                         its answer line to appear (default 0: cancelled at once)
//   KSCAPI_BRIDGE_LOG     with script: a file that receives the dialog reports and a
//                         line {"objects":N,"host":PID} whenever this host's number of
//                         objects changes
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>

#include "host/bridge/bridge_session.h"
#include "host/bridge/native_messaging.h"
#include "host/bridge/page_guard.h"
#include "host/module_commands.h"
#include "platform/com/com_runtime.h"
#include "ui/deferred_backend.h"
#include "ui/scripted_backend.h"
#ifdef KSCAPI_HAVE_GTK
#include "ui/desktop_plugin.h"
#endif

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Appends lines to the test log; each line is written whole.
void appendLog(const std::string& path, const std::string& line) {
    if (path.empty()) return;
    std::ofstream log(path, std::ios::app);
    log << line << '\n';
}

// Gives this host's dialogs the answer lines of a file that every host the browser starts
// (one per page) shares. A line goes to the first dialog of its kind that asks for it, in
// whichever host, and is then marked taken by turning its first character into '#'; the
// lock on the file keeps two hosts from taking the same line.
class AnswerFile {
  public:
    AnswerFile(std::string path, std::string log, int waitMs)
        : path_(std::move(path)), log_(std::move(log)), waitMs_(waitMs) {}

    // Queues in `backend` the first line for a dialog of `kind`; when `wait`, looks again
    // until one is appended or the wait ends.
    void take(ui::ScriptedBackend& backend, const std::string& kind, bool wait) {
        if (path_.empty()) return;
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(wait ? waitMs_ : 0);
        while (!takeOne(backend, kind) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

  private:
    bool takeOne(ui::ScriptedBackend& backend, const std::string& kind) {
        int fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return false;
        bool taken = false;
        if (flock(fd, LOCK_EX) == 0) {
            std::string text;
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
                text.append(buffer, static_cast<size_t>(n));
            // Only whole lines: the last one may still be being written.
            for (size_t at = 0, end; !taken && (end = text.find('\n', at)) != std::string::npos;
                 at = end + 1) {
                std::string line = text.substr(at, end - at);
                if (line.empty() || line[0] == '#') continue;
                std::string lineKind, reason;
                ui::DialogOutcome outcome;
                nlohmann::json values;
                bool readable =
                    ui::ScriptedBackend::parseAnswer(line, lineKind, outcome, values, reason);
                if (readable && lineKind != kind) continue;
                if (pwrite(fd, "#", 1, static_cast<off_t>(at)) != 1) break;
                taken = readable && backend.queueLine(line, reason);
                if (!taken) appendLog(log_, nlohmann::json({{"answerError", reason}}).dump());
            }
            flock(fd, LOCK_UN);
        }
        close(fd);
        return taken;
    }

    std::string path_;
    std::string log_;
    int waitMs_;
};

// Browsers start a native host in a folder of their choosing: Chromium in the host's own
// folder, Firefox wherever the browser itself was started. A file chooser that a page's
// dialog opens without a folder of its own starts in the working folder, and the user
// expects their home there, not /usr/lib. So the host works in the home folder (the
// account's, when $HOME is unset; "/" when neither can be entered), after the variables
// that name files relative to the starting folder have been made absolute.
void workInHomeFolder() {
    for (const char* name : {"KSCAPI_HOME", "KSCAPI_BRIDGE_ANSWERS", "KSCAPI_BRIDGE_LOG"}) {
        std::string value = environment(name);
        if (value.empty() || value.front() == '/') continue;
        std::error_code error;
        std::filesystem::path absolute = std::filesystem::absolute(value, error);
        if (!error) setenv(name, absolute.c_str(), 1);
    }
    std::string home = environment("HOME");
    if (home.empty() || home.front() != '/') {
        const passwd* account = getpwuid(getuid());
        home = account && account->pw_dir ? account->pw_dir : "";
    }
    if (home.empty() || chdir(home.c_str()) != 0) {
        if (chdir("/") != 0) std::perror("kscapi-bridge: chdir");
    }
}

#ifdef KSCAPI_HAVE_GTK
// Whether the desktop plugin is at `plugin`; when it is not, the host goes on as one built
// without it, after saying so.
bool desktopPluginThere(const std::string& plugin, const std::string& mode) {
    if (access(plugin.c_str(), F_OK) == 0) return true;
    std::fprintf(stderr, "kscapi-bridge: the desktop dialogs are not installed (no %s)%s\n",
                 plugin.c_str(), mode == "auto" ? "; nobody can be asked" : "");
    return false;
}
#endif

}  // namespace

int main() {
    // First: everything after this reads relative paths against the home folder.
    workInHomeFolder();
    // A browser that went away shows as a failed write, not as a signal that kills us.
    signal(SIGPIPE, SIG_IGN);
    // Standard output carries the framed replies and nothing else: anything else that
    // writes to descriptor 1 goes to standard error instead.
    int replies = dup(STDOUT_FILENO);
    if (replies < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 1;
    fcntl(replies, F_SETFD, FD_CLOEXEC);

    const std::string mode =
        environment("KSCAPI_BRIDGE_UI").empty() ? "auto" : environment("KSCAPI_BRIDGE_UI");
    const std::string log = environment("KSCAPI_BRIDGE_LOG");
    AnswerFile answers(environment("KSCAPI_BRIDGE_ANSWERS"), log,
                       std::atoi(environment("KSCAPI_BRIDGE_ANSWER_WAIT_MS").c_str()));
#ifdef KSCAPI_HAVE_GTK
    // Beside this program, where it is installed and where a build tree puts it: never
    // from a search path or a folder a page could name.
    const std::string plugin = host::besideProgram(ui::kDesktopPluginFile);
#endif
    if (mode == "script") {
        auto backend = std::make_unique<ui::ScriptedBackend>(
            [log](const std::string& line) { appendLog(log, line); });
        backend->setAnswerSource(
            [&answers, scripted = backend.get()](const std::string& kind, bool wait) {
                answers.take(*scripted, kind, wait);
            });
        ui::setBackend(std::move(backend));
    } else if (mode == "none") {
        ui::setBackend(ui::makeNoneBackend());
#ifdef KSCAPI_HAVE_GTK
    } else if ((mode == "gtk" || (mode == "auto" && ui::sessionNamesDisplay())) &&
               desktopPluginThere(plugin, mode)) {
        // The plugin is loaded, GTK started and the display opened only when the first
        // dialog is shown: most hosts never show one, and starting GTK would delay every
        // page's first answer. Should the plugin not load or the display not open then,
        // each dialog fails as with `none`.
        ui::setBackend(
            ui::makeDesktopBackend(plugin, ui::makeNoneBackend(), false, "kscapi-bridge"));
#endif
    } else if (mode == "auto") {
        // Nobody can be asked: every origin not yet allowed for good is denied.
        ui::setBackend(ui::makeNoneBackend());
    } else {
        std::fprintf(stderr, "kscapi-bridge: unknown KSCAPI_BRIDGE_UI %s\n", mode.c_str());
        return 2;
    }

    // Installed before the first object is made: the module is lent this guard then.
    auto guardOwner = std::make_unique<bridge::PageGuard>();
    bridge::PageGuard* guard = guardOwner.get();
    ui::setCallerGuard(std::move(guardOwner));

    int status = 0;
    {
        bridge::OriginPolicy policy;
        bridge::BridgeSession session(
            host::progIdFactory("KestruneATL.KSCapi"), policy, [&log](size_t objects) {
                appendLog(log, nlohmann::json({{"objects", objects}, {"host", getpid()}}).dump());
            });
        session.setGuard(guard);
        bridge::MessageReader reader(STDIN_FILENO);
        for (bool running = true; running;) {
            std::string body, reply, id = "null";
            uint64_t announced = 0;
            bool tooLarge = false;
            switch (reader.next(body, announced)) {
                case bridge::ReadStatus::Message:
                    reply = session.handle(std::move(body));
                    id = session.lastId();
                    break;
                case bridge::ReadStatus::TooLarge:
                    tooLarge = true;
                    reply = bridge::errorReply("null", bridge::kErrorTooLarge,
                                               "message of " + std::to_string(announced) +
                                                   " bytes is above the limit of " +
                                                   std::to_string(bridge::kMaxRequestBytes));
                    break;
                case bridge::ReadStatus::Truncated:
                    reply = bridge::errorReply("null", bridge::kErrorTruncated,
                                               "the input ended inside a message");
                    running = false;
                    break;
                case bridge::ReadStatus::End:
                    running = false;
                    break;
                case bridge::ReadStatus::Failed:
                    status = 1;
                    running = false;
                    break;
            }
            if (reply.empty()) continue;
            for (const std::string& message : bridge::chunkReply(reply, id)) {
                if (!bridge::writeMessage(replies, message)) {
                    status = 1;
                    running = false;
                    break;
                }
            }
            // The sender hears of an oversized message at once; its body is then read
            // past, never stored.
            if (running && tooLarge && !reader.skip(announced)) running = false;
        }
    }
    CoFreeUnusedLibraries();
    return status;
}
