#include "platform/system/shell.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/system/files.h"
#include "platform/system/last_error.h"

extern char** environ;

namespace {

HINSTANCE result(uintptr_t value) {
    return reinterpret_cast<HINSTANCE>(value);
}

// posix_spawn file actions, destroyed with the holder.
class SpawnActions {
  public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() { close(); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }
    void close() {
        if (ok_) posix_spawn_file_actions_destroy(&actions_);
        ok_ = false;
    }

  private:
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
};

}  // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR, LPCSTR, INT) {
    if (lpOperation && std::strcmp(lpOperation, "open") != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return result(SE_ERR_NOASSOC);
    }
    if (!lpFile || !PathFileExistsA(lpFile)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return result(SE_ERR_FNF);
    }
    std::string file = nativePath(lpFile);
    // A name the opener could take for an option is made a relative path.
    if (file[0] == '-') file = "./" + file;
    // A shell puts the opener in the background and ends at once: the viewer is nobody's
    // child here and leaves no zombie behind. The opener's chatter would mix with the
    // host's output, so it goes nowhere.
    SpawnActions actions;
    if (!actions.ok() ||
        posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), 1, 2) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return result(SE_ERR_OOM);
    }
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    char script[] = "xdg-open \"$1\" & exit 0";
    char name[] = "sh";
    char* argv[] = {shell, dashC, script, name, file.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, shell, actions.get(), nullptr, argv, environ) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return result(SE_ERR_OOM);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return result(33);  // the first success value
}
