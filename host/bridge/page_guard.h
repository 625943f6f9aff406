// The rules a web page is held to when it drives the control through the bridge: the
// engine's questions (ui/caller_guard.h) answered for the page whose call runs now.
// SECURITY.md says what each rule stops.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "ui/caller_guard.h"

namespace bridge {

// Where the pages' registry values live: one key per origin below it, which is that
// origin's HKEY_CURRENT_USER.
constexpr const char* kSitesKey = "Software\\Kestrune\\Bridge\\Sites";
// The most a page may store: one string value, and its whole registry key with the names
// of its keys and values.
constexpr size_t kMaxPageStringBytes = 64 * 1024;
constexpr size_t kMaxPageHiveBytes = 1024 * 1024;
// Wrong passwords a page may pass for one PFX file before only the user's count.
constexpr int kGivenPasswordTries = 3;
// What each origin has added to the user's key database and certificate stores, kept
// where no page reaches: one key per origin below it, with the REG_DWORD values below.
constexpr const char* kUsageKey = "Software\\Kestrune\\Bridge\\Usage";
constexpr const char* kKeysCreatedValue = "KeysCreated";
constexpr const char* kCertificatesAddedValue = "CertificatesAdded";
// What a site may add unasked, for good: more than any enrollment of a few certificates
// with their chains and renewals needs. Beyond it the user is asked each time.
constexpr uint32_t kFreePageKeys = 8;
constexpr uint32_t kFreePageCertificates = 64;

// Forgets what `origin` added (the user revoked the site): ERROR_SUCCESS,
// ERROR_FILE_NOT_FOUND when nothing was counted, or the registry's error.
long forgetPageUsage(const std::string& origin);

class PageGuard : public ui::CallerGuard {
  public:
    // The origin (UTF-8, as the browser reported it) of the page whose call runs now;
    // empty between calls, when the guard answers as for no page at all.
    void setOrigin(const std::string& origin) { origin_ = origin; }
    const std::string& origin() const { return origin_; }

    // How the guard holds back an answer after a wrong password (tests count instead).
    using Wait = std::function<void(std::chrono::seconds)>;
    void setWait(Wait wait) { wait_ = std::move(wait); }

    // A page's HKEY_CURRENT_USER is kSitesKey\<origin>: no path it names leads out of it.
    std::string registryRoot() override;
    // Refuses a string above kMaxPageStringBytes, or a write after which the page's key
    // would hold more than kMaxPageHiveBytes of names and data.
    bool mayStoreValue(const std::string& keyPath, const std::string& valueName,
                       size_t bytes) override;
    // A page's file or folder is used as given only when the control handed it that
    // path. A file to be written must be one the user chose for writing, or else be new
    // and end in ".pfx" or ".p12".
    bool useGivenPath(const std::string& path, ui::PathUse use) override;
    void pathHanded(const std::string& path, ui::PathUse use) override;
    // A page's password for a file is tried until kGivenPasswordTries were wrong; every
    // wrong one after those holds the answer back a second longer than the one before.
    bool tryGivenPassword(const std::string& path) override;
    void passwordTried(const std::string& path, bool right) override;

    // --- Signatures and private keys: the user is asked in the sign and key-export
    // consent dialogs, which name the page. A page's first signature with a certificate
    // is always asked; when the user lets the page sign further texts with that
    // certificate, its later signatures go unasked until the process (the page) ends.
    bool allowSignature(const ui::CertificateSummary& certificate,
                        std::u16string_view content) override;
    bool allowKeyExport(const ui::CertificateSummary& certificate, ui::KeyExport how,
                        bool deletesCertificate) override;

    // --- The user's stores: a page adds up to kFreePageKeys key containers and
    // kFreePageCertificates certificates unasked; each operation beyond asks the user in
    // the store-growth consent dialog. What is let through counts, across processes.
    bool allowNewKeyContainer() override;
    bool allowNewCertificates(std::span<const ui::StoreAddition> additions) override;

  private:
    // Whether the page may add `adding` more to its count `valueName`, free up to `free`,
    // else when the user lets it (asked with the count so far); the count grows when so.
    bool mayGrow(const char* valueName, uint32_t free, uint64_t adding,
                 const std::function<bool(uint64_t already)>& ask);

    // What the guard keeps for one origin while the host runs.
    struct Page {
        std::set<std::string> handed;
        std::set<std::string> chosenForWriting;
        std::map<std::string, int> wrongPasswords;  // by the file's resolved path
    };

    std::string origin_;
    std::map<std::string, Page> pages_;
    Wait wait_;

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
