#include "ui/key_access_dialog.h"

#include <optional>

#include "platform/crypt/crypt_holders.h"
#include "platform/store/key_prov_info.h"
#include "platform/text/codepage.h"
#include "ui/consent_dialogs.h"
#include "ui/dialogs.h"

namespace ui {
namespace {

struct OperationText {
    const char* operation;  // as the platform layer names it
    const char16_t* text;
};
constexpr OperationText kOperations[] = {
    {"sign a hash", u"簽署雜湊值"},
    {"sign a message", u"簽署訊息"},
    {"sign a certificate request", u"簽署憑證申請"},
    {"export a private key", u"匯出私密金鑰"},
    {"export", u"匯出憑證與私密金鑰"},
};

// What the user reads for an operation: its own text when there is one, else its name.
std::string describe(const std::string& operation) {
    for (const OperationText& o : kOperations)
        if (operation == o.operation) return toAnsi(o.text);
    return utf8ToAnsi(operation);
}

// The certificate of the personal store whose key is in `request`'s container.
std::optional<CertificateSummary> certificateOf(const KeyUseRequest& request) {
    CertStoreHolder my(CertOpenSystemStoreA(0, "MY"));
    if (!my) return std::nullopt;
    const std::u16string container = fromUtf8(request.container);
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(my.get(), nullptr); cert;
         cert = CertEnumCertificatesInStore(my.get(), cert)) {
        KeyProvInfo info = readKeyProvInfo(cert);
        if (info && info->pwszContainerName && info->pwszContainerName == container) {
            CertificateSummary summary = summarizeCertificate(cert);
            CertFreeCertificateContext(cert);
            return summary;
        }
    }
    return std::nullopt;
}

}  // namespace

KeyAccessDialog::KeyAccessDialog(const KeyUseRequest& request,
                                 const CertificateSummary* certificate)
    : container_(utf8ToAnsi(request.container)),
      provider_(utf8ToAnsi(request.provider)),
      operation_(utf8ToAnsi(request.operation)) {
    message_ = toAnsi(u"有程式要求使用受保護的私密金鑰。") + "\n";
    if (certificate)
        message_ += toAnsi(u"憑證持有者：") + certificate->holder + "\n" + toAnsi(u"發行者：") +
                    certificate->issuer + "\n";
    message_ += toAnsi(u"金鑰容器：") + container_ + "\n" + toAnsi(u"作業：") +
                describe(request.operation) + "\n" + toAnsi(u"是否允許這次使用？");
}

bool askKeyAccess(const KeyUseRequest& request) {
    std::optional<CertificateSummary> certificate = certificateOf(request);
    KeyAccessDialog dialog(request, certificate ? &*certificate : nullptr);
    return runDialog(dialog) == DialogOutcome::Ok && dialog.allowed();
}

void installKeyAccessConsent() {
    setKeyConsentHook(askKeyAccess);
}

}  // namespace ui
