// Certificate chains: a walk from the certificate up through its issuers, each found by
// name among the certificates the caller's stores, the user's "CA" and "ROOT" stores and
// OpenSSL's trust anchors hold, and then the checks of each element, reported as the
// platform's trust bits. OpenSSL decodes the certificates and verifies signatures; which
// issuer to take and what counts as a fault are decided here, so the bits mean what the
// platform's callers expect of them.
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/store/cert_context_link_internal.h"

namespace {

using openssl::X509Ptr;
using Thumbprint = std::array<BYTE, 20>;

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);
constexpr DWORD kOutOfMemory = static_cast<DWORD>(E_OUTOFMEMORY);
// Far longer than any real chain; a bound on the walk through crafted stores.
constexpr size_t kMaxElements = 32;
constexpr const char* kAnyExtendedKeyUsage = "2.5.29.37.0";
// The info bits that describe one element and not the chain.
constexpr DWORD kElementOnlyInfo = CERT_TRUST_HAS_EXACT_MATCH_ISSUER |
                                   CERT_TRUST_HAS_KEY_MATCH_ISSUER |
                                   CERT_TRUST_HAS_NAME_MATCH_ISSUER | CERT_TRUST_IS_SELF_SIGNED;

using openssl::X509StackPtr;
using openssl::X509StoreCtxPtr;
using openssl::X509StorePtr;
using UsagePtr = openssl::ExtendedKeyUsagePtr;

// A certificate the walk may use: a context reference, OpenSSL's decoding of it (with
// the public key, which the contexts leave encoded), and its SHA-1 for identity.
struct Candidate {
    CertContextHolder context;
    X509Ptr x509;
    Thumbprint sha1{};
};
using CandidatePtr = std::unique_ptr<Candidate>;

// Null when OpenSSL cannot decode the bytes or hash them.
CandidatePtr makeCandidate(CertContextHolder context) {
    auto out = std::make_unique<Candidate>();
    const unsigned char* p = context->pbCertEncoded;
    out->x509.reset(d2i_X509(nullptr, &p, static_cast<long>(context->cbCertEncoded)));
    if (!out->x509 || !certSha1(context->pbCertEncoded, context->cbCertEncoded, out->sha1)) {
        ERR_clear_error();
        return nullptr;
    }
    out->context = std::move(context);
    return out;
}

struct Anchor {
    X509Ptr cert;
    Thumbprint sha1{};
};
using AnchorList = std::vector<Anchor>;

const char* anchorLocation(const char* variable, const char* fallback) {
    // As OpenSSL reads it: the variable counts only outside set-id programs.
    const char* value = secure_getenv(variable);
    return value ? value : fallback;
}

// The certificates of OpenSSL's anchor file, parsed once for each version of the file
// (by path, inode, size and modification time): a system bundle holds over a hundred
// certificates, which would cost more to read than the rest of a chain.
std::shared_ptr<const AnchorList> anchorFile() {
    static std::mutex mutex;
    static std::string loadedKey;
    static std::shared_ptr<const AnchorList> loaded;
    const char* path =
        anchorLocation(X509_get_default_cert_file_env(), X509_get_default_cert_file());
    struct stat st {};
    if (stat(path, &st) != 0) return std::make_shared<const AnchorList>();
    std::string key = std::string(path) + '\n' + std::to_string(st.st_ino) + ' ' +
                      std::to_string(st.st_size) + ' ' + std::to_string(st.st_mtim.tv_sec) + '.' +
                      std::to_string(st.st_mtim.tv_nsec);
    std::lock_guard<std::mutex> lock(mutex);
    if (loaded && key == loadedKey) return loaded;
    auto list = std::make_shared<AnchorList>();
    X509StorePtr store(X509_STORE_new());
    X509_LOOKUP* lookup = store ? X509_STORE_add_lookup(store.get(), X509_LOOKUP_file()) : nullptr;
    if (lookup && X509_LOOKUP_load_file(lookup, path, X509_FILETYPE_PEM) == 1) {
        X509StackPtr all(X509_STORE_get1_all_certs(store.get()));
        while (all && sk_X509_num(all.get()) > 0) {
            Anchor anchor{X509Ptr(sk_X509_shift(all.get()))};
            unsigned char* der = nullptr;
            int length = i2d_X509(anchor.cert.get(), &der);
            openssl::Bytes holder(der);
            if (length > 0 && certSha1(der, static_cast<size_t>(length), anchor.sha1))
                list->push_back(std::move(anchor));
        }
    }
    ERR_clear_error();
    loadedKey = std::move(key);
    loaded = std::move(list);
    return loaded;
}

