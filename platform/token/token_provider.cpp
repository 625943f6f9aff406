// Token containers on PKCS#11. A token is found again by its serial number on every
// use, so a token moved to another reader still works and one pulled out is noticed
// (SCARD_W_REMOVED_CARD). A login belongs to the token for this process: the containers
// open on one token share it, and it ends (C_Logout) when the last of them closes.
#include "platform/token/token_provider.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/text/ascii.h"
#include "platform/token/pkcs11.h"

namespace {

constexpr auto& fail = failWithLastError;

using openssl::BignumPtr;
using openssl::ParamBldPtr;
using openssl::ParamPtr;
using openssl::PkeyCtxPtr;
using openssl::X509SigPtr;

// ---- PIN hook

std::mutex& pinMutex() {
    static std::mutex m;
    return m;
}

PinHook& pinHook() {
    static PinHook hook;
    return hook;
}

bool askPin(const PinRequest& request, SecretBytes& pin) {
    PinHook hook;
    {
        std::lock_guard lock(pinMutex());
        hook = pinHook();
    }
    if (!hook) return false;
    try {
        return hook(request, pin);
    } catch (...) {
        pin.clear();
        return false;
    }
}

// ---- names

// A CKA_ID as a container name: lower-case hex.
std::string hexOf(const std::vector<unsigned char>& bytes) {
    return text::hexOf(bytes.data(), bytes.size(), true);
}

// A container name's CKA_ID: its bytes in hex when it is hex, else its own bytes.
std::vector<unsigned char> idOfName(const std::string& name) {
    std::vector<unsigned char> id;
    bool hex = !name.empty() && name.size() % 2 == 0;
    for (size_t i = 0; hex && i < name.size(); i += 2) {
        int high = text::hexDigitValue(name[i]), low = text::hexDigitValue(name[i + 1]);
        if (high < 0 || low < 0)
            hex = false;
        else
            id.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    if (!hex) id.assign(name.begin(), name.end());
    return id;
}

// ---- modules and tokens

// The provider's module, held for the caller's walk over its tokens. An idle module is
// initialised afresh on the way (Module::use), so a token put in since the last
// operation is found.
BOOL loadModule(const CryptProviderInfo& provider, pkcs11::Module::Use& out) {
    CK_RV rv = CKR_OK;
    out =
        provider.module.empty() ? pkcs11::Module::Use() : pkcs11::Module::use(provider.module, &rv);
    if (!out) return fail(NTE_PROVIDER_DLL_FAIL);
    return TRUE;
}

// The tokens of the provider now: the module's, or only the one labelled as the provider
// entry says.
BOOL providerTokens(const CryptProviderInfo& provider, pkcs11::Module& module,
                    std::vector<pkcs11::TokenSlot>& out) {
    CK_RV rv = pkcs11::presentTokens(module, out);
    if (rv != CKR_OK) return fail(pkcs11::cryptErrorOfCkr(rv));
    if (!provider.token.empty())
        std::erase_if(out, [&](const pkcs11::TokenSlot& t) { return t.label != provider.token; });
    return TRUE;
}

// The objects with CKA_ID `id` of the key and certificate classes.
CK_RV objectsWithId(pkcs11::Session& session, const std::vector<unsigned char>& id,
                    CK_OBJECT_CLASS cls, std::vector<CK_OBJECT_HANDLE>& out) {
    return session.find({pkcs11::attribute(CKA_CLASS, cls), pkcs11::attributeBytes(CKA_ID, id)},
                        out);
}

bool hasObjectWithId(pkcs11::Session& session, const std::vector<unsigned char>& id) {
    for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE}) {
        std::vector<CK_OBJECT_HANDLE> found;
        if (objectsWithId(session, id, cls, found) == CKR_OK && !found.empty()) return true;
    }
    return false;
}

// An RSA public key from its modulus and exponent (big-endian, as PKCS#11 keeps them).
openssl::EvpPkeyPtr rsaPublicKey(const std::vector<CK_BYTE>& modulus,
                                 const std::vector<CK_BYTE>& exponent) {
    BignumPtr n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    BignumPtr e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!n || !e || !builder ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()))
        return nullptr;
    ParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return openssl::EvpPkeyPtr(key);
}

