// A certificate's private key: the provider context its key-provider property names,
// cached on the certificate when the caller asks for that.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/key_container.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/wincrypt.h"
#include "platform/store/key_prov_info.h"

namespace {

constexpr auto& fail = failWithLastError;

// True when the container's key pair is the one of the certificate's public key.
bool keyMatchesCertificate(PCCERT_CONTEXT cert, HCRYPTKEY key) {
    openssl::EvpPkeyPtr pair = cryptKeyPair(key);
    const unsigned char* p = cert->pbCertEncoded;
    openssl::X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(cert->cbCertEncoded)));
    bool match = pair && x509 && EVP_PKEY_eq(X509_get0_pubkey(x509.get()), pair.get()) == 1;
    ERR_clear_error();
    return match;
}

}  // namespace

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* /*pvParameters*/,
                                       HCRYPTPROV* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProvOrNCryptKey) {
    if (phCryptProvOrNCryptKey) *phCryptProvOrNCryptKey = 0;
    if (pfCallerFreeProvOrNCryptKey) *pfCallerFreeProvOrNCryptKey = FALSE;
    bool cache = dwFlags & CRYPT_ACQUIRE_CACHE_FLAG;
    if (!pCert || !phCryptProvOrNCryptKey || (!pfCallerFreeProvOrNCryptKey && !cache))
        return fail(static_cast<DWORD>(E_INVALIDARG));
    if (!(dwFlags & CRYPT_ACQUIRE_USE_PROV_INFO_FLAG)) {
        CERT_KEY_CONTEXT cached{};
        DWORD size = sizeof cached;
        if (CertGetCertificateContextProperty(pCert, CERT_KEY_CONTEXT_PROP_ID, &cached, &size)) {
            *phCryptProvOrNCryptKey = cached.hCryptProv;
            if (pdwKeySpec) *pdwKeySpec = cached.dwKeySpec;
            return TRUE;
        }
    }
    KeyProvInfo info = readKeyProvInfo(pCert);
    if (!info) return fail(CRYPT_E_NO_KEY_PROPERTY);
    DWORD acquireFlags = info->dwFlags & (CRYPT_MACHINE_KEYSET | CRYPT_SILENT);
    if (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) acquireFlags |= CRYPT_SILENT;
    CryptProvHolder provider;
    if (!CryptAcquireContextW(provider.out(), info->pwszContainerName, info->pwszProvName,
                              info->dwProvType, acquireFlags))
        return FALSE;
    // The slot must hold a key: a container without it is no private key.
    CryptKeyHolder key;
    bool ok = CryptGetUserKey(provider.get(), info->dwKeySpec, key.out());
    DWORD error = GetLastError();
    if (ok && (dwFlags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) &&
        !keyMatchesCertificate(pCert, key.get())) {
        ok = false;
        error = NTE_BAD_PUBLIC_KEY;
    }
    key.close();
    if (ok && cache) {
        CERT_KEY_CONTEXT keyContext{sizeof(CERT_KEY_CONTEXT), provider.get(), info->dwKeySpec};
        ok = CertSetCertificateContextProperty(pCert, CERT_KEY_CONTEXT_PROP_ID, 0, &keyContext);
        error = GetLastError();
    }
    if (!ok) return fail(error);
    *phCryptProvOrNCryptKey = provider.release();
    if (pdwKeySpec) *pdwKeySpec = info->dwKeySpec;
    if (pfCallerFreeProvOrNCryptKey) *pfCallerFreeProvOrNCryptKey = cache ? FALSE : TRUE;
    return TRUE;
}
