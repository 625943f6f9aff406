#include "ui/origin_consent_dialog.h"

#include "platform/text/codepage.h"
#include "ui/dialogs.h"

namespace ui {

OriginConsentDialog::OriginConsentDialog(const std::string& origin) : origin_(origin) {
    message_ = toAnsi(u"是否允許 ") + origin_ + toAnsi(u" 使用您的憑證與金鑰？") + "\n" +
               toAnsi(u"允許後，這個網站可以要求簽章、匯入與匯出憑證。");
}

OriginChoice askOriginConsent(const std::string& origin) {
    OriginConsentDialog dialog(origin);
    if (runDialog(dialog) != DialogOutcome::Ok) return OriginChoice::Deny;
    return dialog.choice();
}

}  // namespace ui