openssl::EvpPkeyPtr keyFromObject(pkcs11::Session& session, CK_OBJECT_HANDLE object) {
    std::vector<CK_BYTE> n, e;
    if (session.attribute(object, CKA_MODULUS, n) != CKR_OK ||
        session.attribute(object, CKA_PUBLIC_EXPONENT, e) != CKR_OK || n.empty() || e.empty())
        return nullptr;
    return rsaPublicKey(n, e);
}

openssl::EvpPkeyPtr keyFromCertificate(pkcs11::Session& session, CK_OBJECT_HANDLE object) {
    std::vector<CK_BYTE> der;
    if (session.attribute(object, CKA_VALUE, der) != CKR_OK) return nullptr;
    const unsigned char* p = der.data();
    openssl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert) return nullptr;
    EVP_PKEY* key = X509_get0_pubkey(cert.get());
    if (!key || !EVP_PKEY_is_a(key, "RSA")) return nullptr;
    EVP_PKEY_up_ref(key);
    return openssl::EvpPkeyPtr(key);
}

// The DER DigestInfo of a digest (RFC 8017 section 9.2, step 2): the algorithm with
// NULL parameters and the digest as an OCTET STRING.
bool digestInfo(const EVP_MD* md, const BYTE* digest, size_t length, std::vector<CK_BYTE>& out) {
    X509SigPtr sig(X509_SIG_new());
    if (!sig) return false;
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* value = nullptr;
    X509_SIG_getm(sig.get(), &algorithm, &value);
    if (!X509_ALGOR_set0(algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) ||
        !ASN1_OCTET_STRING_set(value, digest, static_cast<int>(length)))
        return false;
    unsigned char* der = nullptr;
    int size = i2d_X509_SIG(sig.get(), &der);
    openssl::Bytes owned(der);
    if (size <= 0) return false;
    out.assign(der, der + size);
    return true;
}

// Ends a signature operation that C_SignInit started and that will not be finished: a
// C_Sign into room for any signature ends it, failed or not; what it made is wiped.
void abandonSignature(pkcs11::Session& session, const std::vector<CK_BYTE>& input) {
    std::vector<CK_BYTE> scrap(8192);
    CK_ULONG length = static_cast<CK_ULONG>(scrap.size());
    session.api()->C_Sign(session.handle(), const_cast<CK_BYTE*>(input.data()),
                          static_cast<CK_ULONG>(input.size()), scrap.data(), &length);
    OPENSSL_cleanse(scrap.data(), scrap.size());
}

std::mutex& seenMutex() {
    static std::mutex m;
    return m;
}

// The encodings of the certificates a token showed during this process.
std::set<std::string>& seenCertificates() {
    static std::set<std::string> seen;
    return seen;
}

void rememberTokenCertificate(const std::vector<BYTE>& der) {
    std::lock_guard lock(seenMutex());
    seenCertificates().emplace(der.begin(), der.end());
}

}  // namespace

// ---- sessions and logins

// The session a container works through; shared by the containers open on one token
// of one module, logged in once for all of them.
class TokenSessionState {
  public:
    ~TokenSessionState() {
        if (loggedIn_ && session_.usable()) session_.api()->C_Logout(session_.handle());
        session_.close();
    }

    std::mutex mutex;  // one call at a time on the session
    pkcs11::Session& session() { return session_; }
    // The token the session is open on, as it was found.
    pkcs11::TokenSlot token;
    bool loggedIn() const { return loggedIn_; }
    void setLoggedIn() { loggedIn_ = true; }

  private:
    pkcs11::Session session_;
    bool loggedIn_ = false;
};

