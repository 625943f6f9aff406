// PKCS#12 export (RFC 7292) on OpenSSL. The file is laid out as the platform lays it out
// and in the algorithms every importer reads, old ones included: an AuthenticatedSafe of
// a plain data safe with the shrouded key bags, then a safe of certificate bags
// encrypted with pbeWithSHAAnd3-KeyTripleDES-CBC (appendix C), an HMAC-SHA-1 MAC
// (section 5), 2000 iterations everywhere.
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/key_container.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/pkcs12.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt.h"
#include "platform/text/codepage.h"

namespace {

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);
constexpr DWORD kKnownFlags =
    REPORT_NO_PRIVATE_KEY | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY | EXPORT_PRIVATE_KEYS;
constexpr int kIterations = 2000;
constexpr int kPbe = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;

constexpr auto& fail = failWithLastError;

using pkcs12::Password;

struct ExportKey {
    openssl::EvpPkeyPtr key;
    DWORD keySpec = AT_KEYEXCHANGE;
    std::string provider;  // the CSP-name attribute
};

struct ExportCert {
    openssl::X509Ptr x509;
    std::string friendlyName;  // UTF-8
    bool hasFriendlyName = false;
    int key = -1;  // index into the keys, -1 for none
};

struct ExportContents {
    std::vector<ExportCert> certs;
    std::vector<ExportKey> keys;
};

// The provider's name (PP_NAME), empty when it cannot be read.
std::string providerName(HCRYPTPROV provider) {
    std::string name;
    if (!fetchSized(name, [&](char* data, DWORD* size) {
            return CryptGetProvParam(provider, PP_NAME, reinterpret_cast<BYTE*>(data), size, 0);
        }))
        return {};
    name.resize(std::strlen(name.c_str()));
    return ansiToUtf8(name);
}

// Whether the key may leave its container.
bool exportable(HCRYPTKEY key) {
    DWORD permissions = 0;
    DWORD size = sizeof permissions;
    return CryptGetKeyParam(key, KP_PERMISSIONS, reinterpret_cast<BYTE*>(&permissions), &size, 0) &&
           (permissions & CRYPT_EXPORT);
}

// The certificate's private key for the file. TRUE with out.key null when the
// certificate goes without a key.
BOOL certificateKey(PCCERT_CONTEXT cert, DWORD flags, ExportKey& out) {
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &provider, &keySpec, &callerFree)) {
        DWORD error = GetLastError();
        if (error == CRYPT_E_NO_KEY_PROPERTY)
            return (flags & REPORT_NO_PRIVATE_KEY) ? fail(CRYPT_E_NOT_FOUND) : TRUE;
        return fail(error == NTE_BAD_KEYSET ? NTE_NO_KEY : error);
    }
    // A provider the certificate caches stays the certificate's.
    CryptProvHolder owned(callerFree ? provider : 0);
    CryptKeyHolder key;
    if (!CryptGetUserKey(provider, keySpec, key.out())) {
        DWORD error = GetLastError();
        return fail(error == NTE_BAD_KEYSET ? NTE_NO_KEY : error);
    }
    if (!exportable(key.get()))
        return (flags & REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY) ? fail(NTE_BAD_KEY) : TRUE;
    out.key = cryptUsePrivateKey(provider, keySpec, "export");
    if (!out.key) return FALSE;
    out.keySpec = keySpec;
    out.provider = providerName(provider);
    return TRUE;
}

// The certificate's friendly-name property (UTF-16 with its terminator) as UTF-8.
bool friendlyName(PCCERT_CONTEXT cert, std::string& out) {
    std::vector<BYTE> bytes;
    if (!fetchSized(bytes, [&](BYTE* data, DWORD* size) {
            return CertGetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, data, size);
        }))
        return false;
    std::u16string text(bytes.size() / sizeof(char16_t), u'\0');
    if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    out = toUtf8(text);
    return true;
}

// The index of the key among those collected, adding it when it is new: certificates
// that share a key pair share its bag.
int keyIndex(ExportContents& contents, ExportKey&& key) {
    for (size_t i = 0; i < contents.keys.size(); ++i)
        if (EVP_PKEY_eq(contents.keys[i].key.get(), key.key.get()) == 1) return static_cast<int>(i);
    ERR_clear_error();
    contents.keys.push_back(std::move(key));
    return static_cast<int>(contents.keys.size() - 1);
}

