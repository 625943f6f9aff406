// PKCS#12 (RFC 7292) on OpenSSL: the file is decoded by OpenSSL, and its bags are walked
// here in their order, because OpenSSL's one-key parser keeps only one key and loses the
// order of the certificates.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/der_internal.h"
#include "platform/crypt/key_container.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/pkcs12.h"
#include "platform/crypt/wincrypt.h"
#include "platform/system/rpc.h"
#include "platform/text/codepage.h"

namespace {

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);
constexpr int kMaxNesting = 8;

constexpr auto& fail = failWithLastError;

constexpr auto& failNull = nullWithLastError;

// Files of older systems protect their bags with RC2-40 and triple DES, which OpenSSL 3
// keeps in its legacy provider; the default provider must then be loaded by name too,
// since loading any provider stops the automatic one. Both are loaded into the default
// library context once and given back at exit, before OpenSSL cleans up after itself.
class LegacyAlgorithms {
  public:
    LegacyAlgorithms()
        : legacy_(OSSL_PROVIDER_load(nullptr, "legacy")),
          default_(OSSL_PROVIDER_load(nullptr, "default")) {
        ERR_clear_error();
    }
    ~LegacyAlgorithms() {
        if (legacy_) OSSL_PROVIDER_unload(legacy_);
        if (default_) OSSL_PROVIDER_unload(default_);
    }
    LegacyAlgorithms(const LegacyAlgorithms&) = delete;
    LegacyAlgorithms& operator=(const LegacyAlgorithms&) = delete;

  private:
    OSSL_PROVIDER* legacy_;
    OSSL_PROVIDER* default_;
};

void loadLegacyAlgorithms() {
    static LegacyAlgorithms loaded;
}

// What OpenSSL's error queue says about a failed decryption or MAC: an algorithm this
// build cannot run, or (anything else) a wrong password.
DWORD cryptoFailure() {
    DWORD code = ERROR_INVALID_PASSWORD;
    while (unsigned long e = ERR_get_error()) {
        int reason = ERR_GET_REASON(e);
        if (reason == ERR_R_UNSUPPORTED || reason == ERR_R_FETCH_FAILED) code = NTE_BAD_ALGID;
    }
    return code;
}

using pkcs12::Password;

// ---- the work a file asks for

// Every count of key derivation in a file, the MAC's and each encryption's, comes from
// the file itself, and nothing in it can be checked before that work is done: a file of
// a few hundred bytes could keep a core busy for minutes. A file whose counts add up to
// more than this (the tools write 2,000 to 600,000) is refused before any derivation,
// with kTooMuchWork.
constexpr int64_t kMaxIterations = 1'000'000;
constexpr DWORD kTooMuchWork = ERROR_INVALID_DATA;

class IterationBudget {
  public:
    // False once the counts spent add up to more than kMaxIterations; a count below 1,
    // which no tool writes, is refused as well.
    bool spend(int64_t count) {
        if (count < 1 || count > left_) {
            left_ = -1;
            return false;
        }
        left_ -= count;
        return true;
    }
    // An INTEGER count; an absent one is 1 (the default of the MAC's count).
    bool spend(const ASN1_INTEGER* count) {
        int64_t n = 1;
        if (count && !ASN1_INTEGER_get_int64(&n, count)) n = -1;
        return spend(n);
    }