namespace {

std::mutex& statesMutex() {
    static std::mutex m;
    return m;
}

// The live session of each token ("module path \n serial").
std::map<std::string, std::weak_ptr<TokenSessionState>>& states() {
    static std::map<std::string, std::weak_ptr<TokenSessionState>> table;
    return table;
}

// Logs the session in as the token's user (CKU_USER), or authorises the one signature
// just started on it (CKU_CONTEXT_SPECIFIC, for a key with CKA_ALWAYS_AUTHENTICATE),
// asking for the PIN; a PIN pad takes it instead, without a dialog.
BOOL logIn(pkcs11::Session& session, const pkcs11::TokenSlot& token,
           const CryptProviderInfo& provider, bool silent, CK_USER_TYPE user) {
    if (token.flags & CKF_USER_PIN_LOCKED) return fail(SCARD_W_CHV_BLOCKED);
    CK_RV rv;
    if (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) {
        // The reader's own keypad takes the PIN; the call waits for it.
        rv = session.api()->C_Login(session.handle(), user, nullptr, 0);
    } else {
        if (silent) return fail(NTE_SILENT_CONTEXT);
        PinRequest request{provider.name, token.shownName.empty() ? token.label : token.shownName,
                           (token.flags & CKF_USER_PIN_COUNT_LOW) != 0,
                           (token.flags & CKF_USER_PIN_FINAL_TRY) != 0,
                           user == CKU_CONTEXT_SPECIFIC};
        SecretBytes pin;
        if (!askPin(request, pin)) return fail(SCARD_W_CANCELLED_BY_USER);
        rv = session.api()->C_Login(session.handle(), user, pin.data(),
                                    static_cast<CK_ULONG>(pin.size()));
    }
    if (rv == CKR_USER_ALREADY_LOGGED_IN) rv = CKR_OK;
    return rv == CKR_OK ? TRUE : fail(pkcs11::cryptErrorOfCkr(rv));
}

}  // namespace

PinHook setTokenPinHook(PinHook hook) {
    std::lock_guard lock(pinMutex());
    std::swap(pinHook(), hook);
    return hook;
}

TokenContainer::~TokenContainer() = default;

BOOL TokenContainer::locate(bool login, std::shared_ptr<TokenSessionState>& state) {
    if (state_ && state_->session().usable() && (!login || state_->loggedIn())) {
        state = state_;
        return TRUE;
    }
    pkcs11::Module::Use module;
    if (!loadModule(provider_, module)) return FALSE;
    std::vector<pkcs11::TokenSlot> tokens;
    if (!providerTokens(provider_, *module, tokens)) return FALSE;
    auto token = std::find_if(tokens.begin(), tokens.end(),
                              [&](const pkcs11::TokenSlot& t) { return t.serial == serial_; });
    if (token == tokens.end()) return fail(SCARD_W_REMOVED_CARD);
    std::string key = modulePath_ + "\n" + serial_;
    {
        std::lock_guard lock(statesMutex());
        state = states()[key].lock();
        if (!state) {
            state = std::make_shared<TokenSessionState>();
            state->token = *token;
            CK_RV rv = state->session().open(module.module(), token->slot, true);
            // A write-protected token offers read-only sessions only.
            if (rv == CKR_TOKEN_WRITE_PROTECTED)
                rv = state->session().open(module.module(), token->slot, false);
            if (rv != CKR_OK) return fail(pkcs11::cryptErrorOfCkr(rv));
            states()[key] = state;
        }
    }
    // Asked without the table's lock: the user may take a while.
    if (login && !state->loggedIn() && (token->flags & CKF_LOGIN_REQUIRED)) {
        std::lock_guard lock(state->mutex);
        if (!state->loggedIn()) {
            if (!logIn(state->session(), *token, provider_, silent_, CKU_USER)) return FALSE;
            state->setLoggedIn();
        }
    }
    state_ = state;
    return TRUE;
}

