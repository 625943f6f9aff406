// kscapi-bridge: the native messaging host that browsers start for the extension. It
// reads framed requests on standard input and writes framed replies on standard output.
//
// Environment:
//   KSCAPI_HOME           per-user state folder, as for kscapi
//   KSCAPI_BRIDGE_UI      how dialogs are shown: auto (default: desktop windows when a
//                         display opens, else none), gtk, script or none
//   KSCAPI_BRIDGE_ANSWERS with script: a file of dialog answers, one per line
//                         ("KIND ok JSON", "KIND cancel", "KIND fail"); lines appended
//                         while the host runs are picked up before each request
//   KSCAPI_BRIDGE_LOG     with script: a file that receives the dialog reports and a
//                         line {"objects":N} whenever the number of objects changes
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "host/bridge/bridge_session.h"
#include "host/bridge/native_messaging.h"
#include "host/bridge/page_guard.h"
#include "host/module_commands.h"
#include "platform/com_runtime.h"
#include "ui/scripted_backend.h"
#ifdef KSCAPI_HAVE_GTK
#include "ui/gtk_backend.h"
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

// Feeds the answers appended to the answers file since the last look into the backend.
class AnswerFile {
  public:
    AnswerFile(std::string path, ui::ScriptedBackend* backend, std::string log)
        : path_(std::move(path)), backend_(backend), log_(std::move(log)) {}

    void poll() {
        if (!backend_ || path_.empty()) return;
        std::ifstream in(path_);
        if (!in) return;
        in.seekg(offset_);
        std::string line;
        while (std::getline(in, line)) {
            if (in.eof()) break;  // a line still being written: read it whole next time
            offset_ = in.tellg();
            if (line.empty() || line[0] == '#') continue;
            std::string reason;
            if (!backend_->queueLine(line, reason))
                appendLog(log_, nlohmann::json({{"answerError", reason}}).dump());
        }
    }

  private:
    std::string path_;
    ui::ScriptedBackend* backend_;
    std::string log_;
    std::streamoff offset_ = 0;
};

}  // namespace

int main() {
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
    ui::ScriptedBackend* scripted = nullptr;
    if (mode == "script") {
        auto backend = std::make_unique<ui::ScriptedBackend>(
            [log](const std::string& line) { appendLog(log, line); });
        scripted = backend.get();
        ui::setBackend(std::move(backend));
    } else if (mode == "none") {
        ui::setBackend(ui::makeNoneBackend());
#ifdef KSCAPI_HAVE_GTK
    } else if (mode == "gtk" || (mode == "auto" && ui::gtkDisplayReachable())) {
        ui::setBackend(ui::makeGtkBackend());
#endif
    } else if (mode == "auto") {
        // Nobody can be asked: every origin not yet allowed for good is denied.
        ui::setBackend(ui::makeNoneBackend());
    } else {
        std::fprintf(stderr, "kscapi-bridge: unknown KSCAPI_BRIDGE_UI %s\n", mode.c_str());
        return 2;
    }
    AnswerFile answers(environment("KSCAPI_BRIDGE_ANSWERS"), scripted, log);

    // Installed before the first object is made: the module is lent this guard then.
    auto guardOwner = std::make_unique<bridge::PageGuard>();
    bridge::PageGuard* guard = guardOwner.get();
    ui::setCallerGuard(std::move(guardOwner));

    int status = 0;
    {
        bridge::OriginPolicy policy;
        bridge::BridgeSession session(
            host::progIdFactory("KestruneATL.KSCapi"), policy, [&log](size_t objects) {
                appendLog(log, nlohmann::json({{"objects", objects}}).dump());
            });
        session.setGuard(guard);
        bridge::MessageReader reader(STDIN_FILENO);
        for (bool running = true; running;) {
            std::string body, reply, id = "null";
            uint64_t announced = 0;
            bool tooLarge = false;
            switch (reader.next(body, announced)) {
                case bridge::ReadStatus::Message:
                    answers.poll();
                    reply = session.handle(body);
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
