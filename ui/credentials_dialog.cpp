#include "ui/credentials_dialog.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/file_handle.h"
#include "platform/system/files.h"
#include "platform/text/ascii.h"
#include "platform/text/codepage.h"
#include "ui/password_range.h"

namespace ui {
namespace {

constexpr int kPfxBoxes[] = {IDC_PASSWORD};
constexpr int kChangeBoxes[] = {IDC_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD};

// The byte length of the character of the ANSI code page that starts at `text[i]`.
size_t characterLength(std::string_view text, size_t i) {
    if (GetACP() != CP_UTF8) return text::ansiCharLength(text, i);
    // RFC 3629 section 3: the lead byte gives the length; a broken sequence counts byte
    // by byte.
    auto lead = static_cast<BYTE>(text[i]);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    for (size_t k = 1; k < length; ++k)
        if (i + k >= text.size() || (static_cast<BYTE>(text[i + k]) & 0xC0) != 0x80) return k;
    return length;
}

int32_t characterCount(std::string_view text) {
    int32_t count = 0;
    for (size_t i = 0; i < text.size(); i += characterLength(text, i)) ++count;
    return count;
}

enum class Probe { Writable, NotWritable, NotRemoved };

// Whether a file can be written at `path` without losing one that is already there: a
// new file is created exclusively and removed again; an existing one is opened for
// writing without truncation and left as it is (the export replaces it afterwards).
Probe probeWritable(const std::string& path) {
    if (path.empty()) return Probe::NotWritable;
    std::string native = nativePath(path);
    FileHandle created(
        ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (created.valid()) {
        created.close();
        return ::unlink(native.c_str()) == 0 ? Probe::Writable : Probe::NotRemoved;
    }
    if (errno != EEXIST) return Probe::NotWritable;
    // Non-blocking, so that a pipe without a reader cannot hang the dialog.
    FileHandle existing(::open(native.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!existing.valid() || ::fstat(existing.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Probe::NotWritable;
    return Probe::Writable;
}

void showError(DialogBackend& shell, const std::u16string& before, const std::string& subject,
               const std::u16string& after) {
    std::string text =
        toAnsi(before) + (subject.empty() ? toAnsi(u"未指定") : subject) + toAnsi(after);
    shell.messageBox(text, toAnsi(u"錯誤訊息"), MB_OK | MB_ICONERROR);
}

}  // namespace

int32_t PasswordBox::type(std::string_view ansi) {
    int32_t refused = 0;
    for (size_t i = 0; i < ansi.size();) {
        size_t n = characterLength(ansi, i);
        if (limit_ > 0 && length_ >= limit_) {
            ++refused;
        } else {
            text_.append(ansi.substr(i, n));
            ++length_;
        }
        i += n;
    }
    return refused;
}

void PasswordBox::clear() {
    text_.clear();
    length_ = 0;
}

void splitChosenPath(const std::string& path, std::string& folder, std::string& fileName) {
    size_t last = path.find_last_of(kPathSeparator);
    if (last == std::string::npos) {
        folder.clear();
        fileName = path;
    } else {
        // The root keeps its separator: it is the whole folder.
        folder = path.substr(0, last == 0 ? 1 : last);
        fileName = path.substr(last + 1);
    }
}

std::string joinShownPath(const std::string& folder, const std::string& fileName) {
    std::string shown = folder;
    if (shown.empty() || shown.back() != kPathSeparator) shown.push_back(kPathSeparator);
    return shown + fileName;
}

CredentialsDialog::CredentialsDialog(const char* kind, const DialogResource& resource,
                                     const CredentialsSettings& settings,
                                     std::span<const int> boxIds, bool limited)
    : kind_(kind),
      resource_(resource),
      title_(settings.title),
      folder_(settings.folder),
      fileName_(settings.fileName),
      minLength_(settings.minLength),
      maxLength_(settings.maxLength),
      folderMode_(settings.folderMode) {
    normalizePasswordRange(minLength_, maxLength_);
    if (hasPathBox() && !folder_.empty()) pathText_ = joinShownPath(folder_, fileName_);
    for (int id : boxIds) boxes_.emplace_back(id, limited ? maxLength_ : 0);
    taken_.resize(boxes_.size());
    applyOkRule();
}

std::string CredentialsDialog::caption() const {
    return title_.empty() ? resource_.ansiCaption() : title_;
}

const PasswordBox* CredentialsDialog::box(int id) const {
    for (const PasswordBox& b : boxes_)
        if (b.id() == id) return &b;
    return nullptr;
}

PasswordBox* CredentialsDialog::findBox(int id) {
    return const_cast<PasswordBox*>(box(id));
}

void CredentialsDialog::applyOkRule() {
    okEnabled_ = true;
    for (const PasswordBox& b : boxes_)
        if (b.length() < minLength_) okEnabled_ = false;
}

int32_t CredentialsDialog::type(int id, std::string_view ansi) {
    PasswordBox* b = findBox(id);
    if (!b) return characterCount(ansi);
    int32_t refused = b->type(ansi);
    applyOkRule();
    return refused;
}

int32_t CredentialsDialog::typeUtf8(int id, std::string_view utf8) {
    std::u16string wide = fromUtf8(utf8);
    std::string ansi = toAnsi(wide);
    int32_t refused = type(id, ansi);
    OPENSSL_cleanse(wide.data(), wide.size() * sizeof(char16_t));
    OPENSSL_cleanse(ansi.data(), ansi.size());
    return refused;
}

void CredentialsDialog::clearBox(int id) {
    if (PasswordBox* b = findBox(id)) b->clear();
    applyOkRule();
}

FileChooserModel CredentialsDialog::fileChooserRequest() const {
    FileChooserModel request;
    request.title = toAnsi(u"請選擇憑證檔案");
    request.filter = toAnsi(u"PFX(P12) 憑證檔|*.pfx; *.p12|All Files (*.*)|*.*||");
    request.options = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_NOVALIDATE;
    return request;
}

FolderBrowserModel CredentialsDialog::folderBrowserRequest() const {
    FolderBrowserModel request;
    request.prompt = toAnsi(u"請選擇憑證檔案儲存路徑 :");
    return request;
}

void CredentialsDialog::applyFileChoice(const FileChooserAnswer& answer) {
    if (!hasPathBox() || answer.outcome != DialogOutcome::Ok || answer.path.empty()) return;
    splitChosenPath(answer.path, folder_, fileName_);
    pathText_ = answer.path;
}

void CredentialsDialog::applyFolderChoice(const FolderBrowserAnswer& answer) {
    if (!hasPathBox() || answer.outcome != DialogOutcome::Ok || answer.path.empty()) return;
    folder_ = answer.path;
    pathText_ = joinShownPath(folder_, fileName_);
}

void CredentialsDialog::browse(DialogBackend& shell) {
    if (folderMode_)
        applyFolderChoice(shell.folderBrowser(folderBrowserRequest()));
    else
        applyFileChoice(shell.fileChooser(fileChooserRequest()));
}

bool CredentialsDialog::pressOk(DialogBackend& shell) {
    if (!okEnabled_) return false;
    for (size_t i = 0; i < boxes_.size(); ++i) taken_[i] = boxes_[i].text();
    if (!hasPathBox()) return true;
    return folderMode_ ? checkFolderWritable(shell) : checkFileExists(shell);
}

bool CredentialsDialog::checkFileExists(DialogBackend& shell) const {
    if (!pathText_.empty() && PathFileExistsA(pathText_.c_str())) return true;
    showError(shell, u"憑證檔(", pathText_, u") : 錯誤或不存在");
    return false;
}

bool CredentialsDialog::checkFolderWritable(DialogBackend& shell) const {
    bool folderReady = !folder_.empty() && (PathFileExistsA(folder_.c_str()) ||
                                            CreateDirectoryA(folder_.c_str(), nullptr));
    Probe probe = folderReady ? probeWritable(pathText_) : Probe::NotWritable;
    if (probe == Probe::NotWritable)
        showError(shell, u"憑證目錄 (", folder_, u") : 錯誤或沒有寫入權限");
    return probe == Probe::Writable;
}

PfxFileDialog::PfxFileDialog(const CredentialsSettings& settings)
    : CredentialsDialog("PfxFileDialog", kPfxFileResource, settings, kPfxBoxes, true) {}

PfxSaveDialog::PfxSaveDialog(const CredentialsSettings& settings)
    : CredentialsDialog("PfxSaveDialog", kPfxSaveResource, settings, kPfxBoxes, true) {}

namespace {
CredentialsSettings fileModeOnly(const CredentialsSettings& settings) {
    CredentialsSettings s = settings;
    s.title.clear();
    s.folderMode = false;
    return s;
}

CredentialsSettings titleOnly(const std::string& title) {
    CredentialsSettings s;
    s.title = title;
    return s;
}
}  // namespace

ChangePasswordDialog::ChangePasswordDialog(const CredentialsSettings& settings)
    : CredentialsDialog("ChangePasswordDialog", kChangePasswordResource, fileModeOnly(settings),
                        kChangeBoxes, true) {}

PasswordDialog::PasswordDialog(const std::string& title)
    : CredentialsDialog("PasswordDialog", kPasswordResource, titleOnly(title), kPfxBoxes, false) {}

}  // namespace ui
