// Certificate contexts on OpenSSL: OpenSSL validates and decodes the certificate, the
// context keeps the platform's CERT_INFO view of it, and a C++ object behind each
// context holds the reference count, the storage CERT_INFO points into, and the
// properties.
#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/crypt/crypt_sign_internal.h"
#include "platform/crypt/der_internal.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt.h"
#include "platform/store/cert_context_link_internal.h"
#include "platform/store/cert_info_internal.h"
#include "platform/token/token_provider.h"

namespace {

using openssl::X509Ptr;
using OpenSslBytes = openssl::Bytes;

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);

// Everything a context owns besides the CERT_CONTEXT record itself; CERT_INFO and the
// storage it points into come from CertInfoRecord.
class CertContextState : public CertInfoRecord {
  public:
    std::atomic<long> refs{1};
    std::vector<BYTE> encoded;
    std::mutex mutex;  // guards properties and releaseKeyProvider
    std::map<DWORD, std::vector<BYTE>> properties;
    // The store the context belongs to; null for a context of its own.
    CertContextOwner* owner = nullptr;
    // The key context's provider is the context's to release (it was set without
    // CERT_STORE_NO_CRYPT_RELEASE_FLAG).
    bool releaseKeyProvider = false;
};

// What a PCCERT_CONTEXT points to. Standard layout, so the context record at its start
// and the block are the same address.
struct CertContextBlock {
    CERT_CONTEXT context;
    CertContextState* state;
};
static_assert(std::is_standard_layout_v<CertContextBlock>);

CertContextState* stateOf(PCCERT_CONTEXT context) {
    return reinterpret_cast<const CertContextBlock*>(context)->state;
}

constexpr auto& fail = failWithLastError;

DWORD toDword(size_t n) {
    return static_cast<DWORD>(n);
}

// d2i_X509 on the default library context also decodes the subject's key into an
// EVP_PKEY, through a decoder chain OpenSSL builds anew for every certificate: most of
// the cost of making a context, for a key the context never uses (CERT_INFO keeps the
// key as encoded). A library context with only the null provider has no decoders, so
// the key stays encoded while the certificate is decoded and checked as before. Null
// (the default context) when it cannot be set up.
OSSL_LIB_CTX* keylessLibraryContext() {
    struct Keyless {
        openssl::LibCtxPtr context{OSSL_LIB_CTX_new()};
        openssl::ProviderPtr provider{context ? OSSL_PROVIDER_load(context.get(), "null")
                                              : nullptr};
    };
    static const Keyless keyless;
    if (!keyless.provider) {
        ERR_clear_error();
        return nullptr;
    }
    return keyless.context.get();
}

// `owned`, when given, holds the bytes and is taken over instead of copied once the
// context is made.
PCCERT_CONTEXT createContext(DWORD encodingType, const BYTE* bytes, DWORD size, long refs,
                             std::vector<BYTE>* owned = nullptr) {
    // Certificate ::= SEQUENCE (RFC 5280 section 4.1). Like the platform, only the outer
    // element is parsed; bytes after it stay in the context's copy.
    DerCursor outer(bytes, size);
    DerElement certificate;
    DWORD error = 0;
    if (!outer.expect(kDerSequence, certificate, &error)) {
        SetLastError(error);
        return nullptr;
    }
    const unsigned char* p = bytes;
    X509Ptr cert(reinterpret_cast<X509*>(
        ASN1_item_d2i_ex(nullptr, &p, static_cast<long>(certificate.size()), ASN1_ITEM_rptr(X509),
                         keylessLibraryContext(), nullptr)));
    if (!cert) {
        ERR_clear_error();
        SetLastError(CRYPT_E_ASN1_CORRUPT);
        return nullptr;
    }
    auto state = std::make_unique<CertContextState>();
    state->refs.store(refs, std::memory_order_relaxed);
    // CERT_INFO keeps copies of its parts, never pointers into the encoding.
    if (!buildCertInfo(cert.get(), *state)) {
        ERR_clear_error();
        SetLastError(CRYPT_E_ASN1_CORRUPT);
        return nullptr;
    }
    if (!owned) state->encoded.assign(bytes, bytes + size);
    auto* block = new CertContextBlock{};
    if (owned) state->encoded = std::move(*owned);
    block->context.dwCertEncodingType = encodingType;
    block->context.pbCertEncoded = state->encoded.data();
    block->context.cbCertEncoded = size;
    block->context.pCertInfo = &state->info;
    block->context.hCertStore = nullptr;
    block->state = state.release();
    return &block->context;
}

