#include "ui/cert_list_dialog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "core/cert_view.h"
#include "core/file_handle.h"
#include "platform/system/files.h"
#include "platform/system/shell.h"
#include "platform/text/codepage.h"
#include "platform/token/token_provider.h"

namespace ui {
namespace {

constexpr CertListDialog::Column kColumns[] = {
    {u"憑證持有人", 150}, {u"憑證序號", 110},   {u"起始日", 110},
    {u"截止日", 110},     {u"憑證發行者", 180},
};

class ShellOpener final : public DocumentOpener {
  public:
    void open(const std::string& path) override {
        ShellExecuteA(nullptr, "open", path.c_str(), nullptr, "", SW_SHOWDEFAULT);
    }
};

// Makes (mode 0700) or opens the folder at the native path and makes sure it is a real
// directory of this user that nobody else can enter; a symbolic link put in its place is
// refused. Returns the open folder, invalid on failure.
FileHandle openPrivateFolder(const std::string& native) {
    if (::mkdir(native.c_str(), 0700) != 0 && errno != EEXIST) return FileHandle();
    FileHandle folder(::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!folder.valid() || ::fstat(folder.get(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::geteuid())
        return FileHandle();
    if ((st.st_mode & 07777) != 0700 && ::fchmod(folder.get(), 0700) != 0) return FileHandle();
    return folder;
}

// The native path of the base the view folder lives in, empty when there is none.
std::string privateBase() {
    if (const char* home = std::getenv("KSCAPI_HOME"); home && *home) return userDataFolder();
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        std::string base = std::string(runtime) + "/kestrune";
        return openPrivateFolder(base).valid() ? base : std::string();
    }
    return userDataFolder();
}

// The smart card a certificate of "MY" is on; empty for one that is not on a card.
std::u16string cardName(PCCERT_CONTEXT context) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(context, CERT_SMART_CARD_READER_PROP_ID, nullptr,
                                           &size) ||
        size < sizeof(char16_t))
        return {};
    std::u16string text(size / sizeof(char16_t), u'\0');
    if (!CertGetCertificateContextProperty(context, CERT_SMART_CARD_READER_PROP_ID, text.data(),
                                           &size))
        return {};
    text.resize(std::char_traits<char16_t>::length(text.c_str()));
    return text;
}

}  // namespace

DocumentOpener& shellDocumentOpener() {
    static ShellOpener opener;
    return opener;
}

std::string writeCertificateViewFile(const BYTE* bytes, size_t length) {
    std::string base = privateBase();
    if (base.empty() || !bytes || length == 0) return std::string();
    std::string folderPath = base + "/view";
    FileHandle folder = openPrivateFolder(folderPath);
    if (!folder.valid()) return std::string();
    // Non-blocking so that a pipe put there cannot hang the dialog; only a regular file
    // is written.
    FileHandle file(::openat(folder.get(), "temp.cer",
                             O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::ftruncate(file.get(), 0) != 0 || !writeAll(file.get(), bytes, length))
        return std::string();
    file.close();
    return ansiPath(folderPath + "/temp.cer");
}

std::string CertListDialog::Column::ansiHeading() const {
    return toAnsi(heading);
}

std::span<const CertListDialog::Column> CertListDialog::columns() {
    return kColumns;
}

CertListDialog::CertListDialog(std::span<const PCCERT_CONTEXT> certificates, DocumentOpener& opener)
    : certificates_(certificates), opener_(opener) {
    rows_.reserve(certificates_.size());
    for (PCCERT_CONTEXT context : certificates_) {
        CertView view(context);
        std::string holder = view.subjectCN();
        if (holder.empty()) holder = view.subject();
        std::string issuer = view.issuerCN();
        // A card's certificate says which card, so that two cards can be told apart.
        if (std::u16string card = cardName(context); !card.empty())
            holder += toAnsi(u"（") + toAnsi(card) + toAnsi(u"）");
        rows_.push_back(Row{holder, view.serialHex(), view.notBeforeDate(), view.notAfterDate(),
                            issuer.empty() ? view.issuer() : issuer});
    }
    selectedRow_ = rows_.empty() ? -1 : 0;
}

bool CertListDialog::select(int32_t row) {
    if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return false;
    selectedRow_ = row;
    return true;
}

void CertListDialog::pressView() {
    selectedIndex_ = highlightedRow();
    PCCERT_CONTEXT context = selected();
    if (!context) return;
    std::string path = writeCertificateViewFile(context->pbCertEncoded, context->cbCertEncoded);
    if (!path.empty()) opener_.open(path);
}

PCCERT_CONTEXT CertListDialog::selected() const {
    if (selectedIndex_ < 0 || static_cast<size_t>(selectedIndex_) >= certificates_.size())
        return nullptr;
    return certificates_[static_cast<size_t>(selectedIndex_)];
}

}  // namespace ui