// The trust anchors of the system, where OpenSSL looks for them by default: the file
// above and a folder of certificates named by subject hash, which OpenSSL reads only for
// the names asked for. A machine without them simply has no anchors.
class SystemAnchors {
  public:
    SystemAnchors()
        : file_(anchorFile()), store_(X509_STORE_new()), context_(X509_STORE_CTX_new()) {
        if (!store_ || !context_) return;
        if (X509_LOOKUP* dir = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_hash_dir()))
            X509_LOOKUP_add_dir(
                dir, anchorLocation(X509_get_default_cert_dir_env(), X509_get_default_cert_dir()),
                X509_FILETYPE_PEM);
        ready_ = X509_STORE_CTX_init(context_.get(), store_.get(), nullptr, nullptr) == 1;
        ERR_clear_error();
    }

    // The anchors whose subject is `name` (OpenSSL's canonical comparison).
    std::vector<X509Ptr> withSubject(const X509_NAME* name) {
        std::vector<X509Ptr> out;
        for (const Anchor& a : *file_)
            if (X509_NAME_cmp(X509_get_subject_name(a.cert.get()), name) == 0 &&
                X509_up_ref(a.cert.get()))
                out.emplace_back(a.cert.get());
        X509StackPtr found(ready_ ? X509_STORE_CTX_get1_certs(context_.get(), name) : nullptr);
        ERR_clear_error();
        while (found && sk_X509_num(found.get()) > 0) out.emplace_back(sk_X509_shift(found.get()));
        return out;
    }

    bool contains(const Thumbprint& sha1, X509* cert) {
        for (const Anchor& a : *file_)
            if (a.sha1 == sha1) return true;
        for (const X509Ptr& a : withSubject(X509_get_subject_name(cert)))
            if (X509_cmp(a.get(), cert) == 0) return true;
        return false;
    }

  private:
    std::shared_ptr<const AnchorList> file_;
    X509StorePtr store_;
    X509StoreCtxPtr context_;
    bool ready_ = false;
};

// What the walk draws on: the certificates of the stores, in the order the stores are
// searched, and the anchors, turned into candidates as the walk asks for them.
class IssuerPool {
  public:
    // Adds every certificate of `store`; those of the user's "ROOT" also count as
    // trusted roots. False with the last error set when the store cannot be walked.
    bool addStore(HCERTSTORE store, bool trustedRoots = false) {
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
            CandidatePtr candidate =
                makeCandidate(CertContextHolder(CertDuplicateCertificateContext(c)));
            if (!candidate) continue;
            if (trustedRoots) roots_.push_back(candidate->sha1);
            pool_.push_back(std::move(candidate));
        }
        return GetLastError() == CRYPT_E_NOT_FOUND;
    }

    // Every candidate whose subject is `name`: the stores' first, then the anchors'.
    std::vector<Candidate*> withSubject(const X509_NAME* name) {
        std::vector<Candidate*> out;
        for (const CandidatePtr& c : pool_)
            if (X509_NAME_cmp(X509_get_subject_name(c->x509.get()), name) == 0)
                out.push_back(c.get());
        for (const X509Ptr& anchor : anchors_.withSubject(name))
            if (Candidate* c = anchorCandidate(anchor.get())) out.push_back(c);
        return out;
    }

    bool trusted(Candidate& root) {
        for (const Thumbprint& t : roots_)
            if (t == root.sha1) return true;
        return anchors_.contains(root.sha1, root.x509.get());
    }

  private:
    Candidate* anchorCandidate(X509* anchor) {
        unsigned char* der = nullptr;
        int length = i2d_X509(anchor, &der);
        openssl::Bytes holder(der);
        if (length <= 0) {
            ERR_clear_error();
            return nullptr;
        }
        Thumbprint sha1;
        if (!certSha1(der, static_cast<size_t>(length), sha1)) return nullptr;
        for (const CandidatePtr& c : anchorPool_)
            if (c->sha1 == sha1) return c.get();
        CertContextHolder context(CertCreateCertificateContext(
            X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, static_cast<DWORD>(length)));
        if (!context) return nullptr;
        CandidatePtr candidate = makeCandidate(std::move(context));
        if (!candidate) return nullptr;
        anchorPool_.push_back(std::move(candidate));
        return anchorPool_.back().get();
    }

    std::vector<CandidatePtr> pool_;
    std::vector<CandidatePtr> anchorPool_;
    std::vector<Thumbprint> roots_;
    SystemAnchors anchors_;
};