BOOL TokenContainer::acquire(const CryptProviderInfo& provider, const std::string& name, Mode mode,
                             bool silent, std::shared_ptr<TokenContainer>* out) {
    if (out) out->reset();
    pkcs11::Module::Use module;
    if (!loadModule(provider, module)) return FALSE;
    std::vector<pkcs11::TokenSlot> tokens;
    if (!providerTokens(provider, *module, tokens)) return FALSE;
    if (tokens.empty()) return fail(SCARD_W_REMOVED_CARD);
    std::shared_ptr<TokenContainer> container(new TokenContainer());
    container->provider_ = provider;
    container->modulePath_ = module->path();
    container->silent_ = silent;
    std::vector<unsigned char> id = idOfName(name);
    const pkcs11::TokenSlot* chosen = nullptr;
    if (mode == Mode::Create) {
        chosen = &tokens.front();
        pkcs11::Session session;
        CK_RV rv = session.open(module.module(), chosen->slot, false);
        if (rv != CKR_OK) return fail(pkcs11::cryptErrorOfCkr(rv));
        if (id.empty() || hasObjectWithId(session, id)) return fail(NTE_EXISTS);
    } else {
        for (const pkcs11::TokenSlot& token : tokens) {
            pkcs11::Session session;
            if (session.open(module.module(), token.slot, false) != CKR_OK) continue;
            if (id.empty()) {
                // The default container: the first key or certificate of the first token.
                std::vector<CK_OBJECT_HANDLE> found;
                std::vector<CK_BYTE> first;
                for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE}) {
                    if (!first.empty()) break;
                    if (session.find({pkcs11::attribute(CKA_CLASS, cls)}, found) != CKR_OK)
                        continue;
                    for (CK_OBJECT_HANDLE object : found)
                        if (session.attribute(object, CKA_ID, first) == CKR_OK && !first.empty())
                            break;
                }
                if (first.empty()) continue;
                id = first;
            } else if (!hasObjectWithId(session, id)) {
                continue;
            }
            chosen = &token;
            break;
        }
        if (!chosen) return fail(NTE_BAD_KEYSET);
    }
    container->serial_ = chosen->serial;
    container->id_ = id;
    container->name_ = hexOf(id);
    if (mode == Mode::Delete) {
        std::shared_ptr<TokenSessionState> state;
        if (!container->locate(true, state)) return FALSE;
        std::lock_guard lock(state->mutex);
        for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
            std::vector<CK_OBJECT_HANDLE> found;
            CK_RV rv = objectsWithId(state->session(), id, cls, found);
            for (size_t i = 0; rv == CKR_OK && i < found.size(); ++i)
                rv = state->session().api()->C_DestroyObject(state->session().handle(), found[i]);
            if (rv != CKR_OK) return fail(pkcs11::cryptErrorOfCkr(rv));
        }
        return TRUE;
    }
    if (out) *out = std::move(container);
    return TRUE;
}

BOOL TokenContainer::enumerate(const CryptProviderInfo& provider, std::vector<std::string>& names) {
    names.clear();
    pkcs11::Module::Use module;
    if (!loadModule(provider, module)) return FALSE;
    std::vector<pkcs11::TokenSlot> tokens;
    if (!providerTokens(provider, *module, tokens)) return FALSE;
    for (const pkcs11::TokenSlot& token : tokens) {
        // A logged-in session of this process sees the private keys too.
        std::shared_ptr<TokenSessionState> state;
        {
            std::lock_guard lock(statesMutex());
            auto it = states().find(module->path() + "\n" + token.serial);
            if (it != states().end()) state = it->second.lock();
        }
        pkcs11::Session own;
        std::unique_lock<std::mutex> held;
        pkcs11::Session* session = &own;
        if (state && state->session().usable()) {
            held = std::unique_lock(state->mutex);
            session = &state->session();
        } else if (own.open(module.module(), token.slot, false) != CKR_OK) {
            continue;
        }
        for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE}) {
            std::vector<CK_OBJECT_HANDLE> found;
            if (session->find({pkcs11::attribute(CKA_CLASS, cls)}, found) != CKR_OK) continue;
            for (CK_OBJECT_HANDLE object : found) {
                std::vector<CK_BYTE> id;
                if (session->attribute(object, CKA_ID, id) != CKR_OK || id.empty()) continue;
                std::string name = hexOf(id);
                if (std::find(names.begin(), names.end(), name) == names.end())
                    names.push_back(std::move(name));
            }
        }
    }
    return TRUE;
}

