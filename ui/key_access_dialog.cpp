#include "ui/key_access_dialog.h"

#include "platform/codepage.h"
#include "ui/dialogs.h"

namespace ui {

KeyAccessDialog::KeyAccessDialog(const KeyUseRequest& request)
    : container_(utf8ToAnsi(request.container)),
      provider_(utf8ToAnsi(request.provider)),
      operation_(utf8ToAnsi(request.operation)) {
    message_ = toAnsi(u"有程式要求使用受保護的私密金鑰。") + "\n" + toAnsi(u"金鑰容器：") +
               container_ + "\n" + toAnsi(u"作業：") + operation_ + "\n" +
               toAnsi(u"是否允許這次使用？");
}

bool askKeyAccess(const KeyUseRequest& request) {
    KeyAccessDialog dialog(request);
    return runDialog(dialog) == DialogOutcome::Ok && dialog.allowed();
}

void installKeyAccessConsent() {
    setKeyConsentHook(askKeyAccess);
}

}  // namespace ui