bool sameOctets(const ASN1_OCTET_STRING* a, const ASN1_OCTET_STRING* b) {
    return a && b && ASN1_STRING_length(a) == ASN1_STRING_length(b) &&
           std::memcmp(ASN1_STRING_get0_data(a), ASN1_STRING_get0_data(b),
                       static_cast<size_t>(ASN1_STRING_length(a))) == 0;
}

// How the subject's authority key identifier (RFC 5280 section 4.2.1.1) names `issuer`:
// one of the three match bits, or 0 when it names another certificate.
DWORD issuerMatch(X509* subject, X509* issuer) {
    const ASN1_OCTET_STRING* keyId = X509_get0_authority_key_id(subject);
    const GENERAL_NAMES* names = X509_get0_authority_issuer(subject);
    const ASN1_INTEGER* serial = X509_get0_authority_serial(subject);
    if (names && serial) {
        bool named = false;
        for (int i = 0; i < sk_GENERAL_NAME_num(names) && !named; ++i) {
            const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, i);
            named = gn->type == GEN_DIRNAME &&
                    X509_NAME_cmp(gn->d.directoryName, X509_get_issuer_name(issuer)) == 0;
        }
        if (!named || ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(issuer)) != 0) return 0;
        if (!keyId || sameOctets(keyId, X509_get0_subject_key_id(issuer)))
            return CERT_TRUST_HAS_EXACT_MATCH_ISSUER;
        return 0;
    }
    if (keyId)
        return sameOctets(keyId, X509_get0_subject_key_id(issuer)) ? CERT_TRUST_HAS_KEY_MATCH_ISSUER
                                                                   : 0;
    return CERT_TRUST_HAS_NAME_MATCH_ISSUER;
}

bool signatureVerifies(X509* subject, X509* issuer) {
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    bool ok = key && X509_verify(subject, key) == 1;
    ERR_clear_error();
    return ok;
}

bool isSelfIssued(X509* cert) {
    return X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) == 0;
}

struct Link {
    Candidate* issuer = nullptr;
    bool verifies = false;
    DWORD match = 0;  // a match bit, or 0
};

// The best issuer of `subject` that is not yet in the chain: a self-issued certificate
// may be its own. Ranked by a verifying signature, then a matching key identifier, then
// being its own issuer, then validity at `time`; ties go to the first found.
std::optional<Link> findIssuer(Candidate& subject, IssuerPool& pool,
                               const std::vector<Candidate*>& chain, const FILETIME* time) {
    std::vector<Candidate*> found = pool.withSubject(X509_get_issuer_name(subject.x509.get()));
    if (isSelfIssued(subject.x509.get())) found.insert(found.begin(), &subject);
    std::optional<Link> best;
    int bestRank = -1;
    for (Candidate* c : found) {
        bool itself = c->sha1 == subject.sha1;
        bool used = false;
        for (const Candidate* e : chain) used = used || e->sha1 == c->sha1;
        if (used && !itself) continue;
        Link link{itself ? &subject : c, false, issuerMatch(subject.x509.get(), c->x509.get())};
        link.verifies = signatureVerifies(subject.x509.get(), c->x509.get());
        bool valid = CertVerifyTimeValidity(time, c->context->pCertInfo) == 0;
        int rank =
            (link.verifies ? 8 : 0) + (link.match ? 4 : 0) + (itself ? 2 : 0) + (valid ? 1 : 0);
        if (rank > bestRank) {
            best = link;
            bestRank = rank;
        }
    }
    return best;
}

// RFC 5280 section 6.1.4 (k), (l), (m) and (n): what lets `cert` sign the certificate
// below it, `belowIntermediates` being the non-self-issued CA certificates under it.
bool mayIssue(X509* cert, int belowIntermediates) {
    uint32_t flags = X509_get_extension_flags(cert);
    bool ca = (flags & EXFLAG_CA) || (X509_get_version(cert) == 0 && (flags & EXFLAG_SS));
    if (!ca) return false;
    if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(cert) & KU_KEY_CERT_SIGN)) return false;
    long pathLength = X509_get_pathlen(cert);
    return pathLength < 0 || belowIntermediates <= pathLength;
}

