#include "enroll/accept_pkcs7.h"

#include <cstring>
#include <deque>
#include <vector>

#include "core/byte_buffer.h"
#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt_msg.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"
#include "ui/caller_guard.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// A reply to one request carries its chain: more than this is no reply but a load of
// certificates for the user's trust stores.
constexpr DWORD kMaxMessageCertificates = 16;

// The whole X.500 text of a name (no quoting). The size is asked first: a fixed buffer
// would make every long name empty, and two empty names equal.
std::string nameText(const CERT_NAME_BLOB& name) {
    const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG;
    DWORD size = CertNameToStrA(X509_ASN_ENCODING, &name, type, nullptr, 0);
    std::string text(size, '\0');
    size = CertNameToStrA(X509_ASN_ENCODING, &name, type, text.data(), size);
    text.resize(size ? size - 1 : 0);
    return text;
}

enum class Kind { Root, Intermediate, EndEntity };

Kind classify(PCCERT_CONTEXT certificate) {
    const CERT_INFO* info = certificate->pCertInfo;
    if (nameText(info->Subject) == nameText(info->Issuer)) return Kind::Root;
    // cRLSign alone does not make an authority here.
    BYTE usage = 0;
    if (CertGetIntendedKeyUsage(X509_ASN_ENCODING, info, &usage, 1) &&
        (usage & CERT_KEY_CERT_SIGN_KEY_USAGE))
        return Kind::Intermediate;
    return Kind::EndEntity;
}

// Failures here are not reported: the certificate's class stands either way.
void installAuthority(PCCERT_CONTEXT certificate, const char* storeName) {
    CertStoreHolder store(CertOpenSystemStoreA(0, storeName));
    if (store)
        CertAddCertificateContextToStore(
            store.get(), certificate, CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, nullptr);
}

// The certificates of a reply: its authorities by store, and the DER of its last
// end-entity certificate (empty when it has none).
struct Reply {
    std::deque<CertContextHolder> roots, intermediates;  // a deque: holders do not move
    std::vector<BYTE> candidate;
};

// Sorts the message's certificates into `reply`. False, with 5040, when the
// certificates cannot be counted or there are more than kMaxMessageCertificates.
bool takeMessageCertificates(HCRYPTMSG message, Reply& reply, ErrorPair& status) {
    DWORD count = 0, size = sizeof count;
    if (!CryptMsgGetParam(message, CMSG_CERT_COUNT_PARAM, 0, &count, &size)) {
        status.failWithPlatform(err::kCertFormat);
        return false;
    }
    if (count > kMaxMessageCertificates) {
        status.failWith(err::kCertFormat, CRYPT_E_MSG_ERROR);
        return false;
    }
    for (DWORD index = 0; index < count; ++index) {
        std::vector<BYTE> der;
        if (!fetchSized(der, [message, index](BYTE* data, DWORD* size) {
                return CryptMsgGetParam(message, CMSG_CERT_PARAM, index, data, size);
            }))
            continue;
        CertContextHolder certificate(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                                   static_cast<DWORD>(der.size())));
        if (!certificate) continue;  // what cannot be parsed cannot be classified
        switch (classify(certificate.get())) {
            case Kind::Root:
                reply.roots.emplace_back(certificate.release());
                break;
            case Kind::Intermediate:
                reply.intermediates.emplace_back(certificate.release());
                break;
            case Kind::EndEntity:
                reply.candidate = std::move(der);
                break;
        }
    }
    return true;
}

// Asks the caller guard before any of the reply's certificates is added; `issued`
// whether one goes to "MY". False with 5070 and ERROR_CANCELLED when refused.
bool additionsAllowed(const Reply& reply, bool issued, ErrorPair& status) {
    std::vector<ui::StoreAddition> additions;
    if (!reply.roots.empty()) additions.push_back({"ROOT", reply.roots.size()});
    if (!reply.intermediates.empty()) additions.push_back({"CA", reply.intermediates.size()});
    if (issued) additions.push_back({"MY", 1});
    if (additions.empty() || ui::callerGuard().allowNewCertificates(additions)) return true;
    status.failWith(err::kCancelled, ERROR_CANCELLED);
    return false;
}

// A root the user refuses in the root-install dialog stays out; its class stands all
// the same.
void installAuthorities(const Reply& reply) {
    for (const CertContextHolder& root : reply.roots) installAuthority(root.get(), "ROOT");
    for (const CertContextHolder& intermediate : reply.intermediates)
        installAuthority(intermediate.get(), "CA");
}

// True when slot `keySpec` of the open container holds the public key `bits`.
bool slotHolds(HCRYPTPROV provider, DWORD keySpec, const CRYPT_BIT_BLOB& bits) {
    // The record's pointers lead into its own buffer, whose allocation is aligned for it.
    std::vector<BYTE> storage;
    if (!fetchSized(storage, [=](BYTE* data, DWORD* size) {
            return CryptExportPublicKeyInfo(provider, keySpec, kEncoding,
                                            reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(data), size);
        }))
        return false;
    const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(storage.data());
    return info->PublicKey.cbData == bits.cbData &&
           (bits.cbData == 0 || std::memcmp(info->PublicKey.pbData, bits.pbData, bits.cbData) == 0);
}