// Hands a stored property to the caller with the two-call size protocol; `write` fills a
// buffer known to be large enough. Sizes past 32 bits fail with E_OUTOFMEMORY, the
// property calls' code for an allocation that cannot be made.
template <typename Writer>
BOOL giveOut(size_t size, void* pvData, DWORD* pcbData, Writer write) {
    if (size > 0xFFFFFFFFu) return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    if (needsSizeOnly(size, pvData, pcbData)) return giveOutSize(size, pvData, pcbData);
    write(static_cast<BYTE*>(pvData));
    *pcbData = toDword(size);
    return TRUE;
}

size_t wideBytes(LPCWSTR text) {
    return text ? (std::char_traits<char16_t>::length(text) + 1) * sizeof(char16_t) : 0;
}

size_t alignUp(size_t offset, size_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

// Lays a CRYPT_KEY_PROV_INFO out as one record: the structure, the container and
// provider names, the parameter array (aligned for its type) and the parameters' bytes,
// every pointer pointing into the record. Returns the record's size; writes it when
// `out` is not null. Parameter entries are read with memcpy because they may come from
// another such record.
size_t packKeyProvInfo(const CRYPT_KEY_PROV_INFO& in, BYTE* out) {
    size_t offset = sizeof(CRYPT_KEY_PROV_INFO);
    size_t containerAt = offset;
    offset += wideBytes(in.pwszContainerName);
    size_t providerAt = offset;
    offset += wideBytes(in.pwszProvName);
    offset = alignUp(offset, alignof(CRYPT_KEY_PROV_PARAM));
    size_t paramsAt = offset;
    offset += static_cast<size_t>(in.cProvParam) * sizeof(CRYPT_KEY_PROV_PARAM);
    const BYTE* sourceParams = reinterpret_cast<const BYTE*>(in.rgProvParam);
    std::vector<size_t> dataAt(in.cProvParam);
    for (DWORD i = 0; i < in.cProvParam; ++i) {
        CRYPT_KEY_PROV_PARAM param;
        std::memcpy(&param, sourceParams + i * sizeof param, sizeof param);
        dataAt[i] = offset;
        offset += param.cbData;
    }
    if (!out) return offset;

    CRYPT_KEY_PROV_INFO record = in;
    record.pwszContainerName =
        in.pwszContainerName ? reinterpret_cast<LPWSTR>(out + containerAt) : nullptr;
    record.pwszProvName = in.pwszProvName ? reinterpret_cast<LPWSTR>(out + providerAt) : nullptr;
    record.rgProvParam =
        in.cProvParam ? reinterpret_cast<PCRYPT_KEY_PROV_PARAM>(out + paramsAt) : nullptr;
    std::memset(out, 0, offset);
    std::memcpy(out, &record, sizeof record);
    if (in.pwszContainerName)
        std::memcpy(out + containerAt, in.pwszContainerName, wideBytes(in.pwszContainerName));
    if (in.pwszProvName) std::memcpy(out + providerAt, in.pwszProvName, wideBytes(in.pwszProvName));
    for (DWORD i = 0; i < in.cProvParam; ++i) {
        CRYPT_KEY_PROV_PARAM param;
        std::memcpy(&param, sourceParams + i * sizeof param, sizeof param);
        if (param.cbData) std::memcpy(out + dataAt[i], param.pbData, param.cbData);
        param.pbData = param.cbData ? out + dataAt[i] : nullptr;
        std::memcpy(out + paramsAt + i * sizeof param, &param, sizeof param);
    }
    return offset;
}

bool validKeyProvInfo(const CRYPT_KEY_PROV_INFO& info) {
    if (info.cProvParam && !info.rgProvParam) return false;
    uint64_t total = sizeof(CRYPT_KEY_PROV_INFO);
    for (DWORD i = 0; i < info.cProvParam; ++i) {
        const CRYPT_KEY_PROV_PARAM& param = info.rgProvParam[i];
        if (param.cbData && !param.pbData) return false;
        total += sizeof param + param.cbData;
        if (total > 0x7FFFFFFFu) return false;
    }
    return true;
}

bool isBlobProperty(DWORD id) {
    return id == CERT_SHA1_HASH_PROP_ID || id == CERT_MD5_HASH_PROP_ID ||
           id == CERT_FRIENDLY_NAME_PROP_ID || id == CERT_SMART_CARD_READER_PROP_ID ||
           (id >= CERT_FIRST_USER_PROP_ID && id <= CERT_LAST_USER_PROP_ID);
}

bool computeDigest(const BYTE* data, size_t size, DWORD id, BYTE* out, unsigned int* length) {
    const EVP_MD* md = cryptDigestOf(id == CERT_SHA1_HASH_PROP_ID ? CALG_SHA1 : CALG_MD5);
    if (!md || !EVP_Digest(data, size, out, length, md, nullptr)) {
        ERR_clear_error();
        return false;
    }
    return true;
}

bool computeDigest(const CERT_CONTEXT& context, DWORD id, std::vector<BYTE>& out) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!computeDigest(context.pbCertEncoded, context.cbCertEncoded, id, digest, &length))
        return false;
    out.assign(digest, digest + length);
    return true;
}

