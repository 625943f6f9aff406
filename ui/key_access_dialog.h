// Model of the consent dialog (207) shown before each use of a private key that was
// created user-protected: it names the certificate whose key it is (when one of the
// personal store names the container), the key container and the operation that wants
// the key, and the user allows this one use (OK) or refuses it (Cancel or any other
// ending). Backends open it with Cancel focused and OK enabled only after
// kConsentArmDelayMs (consent_dialogs.h).
#pragma once

#include <string>

#include "platform/crypt/key_container.h"
#include "ui/caller_guard.h"
#include "ui/dialog_resource.h"

namespace ui {

class KeyAccessDialog {
  public:
    // The request comes from the platform layer (UTF-8 names); the model keeps ANSI text.
    // `certificate` (may be null) is the certificate the key belongs to.
    explicit KeyAccessDialog(const KeyUseRequest& request,
                             const CertificateSummary* certificate = nullptr);
    KeyAccessDialog(const KeyAccessDialog&) = delete;
    KeyAccessDialog& operator=(const KeyAccessDialog&) = delete;

    static const char* kind() { return "KeyAccessDialog"; }
    const DialogResource& resource() const { return kKeyAccessResource; }
    std::string caption() const { return kKeyAccessResource.ansiCaption(); }
    // The whole text of the dialog's message label (ANSI, lines separated by "\n").
    const std::string& message() const { return message_; }
    const std::string& container() const { return container_; }
    const std::string& provider() const { return provider_; }
    // The operation as the platform layer names it; the message describes it.
    const std::string& operation() const { return operation_; }

    // OK allows the use; Cancel refuses it. Nothing is allowed until OK is pressed.
    void pressOk() { allowed_ = true; }
    void pressCancel() { allowed_ = false; }
    bool allowed() const { return allowed_; }

  private:
    std::string container_;
    std::string provider_;
    std::string operation_;
    std::string message_;
    bool allowed_ = false;
};

// Asks through the process's backend whether the use may go ahead, naming the
// certificate of the personal store whose key it is: true only when the dialog was shown
// and ended with OK. A backend that cannot show it refuses.
bool askKeyAccess(const KeyUseRequest& request);

// Makes the platform layer ask through askKeyAccess before every use of a protected key.
// Engines call it when they start; calling it again changes nothing.
void installKeyAccessConsent();

}  // namespace ui
