#include "host/bridge/page_guard.h"

#include "ui/consent_dialogs.h"

namespace bridge {

bool PageGuard::allowSignature(const ui::CertificateSummary& certificate,
                               std::u16string_view content) {
    if (origin_.empty()) return CallerGuard::allowSignature(certificate, content);
    const std::string key = origin_ + "\n" + certificate.thumbprint;
    if (signingFurther_.count(key)) return true;
    bool further = false;
    if (!ui::askSignConsent(origin_, certificate, content, &further)) return false;
    if (further) signingFurther_.insert(key);
    return true;
}

bool PageGuard::allowKeyExport(const ui::CertificateSummary& certificate, ui::KeyExport how,
                               bool deletesCertificate) {
    if (origin_.empty()) return CallerGuard::allowKeyExport(certificate, how, deletesCertificate);
    return ui::askKeyExportConsent(origin_, certificate, how, deletesCertificate);
}

}  // namespace bridge
