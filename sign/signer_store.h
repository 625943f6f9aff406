// Finding the selected signer's certificate again for one signing call: the personal
// store, or the signer's PFX file loaded anew, searched by thumbprint.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "core/secret_string.h"
#include "status/error_pair.h"
#include "store/cert_list.h"
#include "store/cert_store.h"

// The engine's record of the selected signer, read-only for the signing calls.
struct SignerRef {
    int32_t source;  // 1 personal store, 2 PFX file, anything else: none
    const std::string& thumbprint;
    const ByteBuffer& certificate;
    const std::string& pfxPath;
    const std::string& pfxName;
    const SecretString& pfxPassword;
};

// Holds the store the signer's certificate was found in for the length of one call;
// closing it (also on destruction) deletes the key containers a PFX load created.
class SignerStore {
  public:
    SignerStore() = default;
    ~SignerStore() { close(); }
    SignerStore(const SignerStore&) = delete;
    SignerStore& operator=(const SignerStore&) = delete;

    // Opens the signer's store and finds its certificate by thumbprint (40 upper-case
    // hex digits, compared exactly). On success 0 with certificate() set. Failure codes
    // into `status`: 5067 (no signer, no PFX folder, certificate not found), 5061 with
    // SCARD_W_REMOVED_CARD (a certificate of "MY" whose card was pulled out), 5201 with
    // the store's platform error, 1102 (PFX file missing or not loadable; the loader's
    // own code is not reported).
    ErrorCode open(const SignerRef& signer, ErrorPair& status);
    // The found certificate; it stays the holder's. Null before open() succeeded.
    PCCERT_CONTEXT certificate() const { return found_.at(0); }
    // The found certificate's key-provider property, or empty when it is missing or
    // cannot be read. Records the read in `status`: lastError 0 with the property, 5061
    // without it; capiError the read's last error either way.
    KeyProvInfo keyProvInfo(ErrorPair& status);
    // Releases the certificate and closes the store. Idempotent.
    void close();

  private:
    HCERTSTORE handle() const;

    int32_t source_ = -1;
    CertStore my_;
    PfxStore pfx_;
    CertList found_;
};

// The bytes a text is signed as: in the ANSI code page when `ansi`, otherwise every
// UTF-16 code unit, little-endian. No terminator either way. The view is over the
// text's own storage where that already holds these bytes (UTF-16 on a little-endian
// machine), else over `storage`, which receives them; text and storage must outlive
// it. The caller wipes nothing: the content is the page's own text.
std::span<const uint8_t> contentBytes(const std::u16string& text, bool ansi, std::string& storage);
