// Model of the certificate list dialog (204): one row per candidate certificate, the
// highlighted-row rule shared by OK and the view button, and the view button itself,
// which writes the certificate into a private file and has it opened.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/crypt/wincrypt.h"
#include "ui/dialog_resource.h"

namespace ui {

// Shows a certificate file to the user. Replaceable so that tests and hosts without a
// desktop decide what "showing" means.
class DocumentOpener {
  public:
    virtual ~DocumentOpener() = default;
    // Opens the file at the ANSI path; failures are not reported.
    virtual void open(const std::string& path) = 0;
};

// The shell's "open" (the desktop's handler for .cer files). Lives for the process.
DocumentOpener& shellDocumentOpener();

// Writes `bytes` to "temp.cer" in this user's private view folder, replacing what the
// previous view left there, and returns its ANSI path; empty when the folder or the file
// cannot be made. The folder is $KSCAPI_HOME/view when KSCAPI_HOME is set, else
// $XDG_RUNTIME_DIR/kestrune/view, else view in the per-user data folder; it must be a
// real directory of this user and is kept at mode 0700. The file is opened without
// following a symbolic link and only a regular file is written.
std::string writeCertificateViewFile(const BYTE* bytes, size_t length);

class CertListDialog {
  public:
    struct Column {
        const char16_t* heading;
        int width;  // pixels
        std::string ansiHeading() const;
    };
    using Row = std::array<std::string, 5>;
    // The serial's place in a row. Serials of one authority often share a long prefix:
    // where the column is too narrow, its end is what tells rows apart.
    static constexpr size_t kSerialColumn = 1;

    // Fills the rows from `certificates`, which stay the caller's and must outlive the
    // dialog; an empty span is a missing list (no rows). Row 0 starts selected and
    // selectedIndex is 0. `opener` shows viewed certificates and must outlive the dialog.
    explicit CertListDialog(std::span<const PCCERT_CONTEXT> certificates,
                            DocumentOpener& opener = shellDocumentOpener());
    CertListDialog(const CertListDialog&) = delete;
    CertListDialog& operator=(const CertListDialog&) = delete;

    static const char* kind() { return "CertListDialog"; }
    const DialogResource& resource() const { return kCertListResource; }
    std::string caption() const { return kCertListResource.ansiCaption(); }
    static std::span<const Column> columns();
    // Per certificate in list order: holder (the subject's common name, else the whole
    // subject, followed by "（card）" for a certificate on a smart card), serial, start date, end
    // date, issuer (its common name, else the whole issuer), as ANSI text.
    const std::vector<Row>& rows() const { return rows_; }

    // The list's selection: one row or none. `select` refuses (false, nothing changed) a
    // row that does not exist.
    bool select(int32_t row);
    void clearSelection() { selectedRow_ = -1; }
    int32_t selectedRow() const { return selectedRow_; }
    // The row OK and the view button act on: the selected row, or 0 with none selected.
    int32_t highlightedRow() const { return selectedRow_ >= 0 ? selectedRow_ : 0; }

    // The view button: selectedIndex becomes the highlighted row, whose certificate is
    // written with writeCertificateViewFile and handed to the opener. Nothing is opened
    // when there is no row or the file cannot be written.
    void pressView();
    // OK: selectedIndex becomes the highlighted row.
    void pressOk() { selectedIndex_ = highlightedRow(); }
    int32_t selectedIndex() const { return selectedIndex_; }
    // The certificate at selectedIndex (the caller's), null when the list has none there.
    PCCERT_CONTEXT selected() const;

  private:
    std::span<const PCCERT_CONTEXT> certificates_;
    DocumentOpener& opener_;
    std::vector<Row> rows_;
    int32_t selectedRow_ = 0;
    int32_t selectedIndex_ = 0;
};

}  // namespace ui
