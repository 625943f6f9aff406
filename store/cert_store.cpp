#include "store/cert_store.h"

#include <cerrno>
#include <string>

#include "core/byte_buffer.h"
#include "core/wide_password.h"
#include "platform/system/files.h"
#include "platform/text/ascii.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"
#include "store/filter.h"
#include "ui/caller_guard.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Why a file could not be loaded, as the platform would say it: the open's error, or
// for a file that opened, "access denied" for a folder and "end of file" for an empty
// file.
DWORD loadFailure(const std::string& path, int savedErrno) {
    if (savedErrno == ENOENT && !PathFileExistsA(path.c_str())) return GetLastError();
    if (savedErrno != 0) return lastErrorFromErrno(savedErrno);
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_ACCESS_DENIED;
    return ERROR_HANDLE_EOF;
}

struct ContainerName {
    std::string container, provider;  // ANSI code page
    DWORD provType = 0;
};

// The named key container of a certificate's key-provider property; false without one.
bool containerOf(PCCERT_CONTEXT certificate, ContainerName& out) {
    KeyProvInfo info = readKeyProvInfo(certificate);
    if (!info || !info->pwszContainerName || !*info->pwszContainerName) return false;
    out.container = toAnsi(info->pwszContainerName);
    out.provider = info->pwszProvName ? toAnsi(info->pwszProvName) : std::string();
    out.provType = info->dwProvType;
    return true;
}

// Whether a certificate of a system store names the container. Providers are not
// compared, and a store that cannot be read counts as naming it: a container is only
// deleted when nothing can still use it.
bool containerNamedInSystemStores(const std::string& container) {
    for (const char* name : {"MY", "CA", "ROOT"}) {
        HCERTSTORE store = CertOpenSystemStoreA(0, name);
        if (!store) return true;
        bool named = false;
        for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr); cert && !named;
             cert = CertEnumCertificatesInStore(store, cert)) {
            ContainerName other;
            if (containerOf(cert, other) &&
                text::equalsIgnoringAsciiCase(other.container, container)) {
                named = true;
                CertFreeCertificateContext(cert);
            }
        }
        CertCloseStore(store, 0);
        if (named) return true;
    }
    return false;
}

// Whether the certificate's key container holds the key of its public key.
bool keyIsTheCertificates(PCCERT_CONTEXT certificate) {
    HCRYPTPROV provider = 0;
    BOOL callerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(certificate,
                                           CRYPT_ACQUIRE_COMPARE_KEY_FLAG |
                                               CRYPT_ACQUIRE_USE_PROV_INFO_FLAG |
                                               CRYPT_ACQUIRE_SILENT_FLAG,
                                           nullptr, &provider, nullptr, &callerFree))
        return false;
    if (callerFree) CryptReleaseContext(provider, 0);
    return true;
}

std::function<void()>& loadObserver() {
    static std::function<void()> observer;
    return observer;
}

}  // namespace

void PfxStore::setLoadObserver(std::function<void()> observer) {
    loadObserver() = std::move(observer);
}

// ---- CertStore

CertStore::~CertStore() {
    Close();
}

ErrorCode CertStore::OpenMy() {
    Close();
    store_ = CertOpenSystemStoreA(0, "MY");
    if (store_) return err::kSuccess;
    platformError_ = GetLastError();
    return err::kOpenMyStore;
}

ErrorCode CertStore::OpenMemory() {
    Close();
    store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, kEncoding, 0, 0, nullptr);
    if (store_) return err::kSuccess;
    platformError_ = GetLastError();
    return err::kOpenMemoryStore;
}

void CertStore::Close() {
    if (store_) CertCloseStore(store_, 0);
    store_ = nullptr;
    platformError_ = 0;
}

KeyProvInfo CertStore::GetKeyProvInfo(PCCERT_CONTEXT certificate) {
    KeyProvInfo info = readKeyProvInfo(certificate);
    if (certificate) platformError_ = GetLastError();
    return info;
}

BOOL CertStore::AddKeyedCertificate(PCCERT_CONTEXT certificate, PCCERT_CONTEXT* added) {
    if (added) *added = nullptr;
    // The add replaces the binding of a certificate already here: only the certificate's
    // own key may take its place.
    if (!keyIsTheCertificates(certificate)) {
        platformError_ = GetLastError();
        return FALSE;
    }
    BYTE sha1[20];
    DWORD size = sizeof sha1;
    ContainerName previous;
    bool replacing = false;
    if (CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, sha1, &size)) {
        CRYPT_HASH_BLOB hash{size, sha1};
        if (PCCERT_CONTEXT existing = CertFindCertificateInStore(
                store_, kEncoding, 0, CERT_FIND_SHA1_HASH, &hash, nullptr)) {
            replacing = containerOf(existing, previous);
            CertFreeCertificateContext(existing);
        }
    }
    PCCERT_CONTEXT inStore = nullptr;
    if (!CertAddCertificateContextToStore(
            store_, certificate, CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, &inStore)) {
        platformError_ = GetLastError();
        return FALSE;
    }
    ContainerName now;
    if (replacing && containerOf(inStore, now) &&
        !text::equalsIgnoringAsciiCase(now.container, previous.container) &&
        !containerNamedInSystemStores(previous.container)) {
        DWORD saved = GetLastError();
        HCRYPTPROV ignored = 0;
        CryptAcquireContextA(&ignored, previous.container.c_str(),
                             previous.provider.empty() ? nullptr : previous.provider.c_str(),
                             previous.provType, CRYPT_DELETEKEYSET);
        SetLastError(saved);
    }
    if (added)
        *added = inStore;
    else
        CertFreeCertificateContext(inStore);
    return TRUE;
}

