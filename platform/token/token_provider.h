// Key containers on smart cards and tokens, reached through a PKCS#11 module: the
// backend of providers registered with Backend "pkcs11". A container is a key on a token,
// named by the hex of its CKA_ID; the private key never leaves the token: it signs there
// (C_Sign with CKM_RSA_PKCS over the DigestInfo) and is generated there. Logging in asks
// the user for the PIN through the PIN hook; the PIN is wiped once the token has it.
#pragma once

#include <openssl/evp.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/system/types.h"

// The backend name a registry entry gives for these providers.
constexpr const char* kTokenBackend = "pkcs11";
// Whether the provider keeps its keys on a token: its backend is kTokenBackend in any
// ASCII case.
inline bool isTokenBackend(const CryptProviderInfo& provider) {
    return text::equalsIgnoringAsciiCase(provider.backend, kTokenBackend);
}

// One login the user is asked a PIN for.
struct PinRequest {
    std::string provider;  // UTF-8
    // The token as the user tells it apart: its label, with its reader's name when
    // another present token has the same label; UTF-8.
    std::string token;
    bool countLow = false;  // the token reports that wrong PINs were entered
    bool finalTry = false;  // one more wrong PIN locks it
    // The key asks for its PIN at every use: this PIN authorises one signature only.
    bool oneSignature = false;
};
// Puts the PIN (UTF-8, no terminator) into `pin` and returns true, or returns false when
// the user cancels. Called on the thread that needs the key, without any lock held.
using PinHook = std::function<bool(const PinRequest&, SecretBytes& pin)>;
// Installs the process's way of asking for PINs (the dialog layer does so when an engine
// starts) and returns the previous one. Without a hook a login is cancelled.
PinHook setTokenPinHook(PinHook hook);

class TokenSessionState;

class TokenContainer {
  public:
    enum class Mode { Open, Create, Delete };

    // Opens the container `name` (UTF-8; empty: the first key of the first token) of
    // `provider` on a present token, or makes room for a new one (Create: the name's hex
    // digits, or its bytes, become the CKA_ID of the key CryptGenKey makes), or deletes
    // its keys (Delete: asks for the PIN; *out stays null). `silent`: nobody may be
    // asked. FALSE with NTE_PROVIDER_DLL_FAIL (the module does not load),
    // SCARD_W_REMOVED_CARD (no token), NTE_BAD_KEYSET (no such key), NTE_EXISTS, or the
    // login's codes.
    static BOOL acquire(const CryptProviderInfo& provider, const std::string& name, Mode mode,
                        bool silent, std::shared_ptr<TokenContainer>* out);
    // The hex CKA_IDs of the keys and certificates on the provider's present tokens, in
    // the tokens' order, each once. FALSE with acquire's codes.
    static BOOL enumerate(const CryptProviderInfo& provider, std::vector<std::string>& names);

    ~TokenContainer();
    TokenContainer(const TokenContainer&) = delete;
    TokenContainer& operator=(const TokenContainer&) = delete;

    const std::string& name() const { return name_; }
    // The container's public key, read from its public key, certificate or private key
    // object (whichever the token shows). FALSE with NTE_NO_KEY when there is none.
    BOOL publicKey(openssl::EvpPkeyPtr& out);
    // Generates an RSA pair of `bits` on the token under the container's CKA_ID: private,
    // sensitive, never extractable. Logs in. FALSE with NTE_EXISTS (the container has a
    // key), NTE_BAD_FLAGS (a size the token refuses), the login's codes, NTE_FAIL.
    BOOL generate(DWORD bits, openssl::EvpPkeyPtr& publicKey);
    // Signs a finished digest of `md` on the token: PKCS#1 v1.5 over its DigestInfo
    // (RFC 8017 section 9.2). Logs in when the token needs it, and for a key with
    // CKA_ALWAYS_AUTHENTICATE asks the PIN for this one signature (a context-specific
    // login after C_SignInit), both with the same codes: SCARD_W_WRONG_CHV,
    // SCARD_W_CHV_BLOCKED, SCARD_W_CANCELLED_BY_USER, NTE_SILENT_CONTEXT, then
    // NTE_NO_KEY (no private key), SCARD_W_REMOVED_CARD, NTE_FAIL.
    BOOL sign(const EVP_MD* md, const BYTE* digest, size_t digestLength,
              std::vector<BYTE>& signature);

  private:
    TokenContainer() = default;
    BOOL locate(bool login, std::shared_ptr<TokenSessionState>& state);

    CryptProviderInfo provider_;
    std::string modulePath_;
    std::string serial_;
    std::vector<unsigned char> id_;
    std::string name_;
    bool silent_ = false;
    // The session (logged in when a use needed it) this container keeps while it is open.
    std::shared_ptr<TokenSessionState> state_;
};

// The property of a certificate of "MY" that names the card it is on, as the user tells
// it apart (TokenCertificate::token, a NUL-terminated UTF-16 string); a blob property.
constexpr DWORD CERT_SMART_CARD_READER_PROP_ID = 101;

// A certificate on a present token of a token provider, as "MY" shows it.
struct TokenCertificate {
    std::vector<BYTE> der;
    std::string provider;  // UTF-8
    DWORD providerType = 0;
    std::string container;  // hex CKA_ID
    std::string token;      // the token as PinRequest::token names it, UTF-8
};
// The X.509 certificates with a CKA_ID on every present token of every registered token
// provider, in the providers' and the modules' token order (a certificate on two tokens
// comes twice, the first present token first); modules that do not load and tokens that
// do not answer are left out.
std::vector<TokenCertificate> tokenCertificates();
// Whether a token showed this certificate (DER) during this process: a signer that is
// missing from "MY" now was on a card that has been pulled out.
bool wasTokenCertificate(const BYTE* der, size_t length);
// Whether any provider is registered with the token backend (cheap: the registry only).
bool tokenProvidersRegistered();
