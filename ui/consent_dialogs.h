// Models of the dialogs that ask the user before something a caller asked for binds or
// exposes them: a signature a web page asks for (210), a private key leaving for a page
// (211), a certificate about to become trusted as a root (212), and a page that has
// already added many keys or certificates to the user's stores adding more (213). The
// first three name the certificate as the user would recognise it; all but the root's
// name the site. Nothing
// is allowed until the dialog's allow button was pressed: Cancel, Escape, closing the
// window and a dialog that cannot be shown all refuse. Backends open these dialogs with
// the refusing button focused and the allow button enabled only after
// kConsentArmDelayMs, so that a keystroke meant for the page cannot answer them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/crypt/wincrypt.h"
#include "ui/caller_guard.h"
#include "ui/dialog_resource.h"

namespace ui {

constexpr unsigned kConsentArmDelayMs = 500;

// Texts up to this many characters are shown whole; a longer one shows its start, its
// length and its SHA-256.
constexpr size_t kSignTextShownWhole = 2000;

// The summary of a certificate the consent dialogs show (ANSI texts).
CertificateSummary summarizeCertificate(PCCERT_CONTEXT certificate);

class SignConsentDialog {
  public:
    // `site` is the page's origin (UTF-8, as the browser reported it); `content` the text
    // to be signed as the page gave it.
    SignConsentDialog(const std::string& site, const CertificateSummary& certificate,
                      std::u16string_view content);
    SignConsentDialog(const SignConsentDialog&) = delete;
    SignConsentDialog& operator=(const SignConsentDialog&) = delete;

    static const char* kind() { return "SignConsent"; }
    const DialogResource& resource() const;
    std::string caption() const { return resource().ansiCaption(); }
    const std::string& site() const { return site_; }
    const CertificateSummary& certificate() const { return certificate_; }
    // The label above the text: the certificate and what signing means (ANSI, "\n"
    // between lines).
    const std::string& message() const { return message_; }
    // The text as shown in its scrolling box (ANSI): the whole text, or its start
    // followed by a line with its length and SHA-256.
    const std::string& shownText() const { return shownText_; }
    // The content's length in characters and the SHA-256 of its UTF-8 form (upper-case
    // hex).
    size_t length() const { return length_; }
    const std::string& sha256() const { return sha256_; }
    bool shownWhole() const { return shownWhole_; }

    void setSignFurther(bool on) { signFurther_ = on; }
    void pressSign() { allowed_ = true; }
    void pressCancel() { allowed_ = false; }
    bool allowed() const { return allowed_; }
    // Whether the page may sign further texts with this certificate unasked; only
    // meaningful once allowed.
    bool signFurther() const { return allowed_ && signFurther_; }

  private:
    std::string site_;
    CertificateSummary certificate_;
    std::string message_;
    std::string shownText_;
    std::string sha256_;
    size_t length_ = 0;
    bool shownWhole_ = true;
    bool signFurther_ = false;
    bool allowed_ = false;
};

class KeyExportConsentDialog {
  public:
    KeyExportConsentDialog(const std::string& site, const CertificateSummary& certificate,
                           KeyExport how, bool deletesCertificate);
    KeyExportConsentDialog(const KeyExportConsentDialog&) = delete;
    KeyExportConsentDialog& operator=(const KeyExportConsentDialog&) = delete;

    static const char* kind() { return "KeyExportConsent"; }
    const DialogResource& resource() const;
    std::string caption() const { return resource().ansiCaption(); }
    const std::string& site() const { return site_; }
    const CertificateSummary& certificate() const { return certificate_; }
    KeyExport how() const { return how_; }
    bool deletesCertificate() const { return deletes_; }
    const std::string& message() const { return message_; }

    void pressExport() { allowed_ = true; }
    void pressCancel() { allowed_ = false; }
    bool allowed() const { return allowed_; }

  private:
    std::string site_;
    CertificateSummary certificate_;
    KeyExport how_;
    bool deletes_;
    std::string message_;
    bool allowed_ = false;
};

class RootInstallDialog {
  public:
    // `certificate` stays the caller's.
    explicit RootInstallDialog(PCCERT_CONTEXT certificate);
    RootInstallDialog(const RootInstallDialog&) = delete;
    RootInstallDialog& operator=(const RootInstallDialog&) = delete;

    static const char* kind() { return "RootInstallDialog"; }
    const DialogResource& resource() const;
    std::string caption() const { return resource().ansiCaption(); }
    // ANSI texts; the dates "YYYY/MM/DD hh:mm:ss" in local time.
    const std::string& subject() const { return subject_; }
    const std::string& issuer() const { return issuer_; }
    const std::string& notBefore() const { return notBefore_; }
    const std::string& notAfter() const { return notAfter_; }
    const std::string& thumbprint() const { return thumbprint_; }
    const std::string& message() const { return message_; }

    void pressYes() { allowed_ = true; }
    void pressNo() { allowed_ = false; }
    bool allowed() const { return allowed_; }

  private:
    std::string subject_, issuer_, notBefore_, notAfter_, thumbprint_;
    std::string message_;
    bool allowed_ = false;
};

// What a page wants to add to the user's stores.
enum class StoreGrowth {
    Keys,          // one new key container
    Certificates,  // certificates into one or more stores
};

class StoreGrowthConsentDialog {
  public:
    // `already`: how many of `what` the site added before; `additions` the certificates
    // it adds now, by store (ignored for Keys, which add one container).
    StoreGrowthConsentDialog(const std::string& site, StoreGrowth what, uint64_t already,
                             std::span<const StoreAddition> additions);
    StoreGrowthConsentDialog(const StoreGrowthConsentDialog&) = delete;
    StoreGrowthConsentDialog& operator=(const StoreGrowthConsentDialog&) = delete;

    static const char* kind() { return "StoreGrowthConsent"; }
    const DialogResource& resource() const;
    std::string caption() const { return resource().ansiCaption(); }
    const std::string& site() const { return site_; }
    StoreGrowth what() const { return what_; }
    uint64_t already() const { return already_; }
    // How many keys or certificates the site adds now.
    uint64_t adding() const { return adding_; }
    const std::string& message() const { return message_; }

    void pressAllow() { allowed_ = true; }
    void pressCancel() { allowed_ = false; }
    bool allowed() const { return allowed_; }

  private:
    std::string site_;
    StoreGrowth what_;
    uint64_t already_;
    uint64_t adding_ = 1;
    std::string message_;
    bool allowed_ = false;
};

// Each asks through the process's backend; true only when the dialog was shown and
// ended with its allow button. `signFurther` (may be null) receives the user's choice.
bool askSignConsent(const std::string& site, const CertificateSummary& certificate,
                    std::u16string_view content, bool* signFurther);
bool askKeyExportConsent(const std::string& site, const CertificateSummary& certificate,
                         KeyExport how, bool deletesCertificate);
bool askRootInstall(PCCERT_CONTEXT certificate);
bool askStoreGrowthConsent(const std::string& site, StoreGrowth what, uint64_t already,
                           std::span<const StoreAddition> additions);

// Makes the platform layer ask through askRootInstall before a certificate is added to
// the user's "ROOT" store. Engines call it when they start; calling it again changes
// nothing.
void installRootInstallConsent();

}  // namespace ui
