#include "ui/consent_dialogs.h"

#include <cstring>

#include "core/byte_buffer.h"
#include "core/cert_view.h"
#include "platform/crypt/fingerprint.h"
#include "platform/store/root_install.h"
#include "platform/text/codepage.h"
#include "ui/dialogs.h"

namespace ui {
namespace {

std::string line(const char16_t* label, const std::string& ansiValue) {
    return toAnsi(label) + ansiValue + "\n";
}

std::string certificateLines(const CertificateSummary& certificate) {
    return line(u"憑證持有者：", certificate.holder) + line(u"發行者：", certificate.issuer) +
           line(u"憑證指紋 (SHA-1)：", certificate.thumbprint);
}

bool isLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Characters, a surrogate pair counting once.
size_t characterCount(std::u16string_view text) {
    size_t count = 0;
    for (char16_t unit : text)
        if (!isLowSurrogate(unit)) ++count;
    return count;
}

// The first `characters` characters, never half a surrogate pair.
std::u16string_view startOf(std::u16string_view text, size_t characters) {
    size_t units = 0;
    for (size_t seen = 0; units < text.size(); ++units) {
        if (!isLowSurrogate(text[units]) && seen++ == characters) break;
    }
    return text.substr(0, units);
}

// The name the user knows a system store by, as a label.
const char16_t* storeTitle(const char* store) {
    if (std::strcmp(store, "MY") == 0) return u"個人：";
    if (std::strcmp(store, "CA") == 0) return u"中繼憑證授權單位：";
    return u"受信任的根憑證授權單位：";
}

}  // namespace

CertificateSummary summarizeCertificate(PCCERT_CONTEXT certificate) {
    CertView view(certificate);
    CertificateSummary summary;
    summary.holder = view.subjectCN().empty() ? view.subject() : view.subjectCN();
    summary.issuer = view.issuerCN().empty() ? view.issuer() : view.issuerCN();
    summary.thumbprint = view.thumbprintHex();
    return summary;
}

SignConsentDialog::SignConsentDialog(const std::string& site, const CertificateSummary& certificate,
                                     std::u16string_view content)
    : site_(site), certificate_(certificate), length_(characterCount(content)) {
    sha256_ = sha256Fingerprint(toUtf8(content));
    shownWhole_ = length_ <= kSignTextShownWhole;
    message_ = toAnsi(u"這個網站要求以您的憑證簽署下列內容。簽署後，您將受這段內容約束。\n") +
               certificateLines(certificate_);
    message_.pop_back();
    if (shownWhole_) {
        shownText_ = toAnsi(content);
        return;
    }
    shownText_ = toAnsi(startOf(content, kSignTextShownWhole)) + "\n...\n" +
                 toAnsi(u"（內容過長，只顯示開頭。全文共 ") + std::to_string(length_) +
                 toAnsi(u" 個字元，UTF-8 的 SHA-256：") + sha256_ + toAnsi(u"）");
}

const DialogResource& SignConsentDialog::resource() const {
    return kSignConsentResource;
}

KeyExportConsentDialog::KeyExportConsentDialog(const std::string& site,
                                               const CertificateSummary& certificate, KeyExport how,
                                               bool deletesCertificate)
    : site_(site), certificate_(certificate), how_(how), deletes_(deletesCertificate) {
    const char16_t* what = how == KeyExport::PfxFile
                               ? u"這個網站要求：將私密金鑰匯出到檔案。\n"
                               : u"這個網站要求：將私密金鑰以網站指定的密碼加密後交給網站。\n";
    message_ = certificateLines(certificate_) + toAnsi(what);
    if (deletes_) message_ += toAnsi(u"匯出後，這張憑證將從您的個人憑證存放區刪除。\n");
    message_ += toAnsi(u"取得私密金鑰的人可以您的名義簽章。是否允許匯出？");
}

const DialogResource& KeyExportConsentDialog::resource() const {
    return kKeyExportConsentResource;
}

RootInstallDialog::RootInstallDialog(PCCERT_CONTEXT certificate) {
    CertView view(certificate);
    subject_ = view.subject();
    issuer_ = view.issuer();
    notBefore_ = view.notBeforeDateTime();
    notAfter_ = view.notAfterDateTime();
    thumbprint_ = view.thumbprintHex();
    message_ = toAnsi(u"您即將安裝下列根憑證：\n") + line(u"主體：", subject_) +
               line(u"發行者：", issuer_) +
               line(u"有效期間：", notBefore_ + toAnsi(u" 至 ") + notAfter_) +
               line(u"憑證指紋 (SHA-1)：", thumbprint_) +
               toAnsi(
                   u"警告：安裝後，這張憑證簽發的所有憑證都會被信任。"
                   u"如果無法確認這張憑證的來源，請按「否」。\n"
                   u"是否安裝這張憑證？");
}

const DialogResource& RootInstallDialog::resource() const {
    return kRootInstallResource;
}

StoreGrowthConsentDialog::StoreGrowthConsentDialog(const std::string& site, StoreGrowth what,
                                                   uint64_t already,
                                                   std::span<const StoreAddition> additions)
    : site_(site), what_(what), already_(already) {
    if (what_ == StoreGrowth::Keys) {
        message_ = toAnsi(u"這個網站已在您的憑證存放區建立 ") + std::to_string(already_) +
                   toAnsi(u" 組金鑰。\n是否允許它再建立一組？\n");
    } else {
        adding_ = 0;
        std::string stores;
        for (const StoreAddition& addition : additions) {
            adding_ += addition.count;
            stores +=
                line(storeTitle(addition.store), std::to_string(addition.count) + toAnsi(u" 張"));
        }
        message_ = toAnsi(u"這個網站已在您的憑證存放區新增 ") + std::to_string(already_) +
                   toAnsi(u" 張憑證。\n是否允許它再新增 ") + std::to_string(adding_) +
                   toAnsi(u" 張？\n") + stores;
    }
    message_ += toAnsi(u"若您並未在這個網站申請憑證，請按「取消」。");
}

const DialogResource& StoreGrowthConsentDialog::resource() const {
    return kStoreGrowthConsentResource;
}

bool askSignConsent(const std::string& site, const CertificateSummary& certificate,
                    std::u16string_view content, bool* signFurther) {
    SignConsentDialog dialog(site, certificate, content);
    bool allowed = runDialog(dialog) == DialogOutcome::Ok && dialog.allowed();
    if (signFurther) *signFurther = allowed && dialog.signFurther();
    return allowed;
}

bool askKeyExportConsent(const std::string& site, const CertificateSummary& certificate,
                         KeyExport how, bool deletesCertificate) {
    KeyExportConsentDialog dialog(site, certificate, how, deletesCertificate);
    return runDialog(dialog) == DialogOutcome::Ok && dialog.allowed();
}

bool askRootInstall(PCCERT_CONTEXT certificate) {
    RootInstallDialog dialog(certificate);
    return runDialog(dialog) == DialogOutcome::Ok && dialog.allowed();
}

bool askStoreGrowthConsent(const std::string& site, StoreGrowth what, uint64_t already,
                           std::span<const StoreAddition> additions) {
    StoreGrowthConsentDialog dialog(site, what, already, additions);
    return runDialog(dialog) == DialogOutcome::Ok && dialog.allowed();
}

void installRootInstallConsent() {
    setRootInstallHook(askRootInstall);
}

}  // namespace ui
