// Model of the consent dialog (208) a web site needs before its page may create control
// objects: it names the site's origin and the user allows it this time, allows it from
// now on, or refuses it (Deny, Escape or any other ending).
#pragma once

#include <string>

#include "ui/dialog_resource.h"

namespace ui {

enum class OriginChoice { Deny, Once, Always };

class OriginConsentDialog {
  public:
    // `origin` is the site as the browser reports it ("https://host[:port]", ASCII).
    explicit OriginConsentDialog(const std::string& origin);
    OriginConsentDialog(const OriginConsentDialog&) = delete;
    OriginConsentDialog& operator=(const OriginConsentDialog&) = delete;

    static const char* kind() { return "OriginConsent"; }
    const DialogResource& resource() const { return kOriginConsentResource; }
    std::string caption() const { return kOriginConsentResource.ansiCaption(); }
    const std::string& origin() const { return origin_; }
    // The whole text of the message label (ANSI, lines separated by "\n").
    const std::string& message() const { return message_; }

    void pressAllowOnce() { choice_ = OriginChoice::Once; }
    void pressAllowAlways() { choice_ = OriginChoice::Always; }
    void pressDeny() { choice_ = OriginChoice::Deny; }
    // Deny until an allow button is pressed.
    OriginChoice choice() const { return choice_; }

  private:
    std::string origin_;
    std::string message_;
    OriginChoice choice_ = OriginChoice::Deny;
};

// Asks through the process's backend whether `origin` may use the control. Deny unless
// the dialog was shown and ended with one of its allow buttons; a backend that cannot
// show it denies.
OriginChoice askOriginConsent(const std::string& origin);

}  // namespace ui
