// Adding a certificate to the user's "ROOT" store makes everything it signed trusted, so
// the platform layer asks before it does: through a hook the dialog layer installs, much
// as protected keys ask before each use (key_container.h).
#pragma once

#include <functional>

#include "platform/crypt/wincrypt.h"

// Asks the user whether `certificate` may become a trusted root; true to add it. Called
// without any store lock held, on the thread that adds.
using RootInstallHook = std::function<bool(PCCERT_CONTEXT certificate)>;

// Installs the process's way of asking and returns the previous one; an empty hook
// removes it. Without a hook certificates are added unasked: a process with nobody to
// ask installs none, and a process that has dialogs installs one when its engine starts.
RootInstallHook setRootInstallHook(RootInstallHook hook);

// For one scope on the calling thread, adds to "ROOT" go unasked: the user's own command
// that adds a certificate they named themselves.
class RootInstallByUser {
  public:
    RootInstallByUser();
    ~RootInstallByUser();
    RootInstallByUser(const RootInstallByUser&) = delete;
    RootInstallByUser& operator=(const RootInstallByUser&) = delete;

  private:
    bool previous_;
};

// Whether adding `certificate` to the system store `storeName` may go ahead: true at once
// for another store, a certificate already in "ROOT", a scope of RootInstallByUser or no
// hook; else the hook's answer. CertAddCertificateContextToStore fails with
// ERROR_CANCELLED when this is false.
bool rootInstallAllowed(const char* storeName, PCCERT_CONTEXT certificate, bool alreadyThere);