// True when the certificate's extended key usage, if it has one, allows the requested
// usages: all of them, or one with USAGE_MATCH_TYPE_OR.
bool allowsUsage(X509* cert, const CERT_USAGE_MATCH& requested) {
    const CERT_ENHKEY_USAGE& wanted = requested.Usage;
    if (wanted.cUsageIdentifier == 0 || !(X509_get_extension_flags(cert) & EXFLAG_XKUSAGE))
        return true;
    UsagePtr usage(static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr)));
    if (!usage) {
        ERR_clear_error();
        return false;
    }
    std::vector<std::string> allowed;
    for (int i = 0; i < sk_ASN1_OBJECT_num(usage.get()); ++i) {
        char oid[128];
        int n = OBJ_obj2txt(oid, sizeof oid, sk_ASN1_OBJECT_value(usage.get(), i), 1);
        if (n <= 0 || n >= static_cast<int>(sizeof oid)) continue;
        if (std::strcmp(oid, kAnyExtendedKeyUsage) == 0) return true;
        allowed.emplace_back(oid);
    }
    DWORD present = 0;
    for (DWORD i = 0; i < wanted.cUsageIdentifier; ++i)
        for (const std::string& a : allowed)
            if (a == wanted.rgpszUsageIdentifier[i]) {
                ++present;
                break;
            }
    return requested.dwType == USAGE_MATCH_TYPE_OR ? present > 0
                                                   : present == wanted.cUsageIdentifier;
}

bool validParameters(const CERT_CHAIN_PARA* para) {
    if (!para || para->cbSize < sizeof(CERT_CHAIN_PARA)) return false;
    const CERT_USAGE_MATCH& usage = para->RequestedUsage;
    if (usage.dwType != USAGE_MATCH_TYPE_AND && usage.dwType != USAGE_MATCH_TYPE_OR) return false;
    if (usage.Usage.cUsageIdentifier == 0) return true;
    if (!usage.Usage.rgpszUsageIdentifier) return false;
    for (DWORD i = 0; i < usage.Usage.cUsageIdentifier; ++i)
        if (!usage.Usage.rgpszUsageIdentifier[i]) return false;
    return true;
}

// What a chain context owns besides its own record.
struct ChainState {
    CERT_SIMPLE_CHAIN simple{};
    PCERT_SIMPLE_CHAIN chains[1]{};
    std::vector<CERT_CHAIN_ELEMENT> elements;
    std::vector<PCERT_CHAIN_ELEMENT> elementPointers;
};
// What a PCCERT_CHAIN_CONTEXT points to; standard layout, so the context at its start and
// the block share an address.
struct ChainBlock {
    CERT_CHAIN_CONTEXT context;
    ChainState* state;
};
static_assert(std::is_standard_layout_v<ChainBlock>);

// The chain's checks, element by element, once the walk is done. `selfSigned`: the walk
// ended at a certificate that is its own issuer.
void judge(const std::vector<Candidate*>& chain, std::vector<CERT_TRUST_STATUS>& status,
           bool selfSigned, IssuerPool& pool, const FILETIME* time, const CERT_CHAIN_PARA& para,
           DWORD flags) {
    int intermediates = 0;
    for (size_t i = 0; i < chain.size(); ++i) {
        X509* cert = chain[i]->x509.get();
        DWORD& error = status[i].dwErrorStatus;
        if (CertVerifyTimeValidity(time, chain[i]->context->pCertInfo) != 0)
            error |= CERT_TRUST_IS_NOT_TIME_VALID;
        uint32_t ext = X509_get_extension_flags(cert);
        if (ext & EXFLAG_INVALID) error |= CERT_TRUST_INVALID_EXTENSION;
        if (ext & EXFLAG_CRITICAL) error |= CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT;
        if (!allowsUsage(cert, para.RequestedUsage)) error |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
        if (i > 0) {
            if (!mayIssue(cert, intermediates)) error |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
            if (!isSelfIssued(cert)) ++intermediates;
        }
        bool isRoot = selfSigned && i + 1 == chain.size();
        bool revocationAsked =
            (flags & CERT_CHAIN_REVOCATION_CHECK_CHAIN) ||
            ((flags & CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT) && !isRoot) ||
            ((flags & CERT_CHAIN_REVOCATION_CHECK_END_CERT) && i == 0);
        if (revocationAsked)
            error |= CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
        if (isRoot && !pool.trusted(*chain[i])) error |= CERT_TRUST_IS_UNTRUSTED_ROOT;
    }
}