BOOL collect(HCERTSTORE store, DWORD flags, ExportContents& out) {
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        ExportCert item;
        const unsigned char* p = cert->pbCertEncoded;
        item.x509.reset(d2i_X509(nullptr, &p, static_cast<long>(cert->cbCertEncoded)));
        ExportKey key;
        BOOL ok = item.x509 != nullptr;
        DWORD error = ok ? 0 : static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        if (ok && (flags & EXPORT_PRIVATE_KEYS)) {
            ok = certificateKey(cert, flags, key);
            error = GetLastError();
        }
        if (!ok) {
            CertFreeCertificateContext(cert);
            ERR_clear_error();
            return fail(error);
        }
        item.hasFriendlyName = friendlyName(cert, item.friendlyName);
        if (key.key) item.key = keyIndex(out, std::move(key));
        out.certs.push_back(std::move(item));
    }
    DWORD end = GetLastError();
    return end == CRYPT_E_NOT_FOUND ? TRUE : fail(end);
}

// Section 4.2's localKeyId of the n-th key: its number, least significant byte first.
void localKeyId(int index, unsigned char (&id)[4]) {
    auto n = static_cast<uint32_t>(index + 1);
    for (unsigned char& b : id) {
        b = static_cast<unsigned char>(n & 0xFF);
        n >>= 8;
    }
}

openssl::Pkcs12Ptr encode(const ExportContents& contents, const Password& password) {
    openssl::SafeBagStackPtr keyBags(sk_PKCS12_SAFEBAG_new_null());
    openssl::SafeBagStackPtr certBags(sk_PKCS12_SAFEBAG_new_null());
    if (!keyBags || !certBags) return nullptr;
    STACK_OF(PKCS12_SAFEBAG)* keyStack = keyBags.get();
    STACK_OF(PKCS12_SAFEBAG)* certStack = certBags.get();
    unsigned char id[4];
    for (size_t i = 0; i < contents.keys.size(); ++i) {
        const ExportKey& key = contents.keys[i];
        PKCS12_SAFEBAG* bag =
            PKCS12_add_key(&keyStack, key.key.get(), key.keySpec == AT_SIGNATURE ? KEY_SIG : 0,
                           kIterations, kPbe, password.text());
        localKeyId(static_cast<int>(i), id);
        if (!bag || !PKCS12_add_localkeyid(bag, id, sizeof id) ||
            (!key.provider.empty() &&
             !PKCS12_add_CSPName_asc(bag, key.provider.c_str(),
                                     static_cast<int>(key.provider.size()))))
            return nullptr;
    }
    for (const ExportCert& cert : contents.certs) {
        PKCS12_SAFEBAG* bag = PKCS12_add_cert(&certStack, cert.x509.get());
        localKeyId(cert.key, id);
        if (!bag || (cert.key >= 0 && !PKCS12_add_localkeyid(bag, id, sizeof id)) ||
            (cert.hasFriendlyName &&
             !PKCS12_add_friendlyname_utf8(bag, cert.friendlyName.c_str(), -1)))
            return nullptr;
    }
    openssl::Pkcs7StackPtr safes(sk_PKCS7_new_null());
    if (!safes) return nullptr;
    STACK_OF(PKCS7)* rawSafes = safes.get();
    if (!contents.keys.empty() && !PKCS12_add_safe(&rawSafes, keyStack, -1, 0, nullptr))
        return nullptr;
    if (!contents.certs.empty() &&
        !PKCS12_add_safe(&rawSafes, certStack, kPbe, kIterations, password.text()))
        return nullptr;
    openssl::Pkcs12Ptr p12(PKCS12_add_safes(safes.get(), 0));
    if (!p12 || !PKCS12_set_mac(p12.get(), password.text(), password.length(), nullptr, 0,
                                kIterations, EVP_sha1()))
        return nullptr;
    return p12;
}

}  // namespace

BOOL PFXExportCertStoreEx(HCERTSTORE hStore, CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword,
                          void* pvReserved, DWORD dwFlags) {
    if (!hStore || !pPFX || pvReserved || (dwFlags & ~kKnownFlags)) return fail(kInvalidArg);
    try {
        ExportContents contents;
        if (!collect(hStore, dwFlags, contents)) return FALSE;
        Password password = Password::from(szPassword);
        openssl::Pkcs12Ptr p12 = encode(contents, password);
        unsigned char* der = nullptr;
        int length = p12 ? i2d_PKCS12(p12.get(), &der) : 0;
        openssl::Bytes owned(der);
        ERR_clear_error();
        if (length <= 0) return fail(NTE_FAIL);
        return giveOutBytes(der, static_cast<size_t>(length), pPFX->pbData, &pPFX->cbData);
    } catch (const std::bad_alloc&) {
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

BOOL PFXExportCertStore(HCERTSTORE hStore, CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword,
                        DWORD dwFlags) {
    return PFXExportCertStoreEx(hStore, pPFX, szPassword, nullptr, dwFlags);
}
