// Dialog models: what each dialog shows and what it hands back, independent of how a
// backend draws it. All texts are narrow strings in the process's ANSI code page.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/types.h"

namespace ui {

enum class DialogOutcome {
    Ok,      // the user confirmed
    Cancel,  // the user left it any other way
    Failed,  // the dialog could not be created
};

// Open-file options of the platform's chooser.
constexpr DWORD OFN_OVERWRITEPROMPT = 0x00000002;
constexpr DWORD OFN_HIDEREADONLY = 0x00000004;
constexpr DWORD OFN_NOVALIDATE = 0x00000100;

// The platform's modal open-file chooser.
struct FileChooserModel {
    std::string title;
    // Entries "description|patterns|" ... ending in "||", as the platform's filter text.
    std::string filter;
    std::string defaultExtension;
    std::string initialFile;
    std::string initialFolder;
    DWORD options = 0;
};

struct FileChooserAnswer {
    DialogOutcome outcome = DialogOutcome::Cancel;
    std::string path;  // the chosen full path, on Ok
};

// Message-box styles and answers used by the dialogs.
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONERROR = 0x00000010;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// How dialogs are shown. One backend serves the whole process; hosts choose it.
class DialogBackend {
public:
    virtual ~DialogBackend() = default;
    virtual const char* name() const = 0;
    virtual FileChooserAnswer fileChooser(const FileChooserModel& model) = 0;
    // Shows a message and waits until it is dismissed; returns the button pressed.
    virtual int messageBox(const std::string& text, const std::string& caption, UINT type) = 0;
};

// The process's backend (the `none` backend until a host installs another).
DialogBackend& backend();
// Installs `b` as the process's backend and returns the previous one.
std::unique_ptr<DialogBackend> setBackend(std::unique_ptr<DialogBackend> b);

// Installs a backend for one scope (tests) and puts the previous one back.
class ScopedBackend {
public:
    explicit ScopedBackend(std::unique_ptr<DialogBackend> b) : previous_(setBackend(std::move(b))) {}
    ~ScopedBackend() { setBackend(std::move(previous_)); }
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;

private:
    std::unique_ptr<DialogBackend> previous_;
};

// The backend that cancels every dialog.
std::unique_ptr<DialogBackend> makeNoneBackend();
// A backend that passes every dialog to `target`, which the caller keeps alive (a host
// lends its backend to a module loaded into it this way).
std::unique_ptr<DialogBackend> makeForwardingBackend(DialogBackend& target);

// Shows the platform's modal file chooser through the process's backend.
FileChooserAnswer showFileChooser(const FileChooserModel& model);
// Shows a message box through the process's backend.
int showMessageBox(const std::string& text, const std::string& caption, UINT type);

}  // namespace ui
