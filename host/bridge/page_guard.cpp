#include "host/bridge/page_guard.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/system/files.h"
#include "ui/consent_dialogs.h"

namespace bridge {

namespace {

// What a key or a value costs beside its name and data, so that a page cannot fill the
// registry with empty keys or values for free.
constexpr uint64_t kKeyCost = 64;
constexpr uint64_t kValueCost = 16;

bool hasPfxExtension(const std::string& path) {
    if (path.size() < 4) return false;
    const char* tail = path.c_str() + path.size() - 4;
    return strcasecmp(tail, ".pfx") == 0 || strcasecmp(tail, ".p12") == 0;
}

// Anything at all at the path, a dangling link included.
bool somethingAt(const std::string& path) {
    struct stat st {};
    return ::lstat(nativePath(path).c_str(), &st) == 0;
}

// One spelling per file for counting its passwords ("a//b", "./b" and links are one).
std::string resolvedPath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(nativePath(path), ec);
    return ec ? path : resolved.string();
}

// The names and data stored below `root`, with the cost of each key and value. Walked
// with a list rather than recursion: a page's keys may nest thousands deep.
uint64_t storedBytes(HKEY root) {
    uint64_t total = 0;
    std::vector<RegKeyHolder> pending;
    pending.emplace_back();
    if (RegOpenKeyExA(root, "", 0, KEY_READ, pending.back().out()) != ERROR_SUCCESS) return 0;
    std::vector<char> name;
    while (!pending.empty()) {
        RegKeyHolder key = std::move(pending.back());
        pending.pop_back();
        DWORD subKeys = 0, longestKey = 0, values = 0, longestValue = 0;
        if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, &longestKey, nullptr,
                             &values, &longestValue, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        name.resize(std::max(longestKey, longestValue) + 1);
        for (DWORD i = 0; i < values; ++i) {
            DWORD nameLength = static_cast<DWORD>(name.size()), dataLength = 0;
            if (RegEnumValueA(key.get(), i, name.data(), &nameLength, nullptr, nullptr, nullptr,
                              &dataLength) == ERROR_SUCCESS)
                total += kValueCost + nameLength + dataLength;
        }
        for (DWORD i = 0; i < subKeys; ++i) {
            DWORD nameLength = static_cast<DWORD>(name.size());
            if (RegEnumKeyExA(key.get(), i, name.data(), &nameLength, nullptr, nullptr, nullptr,
                              nullptr) != ERROR_SUCCESS)
                continue;
            total += kKeyCost + nameLength;
            RegKeyHolder child;
            if (RegOpenKeyExA(key.get(), name.data(), 0, KEY_READ, child.out()) == ERROR_SUCCESS)
                pending.push_back(std::move(child));
        }
    }
    return total;
}

// What a key path that does not exist yet would cost once created.
uint64_t newKeysCost(const std::string& keyPath) {
    uint64_t total = 0;
    size_t start = 0;
    while (start <= keyPath.size()) {
        size_t end = keyPath.find('\\', start);
        if (end == std::string::npos) end = keyPath.size();
        if (end > start) total += kKeyCost + (end - start);
        start = end + 1;
    }
    return total;
}

std::string usagePath(const std::string& origin) {
    return std::string(kUsageKey) + "\\" + origin;
}

}  // namespace

long forgetPageUsage(const std::string& origin) {
    return RegDeleteTreeA(HKEY_CURRENT_USER, usagePath(origin).c_str());
}

bool PageGuard::mayGrow(const char* valueName, uint32_t free, uint64_t adding,
                        const std::function<bool(uint64_t already)>& ask) {
    RegKeyHolder usage;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, usagePath(origin_).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, usage.out(),
                        nullptr) != ERROR_SUCCESS)
        return false;  // a count that cannot be kept would let the page grow unseen
    DWORD already = 0, size = sizeof already, type = REG_NONE;
    if (RegQueryValueExA(usage.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&already),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof already)
        already = 0;
    uint64_t after = uint64_t{already} + adding;
    if (after > free && !ask(already)) return false;
    DWORD stored = static_cast<DWORD>(std::min<uint64_t>(after, UINT32_MAX));
    return RegSetValueExA(usage.get(), valueName, 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&stored), sizeof stored) == ERROR_SUCCESS;
}

