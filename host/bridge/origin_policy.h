// Which web origins may drive the control through the browser bridge: the origin's form,
// the user's development mode, the origins the user allowed for good (in the registry,
// under HKCU\Software\Kestrune\Bridge\Origins) and the answers of this session.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ui/origin_consent_dialog.h"

namespace bridge {

constexpr const char* kBridgeKey = "Software\\Kestrune\\Bridge";
constexpr const char* kOriginsKey = "Software\\Kestrune\\Bridge\\Origins";
constexpr const char* kDevelopmentValue = "DevelopmentMode";

enum class OriginForm {
    Secure,     // https://host[:port]
    Local,      // http://localhost, http://127.0.0.1 or http://[::1], any port
    Insecure,   // any other http: origin
    Malformed,  // not a serialised origin of a web page (other schemes, paths, "null")
};

// Classifies an origin as browsers serialise it (RFC 6454 section 6.1): a lower-case
// scheme, "://", a lower-case host or bracketed IPv6 address, an optional port, nothing
// after it.
OriginForm classifyOrigin(const std::string& origin);

// Development mode lets local http: origins in. False when unset or unreadable.
bool developmentMode();
// The command line that turns development mode on, for messages that point to it.
constexpr const char* kDevelopOnCommand = "kscapi bridge develop on";

// Why `origin` is refused, for the page's error message: a local http: origin is told
// that development mode lets it in and which command turns that on.
std::string refusalMessage(const std::string& origin);
// Sets or clears development mode. ERROR_SUCCESS or the registry's error.
long setDevelopmentMode(bool on);

// The origins the user allowed for good, in name order. Empty when none or unreadable.
std::vector<std::string> rememberedOrigins();
// ERROR_SUCCESS or the registry's error.
long rememberOrigin(const std::string& origin);
// ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when the origin was not remembered, or the
// registry's error.
long forgetOrigin(const std::string& origin);
bool isRemembered(const std::string& origin);

enum class Admission {
    Allowed,
    Refused,  // the origin's form is never allowed (or needs development mode)
    Denied,   // the user said no (now or earlier in this session)
};

// One session's decisions: asks the user (through `ask`, the consent dialog by default)
// the first time an origin that may be allowed comes, keeps "allow once" and "deny" for
// the session and writes "always" to the registry.
class OriginPolicy {
  public:
    using Ask = std::function<ui::OriginChoice(const std::string& origin)>;
    explicit OriginPolicy(Ask ask = ui::askOriginConsent) : ask_(std::move(ask)) {}

    Admission admit(const std::string& origin);

  private:
    Ask ask_;
    std::set<std::string> allowed_;
    std::set<std::string> denied_;
};

}  // namespace bridge