    // The count of a password-based encryption: PKCS#5 v1 and PKCS#12 parameters, or
    // PBES2 with PBKDF2 or scrypt (RFC 8018, RFC 7914). Parameters that do not decode cost
    // nothing: OpenSSL decodes them the same way and refuses them before deriving.
    bool spendEncryption(const X509_ALGOR* algorithm) {
        const ASN1_TYPE* params = algorithm ? algorithm->parameter : nullptr;
        if (!params || params->type != V_ASN1_SEQUENCE) return true;
        if (OBJ_obj2nid(algorithm->algorithm) != NID_pbes2) {
            openssl::PbeParamPtr pbe(static_cast<PBEPARAM*>(
                ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), params)));
            ERR_clear_error();
            return !pbe || spend(pbe->iter);
        }
        openssl::Pbe2ParamPtr pbes2(
            static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), params)));
        ERR_clear_error();
        return !pbes2 || spendKeyDerivation(pbes2->keyfunc);
    }

    // The shrouded key bags among `bags`, nested ones included.
    bool spendKeyBags(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth) {
        for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
            const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
            int type = PKCS12_SAFEBAG_get_nid(bag);
            if (type == NID_pkcs8ShroudedKeyBag) {
                const X509_ALGOR* algorithm = nullptr;
                if (const X509_SIG* shrouded = PKCS12_SAFEBAG_get0_pkcs8(bag))
                    X509_SIG_get0(shrouded, &algorithm, nullptr);
                if (!spendEncryption(algorithm)) return false;
            } else if (type == NID_safeContentsBag && depth < kMaxNesting) {
                // Deeper bags are never opened (walkBags refuses them).
                if (!spendKeyBags(PKCS12_SAFEBAG_get0_safes(bag), depth + 1)) return false;
            }
        }
        return true;
    }

    // What can be read without a password: the MAC's count, each encrypted safe's, and
    // the key bags' in the safes that are not encrypted. The bags inside encrypted safes
    // are counted when they are decrypted, before any of them is.
    bool spendVisible(PKCS12* p12) {
        if (PKCS12_mac_present(p12)) {
            const ASN1_INTEGER* count = nullptr;
            PKCS12_get0_mac(nullptr, nullptr, nullptr, &count, p12);
            if (!spend(count)) return false;
        }
        openssl::Pkcs7StackPtr safes(PKCS12_unpack_authsafes(p12));
        ERR_clear_error();
        // A file whose safes do not decode is refused by readContents, before any
        // decryption.
        for (int i = 0; safes && i < sk_PKCS7_num(safes.get()); ++i) {
            PKCS7* safe = sk_PKCS7_value(safes.get(), i);
            int type = OBJ_obj2nid(safe->type);
            if (type == NID_pkcs7_data) {
                openssl::SafeBagStackPtr bags(PKCS12_unpack_p7data(safe));
                ERR_clear_error();
                if (bags && !spendKeyBags(bags.get(), 0)) return false;
            } else if (type == NID_pkcs7_encrypted && safe->d.encrypted &&
                       safe->d.encrypted->enc_data) {
                if (!spendEncryption(safe->d.encrypted->enc_data->algorithm)) return false;
            }
        }
        return true;
    }

  private:
    bool spendKeyDerivation(const X509_ALGOR* function) {
        const ASN1_TYPE* params = function ? function->parameter : nullptr;
        if (!params || params->type != V_ASN1_SEQUENCE) return true;
        switch (OBJ_obj2nid(function->algorithm)) {
            case NID_id_pbkdf2: {
                openssl::Pbkdf2ParamPtr pbkdf2(static_cast<PBKDF2PARAM*>(
                    ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), params)));
                ERR_clear_error();
                return !pbkdf2 || spend(pbkdf2->iter);
            }
            case NID_id_scrypt: {
                openssl::ScryptParamsPtr scrypt(static_cast<SCRYPT_PARAMS*>(
                    ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(SCRYPT_PARAMS), params)));
                ERR_clear_error();
                return !scrypt || spend(scryptWork(*scrypt));
            }
            default:  // OpenSSL derives with no other function
                return true;
        }
    }
    // scrypt's work grows with N * r * p (RFC 7914 section 6); -1 when that does not fit.
    static int64_t scryptWork(const SCRYPT_PARAMS& params) {
        uint64_t n = 0, r = 0, p = 0;
        if (!ASN1_INTEGER_get_uint64(&n, params.costParameter) ||
            !ASN1_INTEGER_get_uint64(&r, params.blockSize) ||
            !ASN1_INTEGER_get_uint64(&p, params.parallelizationParameter))
            return -1;
        uint64_t work = 0;
        if (__builtin_mul_overflow(n, r, &work) || __builtin_mul_overflow(work, p, &work) ||
            work > static_cast<uint64_t>(INT64_MAX))
            return -1;
        return static_cast<int64_t>(work);
    }

    int64_t left_ = kMaxIterations;
};

