// Holders of one open certificate store for the length of one operation: CertStore owns
// the user's personal store "MY" or an empty memory store; PfxStore owns the temporary
// store a PFX file is loaded into and, when it closes, deletes the key containers that
// loading created (unless an import keeps them). Each records the platform's last-error
// value of its last failing call in platformError(), which callers copy into the
// engine's capiError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/crypt/wincrypt.h"
#include "platform/store/key_prov_info.h"
#include "status/error_pair.h"
#include "store/cert_list.h"

class CertStore {
  public:
    CertStore() = default;
    // Close().
    ~CertStore();
    CertStore(const CertStore&) = delete;
    CertStore& operator=(const CertStore&) = delete;

    // Closes what is open, then opens the current user's "MY" store. 0, or 5201 with
    // platformError set (the holder stays closed).
    ErrorCode OpenMy();
    // Closes what is open, then creates an empty memory store. 0, or 5226 with
    // platformError set.
    ErrorCode OpenMemory();
    // Closes the store if one is open; platformError becomes 0. Idempotent.
    void Close();
    // readKeyProvInfo, its last error kept in platformError (unchanged for a null
    // certificate).
    KeyProvInfo GetKeyProvInfo(PCCERT_CONTEXT certificate);
    // Adds a certificate with its own private key, replacing the one with its thumbprint
    // (CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES). When a certificate was
    // replaced and its key container is not the new one, that container is deleted,
    // but only when no certificate of "MY", "CA" or "ROOT" names it any more: a
    // re-import leaves no container nothing refers to. TRUE, *added (optional)
    // receiving the store's context, which the caller frees; FALSE when the add fails,
    // with platformError set (a failed deletion is not reported): NTE_BAD_PUBLIC_KEY
    // when the key the certificate names is not its own, nothing added or replaced.
    BOOL AddKeyedCertificate(PCCERT_CONTEXT certificate, PCCERT_CONTEXT* added);

    // The open store (null when closed); it stays the holder's.
    HCERTSTORE handle() const { return store_; }
    DWORD platformError() const { return platformError_; }

    // Every acceptable certificate of the open store (mode 2 of dwFlags: only the best
    // one), by the filter rules; `list` is emptied first and receives duplicates the
    // caller owns. 0, 5010, 5011, 5012 or 5017; platformError as the search sets it.
    ErrorCode FindCertificates(CertList& list, const std::string& filter, int32_t dwFlags,
                               int32_t dwKeyUsage);

  private:
    HCERTSTORE store_ = nullptr;
    DWORD platformError_ = 0;
};

class PfxStore {
  public:
    PfxStore() = default;
    // Close().
    ~PfxStore();
    PfxStore(const PfxStore&) = delete;
    PfxStore& operator=(const PfxStore&) = delete;

    // Loads the PFX file at `path` (narrow, ANSI code page) with `password` (the same;
    // an empty one also opens a file protected with no password at all). Bit 0x1 of
    // `flags` makes the imported keys exportable, bit 0x2 user-protected; other bits are
    // ignored. Whatever was loaded before is closed first (its key containers deleted
    // while deleteKeysOnClose() holds), even when this load then fails. Returns 0, 5005
    // (empty path), 5401 (file missing, unreadable or empty), 5207 (not a PFX, or one
    // asking for more than 1,000,000 iterations of key derivation in all: platformError
    // ERROR_INVALID_DATA) or 5208 (password rejected or import failed); platformError
    // tells the platform's reason.
    // The password's wide copy and the file's bytes are wiped.
    ErrorCode Load(const std::string& path, std::string_view password, int32_t flags);
    // Deletes the key containers of the store's certificates if deleteKeysOnClose(),
    // then closes the store; platformError becomes 0 (failed deletions are not
    // reported). Idempotent.
    void Close();
    // For each certificate of the store, in order: deletes the key container its
    // private key lives in. A certificate without a usable key is passed over; failures
    // are recorded in platformError and the walk goes on.
    void DeleteKeyContainers();
    // readKeyProvInfo, its last error kept in platformError (unchanged for a null
    // certificate).
    KeyProvInfo GetKeyProvInfo(PCCERT_CONTEXT certificate);

    HCERTSTORE handle() const { return store_; }
    DWORD platformError() const { return platformError_; }
    // Installs the process's observer of loads, called after each successful Load while
    // the key containers it made exist (the host stops there when told to, so that its
    // tests can kill it in the middle of a PFX operation); an empty one removes it.
    static void setLoadObserver(std::function<void()> observer);
    // True from construction; an import that installs the file's certificates for good
    // clears it, so that their key containers outlive the holder.
    bool deleteKeysOnClose() const { return deleteKeysOnClose_; }
    void setDeleteKeysOnClose(bool value) { deleteKeysOnClose_ = value; }
    // The first acceptable certificate of the loaded store, in the file's order; codes
    // as CertStore::FindCertificates.
    ErrorCode FindFirstCertificate(CertList& list, const std::string& filter, int32_t dwFlags,
                                   int32_t dwKeyUsage);

  private:
    HCERTSTORE store_ = nullptr;
    DWORD platformError_ = 0;
    bool deleteKeysOnClose_ = true;
};