BOOL TokenContainer::publicKey(openssl::EvpPkeyPtr& out) {
    out.reset();
    std::shared_ptr<TokenSessionState> state;
    if (!locate(false, state)) return FALSE;
    std::lock_guard lock(state->mutex);
    pkcs11::Session& session = state->session();
    for (CK_OBJECT_CLASS cls : {CKO_PUBLIC_KEY, CKO_CERTIFICATE, CKO_PRIVATE_KEY}) {
        std::vector<CK_OBJECT_HANDLE> found;
        CK_RV rv = objectsWithId(session, id_, cls, found);
        if (rv != CKR_OK) return fail(pkcs11::cryptErrorOfCkr(rv));
        for (CK_OBJECT_HANDLE object : found) {
            out = cls == CKO_CERTIFICATE ? keyFromCertificate(session, object)
                                         : keyFromObject(session, object);
            if (out) break;
        }
        if (out) break;
    }
    ERR_clear_error();
    return out ? TRUE : fail(NTE_NO_KEY);
}

BOOL TokenContainer::generate(DWORD bits, openssl::EvpPkeyPtr& publicKey) {
    publicKey.reset();
    std::shared_ptr<TokenSessionState> state;
    if (!locate(true, state)) return FALSE;
    std::lock_guard lock(state->mutex);
    pkcs11::Session& session = state->session();
    if (hasObjectWithId(session, id_)) return fail(NTE_EXISTS);
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    const CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    const CK_ULONG modulusBits = bits;
    const std::vector<CK_BYTE> exponent{0x01, 0x00, 0x01};
    const std::vector<CK_BYTE> label(name_.begin(), name_.end());
    std::vector<CK_ATTRIBUTE> publicTemplate{
        pkcs11::attribute(CKA_TOKEN, yes),
        pkcs11::attribute(CKA_VERIFY, yes),
        pkcs11::attribute(CKA_ENCRYPT, yes),
        pkcs11::attribute(CKA_MODULUS_BITS, modulusBits),
        pkcs11::attributeBytes(CKA_PUBLIC_EXPONENT, exponent),
        pkcs11::attributeBytes(CKA_ID, id_),
        pkcs11::attributeBytes(CKA_LABEL, label),
    };
    std::vector<CK_ATTRIBUTE> privateTemplate{
        pkcs11::attribute(CKA_TOKEN, yes),     pkcs11::attribute(CKA_PRIVATE, yes),
        pkcs11::attribute(CKA_SENSITIVE, yes), pkcs11::attribute(CKA_EXTRACTABLE, no),
        pkcs11::attribute(CKA_SIGN, yes),      pkcs11::attribute(CKA_DECRYPT, yes),
        pkcs11::attributeBytes(CKA_ID, id_),   pkcs11::attributeBytes(CKA_LABEL, label),
    };
    CK_OBJECT_HANDLE publicObject = CK_INVALID_HANDLE, privateObject = CK_INVALID_HANDLE;
    CK_RV rv = session.api()->C_GenerateKeyPair(
        session.handle(), &mechanism, publicTemplate.data(),
        static_cast<CK_ULONG>(publicTemplate.size()), privateTemplate.data(),
        static_cast<CK_ULONG>(privateTemplate.size()), &publicObject, &privateObject);
    if (rv == CKR_KEY_SIZE_RANGE || rv == CKR_TEMPLATE_INCONSISTENT ||
        rv == CKR_ATTRIBUTE_VALUE_INVALID)
        return fail(NTE_BAD_FLAGS);
    if (rv != CKR_OK) return fail(pkcs11::cryptErrorOfCkr(rv));
    publicKey = keyFromObject(session, publicObject);
    ERR_clear_error();
    return publicKey ? TRUE : fail(NTE_FAIL);
}