// Decodes the blob. Null with the platform's ASN.1 error, or kTooMuchWork.
openssl::Pkcs12Ptr decode(const CRYPT_DATA_BLOB* blob) {
    if (!blob || (!blob->pbData && blob->cbData)) return failNull(kInvalidArg);
    // PFX ::= SEQUENCE (RFC 7292 section 4).
    DerCursor cursor(blob->pbData, blob->cbData);
    DerElement pfx;
    DWORD error = 0;
    if (!cursor.expect(kDerSequence, pfx, &error)) return failNull(error);
    const unsigned char* p = blob->pbData;
    openssl::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(pfx.size())));
    ERR_clear_error();
    if (!p12) return failNull(CRYPT_E_ASN1_CORRUPT);
    if (!IterationBudget().spendVisible(p12.get())) return failNull(kTooMuchWork);
    return p12;
}

// ---- the file's contents

struct CertItem {
    std::vector<BYTE> der;
    std::vector<BYTE> localKeyId;
    std::u16string friendlyName;
    bool hasFriendlyName = false;
    openssl::X509Ptr x509;  // parsed on demand, for matching public keys
};

struct KeyItem {
    openssl::EvpPkeyPtr key;
    std::vector<BYTE> localKeyId;
    std::u16string cspName;
    DWORD keySpec = AT_KEYEXCHANGE;
};

struct Contents {
    std::vector<CertItem> certs;
    std::vector<KeyItem> keys;
    DWORD keyBags = 0;  // every key bag met, also those not kept in `keys`
};

std::vector<BYTE> octets(const ASN1_TYPE* type) {
    if (!type || type->type != V_ASN1_OCTET_STRING) return {};
    const ASN1_OCTET_STRING* s = type->value.octet_string;
    const BYTE* data = ASN1_STRING_get0_data(s);
    return std::vector<BYTE>(data, data + ASN1_STRING_length(s));
}

// A BMPString attribute value (UTF-16 big-endian) as text.
bool bmpText(const ASN1_TYPE* type, std::u16string& out) {
    if (!type || type->type != V_ASN1_BMPSTRING) return false;
    const ASN1_BMPSTRING* s = type->value.bmpstring;
    const BYTE* data = ASN1_STRING_get0_data(s);
    int length = ASN1_STRING_length(s);
    out.clear();
    for (int i = 0; i + 1 < length; i += 2)
        out.push_back(static_cast<char16_t>((data[i] << 8) | data[i + 1]));
    return true;
}

// The slot a key-usage attribute (a KeyUsage BIT STRING, RFC 5280 section 4.2.1.3)
// asks for: signature when it allows signing and no encryption or key agreement.
DWORD slotFromKeyUsage(const ASN1_TYPE* type) {
    if (!type || type->type != V_ASN1_BIT_STRING) return AT_KEYEXCHANGE;
    const ASN1_BIT_STRING* bits = type->value.bit_string;
    if (ASN1_STRING_length(bits) < 1) return AT_KEYEXCHANGE;
    BYTE first = ASN1_STRING_get0_data(bits)[0];
    bool signs = first & (CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE);
    bool exchanges = first & (CERT_KEY_ENCIPHERMENT_KEY_USAGE | CERT_DATA_ENCIPHERMENT_KEY_USAGE |
                              CERT_KEY_AGREEMENT_KEY_USAGE);
    return signs && !exchanges ? AT_SIGNATURE : AT_KEYEXCHANGE;
}

// The key-usage attribute of a key: on the bag, or (where openssl -keysig puts it) in
// the PrivateKeyInfo's own attributes.
const ASN1_TYPE* keyUsageAttribute(const PKCS12_SAFEBAG* bag, const PKCS8_PRIV_KEY_INFO* p8) {
    if (const ASN1_TYPE* t = PKCS12_SAFEBAG_get0_attr(bag, NID_key_usage)) return t;
    const STACK_OF(X509_ATTRIBUTE)* attrs = PKCS8_pkey_get0_attrs(p8);
    int at = X509at_get_attr_by_NID(attrs, NID_key_usage, -1);
    if (at < 0) return nullptr;
    return X509_ATTRIBUTE_get0_type(X509at_get_attr(attrs, at), 0);
}

