#include "host/bridge/origin_policy.h"

#include "platform/registry/registry.h"

namespace bridge {

namespace {

bool isHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// RFC 3986 section 3.2.2 host as browsers serialise it: a lower-case registered name or
// IPv4 address, or an IPv6 address in brackets. True with the host (brackets kept) and
// the rest of the text from the port on.
bool splitHost(const std::string& text, std::string& host, std::string& rest) {
    size_t end;
    if (!text.empty() && text[0] == '[') {
        end = text.find(']');
        if (end == std::string::npos || end < 3) return false;
        for (size_t i = 1; i < end; ++i) {
            char c = text[i];
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.'))
                return false;
        }
        ++end;
    } else {
        end = 0;
        while (end < text.size() && isHostChar(text[end])) ++end;
        if (end == 0 || text[0] == '.' || text[end - 1] == '.' || text[0] == '-') return false;
    }
    host = text.substr(0, end);
    rest = text.substr(end);
    return true;
}

// Empty, or ":" and a port 1-65535 without leading zeros (browsers drop default ports).
bool validPort(const std::string& rest) {
    if (rest.empty()) return true;
    if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6 || rest[1] == '0') return false;
    unsigned value = 0;
    for (size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] < '0' || rest[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(rest[i] - '0');
    }
    return value <= 65535;
}

long openOrigins(REGSAM access, RegKeyHolder& key, bool create) {
    if (create)
        return RegCreateKeyExA(HKEY_CURRENT_USER, kOriginsKey, 0, nullptr, 0, access, nullptr,
                               key.out(), nullptr);
    return RegOpenKeyExA(HKEY_CURRENT_USER, kOriginsKey, 0, access, key.out());
}

}  // namespace

OriginForm classifyOrigin(const std::string& origin) {
    std::string scheme;
    if (origin.rfind("https://", 0) == 0)
        scheme = "https";
    else if (origin.rfind("http://", 0) == 0)
        scheme = "http";
    else
        return OriginForm::Malformed;
    std::string host, rest;
    if (!splitHost(origin.substr(scheme.size() + 3), host, rest) || !validPort(rest))
        return OriginForm::Malformed;
    if (scheme == "https") return OriginForm::Secure;
    if (host == "localhost" || host == "127.0.0.1" || host == "[::1]") return OriginForm::Local;
    return OriginForm::Insecure;
}

bool developmentMode() {
    DWORD value = 0, size = sizeof value, type = REG_NONE;
    RegKeyHolder key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kBridgeKey, 0, KEY_READ, key.out()) != ERROR_SUCCESS)
        return false;
    if (RegQueryValueExA(key.get(), kDevelopmentValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return false;
    return type == REG_DWORD && size == sizeof value && value != 0;
}

std::string refusalMessage(const std::string& origin) {
    std::string message = "origin not allowed to use the control: " + origin;
    // A developer serving a page from their own machine is the one who meets this; the
    // page only sees this text, so it names the way in.
    if (classifyOrigin(origin) == OriginForm::Local) {
        message += "; a local http: origin is allowed in development mode (run `";
        message += kDevelopOnCommand;
        message += "`)";
    }
    return message;
}

long setDevelopmentMode(bool on) {
    RegKeyHolder key;
    long rc = RegCreateKeyExA(HKEY_CURRENT_USER, kBridgeKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.out(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD value = on ? 1 : 0;
    return RegSetValueExA(key.get(), kDevelopmentValue, 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof value);
}

std::vector<std::string> rememberedOrigins() {
    std::vector<std::string> origins;
    RegKeyHolder key;
    if (openOrigins(KEY_READ, key, false) != ERROR_SUCCESS) return origins;
    for (DWORD i = 0;; ++i) {
        char name[kMaxValueNameChars + 1];
        DWORD size = sizeof name, type = REG_NONE, value = 0, valueSize = sizeof value;
        long rc = RegEnumValueA(key.get(), i, name, &size, nullptr, &type,
                                reinterpret_cast<BYTE*>(&value), &valueSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_MORE_DATA) continue;  // not one of ours: a DWORD fits
        if (rc != ERROR_SUCCESS) break;
        if (type == REG_DWORD && value == 1) origins.emplace_back(name, size);
    }
    return origins;
}

long rememberOrigin(const std::string& origin) {
    RegKeyHolder key;
    long rc = openOrigins(KEY_WRITE, key, true);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD value = 1;
    return RegSetValueExA(key.get(), origin.c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof value);
}

long forgetOrigin(const std::string& origin) {
    RegKeyHolder key;
    long rc = openOrigins(KEY_WRITE, key, false);
    if (rc != ERROR_SUCCESS) return rc;
    return RegDeleteValueA(key.get(), origin.c_str());
}

bool isRemembered(const std::string& origin) {
    RegKeyHolder key;
    if (openOrigins(KEY_READ, key, false) != ERROR_SUCCESS) return false;
    DWORD value = 0, size = sizeof value, type = REG_NONE;
    if (RegQueryValueExA(key.get(), origin.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS)
        return false;
    return type == REG_DWORD && value == 1;
}

Admission OriginPolicy::admit(const std::string& origin) {
    switch (classifyOrigin(origin)) {
        case OriginForm::Secure:
            break;
        case OriginForm::Local:
            if (developmentMode()) break;
            return Admission::Refused;
        case OriginForm::Insecure:
        case OriginForm::Malformed:
            return Admission::Refused;
    }
    if (denied_.count(origin)) return Admission::Denied;
    if (allowed_.count(origin) || isRemembered(origin)) return Admission::Allowed;
    switch (ask_(origin)) {
        case ui::OriginChoice::Always:
            // Allowed even when the registry cannot keep it: the user said yes.
            rememberOrigin(origin);
            [[fallthrough]];
        case ui::OriginChoice::Once:
            allowed_.insert(origin);
            return Admission::Allowed;
        case ui::OriginChoice::Deny:
            break;
    }
    denied_.insert(origin);
    return Admission::Denied;
}

}  // namespace bridge
