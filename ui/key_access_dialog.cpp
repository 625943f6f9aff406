#include "ui/key_access_dialog.h"

#include "platform/codepage.h"
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
};

// What the user reads for an operation: its own text when there is one, else its name.
std::string describe(const std::string& operation) {
    for (const OperationText& o : kOperations)
        if (operation == o.operation) return toAnsi(o.text);
    return utf8ToAnsi(operation);
}

}  // namespace

KeyAccessDialog::KeyAccessDialog(const KeyUseRequest& request)
    : container_(utf8ToAnsi(request.container)),
      provider_(utf8ToAnsi(request.provider)),
      operation_(utf8ToAnsi(request.operation)) {
    message_ = toAnsi(u"有程式要求使用受保護的私密金鑰。") + "\n" + toAnsi(u"金鑰容器：") +
               container_ + "\n" + toAnsi(u"作業：") + describe(request.operation) + "\n" +
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