// The provider a key context property holds, when the context must release it.
HCRYPTPROV keyProviderToRelease(const CertContextState& state) {
    if (!state.releaseKeyProvider) return 0;
    auto it = state.properties.find(CERT_KEY_CONTEXT_PROP_ID);
    if (it == state.properties.end()) return 0;
    CERT_KEY_CONTEXT key;
    std::memcpy(&key, it->second.data(), sizeof key);
    return key.hCryptProv;
}

// Releasing a cached provider must not disturb the caller's last error.
void releaseKeyProvider(HCRYPTPROV provider) {
    if (!provider) return;
    DWORD saved = GetLastError();
    CryptReleaseContext(provider, 0);
    SetLastError(saved);
}

void destroyContext(PCCERT_CONTEXT context) {
    CertContextState* state = stateOf(context);
    releaseKeyProvider(keyProviderToRelease(*state));
    delete state;
    delete reinterpret_cast<const CertContextBlock*>(context);
}

// The stored bytes of a caller's value for a property, after checking it.
BOOL storedValue(DWORD dwPropId, const void* pvData, std::vector<BYTE>& value) {
    if (!pvData) return TRUE;
    if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
        const auto& info = *static_cast<const CRYPT_KEY_PROV_INFO*>(pvData);
        if (!validKeyProvInfo(info)) return fail(kInvalidArg);
        value.resize(packKeyProvInfo(info, nullptr));
        packKeyProvInfo(info, value.data());
    } else if (dwPropId == CERT_KEY_CONTEXT_PROP_ID) {
        const auto& key = *static_cast<const CERT_KEY_CONTEXT*>(pvData);
        if (key.cbSize != sizeof(CERT_KEY_CONTEXT)) return fail(kInvalidArg);
        const auto* raw = static_cast<const BYTE*>(pvData);
        value.assign(raw, raw + sizeof(CERT_KEY_CONTEXT));
    } else if (isBlobProperty(dwPropId)) {
        const auto& blob = *static_cast<const CRYPT_DATA_BLOB*>(pvData);
        if (blob.cbData && !blob.pbData) return fail(kInvalidArg);
        if (blob.cbData) value.assign(blob.pbData, blob.pbData + blob.cbData);
    } else {
        return fail(kInvalidArg);
    }
    return TRUE;
}