BOOL addKey(const PKCS12_SAFEBAG* bag, const PKCS8_PRIV_KEY_INFO* p8, Contents& out) {
    ++out.keyBags;
    KeyItem item;
    item.key.reset(EVP_PKCS82PKEY(p8));
    ERR_clear_error();
    // Only RSA key pairs have a place in the providers; another key stays out.
    if (!item.key || !EVP_PKEY_is_a(item.key.get(), "RSA")) return TRUE;
    item.localKeyId = octets(PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID));
    bmpText(PKCS12_SAFEBAG_get0_attr(bag, NID_ms_csp_name), item.cspName);
    item.keySpec = slotFromKeyUsage(keyUsageAttribute(bag, p8));
    out.keys.push_back(std::move(item));
    return TRUE;
}

// Collects the bags of one SafeContents in order (RFC 7292 section 4.2).
BOOL walkBags(const STACK_OF(PKCS12_SAFEBAG) * bags, const Password& password, int depth,
              Contents& out) {
    if (depth > kMaxNesting) return fail(CRYPT_E_ASN1_CORRUPT);
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
            case NID_certBag: {
                // Only X.509 certificates (section 4.2.3); SDSI ones are skipped.
                if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
                CertItem item;
                // DER round-trips through OpenSSL's decoder byte for byte.
                openssl::X509Ptr x509(PKCS12_SAFEBAG_get1_cert(bag));
                unsigned char* der = nullptr;
                int length = x509 ? i2d_X509(x509.get(), &der) : 0;
                openssl::Bytes owned(der);
                ERR_clear_error();
                if (length <= 0) return fail(CRYPT_E_ASN1_CORRUPT);
                item.der.assign(der, der + length);
                item.localKeyId = octets(PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID));
                item.hasFriendlyName =
                    bmpText(PKCS12_SAFEBAG_get0_attr(bag, NID_friendlyName), item.friendlyName);
                out.certs.push_back(std::move(item));
                break;
            }
            case NID_keyBag:
                if (!addKey(bag, PKCS12_SAFEBAG_get0_p8inf(bag), out)) return FALSE;
                break;
            case NID_pkcs8ShroudedKeyBag: {
                openssl::Pkcs8Ptr p8(PKCS12_decrypt_skey_ex(bag, password.text(), password.length(),
                                                            nullptr, nullptr));
                if (!p8) return fail(cryptoFailure());
                if (!addKey(bag, p8.get(), out)) return FALSE;
                break;
            }
            case NID_safeContentsBag:
                if (!walkBags(PKCS12_SAFEBAG_get0_safes(bag), password, depth + 1, out))
                    return FALSE;
                break;
            default:  // CRL and secret bags mean nothing to a certificate store
                break;
        }
    }
    return TRUE;
}

// Every bag of the file, in order, decrypting with `password`.
BOOL readContents(PKCS12* p12, const Password& password, Contents& out) {
    openssl::Pkcs7StackPtr safes(PKCS12_unpack_authsafes(p12));
    if (!safes) {
        ERR_clear_error();
        return fail(CRYPT_E_BAD_ENCODE);
    }
    IterationBudget budget;
    if (!budget.spendVisible(p12)) return fail(kTooMuchWork);
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes.get(), i);
        openssl::SafeBagStackPtr bags;
        int type = OBJ_obj2nid(safe->type);
        if (type == NID_pkcs7_data) {
            bags.reset(PKCS12_unpack_p7data(safe));
            if (!bags) {
                ERR_clear_error();
                return fail(CRYPT_E_BAD_ENCODE);
            }
        } else if (type == NID_pkcs7_encrypted) {
            bags.reset(PKCS12_unpack_p7encdata(safe, password.text(), password.length()));
            if (!bags) return fail(cryptoFailure());
            if (!budget.spendKeyBags(bags.get(), 0)) return fail(kTooMuchWork);
        } else {
            // Public-key privacy (enveloped data) needs a key this layer does not have.
            return fail(CRYPT_E_BAD_ENCODE);
        }
        if (!walkBags(bags.get(), password, 0, out)) return FALSE;
    }
    return TRUE;
}

// The bags of the file when the password opens it: the MAC checked once, then every
// bag read.
// Whether the password opens the file: the MAC (section 5) when there is one, else
// whether everything encrypted decrypts.
BOOL passwordOpens(PKCS12* p12, const Password& password) {
    if (PKCS12_mac_present(p12)) {
        if (PKCS12_verify_mac(p12, password.text(), password.length())) return TRUE;
        return fail(cryptoFailure());
    }
    Contents ignored;
    return readContents(p12, password, ignored);
}

