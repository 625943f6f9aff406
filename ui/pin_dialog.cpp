#include "ui/pin_dialog.h"

#include "platform/text/codepage.h"
#include "ui/dialogs.h"

namespace ui {

PinDialog::PinDialog(const PinRequest& request)
    : token_(utf8ToAnsi(request.token)),
      countLow_(request.countLow),
      finalTry_(request.finalTry),
      oneSignature_(request.oneSignature) {
    message_ = toAnsi(u"請輸入智慧卡「") + token_ + toAnsi(u"」的 PIN 碼。");
    if (oneSignature_)
        message_ += '\n' + toAnsi(u"此 PIN 碼僅授權這一次簽章，下次簽章須重新輸入。");
    // A token tells only that tries were lost or that one is left, not how many.
    if (finalTry_ || countLow_) message_ += '\n';
    if (finalTry_)
        message_ += toAnsi(u"注意：再輸入一次錯誤的 PIN 碼，智慧卡就會鎖住。");
    else if (countLow_)
        message_ += toAnsi(u"注意：已輸入過錯誤的 PIN 碼，剩下的嘗試次數不多。");
}

bool askTokenPin(const PinRequest& request, SecretBytes& pin) {
    PinDialog dialog(request);
    pin.clear();
    if (runDialog(dialog) != DialogOutcome::Ok || !dialog.accepted()) return false;
    std::string_view typed = dialog.pin().view();
    pin = SecretBytes(reinterpret_cast<const BYTE*>(typed.data()), typed.size());
    return true;
}

void installPinPrompt() {
    setTokenPinHook(askTokenPin);
}

}  // namespace ui