BOOL setProperty(PCCERT_CONTEXT context, DWORD dwPropId, DWORD dwFlags, const void* pvData,
                 bool askOwner) {
    if (!context || dwPropId == 0) return fail(kInvalidArg);
    if (!pvData && dwPropId != CERT_KEY_PROV_INFO_PROP_ID && dwPropId != CERT_KEY_CONTEXT_PROP_ID &&
        !isBlobProperty(dwPropId))
        return fail(kInvalidArg);
    try {
        std::vector<BYTE> value;
        if (!storedValue(dwPropId, pvData, value)) return FALSE;
        CertContextState* state = stateOf(context);
        if (askOwner && state->owner && !state->owner->propertyChanging(context, dwPropId, pvData))
            return FALSE;
        HCRYPTPROV released = 0;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (dwPropId == CERT_KEY_CONTEXT_PROP_ID) {
                released = keyProviderToRelease(*state);
                state->releaseKeyProvider = pvData && !(dwFlags & CERT_STORE_NO_CRYPT_RELEASE_FLAG);
                // Setting the handle the context already holds keeps it.
                if (pvData && released == static_cast<const CERT_KEY_CONTEXT*>(pvData)->hCryptProv)
                    released = 0;
            }
            if (pvData)
                state->properties[dwPropId] = std::move(value);
            else
                state->properties.erase(dwPropId);
        }
        releaseKeyProvider(released);
        return TRUE;
    } catch (const std::bad_alloc&) {
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

// ---- portable property values: little-endian DWORDs; strings as a count of UTF-16
// units (0xFFFFFFFF for none) followed by the units.

void putDword(std::vector<BYTE>& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

void putWide(std::vector<BYTE>& out, LPCWSTR text) {
    if (!text) {
        putDword(out, 0xFFFFFFFFu);
        return;
    }
    size_t n = std::char_traits<char16_t>::length(text);
    putDword(out, toDword(n));
    for (size_t i = 0; i < n; ++i) {
        out.push_back(static_cast<BYTE>(text[i] & 0xFF));
        out.push_back(static_cast<BYTE>(text[i] >> 8));
    }
}

class PortableReader {
  public:
    explicit PortableReader(const std::vector<BYTE>& bytes) : bytes_(bytes) {}
    bool dword(DWORD& v) {
        if (bytes_.size() - pos_ < 4) return false;
        v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<DWORD>(bytes_[pos_ + i]) << (8 * i);
        pos_ += 4;
        return true;
    }
    bool wide(std::u16string& text, bool& present) {
        DWORD n = 0;
        if (!dword(n)) return false;
        present = n != 0xFFFFFFFFu;
        text.clear();
        if (!present) return true;
        if ((bytes_.size() - pos_) / 2 < n) return false;
        for (DWORD i = 0; i < n; ++i, pos_ += 2)
            text.push_back(static_cast<char16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8)));
        return true;
    }
    bool bytes(DWORD n, std::vector<BYTE>& out) {
        if (bytes_.size() - pos_ < n) return false;
        out.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                   bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return true;
    }
    bool atEnd() const { return pos_ == bytes_.size(); }

  private:
    const std::vector<BYTE>& bytes_;
    size_t pos_ = 0;
};

void portableKeyProvInfo(const CRYPT_KEY_PROV_INFO& info, std::vector<BYTE>& out) {
    putDword(out, info.dwProvType);
    putDword(out, info.dwFlags);
    putDword(out, info.dwKeySpec);
    putDword(out, info.cProvParam);
    putWide(out, info.pwszContainerName);
    putWide(out, info.pwszProvName);
    for (DWORD i = 0; i < info.cProvParam; ++i) {
        CRYPT_KEY_PROV_PARAM param;
        std::memcpy(&param, reinterpret_cast<const BYTE*>(info.rgProvParam) + i * sizeof param,
                    sizeof param);
        putDword(out, param.dwParam);
        putDword(out, param.dwFlags);
        putDword(out, param.cbData);
        if (param.cbData) out.insert(out.end(), param.pbData, param.pbData + param.cbData);
    }
}

}  // namespace