bool PageGuard::allowNewKeyContainer() {
    if (origin_.empty()) return CallerGuard::allowNewKeyContainer();
    return mayGrow(kKeysCreatedValue, kFreePageKeys, 1, [this](uint64_t already) {
        return ui::askStoreGrowthConsent(origin_, ui::StoreGrowth::Keys, already, {});
    });
}

bool PageGuard::allowNewCertificates(std::span<const ui::StoreAddition> additions) {
    if (origin_.empty()) return CallerGuard::allowNewCertificates(additions);
    uint64_t adding = 0;
    for (const ui::StoreAddition& addition : additions) adding += addition.count;
    return mayGrow(kCertificatesAddedValue, kFreePageCertificates, adding,
                   [this, additions](uint64_t already) {
                       return ui::askStoreGrowthConsent(origin_, ui::StoreGrowth::Certificates,
                                                        already, additions);
                   });
}

std::string PageGuard::registryRoot() {
    if (origin_.empty()) return {};
    return std::string(kSitesKey) + "\\" + origin_;
}

bool PageGuard::mayStoreValue(const std::string& keyPath, const std::string& valueName,
                              size_t bytes) {
    if (origin_.empty()) return true;
    if (bytes > kMaxPageStringBytes) return false;
    RegKeyHolder root;
    std::string rootPath = registryRoot();
    if (RegCreateKeyExA(HKEY_CURRENT_USER, rootPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ, nullptr, root.out(), nullptr) != ERROR_SUCCESS)
        return false;
    uint64_t after = storedBytes(root.get()) + kValueCost + valueName.size() + bytes;
    RegKeyHolder key;
    if (RegOpenKeyExA(root.get(), keyPath.c_str(), 0, KEY_READ, key.out()) == ERROR_SUCCESS) {
        DWORD oldBytes = 0;
        // The value it replaces no longer counts.
        if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr, nullptr, &oldBytes) ==
            ERROR_SUCCESS)
            after -= kValueCost + valueName.size() + oldBytes;
    } else {
        after += newKeysCost(keyPath);
    }
    return after <= kMaxPageHiveBytes;
}

bool PageGuard::useGivenPath(const std::string& path, ui::PathUse use) {
    if (origin_.empty()) return true;
    Page& page = pages_[origin_];
    if (use != ui::PathUse::WriteFile) return page.handed.count(path) != 0;
    if (page.chosenForWriting.count(path)) return true;
    return hasPfxExtension(path) && !somethingAt(path);
}

void PageGuard::pathHanded(const std::string& path, ui::PathUse use) {
    if (origin_.empty() || path.empty()) return;
    Page& page = pages_[origin_];
    page.handed.insert(path);
    if (use == ui::PathUse::WriteFile) page.chosenForWriting.insert(path);
}

bool PageGuard::tryGivenPassword(const std::string& path) {
    if (origin_.empty()) return true;
    return pages_[origin_].wrongPasswords[resolvedPath(path)] < kGivenPasswordTries;
}

void PageGuard::passwordTried(const std::string& path, bool right) {
    // A right password clears nothing: else a page could guess between two signatures
    // with the signer's file for ever.
    if (origin_.empty() || right) return;
    int wrong = ++pages_[origin_].wrongPasswords[resolvedPath(path)];
    if (wrong <= kGivenPasswordTries) return;
    std::chrono::seconds delay(wrong - kGivenPasswordTries);
    if (wait_)
        wait_(delay);
    else
        std::this_thread::sleep_for(delay);
}

bool PageGuard::allowSignature(const ui::CertificateSummary& certificate,
                               std::u16string_view content) {
    if (origin_.empty()) return CallerGuard::allowSignature(certificate, content);
    const std::string key = origin_ + "\n" + certificate.thumbprint;
    if (signingFurther_.count(key)) return true;
    bool further = false;
    if (!ui::askSignConsent(origin_, certificate, content, &further)) return false;
    if (further) signingFurther_.insert(key);
    return true;
}

bool PageGuard::allowKeyExport(const ui::CertificateSummary& certificate, ui::KeyExport how,
                               bool deletesCertificate) {
    if (origin_.empty()) return CallerGuard::allowKeyExport(certificate, how, deletesCertificate);
    return ui::askKeyExportConsent(origin_, certificate, how, deletesCertificate);
}

}  // namespace bridge