struct KeyContainer {
    std::string provider;   // ANSI
    std::string container;  // ANSI
    DWORD keySpec = 0;
};

// The first container, in provider and then container order, whose exchange or (next)
// signature key pair is the one of `bits`. Only providers whose name contains
// "Microsoft" are searched.
bool findKeyContainer(const CRYPT_BIT_BLOB& bits, KeyContainer& found) {
    char provider[100];
    for (DWORD index = 0;; ++index) {
        DWORD type = 0, size = sizeof provider;
        if (!CryptEnumProvidersA(index, nullptr, 0, &type, provider, &size)) return false;
        if (!std::strstr(provider, "Microsoft")) continue;
        CryptProvHolder verify;
        if (!CryptAcquireContextA(verify.out(), nullptr, provider, PROV_RSA_FULL,
                                  CRYPT_VERIFYCONTEXT))
            continue;
        char container[1024];
        for (DWORD flags = CRYPT_FIRST;; flags = 0) {
            DWORD length = sizeof container;
            if (!CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS,
                                   reinterpret_cast<BYTE*>(container), &length, flags))
                break;
            CryptProvHolder opened;
            if (!CryptAcquireContextA(opened.out(), container, provider, PROV_RSA_FULL, 0))
                continue;
            for (DWORD keySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
                if (slotHolds(opened.get(), keySpec, bits)) {
                    found = {provider, container, keySpec};
                    return true;
                }
            }
        }
    }
}

// Binds the issued certificate to its key container and adds it to "MY".
void bindAndInstall(PCCERT_CONTEXT issued, ErrorPair& status) {
    KeyContainer key;
    if (!findKeyContainer(issued->pCertInfo->SubjectPublicKeyInfo.PublicKey, key)) {
        status.fail(err::kNoPrivateKey);
        return;
    }
    std::u16string container = fromAnsi(key.container), provider = fromAnsi(key.provider);
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0,
                             nullptr,          key.keySpec};
    if (!CertSetCertificateContextProperty(issued, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        status.failWithPlatform(err::kMyStoreDenied);
        return;
    }
    CryptProvHolder context;
    if (!CryptAcquireContextA(context.out(), key.container.c_str(), key.provider.c_str(),
                              PROV_RSA_FULL, 0)) {
        status.failWithPlatform(err::kNoCsp);
        return;
    }
    CERT_KEY_CONTEXT keyContext{sizeof(CERT_KEY_CONTEXT), context.get(), key.keySpec};
    if (!CertSetCertificateContextProperty(issued, CERT_KEY_CONTEXT_PROP_ID, 0, &keyContext)) {
        status.failWithPlatform(err::kMyStoreDenied);
        return;
    }
    context.release();  // the certificate's now: it releases the context when it goes
    CertStoreHolder my(CertOpenSystemStoreA(0, "MY"));
    if (!my) {
        status.failWithPlatform(err::kOpenMyStore);
        return;
    }
    if (!CertAddCertificateContextToStore(my.get(), issued, CERT_STORE_ADD_ALWAYS, nullptr))
        status.failWithPlatform(err::kMyStoreDenied);
}

void accept(const std::string& text, ErrorPair& status) {
    ByteBuffer der;
    if (!der.decodeBase64Text(text.c_str())) {
        status.fail(err::kBase64);
        return;
    }
    Reply reply;
    CryptMsgHolder message(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (message &&
        CryptMsgUpdate(message.get(), der.data(), static_cast<DWORD>(der.length()), TRUE)) {
        if (!takeMessageCertificates(message.get(), reply, status)) return;
    } else {
        // Not a message: the bytes are the issued certificate itself, unclassified.
        reply.candidate.assign(der.data(), der.data() + der.length());
    }
    CertContextHolder issued;
    DWORD parseError = 0;
    if (!reply.candidate.empty()) {
        issued.reset(CertCreateCertificateContext(X509_ASN_ENCODING, reply.candidate.data(),
                                                  static_cast<DWORD>(reply.candidate.size())));
        parseError = GetLastError();
    }
    // Asked once, before anything is added, for every store the reply would grow.
    if (!additionsAllowed(reply, static_cast<bool>(issued), status)) return;
    // Authorities installed stay installed whatever fails below.
    installAuthorities(reply);
    if (reply.candidate.empty()) {
        status.fail(err::kNoKey);
        return;
    }
    if (!issued) {
        status.failWith(err::kCertFormat, parseError);
        return;
    }
    bindAndInstall(issued.get(), status);
}

}  // namespace

ErrorCode acceptPkcs7(EnrollmentState& state, const std::string& text, ErrorPair& result) {
    if (text.empty()) return result.fail(err::kBadParameter);
    state.status = ErrorPair{};
    accept(text, state.status);
    result = state.status;
    return result.lastError;
}