PCCERT_CHAIN_CONTEXT buildContext(const std::vector<Candidate*>& chain,
                                  const std::vector<CERT_TRUST_STATUS>& status, bool partial) {
    auto state = std::make_unique<ChainState>();
    state->elements.resize(chain.size());
    state->elementPointers.resize(chain.size());
    CERT_TRUST_STATUS total{partial ? CERT_TRUST_IS_PARTIAL_CHAIN : 0, 0};
    for (size_t i = 0; i < chain.size(); ++i) {
        CERT_CHAIN_ELEMENT& e = state->elements[i];
        e.cbSize = sizeof(CERT_CHAIN_ELEMENT);
        e.TrustStatus = status[i];
        state->elementPointers[i] = &e;
        total.dwErrorStatus |= status[i].dwErrorStatus;
        total.dwInfoStatus |= status[i].dwInfoStatus & ~kElementOnlyInfo;
    }
    CERT_SIMPLE_CHAIN& simple = state->simple;
    simple.cbSize = sizeof(CERT_SIMPLE_CHAIN);
    simple.TrustStatus = total;
    simple.cElement = static_cast<DWORD>(chain.size());
    simple.rgpElement = state->elementPointers.data();
    state->chains[0] = &simple;
    auto* block = new ChainBlock{};
    // Nothing can fail from here on: the references are taken last.
    for (size_t i = 0; i < chain.size(); ++i)
        state->elements[i].pCertContext = CertDuplicateCertificateContext(chain[i]->context.get());
    block->context.cbSize = sizeof(CERT_CHAIN_CONTEXT);
    block->context.TrustStatus = total;
    block->context.cChain = 1;
    block->context.rgpChain = state->chains;
    block->state = state.release();
    return &block->context;
}

BOOL getChain(PCCERT_CONTEXT certificate, const FILETIME* time, HCERTSTORE additional,
              const CERT_CHAIN_PARA& para, DWORD flags, PCCERT_CHAIN_CONTEXT* out) {
    CandidatePtr subject =
        makeCandidate(CertContextHolder(CertDuplicateCertificateContext(certificate)));
    if (!subject) return failWithLastError(CRYPT_E_ASN1_CORRUPT);

    IssuerPool pool;
    // The certificate's own store is only a place to look: when it cannot be walked, the
    // others are still searched.
    if (certificate->hCertStore) pool.addStore(certificate->hCertStore);
    if (additional && !pool.addStore(additional)) return FALSE;
    CertStoreHolder ca(CertOpenSystemStoreA(0, "CA"));
    if (!ca || !pool.addStore(ca.get())) return FALSE;
    CertStoreHolder root(CertOpenSystemStoreA(0, "ROOT"));
    if (!root || !pool.addStore(root.get(), true)) return FALSE;
    // Every element is judged at the same moment.
    FILETIME now;
    if (!time) {
        GetSystemTimeAsFileTime(&now);
        time = &now;
    }

    std::vector<Candidate*> chain{subject.get()};
    std::vector<CERT_TRUST_STATUS> status(1);
    bool selfSigned = false;
    for (;;) {
        std::optional<Link> link = findIssuer(*chain.back(), pool, chain, time);
        if (!link) break;
        CERT_TRUST_STATUS& last = status.back();
        last.dwInfoStatus |= link->match ? link->match : CERT_TRUST_HAS_NAME_MATCH_ISSUER;
        if (!link->verifies) last.dwErrorStatus |= CERT_TRUST_IS_NOT_SIGNATURE_VALID;
        if (link->issuer == chain.back()) {
            last.dwInfoStatus |= CERT_TRUST_IS_SELF_SIGNED;
            selfSigned = true;
            break;
        }
        if (chain.size() == kMaxElements) break;
        chain.push_back(link->issuer);
        status.push_back({});
    }
    judge(chain, status, selfSigned, pool, time, para, flags);
    *out = buildContext(chain, status, !selfSigned);
    return TRUE;
}

}  // namespace

BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                             const FILETIME* pTime, HCERTSTORE hAdditionalStore,
                             const CERT_CHAIN_PARA* pChainPara, DWORD dwFlags, void* pvReserved,
                             PCCERT_CHAIN_CONTEXT* ppChainContext) {
    if (ppChainContext) *ppChainContext = nullptr;
    if (hChainEngine != HCCE_CURRENT_USER || !pCertContext || !ppChainContext || pvReserved ||
        !validParameters(pChainPara))
        return failWithLastError(kInvalidArg);
    try {
        return getChain(pCertContext, pTime, hAdditionalStore, *pChainPara, dwFlags,
                        ppChainContext);
    } catch (const std::bad_alloc&) {
        return failWithLastError(kOutOfMemory);
    }
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
    if (!pChainContext) return;
    const auto* block = reinterpret_cast<const ChainBlock*>(pChainContext);
    for (const CERT_CHAIN_ELEMENT& e : block->state->elements)
        CertFreeCertificateContext(e.pCertContext);
    delete block->state;
    delete block;
}
