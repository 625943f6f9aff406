// The certificate stores the platform opens by provider: memory stores and the user's
// system stores ("MY", "ROOT", "CA"), and the calls on an open store
// (platform/store/store_object_internal.h holds the store itself).
#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/crypt/wincrypt.h"
#include "platform/store/store_object_internal.h"
#include "platform/store/user_database.h"
#include "platform/text/ascii.h"
#include "platform/text/codepage.h"

namespace {

using store_object::Element;
using store_object::fromSqlite;
using store_object::kInvalidArg;
using store_object::Store;
using store_object::Thumbprint;

constexpr const char* kSystemStores[] = {"MY", "ROOT", "CA"};

constexpr auto& fail = failWithLastError;

constexpr auto& failNull = nullWithLastError;

bool isSmallProvider(LPCSTR provider, uintptr_t value) {
    return reinterpret_cast<uintptr_t>(provider) == value;
}

HCERTSTORE openSystem(const std::string& name, HCRYPTPROV prov, DWORD flags) {
    DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
    if (location != 0 && location != CERT_SYSTEM_STORE_CURRENT_USER) return failNull(kInvalidArg);
    const char* canonical = nullptr;
    for (const char* known : kSystemStores)
        if (text::equalsIgnoringAsciiCase(known, name)) canonical = known;
    if (!canonical) return failNull(ERROR_FILE_NOT_FOUND);
    int rc = SQLITE_OK;
    DbConnection* db = userDatabase(&rc);
    if (!db) return failNull(fromSqlite(rc));
    auto store = std::make_shared<Store>(canonical, db->path(), flags & CERT_STORE_READONLY_FLAG,
                                         prov, !(flags & CERT_STORE_NO_CRYPT_RELEASE_FLAG));
    return Store::open(std::move(store));
}

}  // namespace

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD /*dwEncodingType*/, HCRYPTPROV hCryptProv,
                         DWORD dwFlags, const void* pvPara) {
    if (dwFlags & CERT_STORE_DELETE_FLAG) return failNull(ERROR_NOT_SUPPORTED);
    bool small = reinterpret_cast<uintptr_t>(lpszStoreProvider) <= 0xFFFF;
    try {
        if (isSmallProvider(lpszStoreProvider, 2) ||
            (!small &&
             text::equalsIgnoringAsciiCase(lpszStoreProvider, sz_CERT_STORE_PROV_MEMORY))) {
            auto store = std::make_shared<Store>(std::string(), std::string(),
                                                 dwFlags & CERT_STORE_READONLY_FLAG, hCryptProv,
                                                 !(dwFlags & CERT_STORE_NO_CRYPT_RELEASE_FLAG));
            return Store::open(std::move(store));
        }
        if (isSmallProvider(lpszStoreProvider, 9)) {
            if (!pvPara) return failNull(kInvalidArg);
            return openSystem(ansiToUtf8(static_cast<const char*>(pvPara)), hCryptProv, dwFlags);
        }
        if (isSmallProvider(lpszStoreProvider, 10) ||
            (!small &&
             text::equalsIgnoringAsciiCase(lpszStoreProvider, sz_CERT_STORE_PROV_SYSTEM))) {
            if (!pvPara) return failNull(kInvalidArg);
            return openSystem(toUtf8(static_cast<const char16_t*>(pvPara)), hCryptProv, dwFlags);
        }
    } catch (const std::bad_alloc&) {
        return failNull(static_cast<DWORD>(E_OUTOFMEMORY));
    }
    return failNull(ERROR_FILE_NOT_FOUND);
}

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV hProv, LPCSTR szSubsystemProtocol) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, hProv,
                         CERT_SYSTEM_STORE_CURRENT_USER, szSubsystemProtocol);
}

HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore) {
    std::shared_ptr<Store> store = Store::find(hCertStore);
    if (!store) return failNull(ERROR_INVALID_HANDLE);
    store->duplicate();
    return hCertStore;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    if (!hCertStore) return TRUE;
    std::shared_ptr<Store> store = Store::find(hCertStore);
    if (!store) return fail(ERROR_INVALID_HANDLE);
    return store->close(dwFlags);
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
    std::shared_ptr<Store> store = Store::find(hCertStore);
    if (!store) {
        CertFreeCertificateContext(pPrevCertContext);
        return failNull(ERROR_INVALID_HANDLE);
    }
    try {
        return store->next(pPrevCertContext, [](const Element&) { return true; });
    } catch (const std::bad_alloc&) {
        return failNull(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD /*dwCertEncodingType*/,
                                          DWORD /*dwFindFlags*/, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
    std::shared_ptr<Store> store = Store::find(hCertStore);
    DWORD error = 0;
    Thumbprint wanted{};
    if (!store) {
        error = ERROR_INVALID_HANDLE;
    } else if (dwFindType == CERT_FIND_SHA1_HASH) {
        const auto* hash = static_cast<const CRYPT_HASH_BLOB*>(pvFindPara);
        if (!hash || (hash->cbData && !hash->pbData)) error = kInvalidArg;
        // A hash of another length matches nothing.
        else if (hash->cbData != wanted.size())
            error = CRYPT_E_NOT_FOUND;
        else
            std::memcpy(wanted.data(), hash->pbData, wanted.size());
    } else if (dwFindType != CERT_FIND_ANY) {
        error = kInvalidArg;
    }
    if (error) {
        CertFreeCertificateContext(pPrevCertContext);
        return failNull(error);
    }
    try {
        if (dwFindType == CERT_FIND_ANY)
            return store->next(pPrevCertContext, [](const Element&) { return true; });
        return store->next(pPrevCertContext, [&](const Element& e) { return e.sha1 == wanted; });
    } catch (const std::bad_alloc&) {
        return failNull(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext) {
    if (ppStoreContext) *ppStoreContext = nullptr;
    if (!pCertContext) return fail(kInvalidArg);
    std::shared_ptr<Store> store = Store::find(hCertStore);
    if (!store) return fail(ERROR_INVALID_HANDLE);
    try {
        return store->add(pCertContext, dwAddDisposition, ppStoreContext);
    } catch (const std::bad_alloc&) {
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
    if (!pCertContext) return fail(kInvalidArg);
    std::shared_ptr<Store> store =
        pCertContext->hCertStore ? Store::find(pCertContext->hCertStore) : nullptr;
    BOOL ok = store ? store->remove(pCertContext) : fail(kInvalidArg);
    DWORD error = GetLastError();
    CertFreeCertificateContext(pCertContext);
    SetLastError(error);
    return ok;
}
