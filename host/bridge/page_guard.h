// The rules a web page is held to when it drives the control through the bridge: the
// engine's questions (ui/caller_guard.h) answered for the page whose call runs now.
// SECURITY.md says what each rule stops.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "ui/caller_guard.h"

namespace bridge {

class PageGuard : public ui::CallerGuard {
  public:
    // The origin (UTF-8, as the browser reported it) of the page whose call runs now;
    // empty between calls, when the guard answers as for no page at all.
    void setOrigin(const std::string& origin) { origin_ = origin; }
    const std::string& origin() const { return origin_; }

    // --- Signatures and private keys: the user is asked in the sign and key-export
    // consent dialogs, which name the page. A page's first signature with a certificate
    // is always asked; when the user lets the page sign further texts with that
    // certificate, its later signatures go unasked until the process (the page) ends.
    bool allowSignature(const ui::CertificateSummary& certificate,
                        std::u16string_view content) override;
    bool allowKeyExport(const ui::CertificateSummary& certificate, ui::KeyExport how,
                        bool deletesCertificate) override;

  private:
    std::string origin_;
    // origin + "\n" + thumbprint of each certificate a page may sign with unasked.
    std::set<std::string> signingFurther_;
};

// Names the page whose call runs for one scope; null guard: nothing to do.
class ScopedPageCall {
  public:
    ScopedPageCall(PageGuard* guard, const std::string& origin) : guard_(guard) {
        if (guard_) guard_->setOrigin(origin);
    }
    ~ScopedPageCall() {
        if (guard_) guard_->setOrigin({});
    }
    ScopedPageCall(const ScopedPageCall&) = delete;
    ScopedPageCall& operator=(const ScopedPageCall&) = delete;

  private:
    PageGuard* guard_;
};

}  // namespace bridge