BOOL readWith(PKCS12* p12, const Password& password, Contents& out) {
    if (PKCS12_mac_present(p12) && !PKCS12_verify_mac(p12, password.text(), password.length()))
        return fail(cryptoFailure());
    return readContents(p12, password, out);
}

// The certificate's public key against a key pair.
bool sameKey(CertItem& cert, EVP_PKEY* key) {
    if (!cert.x509) {
        const unsigned char* p = cert.der.data();
        cert.x509.reset(d2i_X509(nullptr, &p, static_cast<long>(cert.der.size())));
    }
    bool same = cert.x509 && EVP_PKEY_eq(X509_get0_pubkey(cert.x509.get()), key) == 1;
    ERR_clear_error();
    return same;
}

// The certificates a key belongs to: those with its localKeyId, else those holding its
// public key. Certificates already given a key are not taken again. A localKeyId only
// pairs what the file's maker says belongs together, so a key that is not the
// certificate's own (someone's certificate beside another key under its localKeyId)
// never becomes its key.
std::vector<size_t> certsOfKey(Contents& contents, const KeyItem& key,
                               const std::vector<bool>& bound) {
    std::vector<size_t> found;
    if (!key.localKeyId.empty())
        for (size_t i = 0; i < contents.certs.size(); ++i)
            if (!bound[i] && contents.certs[i].localKeyId == key.localKeyId &&
                sameKey(contents.certs[i], key.key.get()))
                found.push_back(i);
    if (found.empty())
        for (size_t i = 0; i < contents.certs.size(); ++i)
            if (!bound[i] && sameKey(contents.certs[i], key.key.get())) found.push_back(i);
    return found;
}

// The key containers one import made, removed again unless the import succeeds.
class CreatedContainers {
  public:
    ~CreatedContainers() {
        if (kept_) return;
        DWORD saved = GetLastError();
        for (const auto& [name, provider] : made_) {
            HCRYPTPROV ignored = 0;
            CryptAcquireContextA(&ignored, name.c_str(), provider.c_str(), PROV_RSA_FULL,
                                 CRYPT_DELETEKEYSET);
        }
        SetLastError(saved);
    }
    // A new container holding the key; its name in *name. FALSE with the provider's error.
    BOOL create(const CryptProviderInfo& provider, const KeyItem& key, DWORD flags,
                std::string* name) {
        CryptProvHolder prov;
        std::string ansiProvider = utf8ToAnsi(provider.name);
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (newUpperCaseUuidText(*name) != RPC_S_OK) return fail(NTE_FAIL);
            // In this process's memory until a certificate of a system store takes the
            // key: a process that dies holding the store leaves no key in any file.
            if (cryptAcquireTemporaryContext(prov.out(), name->c_str(), ansiProvider.c_str(),
                                             provider.type))
                break;
            if (GetLastError() != NTE_EXISTS) return FALSE;
        }
        if (!prov) return FALSE;
        made_.emplace_back(*name, ansiProvider);
        return cryptStoreKeyPair(prov.get(), key.keySpec, key.key.get(), flags, nullptr);
    }
    void keep() { kept_ = true; }

  private:
    std::vector<std::pair<std::string, std::string>> made_;
    bool kept_ = false;
};

// Puts the certificates into the store in order; `added` receives the store's contexts.
BOOL addCertificates(HCERTSTORE store, const Contents& contents,
                     std::vector<CertContextHolder>& added) {
    for (const CertItem& item : contents.certs) {
        CertContextHolder ctx(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                           item.der.data(),
                                                           static_cast<DWORD>(item.der.size())));
        if (!ctx) return FALSE;
        if (item.hasFriendlyName) {
            // The platform keeps the friendly name as UTF-16 with its terminator.
            std::u16string text = item.friendlyName;
            text.push_back(u'\0');
            CRYPT_DATA_BLOB blob{static_cast<DWORD>(text.size() * sizeof(char16_t)),
                                 reinterpret_cast<BYTE*>(text.data())};
            if (!CertSetCertificateContextProperty(ctx.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &blob))
                return FALSE;
        }
        PCCERT_CONTEXT inStore = nullptr;
        if (!CertAddCertificateContextToStore(store, ctx.get(), CERT_STORE_ADD_ALWAYS, &inStore))
            return FALSE;
        added.emplace_back(inStore);
    }
    return TRUE;
}

