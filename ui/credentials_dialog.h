// Models of the four dialogs that ask for a PFX file or folder and passwords:
// PfxFileDialog (202), PfxSaveDialog (206), ChangePasswordDialog (203) and
// PasswordDialog (205). A model holds every rule of its dialog: what it shows when it
// opens, how many characters each box takes, when OK is enabled, what browsing does, how
// OK validates and what it hands back. Backends present it and feed input into it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/secret_string.h"
#include "ui/dialog_resource.h"
#include "ui/dialogs.h"

namespace ui {

// A password box: hidden text, limited to a number of characters. Characters are those
// of the ANSI code page (a double-byte character counts once).
class PasswordBox {
  public:
    PasswordBox(int id, int32_t limit) : id_(id), limit_(limit) {}

    int id() const { return id_; }
    // The most characters the box takes; 0 when it takes any number.
    int32_t limit() const { return limit_; }
    const SecretString& text() const { return text_; }
    int32_t length() const { return length_; }

    // Appends typed text (ANSI), character by character, as long as the box has room.
    // Returns the number of characters the box refused.
    int32_t type(std::string_view ansi);
    // Empties the box.
    void clear();

  private:
    int id_;
    int32_t limit_;
    int32_t length_ = 0;
    SecretString text_;
};

// What a launcher sets before it runs a dialog.
struct CredentialsSettings {
    std::string title;  // the caption when not empty
    std::string folder;
    std::string fileName;
    int32_t minLength = 0;
    int32_t maxLength = 16;
    bool folderMode = false;  // PfxSaveDialog: choose a folder for a file to be written
};

// The common model of the four dialogs; the derived classes fix the resource and name the
// values each hands back.
class CredentialsDialog {
  public:
    CredentialsDialog(const CredentialsDialog&) = delete;
    CredentialsDialog& operator=(const CredentialsDialog&) = delete;

    // "PfxFileDialog", "PfxSaveDialog", "ChangePasswordDialog" or "PasswordDialog".
    const char* kind() const { return kind_; }
    const DialogResource& resource() const { return resource_; }
    // The caption shown (ANSI).
    std::string caption() const;
    // True for the dialogs with a path box (302) and a browse button (301).
    bool hasPathBox() const { return resource_.control(IDC_PATH) != nullptr; }
    // The text of the path box (ANSI).
    const std::string& pathText() const { return pathText_; }
    bool folderMode() const { return folderMode_; }
    // The normalised length range.
    int32_t minLength() const { return minLength_; }
    int32_t maxLength() const { return maxLength_; }
    std::span<const PasswordBox> boxes() const { return boxes_; }
    // The box with `id`, null when the dialog has none.
    const PasswordBox* box(int id) const;
    bool okEnabled() const { return okEnabled_; }

    // Typing into box `id`: appends, clears. Every change re-applies the OK rule. `type`
    // returns the number of characters refused (all of them for a box that does not exist).
    int32_t type(int id, std::string_view ansi);
    // The same for text from a UTF-8 source (a terminal, a script); the converted copies
    // are wiped.
    int32_t typeUtf8(int id, std::string_view utf8);
    void clearBox(int id);

    // Browsing. The request is the platform's chooser (file mode) or folder browser
    // (folder mode); the answer applies the pick. A cancelled or empty pick changes
    // nothing. `browse` asks `shell` and applies its answer in one step.
    FileChooserModel fileChooserRequest() const;
    FolderBrowserModel folderBrowserRequest() const;
    void applyFileChoice(const FileChooserAnswer& answer);
    void applyFolderChoice(const FolderBrowserAnswer& answer);
    void browse(DialogBackend& shell);

    // The OK button. True when the dialog ends with OK. False, staying open, when OK is
    // disabled or validation fails; a failed validation shows its message through
    // `shell` (except the one case that stays open silently: a probe file in folder mode
    // that could be created but not removed).
    bool pressOk(DialogBackend& shell);

  protected:
    enum class OkCheck { None, FileExists, FolderWritable };

    // Opens the dialog: normalises the range, sets the caption, the path box and the box
    // limits, and applies the OK rule. `limited`: boxes take at most maxLength characters.
    CredentialsDialog(const char* kind, const DialogResource& resource,
                      const CredentialsSettings& settings, std::span<const int> boxIds,
                      bool limited);

    const std::string& folderValue() const { return folder_; }
    const std::string& fileNameValue() const { return fileName_; }
    // The value OK took from box `index` (in the order of `boxIds`).
    const SecretString& takenValue(size_t index) const { return taken_[index]; }

  private:
    void applyOkRule();
    PasswordBox* findBox(int id);
    bool checkFileExists(DialogBackend& shell) const;
    bool checkFolderWritable(DialogBackend& shell) const;

    const char* kind_;
    const DialogResource& resource_;
    std::string title_;
    std::string folder_;
    std::string fileName_;
    std::string pathText_;
    int32_t minLength_;
    int32_t maxLength_;
    bool folderMode_;
    bool okEnabled_ = false;
    std::vector<PasswordBox> boxes_;
    std::vector<SecretString> taken_;
};

// Choosing a PFX file and its password (202).
class PfxFileDialog final : public CredentialsDialog {
  public:
    explicit PfxFileDialog(const CredentialsSettings& settings);
    // The values taken by OK.
    const std::string& folder() const { return folderValue(); }
    const std::string& fileName() const { return fileNameValue(); }
    const SecretString& password() const { return takenValue(0); }
};

// Choosing where a PFX file goes (folder mode) or which one to read (file mode), and its
// protection password (206). Its caption is always the title.
class PfxSaveDialog final : public CredentialsDialog {
  public:
    explicit PfxSaveDialog(const CredentialsSettings& settings);
    const std::string& folder() const { return folderValue(); }
    const std::string& fileName() const { return fileNameValue(); }
    const SecretString& password() const { return takenValue(0); }
};

// A PFX file with its old password, a new one and its confirmation (203). The title and
// the mode of the settings are not used: the caption is the resource's, the mode is
// file mode. The new password and its confirmation are not compared here.
class ChangePasswordDialog final : public CredentialsDialog {
  public:
    explicit ChangePasswordDialog(const CredentialsSettings& settings);
    const std::string& folder() const { return folderValue(); }
    const std::string& fileName() const { return fileNameValue(); }
    const SecretString& oldPassword() const { return takenValue(0); }
    const SecretString& newPassword() const { return takenValue(1); }
    const SecretString& confirmPassword() const { return takenValue(2); }
};

// One password (205): the range is always 0..16, the box takes any length, so OK is
// always enabled.
class PasswordDialog final : public CredentialsDialog {
  public:
    // `title` replaces the caption when not empty.
    explicit PasswordDialog(const std::string& title = std::string());
    const SecretString& password() const { return takenValue(0); }
};

// Splits a chosen full path at its last separator into folder and file name. A file
// directly in the root keeps the root as its folder; a path without a separator is all
// file name.
void splitChosenPath(const std::string& path, std::string& folder, std::string& fileName);
// The folder, a separator unless the folder already ends with one, and the file name.
std::string joinShownPath(const std::string& folder, const std::string& fileName);

}  // namespace ui
