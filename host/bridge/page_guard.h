// The rules a web page is held to when it drives the control through the bridge: the
// engine's questions (ui/caller_guard.h) answered for the page whose call runs now.
// SECURITY.md says what each rule stops.
#pragma once

#include <string>

#include "ui/caller_guard.h"

namespace bridge {

class PageGuard : public ui::CallerGuard {
  public:
    // The origin (UTF-8, as the browser reported it) of the page whose call runs now;
    // empty between calls, when the guard answers as for no page at all.
    void setOrigin(const std::string& origin) { origin_ = origin; }
    const std::string& origin() const { return origin_; }

  private:
    std::string origin_;
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