BOOL bindKeys(Contents& contents, const std::vector<CertContextHolder>& added, DWORD keyFlags,
              CreatedContainers& containers) {
    std::vector<bool> bound(contents.certs.size(), false);
    for (const KeyItem& key : contents.keys) {
        std::vector<size_t> certs = certsOfKey(contents, key, bound);
        // A key without its certificate would be a container nothing refers to.
        if (certs.empty()) continue;
        std::optional<CryptProviderInfo> provider = findCryptProvider(toUtf8(key.cspName));
        if (!provider || provider->type != PROV_RSA_FULL)
            provider = defaultCryptProvider(PROV_RSA_FULL);
        std::string name;
        if (!containers.create(*provider, key, keyFlags, &name)) return FALSE;
        std::u16string wideName = fromUtf8(name), wideProvider = fromUtf8(provider->name);
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = wideName.data();
        info.pwszProvName = wideProvider.data();
        info.dwProvType = provider->type;
        info.dwKeySpec = key.keySpec;
        for (size_t i : certs) {
            bound[i] = true;
            if (!CertSetCertificateContextProperty(added[i].get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                                   &info))
                return FALSE;
        }
    }
    return TRUE;
}

HCERTSTORE importStore(Contents& contents, DWORD flags) {
    CertStoreHolder store(CertOpenStore(CERT_STORE_PROV_MEMORY,
                                        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, nullptr));
    if (!store.get()) return nullptr;
    std::vector<CertContextHolder> added;
    if (!addCertificates(store.get(), contents, added)) return nullptr;
    CreatedContainers containers;
    if (!bindKeys(contents, added, flags & (CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED), containers))
        return nullptr;
    containers.keep();
    return store.release();
}

// The bags of the file, read with `given`, or for files protected with "the empty
// password", which come both ways, with the other of the two. Each password tried costs
// one MAC check and one reading. FALSE with the last error.
BOOL openFile(PKCS12* p12, LPCWSTR given, Contents& out) {
    Password password = Password::from(given);
    if (readWith(p12, password, out)) return TRUE;
    DWORD error = GetLastError();
    if (!password.emptyOrNone() || error != ERROR_INVALID_PASSWORD) return fail(error);
    out = Contents();
    return readWith(p12, password.other(), out);
}

}  // namespace

BOOL PFXIsPFXBlob(const CRYPT_DATA_BLOB* pPFX) {
    return decode(pPFX) ? TRUE : FALSE;
}

BOOL PFXVerifyPassword(const CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD /*dwFlags*/) {
    loadLegacyAlgorithms();
    openssl::Pkcs12Ptr p12 = decode(pPFX);
    if (!p12) return FALSE;
    try {
        return passwordOpens(p12.get(), Password::from(szPassword));
    } catch (const std::bad_alloc&) {
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

HCERTSTORE PFXImportCertStore(const CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags) {
    if (dwFlags &
        ~(CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_USER_KEYSET | PKCS12_NO_PERSIST_KEY))
        return failNull(kInvalidArg);
    loadLegacyAlgorithms();
    openssl::Pkcs12Ptr p12 = decode(pPFX);
    if (!p12) return nullptr;
    try {
        Contents contents;
        if (!openFile(p12.get(), szPassword, contents)) return nullptr;
        return importStore(contents, dwFlags);
    } catch (const std::bad_alloc&) {
        return failNull(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

BOOL pfxCountKeyBags(const CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD* pcKeyBags) {
    if (!pcKeyBags) return fail(kInvalidArg);
    *pcKeyBags = 0;
    loadLegacyAlgorithms();
    openssl::Pkcs12Ptr p12 = decode(pPFX);
    if (!p12) return FALSE;
    try {
        Contents contents;
        if (!openFile(p12.get(), szPassword, contents)) return FALSE;
        *pcKeyBags = contents.keyBags;
        return TRUE;
    } catch (const std::bad_alloc&) {
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}