BOOL TokenContainer::sign(const EVP_MD* md, const BYTE* digest, size_t digestLength,
                          std::vector<BYTE>& signature) {
    std::vector<CK_BYTE> info;
    if (!digestInfo(md, digest, digestLength, info)) {
        ERR_clear_error();
        return fail(NTE_BAD_ALGID);
    }
    std::shared_ptr<TokenSessionState> state;
    if (!locate(true, state)) return FALSE;
    std::lock_guard lock(state->mutex);
    pkcs11::Session& session = state->session();
    std::vector<CK_OBJECT_HANDLE> keys;
    CK_RV rv = objectsWithId(session, id_, CKO_PRIVATE_KEY, keys);
    if (rv != CKR_OK) return fail(pkcs11::cryptErrorOfCkr(rv));
    if (keys.empty()) return fail(NTE_NO_KEY);
    std::vector<CK_BYTE> always;
    bool perSignature =
        session.attribute(keys.front(), CKA_ALWAYS_AUTHENTICATE, always) == CKR_OK &&
        always.size() == sizeof(CK_BBOOL) && always[0] == CK_TRUE;
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    rv = session.api()->C_SignInit(session.handle(), &mechanism, keys.front());
    if (rv == CKR_OK && perSignature) {
        // The key wants the PIN for this signature itself, after C_SignInit; the token's
        // flags are read now, as the tries left may have changed since the login.
        pkcs11::TokenSlot token = state->token;
        rv = pkcs11::tokenInfo(*session.module(), token.slot, token);
        if (rv == CKR_OK && !logIn(session, token, provider_, silent_, CKU_CONTEXT_SPECIFIC)) {
            DWORD error = GetLastError();
            abandonSignature(session, info);
            return fail(error);
        }
        if (rv != CKR_OK) abandonSignature(session, info);
    }
    CK_ULONG length = 0;
    if (rv == CKR_OK)
        rv = session.api()->C_Sign(session.handle(), info.data(),
                                   static_cast<CK_ULONG>(info.size()), nullptr, &length);
    if (rv == CKR_OK) {
        signature.assign(length, 0);
        rv = session.api()->C_Sign(session.handle(), info.data(),
                                   static_cast<CK_ULONG>(info.size()), signature.data(), &length);
    }
    if (rv != CKR_OK) {
        signature.clear();
        return fail(pkcs11::cryptErrorOfCkr(rv));
    }
    signature.resize(length);
    return TRUE;
}

bool wasTokenCertificate(const BYTE* der, size_t length) {
    if (!der || length == 0) return false;
    std::lock_guard lock(seenMutex());
    return seenCertificates().count(std::string(reinterpret_cast<const char*>(der), length)) > 0;
}

bool tokenProvidersRegistered() {
    for (const CryptProviderInfo& provider : cryptProviders())
        if (isTokenBackend(provider)) return true;
    return false;
}

std::vector<TokenCertificate> tokenCertificates() {
    std::vector<TokenCertificate> out;
    for (const CryptProviderInfo& provider : cryptProviders()) {
        if (!isTokenBackend(provider)) continue;
        pkcs11::Module::Use module;
        std::vector<pkcs11::TokenSlot> tokens;
        DWORD saved = GetLastError();
        bool usable = loadModule(provider, module) && providerTokens(provider, *module, tokens);
        SetLastError(saved);
        if (!usable) continue;
        for (const pkcs11::TokenSlot& token : tokens) {
            pkcs11::Session session;
            if (session.open(module.module(), token.slot, false) != CKR_OK) continue;
            const CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
            const CK_CERTIFICATE_TYPE type = CKC_X_509;
            std::vector<CK_OBJECT_HANDLE> found;
            if (session.find({pkcs11::attribute(CKA_CLASS, cls),
                              pkcs11::attribute(CKA_CERTIFICATE_TYPE, type)},
                             found) != CKR_OK)
                continue;
            for (CK_OBJECT_HANDLE object : found) {
                TokenCertificate cert;
                std::vector<CK_BYTE> id;
                if (session.attribute(object, CKA_ID, id) != CKR_OK || id.empty() ||
                    session.attribute(object, CKA_VALUE, cert.der) != CKR_OK || cert.der.empty())
                    continue;
                cert.provider = provider.name;
                cert.providerType = provider.type;
                cert.container = hexOf(id);
                cert.token = token.shownName;
                rememberTokenCertificate(cert.der);
                out.push_back(std::move(cert));
            }
        }
    }
    return out;
}
