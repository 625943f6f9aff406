// The providers: the built-in ones, then those registered for the user and for the
// machine.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypt/key_container_internal.h"
#include "platform/crypt/size_protocol.h"
#include "platform/registry/machine_hive.h"
#include "platform/registry/registry.h"
#include "platform/text/ascii.h"
#include "platform/text/codepage.h"
#include "platform/token/pkcs11.h"
#include "platform/token/token_provider.h"

namespace {

constexpr auto& fail = failWithLastError;

using key_containers::kBuiltInKeyset;
using key_containers::kMaxProvType;

struct BuiltInProvider {
    const char* name;
    DWORD type;
    DWORD defaultKeyBits;
};
// In the platform's enumeration order. The defaults of the types are named below.
constexpr BuiltInProvider kBuiltIns[] = {
    {MS_DEF_PROV_A, PROV_RSA_FULL, 512},
    {MS_ENHANCED_PROV_A, PROV_RSA_FULL, 1024},
    {MS_STRONG_PROV_A, PROV_RSA_FULL, 1024},
    {MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, 1024},
};
// A REG_DWORD value; 0 when it is missing or of another type.
DWORD readDwordValue(HKEY key, const char* name) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return 0;
    return value;
}

// A REG_SZ value without the terminators it was stored with; nullopt when it is
// missing or of another type.
std::optional<std::string> readStringValue(HKEY key, const char* name) {
    DWORD type = 0;
    std::string text;
    if (!fetchSized(text,
                    [&](char* data, DWORD* size) {
                        return RegQueryValueExA(key, name, nullptr, &type,
                                                reinterpret_cast<BYTE*>(data),
                                                size) == ERROR_SUCCESS;
                    }) ||
        type != REG_SZ)
        return std::nullopt;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

// Appends the provider an entry describes (`name` in UTF-8) unless a provider already
// listed has that name or the entry is unusable: a type out of range, or a backend other
// than software and pkcs11. A token provider without a module of its own reaches the
// system's modules through p11-kit's proxy; with neither it is not offered.
void appendProvider(std::vector<CryptProviderInfo>& out, const std::string& name, DWORD type,
                    const std::optional<std::string>& backend, const std::string& module,
                    const std::string& token, const std::string& source) {
    if (type == 0 || type > kMaxProvType || !backend) return;
    CryptProviderInfo info;
    if (text::equalsIgnoringAsciiCase(*backend, "software")) {
        info.backend = "software";
    } else if (text::equalsIgnoringAsciiCase(*backend, kTokenBackend)) {
        info.backend = kTokenBackend;
        info.module = module.empty() ? pkcs11::defaultModulePath() : module;
        if (info.module.empty()) return;
        info.token = token;
    } else {
        return;
    }
    bool taken = std::any_of(out.begin(), out.end(), [&](const CryptProviderInfo& p) {
        return text::equalsIgnoringAsciiCase(p.name, name);
    });
    if (taken) return;
    info.name = name;
    info.type = type;
    info.keyset = "provider:" + foldContainerName(name);
    info.source = source;
    out.push_back(std::move(info));
}

// Appends the usable entries under kRegisteredProvidersKey, in the registry's order.
void appendRegisteredProviders(std::vector<CryptProviderInfo>& out) {
    RegKeyHolder root;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRegisteredProvidersKey, 0, KEY_READ, root.out()) !=
        ERROR_SUCCESS)
        return;
    // A key name is at most 255 UTF-16 units, two bytes each in a double-byte code page.
    std::vector<char> name(2 * kMaxKeyNameChars + 1);
    for (DWORD index = 0;; ++index) {
        auto size = static_cast<DWORD>(name.size());
        LONG rc = RegEnumKeyExA(root.get(), index, name.data(), &size, nullptr, nullptr, nullptr,
                                nullptr);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) return;
        RegKeyHolder entry;
        if (RegOpenKeyExA(root.get(), name.data(), 0, KEY_QUERY_VALUE, entry.out()) !=
            ERROR_SUCCESS)
            continue;
        appendProvider(out, ansiToUtf8(std::string_view(name.data(), size)),
                       readDwordValue(entry.get(), "Type"), readStringValue(entry.get(), "Backend"),
                       readStringValue(entry.get(), "Module").value_or(""),
                       readStringValue(entry.get(), "Token").value_or(""), "user");
    }
}

// Appends the machine's providers (the same entries, below HKEY_LOCAL_MACHINE, in
// machine::keys order); their names are UTF-8 already.
void appendMachineProviders(std::vector<CryptProviderInfo>& out) {
    for (const machine::Key& key : machine::subkeys(kRegisteredProvidersKey)) {
        auto text = [&](const char* name) -> std::optional<std::string> {
            const machine::Value* v = machine::findValue(key, name);
            if (!v || v->type != REG_SZ) return std::nullopt;
            return v->text;
        };
        const machine::Value* type = machine::findValue(key, "Type");
        appendProvider(out, key.path.substr(key.path.find_last_of('\\') + 1),
                       type && type->type == REG_DWORD ? type->number : 0, text("Backend"),
                       text("Module").value_or(""), text("Token").value_or(""), key.source);
    }
}

}  // namespace

std::vector<CryptProviderInfo> cryptProviders() {
    std::vector<CryptProviderInfo> out;
    for (const BuiltInProvider& p : kBuiltIns)
        out.push_back({p.name, p.type, kBuiltInKeyset, p.defaultKeyBits, true, "software", "", ""});
    appendRegisteredProviders(out);
    appendMachineProviders(out);
    return out;
}

std::optional<CryptProviderInfo> findCryptProvider(std::string_view name) {
    for (CryptProviderInfo& p : cryptProviders())
        if (text::equalsIgnoringAsciiCase(p.name, name)) return std::move(p);
    return std::nullopt;
}

std::optional<CryptProviderInfo> defaultCryptProvider(DWORD type) {
    switch (type) {
        case PROV_RSA_FULL:
            return findCryptProvider(MS_ENHANCED_PROV_A);
        case PROV_RSA_AES:
            return findCryptProvider(MS_ENH_RSA_AES_PROV_A);
        default:
            return std::nullopt;
    }
}

BOOL CryptEnumProvidersA(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                         LPSTR szProvName, DWORD* pcbProvName) {
    if (pdwReserved || !pcbProvName) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags) return fail(NTE_BAD_FLAGS);
    std::vector<CryptProviderInfo> all = cryptProviders();
    if (dwIndex >= all.size()) return fail(ERROR_NO_MORE_ITEMS);
    const CryptProviderInfo& provider = all[dwIndex];
    if (pdwProvType) *pdwProvType = provider.type;
    return giveOutText(utf8ToAnsi(provider.name), szProvName, pcbProvName);
}
