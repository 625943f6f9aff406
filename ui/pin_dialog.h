// Model of the PIN dialog (209) shown when a smart card or token needs its user to log
// in: it names the token (with its reader when two present tokens share a label), says
// when the PIN authorises one signature only (a key that asks at every use) and, when
// the token reports them, warns that wrong PINs were entered or that one more locks it. The PIN
// typed goes to the token once and is wiped.
#pragma once

#include <string>
#include <string_view>

#include "core/secret_string.h"
#include "platform/token/token_provider.h"
#include "ui/dialog_resource.h"

namespace ui {

class PinDialog {
  public:
    // The request comes from the platform layer (UTF-8 names); the model keeps ANSI text.
    explicit PinDialog(const PinRequest& request);
    PinDialog(const PinDialog&) = delete;
    PinDialog& operator=(const PinDialog&) = delete;

    static const char* kind() { return "PinDialog"; }
    const DialogResource& resource() const { return kPinResource; }
    std::string caption() const { return kPinResource.ansiCaption(); }
    // The whole text of the message label (ANSI, lines separated by "\n").
    const std::string& message() const { return message_; }
    const std::string& token() const { return token_; }
    bool countLow() const { return countLow_; }
    bool finalTry() const { return finalTry_; }
    bool oneSignature() const { return oneSignature_; }

    // What the PIN box holds now (UTF-8, as tokens take PINs), replacing what it held.
    void typePin(std::string_view utf8) { pin_.assign(utf8); }
    // OK hands the PIN over; Cancel, Escape or closing the dialog does not.
    void pressOk() { accepted_ = true; }
    void pressCancel() {
        accepted_ = false;
        pin_.clear();
    }
    bool accepted() const { return accepted_; }
    const SecretString& pin() const { return pin_; }

  private:
    std::string token_;
    std::string message_;
    bool countLow_ = false;
    bool finalTry_ = false;
    bool oneSignature_ = false;
    bool accepted_ = false;
    SecretString pin_;
};

// Asks through the process's backend for the token's PIN: true with the PIN (UTF-8) in
// `pin` only when the dialog was shown and ended with OK.
bool askTokenPin(const PinRequest& request, SecretBytes& pin);

// Makes the platform layer ask through askTokenPin whenever a token needs a login.
// Engines call it when they start; calling it again changes nothing.
void installPinPrompt();

}  // namespace ui