bool portableKeyProvInfoContainer(const std::vector<BYTE>& bytes, std::u16string& container,
                                  bool& present) {
    PortableReader in(bytes);
    DWORD ignored = 0;
    return in.dword(ignored) && in.dword(ignored) && in.dword(ignored) && in.dword(ignored) &&
           in.wide(container, present);
}

namespace {

bool applyPortableKeyProvInfo(PCCERT_CONTEXT context, const std::vector<BYTE>& bytes) {
    PortableReader in(bytes);
    CRYPT_KEY_PROV_INFO info{};
    std::u16string container, provider;
    bool hasContainer = false, hasProvider = false;
    if (!in.dword(info.dwProvType) || !in.dword(info.dwFlags) || !in.dword(info.dwKeySpec) ||
        !in.dword(info.cProvParam) || !in.wide(container, hasContainer) ||
        !in.wide(provider, hasProvider) || info.cProvParam > bytes.size() / 12)
        return false;
    std::vector<CRYPT_KEY_PROV_PARAM> params(info.cProvParam);
    std::vector<std::vector<BYTE>> data(info.cProvParam);
    for (DWORD i = 0; i < info.cProvParam; ++i) {
        if (!in.dword(params[i].dwParam) || !in.dword(params[i].dwFlags) ||
            !in.dword(params[i].cbData) || !in.bytes(params[i].cbData, data[i]))
            return false;
        params[i].pbData = data[i].empty() ? nullptr : data[i].data();
    }
    if (!in.atEnd()) return false;
    info.pwszContainerName = hasContainer ? container.data() : nullptr;
    info.pwszProvName = hasProvider ? provider.data() : nullptr;
    info.rgProvParam = params.empty() ? nullptr : params.data();
    return setProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info, false) == TRUE;
}

}  // namespace

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
    if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING ||
        (!pbCertEncoded && cbCertEncoded)) {
        SetLastError(kInvalidArg);
        return nullptr;
    }
    try {
        return createContext(dwCertEncodingType, pbCertEncoded, cbCertEncoded, 1);
    } catch (const std::bad_alloc&) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return nullptr;
    }
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext) stateOf(pCertContext)->refs.fetch_add(1, std::memory_order_relaxed);
    return pCertContext;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (!pCertContext) return TRUE;
    CertContextState* state = stateOf(pCertContext);
    if (state->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (state->owner)
            state->owner->contextUnused(pCertContext);
        else
            destroyContext(pCertContext);
    }
    return TRUE;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                       DWORD* pcbData) {
    if (!pCertContext || !pcbData || dwPropId == 0) return fail(kInvalidArg);
    CertContextState* state = stateOf(pCertContext);
    try {
        std::lock_guard<std::mutex> lock(state->mutex);
        auto it = state->properties.find(dwPropId);
        if (it == state->properties.end()) {
            if (dwPropId != CERT_SHA1_HASH_PROP_ID && dwPropId != CERT_MD5_HASH_PROP_ID)
                return fail(CRYPT_E_NOT_FOUND);
            std::vector<BYTE> digest;
            if (!computeDigest(*pCertContext, dwPropId, digest)) return fail(CRYPT_E_NOT_FOUND);
            it = state->properties.emplace(dwPropId, std::move(digest)).first;
        }
        const std::vector<BYTE>& stored = it->second;
        if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
            CRYPT_KEY_PROV_INFO record;
            std::memcpy(&record, stored.data(), sizeof record);
            return giveOut(stored.size(), pvData, pcbData,
                           [&](BYTE* out) { packKeyProvInfo(record, out); });
        }
        if (stored.size() > 0xFFFFFFFFu) return fail(static_cast<DWORD>(E_OUTOFMEMORY));
        return giveOutBytes(stored.data(), stored.size(), pvData, pcbData);
    } catch (const std::bad_alloc&) {
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData) {
    return setProperty(pCertContext, dwPropId, dwFlags, pvData, true);
}

DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId) {
    if (!pCertContext) return 0;
    CertContextState* state = stateOf(pCertContext);
    std::lock_guard<std::mutex> lock(state->mutex);
    auto it = state->properties.upper_bound(dwPropId);
    return it == state->properties.end() ? 0 : it->first;
}

// ---- links to stores (cert_context_link_internal.h)

PCCERT_CONTEXT certContextCreateParked(const BYTE* encoded, DWORD size) {
    try {
        return createContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded, size, 0);
    } catch (const std::bad_alloc&) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return nullptr;
    }
}

bool certSha1(const BYTE* data, size_t size, std::array<BYTE, 20>& out) {
    unsigned int length = 0;
    return computeDigest(data, size, CERT_SHA1_HASH_PROP_ID, out.data(), &length) && length == 20;
}

PCCERT_CONTEXT certContextCreateParked(std::vector<BYTE>& encoded) {
    try {
        return createContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded.data(),
                             toDword(encoded.size()), 0, &encoded);
    } catch (const std::bad_alloc&) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return nullptr;
    }
}

void certContextAttach(PCCERT_CONTEXT context, HCERTSTORE store, CertContextOwner* owner) {
    auto* block = const_cast<CertContextBlock*>(reinterpret_cast<const CertContextBlock*>(context));
    block->context.hCertStore = store;
    block->state->owner = owner;
}

bool certContextAcquire(PCCERT_CONTEXT context) {
    return stateOf(context)->refs.fetch_add(1, std::memory_order_acq_rel) == 0;
}

void certContextDestroy(PCCERT_CONTEXT context) {
    destroyContext(context);
}

bool portablePropertyValue(DWORD dwPropId, const void* pvData, std::vector<BYTE>& out) {
    out.clear();
    if (dwPropId == CERT_KEY_CONTEXT_PROP_ID || !pvData) return false;
    if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
        portableKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(pvData), out);
        return true;
    }
    const auto& blob = *static_cast<const CRYPT_DATA_BLOB*>(pvData);
    if (blob.cbData) out.assign(blob.pbData, blob.pbData + blob.cbData);
    return true;
}

PortableProperties certContextPortableProperties(PCCERT_CONTEXT context) {
    PortableProperties out;
    CertContextState* state = stateOf(context);
    std::lock_guard<std::mutex> lock(state->mutex);
    for (const auto& [id, stored] : state->properties) {
        if (id == CERT_KEY_CONTEXT_PROP_ID) continue;
        std::vector<BYTE> value;
        if (id == CERT_KEY_PROV_INFO_PROP_ID) {
            CRYPT_KEY_PROV_INFO record;
            std::memcpy(&record, stored.data(), sizeof record);
            portableKeyProvInfo(record, value);
        } else {
            value = stored;
        }
        out.emplace_back(id, std::move(value));
    }
    return out;
}

bool certContextApplyPortable(PCCERT_CONTEXT context, const PortableProperty& property) {
    const auto& [id, bytes] = property;
    if (id == CERT_KEY_PROV_INFO_PROP_ID) return applyPortableKeyProvInfo(context, bytes);
    if (!isBlobProperty(id)) return false;
    CRYPT_DATA_BLOB blob{toDword(bytes.size()), const_cast<BYTE*>(bytes.data())};
    return setProperty(context, id, 0, &blob, false) == TRUE;
}

void certContextReplacePortable(PCCERT_CONTEXT context, const PortableProperties& properties) {
    CertContextState* state = stateOf(context);
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        for (auto it = state->properties.begin(); it != state->properties.end();)
            it =
                it->first == CERT_KEY_CONTEXT_PROP_ID ? std::next(it) : state->properties.erase(it);
    }
    for (const PortableProperty& property : properties) certContextApplyPortable(context, property);
}
