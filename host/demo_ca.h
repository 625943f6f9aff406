// The demo's side of the conversation with a certification authority, on OpenSSL: a
// small CA that issues certificates for PKCS#10 requests, and the checks a server would
// make of what the control produces (signatures, signed messages, mobile records).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/crypt/openssl_holders.h"

namespace host::demo {

using Bytes = std::vector<uint8_t>;

class DemoCa {
  public:
    // A self-signed root "Kestrune Demo Root CA" with a new 2048-bit RSA key. False when
    // OpenSSL fails.
    bool create();
    // The root's DER.
    const Bytes& rootDer() const { return rootDer_; }
    // Issues a one-year end-entity certificate for a DER PKCS#10 request whose signature
    // verifies: its subject and key, a random serial, key usage for signing and key
    // encipherment. Empty on failure, with the reason in `why`.
    Bytes issue(const Bytes& request, std::string& why) const;
    // A certificates-only PKCS#7 signed-data of the given DER certificates, as
    // `openssl crl2pkcs7 -nocrl` writes it.
    static Bytes certificateChain(const std::vector<Bytes>& certificates);

  private:
    openssl::EvpPkeyPtr key_;
    openssl::X509Ptr root_;
    Bytes rootDer_;
};

// The request's subject as one line (RFC 2253, UTF-8) and whether its signature verifies.
bool describeRequest(const Bytes& request, std::string& subject, bool& verified);
// Whether `signature` (big-endian) is a PKCS#1 v1.5 signature by the certificate's key of
// the digest `digestName` ("SHA1", "MD5") of `content`.
bool verifyPkcs1(const Bytes& certificate, const Bytes& content, const Bytes& signature,
                 const char* digestName);
// Whether the DER signed-data message verifies, its signer chaining to `root`; with
// `detached` the content is supplied. `signers` receives the signer's common name.
bool verifyPkcs7(const Bytes& message, const Bytes& root, const Bytes& content, bool detached,
                 std::string& signer);
// Triple-DES-CBC decryption with a zero IV and PKCS#5 padding; empty when it fails.
Bytes decryptDesEde3(const Bytes& cipherText, const Bytes& key);
// The modulus of the certificate's RSA key, big-endian; empty for another key.
Bytes rsaModulus(const Bytes& certificate);

}  // namespace host::demo
