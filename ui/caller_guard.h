// What the engine asks before it acts for a caller that may not be the user: a web page
// that reaches the control through the browser bridge. The engine asks at each point
// where such a caller could otherwise reach the user's keys, files or settings unseen;
// the guard answers, asking the user through its own dialogs where it must.
//
// The default guard answers as the user would for themselves: every operation behaves as
// it always has for a command line or an in-process host. The bridge installs its own
// guard (and lends it to the module it loads, as it lends its dialog backend).
//
// All texts are narrow strings in the process's ANSI code page. One guard serves the
// whole process, like the dialog backend; calls arrive on the thread of the operation.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace ui {

// The certificate a key or signature belongs to, as the user would recognise it.
struct CertificateSummary {
    std::string holder;      // the subject's common name, else the whole subject
    std::string issuer;      // the issuer's common name, else the whole issuer
    std::string thumbprint;  // SHA-1 of the encoding, upper-case hex
};

// How a private key would leave the user's keeping.
enum class KeyExport {
    PfxFile,     // written to a PFX file under a password the caller chose
    MobileText,  // handed to the caller as mobile text under a password it chose
};

// Certificates an operation is about to add to one of the user's stores.
struct StoreAddition {
    const char* store;  // the system store's name: "MY", "CA" or "ROOT"
    size_t count;
};

// What a path the caller gave would be used for.
enum class PathUse {
    ReadFile,   // a file read (hashed, imported, loaded)
    WriteFile,  // a file written or replaced
    Folder,     // a folder a file is written into
};

class CallerGuard {
  public:
    virtual ~CallerGuard() = default;

    // --- The registry values a caller reads and writes (RegReadHKCU, RegWriteHKCU*).
    // The key under HKEY_CURRENT_USER that stands for the caller's HKEY_CURRENT_USER;
    // empty: HKEY_CURRENT_USER itself.
    virtual std::string registryRoot() { return {}; }
    // Whether the caller may store `bytes` bytes of data as `valueName` under `keyPath`
    // (relative to registryRoot()). False: the write is refused with 5906.
    virtual bool mayStoreValue(const std::string& keyPath, const std::string& valueName,
                               size_t bytes) {
        (void)keyPath, (void)valueName, (void)bytes;
        return true;
    }

    // --- Signatures and private keys.
    // Before a signature over `content` (the caller's text as it gave it, UTF-16) is made
    // with the key of `certificate`. False: no signature is made; the operation reports
    // 5070 with the platform value ERROR_CANCELLED.
    virtual bool allowSignature(const CertificateSummary& certificate,
                                std::u16string_view content) {
        (void)certificate, (void)content;
        return true;
    }
    // Before the private key of `certificate` leaves as `how`; `deletesCertificate` when
    // the operation then removes the certificate from the personal store. False: nothing
    // is written or returned; the operation reports 5070.
    virtual bool allowKeyExport(const CertificateSummary& certificate, KeyExport how,
                                bool deletesCertificate) {
        (void)certificate, (void)how, (void)deletesCertificate;
        return true;
    }

    // --- The user's key database and certificate stores.
    // Before a new key container is made for the caller. False: nothing is made; the
    // operation reports 5070 with the platform value ERROR_CANCELLED.
    virtual bool allowNewKeyContainer() { return true; }
    // Before the certificates of one operation are added, all stores at once (each entry's
    // count above 0). False: none is added; the operation reports 5070 with the platform
    // value ERROR_CANCELLED. A root still asks the user in its own dialog afterwards.
    virtual bool allowNewCertificates(std::span<const StoreAddition> additions) {
        (void)additions;
        return true;
    }

    // --- Files and folders.
    // Whether a path the caller gave may be used as given for `use`. False: the operation
    // asks the user instead, in the dialog or chooser it opens when the path is left out,
    // with the caller's path filled in for the user to confirm or change.
    virtual bool useGivenPath(const std::string& path, PathUse use) {
        (void)path, (void)use;
        return true;
    }
    // Told of a path the user chose in a dialog, or that the control handed the caller:
    // `use` WriteFile when the user chose that file in a dialog for it to be written or
    // replaced, Folder for a folder, ReadFile for any other file.
    virtual void pathHanded(const std::string& path, PathUse use) { (void)path, (void)use; }

    // --- Passwords of PFX files.
    // Whether a password the caller gave for the PFX file at `path` may be tried. False:
    // the operation asks for it in its password dialog instead.
    virtual bool tryGivenPassword(const std::string& path) {
        (void)path;
        return true;
    }
    // Told whether a password for the file at `path` was right, whoever gave it (the
    // caller or the user in a dialog); a guard may hold back the operation's answer after
    // a wrong one.
    virtual void passwordTried(const std::string& path, bool right) { (void)path, (void)right; }
};

// The process's guard (the default guard until a host installs another).
CallerGuard& callerGuard();
// Installs `guard` (null: the default) and returns the previous one.
std::unique_ptr<CallerGuard> setCallerGuard(std::unique_ptr<CallerGuard> guard);
// Tells the process's guard of the file at `folder` and `fileName` that the user chose in
// a dialog (`use` ReadFile, or WriteFile when chosen for writing) and of its folder.
void handChosenFile(const std::string& folder, const std::string& fileName, PathUse use);
// Whether the process's guard lets the caller's file at `path` be used as given for
// every use in `uses` and, with `password`, a password the caller gave for it be tried.
bool givenFileAccepted(const std::string& path, std::initializer_list<PathUse> uses, bool password);

// A guard that passes every question to `target`, which the caller keeps alive (a host
// lends its guard to a module loaded into it this way).
std::unique_ptr<CallerGuard> makeForwardingGuard(CallerGuard& target);

}  // namespace ui