// ---- PfxStore

PfxStore::~PfxStore() {
    Close();
}

ErrorCode PfxStore::Load(const std::string& path, std::string_view password, int32_t flags) {
    platformError_ = 0;
    Close();
    if (path.empty()) return err::kBadParameter;
    WidePassword widePassword(password);
    ByteBuffer file;
    errno = 0;
    if (!file.loadFromFile(path)) {
        platformError_ = loadFailure(path, errno);
        return err::kExchangeFileRead;
    }
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(file.length()), file.data()};
    if (!PFXIsPFXBlob(&blob)) {
        platformError_ = GetLastError();
        return err::kPkcs12Format;
    }
    // The import checks the password itself, the file's MAC once for each form of the
    // password it tries (an empty password also opens a file protected with no password
    // at all, PKCS#12 tells the two apart and files come both ways): a separate check
    // first would repeat that work, whose cost the file sets.
    // The keys stay in this process until an import gives them to a certificate of "MY".
    DWORD importFlags = PKCS12_NO_PERSIST_KEY;
    if (flags & 0x1) importFlags |= CRYPT_EXPORTABLE;
    if (flags & 0x2) importFlags |= CRYPT_USER_PROTECTED;
    store_ = PFXImportCertStore(&blob, widePassword.get(), importFlags);
    if (!store_) {
        platformError_ = GetLastError();
        // Iteration counts past the limit in bags that only decryption showed.
        if (platformError_ == ERROR_INVALID_DATA) return err::kPkcs12Format;
        ui::callerGuard().passwordTried(path, false);
        return err::kPkcs12Password;
    }
    ui::callerGuard().passwordTried(path, true);
    if (const std::function<void()>& observer = loadObserver()) observer();
    return err::kSuccess;
}

void PfxStore::Close() {
    if (store_) {
        if (deleteKeysOnClose_) DeleteKeyContainers();
        CertCloseStore(store_, 0);
        store_ = nullptr;
    }
    platformError_ = 0;
}

void PfxStore::DeleteKeyContainers() {
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store_, nullptr); cert;
         cert = CertEnumCertificatesInStore(store_, cert)) {
        HCRYPTPROV provider = 0;
        DWORD keySpec = 0;
        BOOL callerFree = FALSE;
        if (!CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &provider, &keySpec,
                                               &callerFree)) {
            platformError_ = GetLastError();
            continue;
        }
        if (callerFree) CryptReleaseContext(provider, 0);
        KeyProvInfo info = readKeyProvInfo(cert);
        if (!info) {
            platformError_ = GetLastError();
            continue;
        }
        std::string container =
            info->pwszContainerName ? toAnsi(info->pwszContainerName) : std::string();
        std::string providerName = info->pwszProvName ? toAnsi(info->pwszProvName) : std::string();
        HCRYPTPROV ignored = 0;
        if (!CryptAcquireContextA(&ignored, container.c_str(), providerName.c_str(),
                                  info->dwProvType, CRYPT_DELETEKEYSET))
            platformError_ = GetLastError();
    }
}

KeyProvInfo PfxStore::GetKeyProvInfo(PCCERT_CONTEXT certificate) {
    KeyProvInfo info = readKeyProvInfo(certificate);
    if (certificate) platformError_ = GetLastError();
    return info;
}

ErrorCode CertStore::FindCertificates(CertList& list, const std::string& filter, int32_t dwFlags,
                                      int32_t dwKeyUsage) {
    return searchCertificates(enumerateStore(CertEnumCertificatesInStore, store_), &list, filter,
                              dwFlags, dwKeyUsage, CertSearch::AllWithMode, platformError_);
}

ErrorCode PfxStore::FindFirstCertificate(CertList& list, const std::string& filter, int32_t dwFlags,
                                         int32_t dwKeyUsage) {
    return searchCertificates(enumerateStore(CertEnumCertificatesInStore, store_), &list, filter,
                              dwFlags, dwKeyUsage, CertSearch::FirstOnly, platformError_);
}
