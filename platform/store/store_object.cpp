#include <sqlite3.h>

#include <algorithm>
#include <cstring>

#include "platform/crypt/temporary_keys_internal.h"
#include "platform/store/root_install.h"
#include "platform/store/store_object_internal.h"
#include "platform/system/handle_table_internal.h"
#include "platform/token/token_provider.h"

namespace store_object {

namespace {

constexpr DWORD kAccessDenied = static_cast<DWORD>(E_ACCESSDENIED);
constexpr DWORD kDiskFull = 112;        // ERROR_DISK_FULL
constexpr DWORD kStorageFailed = 1016;  // ERROR_REGISTRY_IO_FAILED

constexpr auto& fail = failWithLastError;

constexpr auto& failNull = nullWithLastError;

// Overlays `top` on `base`: every id of top with top's value, the rest of base.
PortableProperties overlay(const PortableProperties& base, const PortableProperties& top) {
    PortableProperties out = top;
    for (const PortableProperty& p : base) {
        bool present = std::any_of(top.begin(), top.end(),
                                   [&](const PortableProperty& t) { return t.first == p.first; });
        if (!present) out.push_back(p);
    }
    std::sort(out.begin(), out.end(), [](const PortableProperty& a, const PortableProperty& b) {
        return a.first < b.first;
    });
    return out;
}

// A certificate of a system store that is given a key makes the key's container
// permanent, in the transaction that stores the certificate.
int keepKeysOf(DbConnection& db, const PortableProperties& properties) {
    for (const PortableProperty& p : properties)
        if (p.first == CERT_KEY_PROV_INFO_PROP_ID) return keepKeyContainersNamedBy(db, p.second);
    return SQLITE_OK;
}

HandleTable<std::weak_ptr<Store>>& stores() {
    static HandleTable<std::weak_ptr<Store>> table(0x10000);
    return table;
}

}  // namespace

DWORD fromSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_NOMEM:
            return static_cast<DWORD>(E_OUTOFMEMORY);
        case SQLITE_FULL:
            return kDiskFull;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
            return kAccessDenied;
        default:
            return kStorageFailed;
    }
}

Store::~Store() {
    for (ElementPtr& e : elements_)
        if (e->ctx) certContextDestroy(e->ctx);
    for (ElementPtr& e : detached_)
        if (e->ctx) certContextDestroy(e->ctx);
    stores().remove(reinterpret_cast<uintptr_t>(handle_));
    if (releaseProv_ && cryptProv_) {
        DWORD saved = GetLastError();
        CryptReleaseContext(cryptProv_, 0);
        SetLastError(saved);
    }
}

HCERTSTORE Store::open(std::shared_ptr<Store> store) {
    if (store->system()) {
        std::lock_guard lock(store->mutex_);
        if (!store->resyncLocked()) return nullptr;
    }
    store->handle_ = reinterpret_cast<HCERTSTORE>(stores().add(store));
    store->self_ = store;
    return store->handle_;
}

std::shared_ptr<Store> Store::find(HCERTSTORE handle) {
    std::optional<std::weak_ptr<Store>> entry = stores().find(reinterpret_cast<uintptr_t>(handle));
    return entry ? entry->lock() : nullptr;
}

BOOL Store::duplicate() {
    std::lock_guard lock(mutex_);
    ++handleRefs_;
    ++refs_;
    return TRUE;
}

BOOL Store::close(DWORD flags) {
    std::shared_ptr<Store> last;
    bool pending = false;
    {
        std::lock_guard lock(mutex_);
        if (handleRefs_ == 0) return fail(ERROR_INVALID_HANDLE);
        int dropped = (flags & CERT_CLOSE_STORE_FORCE_FLAG) ? handleRefs_ : 1;
        handleRefs_ -= dropped;
        refs_ -= dropped;
        pending = handleRefs_ == 0 && refs_ > 0;
        if (refs_ == 0) last = std::move(self_);
    }
    if ((flags & CERT_CLOSE_STORE_CHECK_FLAG) && pending) return fail(CRYPT_E_PENDING_CLOSE);
    return TRUE;
}

BOOL Store::add(PCCERT_CONTEXT source, DWORD disposition, PCCERT_CONTEXT* out) {
    if (readOnly_) return fail(kAccessDenied);
    Thumbprint sha1;
    if (!certSha1(source->pbCertEncoded, source->cbCertEncoded, sha1))
        return fail(CRYPT_E_NOT_FOUND);
    // Asked before the lock is taken: the user may take their time.
    if (systemName_ == "ROOT" && !rootInstallAllowed("ROOT", source, holds(sha1)))
        return fail(ERROR_CANCELLED);
    PortableProperties properties = certContextPortableProperties(source);
    std::vector<BYTE> der(source->pbCertEncoded, source->pbCertEncoded + source->cbCertEncoded);
    std::lock_guard lock(mutex_);
    Element* result = system() ? addToDatabaseLocked(sha1, der, properties, disposition)
                               : addToMemoryLocked(sha1, der, properties, disposition);
    if (!result) return FALSE;
    if (out) *out = handOutLocked(*result);
    return TRUE;
}

bool Store::holds(const Thumbprint& sha1) {
    DWORD saved = GetLastError();
    PCCERT_CONTEXT found = next(nullptr, [&](const Element& e) { return e.sha1 == sha1; });
    const bool there = found != nullptr;
    CertFreeCertificateContext(found);
    SetLastError(saved);
    return there;
}

BOOL Store::remove(PCCERT_CONTEXT context) {
    std::lock_guard lock(mutex_);
    auto it = byContext_.find(context);
    if (it == byContext_.end()) return fail(kInvalidArg);
    Element& e = *it->second;
    if (e.detached) return TRUE;
    // A token's certificate is the token's: it stays while the token is present.
    if (readOnly_ || (system() && e.seq >= kTokenSeqBase)) return fail(kAccessDenied);
    if (system()) {
        DbConnection* db = databaseLocked();
        if (!db) return FALSE;
        int rc = execute(*db, "DELETE FROM store_certs WHERE id = ?1", {e.seq});
        if (rc != SQLITE_OK) return fail(fromSqlite(rc));
    }
    detachLocked(e);
    return TRUE;
}

void Store::contextUnused(PCCERT_CONTEXT context) {
    std::shared_ptr<Store> last;
    std::lock_guard lock(mutex_);
    auto it = byContext_.find(context);
    if (it == byContext_.end()) return;
    Element& e = *it->second;
    --e.uses;
    --refs_;
    if (e.detached && e.uses == 0) dropDetachedLocked(e);
    if (refs_ == 0) last = std::move(self_);
}

BOOL Store::propertyChanging(PCCERT_CONTEXT context, DWORD propId, const void* pvData) {
    if (propId == CERT_KEY_CONTEXT_PROP_ID) return TRUE;
    std::lock_guard lock(mutex_);
    auto it = byContext_.find(context);
    if (it == byContext_.end() || it->second->detached) return TRUE;
    if (readOnly_) return fail(kAccessDenied);
    if (!system()) return TRUE;
    Element& e = *it->second;
    // A token's certificate keeps its changed properties in this copy only.
    if (e.seq >= kTokenSeqBase) return TRUE;
    std::vector<BYTE> value;
    bool set = portablePropertyValue(propId, pvData, value);
    DbConnection* db = databaseLocked();
    if (!db) return FALSE;
    DbTransaction txn;
    int rc = txn.begin(*db, DbTransaction::Mode::Immediate);
    if (rc != SQLITE_OK) return fail(fromSqlite(rc));
    rc = set ? writeProperty(*db, e.seq, PortableProperty(propId, value))
             : deleteProperty(*db, e.seq, propId);
    if (rc == SQLITE_OK && set) rc = keepKeysOf(*db, {PortableProperty(propId, value)});
    if (rc != SQLITE_OK) return fail(fromSqlite(rc));
    int64_t revision = 0;
    rc = bumpRevision(*db, e.seq, &revision);
    // A row another process removed: the change stays with this context alone.
    if (rc == SQLITE_DONE) return TRUE;
    if (rc != SQLITE_OK || (rc = txn.commit()) != SQLITE_OK) return fail(fromSqlite(rc));
    e.revision = revision;
    return TRUE;
}

std::vector<ElementPtr>::iterator Store::firstAfter(int64_t seq) {
    return std::upper_bound(elements_.begin(), elements_.end(), seq,
                            [](int64_t s, const ElementPtr& e) { return s < e->seq; });
}

Element* Store::findBySha1Locked(const Thumbprint& sha1) {
    for (ElementPtr& e : elements_)
        if (e->sha1 == sha1) return e.get();
    return nullptr;
}

Element* Store::findBySeqLocked(int64_t seq) {
    auto it = std::lower_bound(elements_.begin(), elements_.end(), seq,
                               [](const ElementPtr& e, int64_t s) { return e->seq < s; });
    return it != elements_.end() && (*it)->seq == seq ? it->get() : nullptr;
}

Element* Store::insertLocked(ElementPtr element) {
    auto it = firstAfter(element->seq);
    return elements_.insert(it, std::move(element))->get();
}

PCCERT_CONTEXT Store::handOutLocked(Element& e) {
    if (certContextAcquire(e.ctx)) {
        ++e.uses;
        ++refs_;
    }
    return e.ctx;
}

void Store::detachLocked(Element& e) {
    auto it = std::find_if(elements_.begin(), elements_.end(),
                           [&](const ElementPtr& p) { return p.get() == &e; });
    if (it == elements_.end()) return;
    ElementPtr owned = std::move(*it);
    elements_.erase(it);
    owned->detached = true;
    if (owned->uses > 0) {
        detached_.push_back(std::move(owned));
        return;
    }
    if (owned->ctx) {
        byContext_.erase(owned->ctx);
        certContextDestroy(owned->ctx);
    }
}

void Store::dropDetachedLocked(Element& e) {
    auto it = std::find_if(detached_.begin(), detached_.end(),
                           [&](const ElementPtr& p) { return p.get() == &e; });
    if (it == detached_.end()) return;
    byContext_.erase(e.ctx);
    certContextDestroy(e.ctx);
    detached_.erase(it);
}

bool Store::makeContextLocked(Element& e) {
    if (e.ctx) return true;
    PCCERT_CONTEXT ctx = certContextCreateParked(e.der);
    if (!ctx) return false;
    if (system()) {
        PortableProperties properties;
        if (e.properties)
            properties = std::move(*e.properties);
        else if (DbConnection* db = databaseLocked())
            readProperties(*db, e.seq, properties);
        e.properties.reset();
        for (const PortableProperty& p : properties) certContextApplyPortable(ctx, p);
    }
    certContextAttach(ctx, handle_, this);
    e.ctx = ctx;
    e.der.clear();
    e.der.shrink_to_fit();
    byContext_[ctx] = &e;
    return true;
}

Element* Store::newElementLocked(int64_t seq, const Thumbprint& sha1, const std::vector<BYTE>& der,
                                 const PortableProperties& properties) {
    PCCERT_CONTEXT ctx = certContextCreateParked(der.data(), static_cast<DWORD>(der.size()));
    if (!ctx) return nullptr;
    for (const PortableProperty& p : properties) certContextApplyPortable(ctx, p);
    certContextAttach(ctx, handle_, this);
    auto element = std::make_unique<Element>();
    element->seq = seq;
    element->sha1 = sha1;
    element->ctx = ctx;
    byContext_[ctx] = element.get();
    return insertLocked(std::move(element));
}

Element* Store::addToMemoryLocked(const Thumbprint& sha1, const std::vector<BYTE>& der,
                                  const PortableProperties& properties, DWORD disposition) {
    Element* existing = findBySha1Locked(sha1);
    switch (disposition) {
        case CERT_STORE_ADD_NEW:
            if (existing) return failNull(CRYPT_E_EXISTS);
            break;
        case CERT_STORE_ADD_USE_EXISTING:
            if (existing) {
                for (const PortableProperty& p : properties)
                    certContextApplyPortable(existing->ctx, p);
                return existing;
            }
            break;
        case CERT_STORE_ADD_REPLACE_EXISTING:
        case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES:
            if (existing) {
                PortableProperties merged =
                    disposition == CERT_STORE_ADD_REPLACE_EXISTING
                        ? properties
                        : overlay(certContextPortableProperties(existing->ctx), properties);
                int64_t seq = existing->seq;
                detachLocked(*existing);
                return newElementLocked(seq, sha1, der, merged);
            }
            break;
        case CERT_STORE_ADD_ALWAYS:
            break;
        default:
            return failNull(kInvalidArg);
    }
    return newElementLocked(nextSeq_++, sha1, der, properties);
}

Element* Store::addToDatabaseLocked(const Thumbprint& sha1, const std::vector<BYTE>& der,
                                    const PortableProperties& properties, DWORD disposition) {
    if (disposition < CERT_STORE_ADD_NEW ||
        disposition > CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES)
        return failNull(kInvalidArg);
    DbConnection* db = databaseLocked();
    if (!db) return nullptr;
    DbTransaction txn;
    int rc = txn.begin(*db, DbTransaction::Mode::Immediate);
    if (rc != SQLITE_OK) return failNull(fromSqlite(rc));
    // The database, not this copy, tells what exists: another process may have
    // added the certificate meanwhile.
    int64_t existing = 0;
    rc = findRow(*db, sha1, &existing);
    if (rc != SQLITE_OK) return failNull(fromSqlite(rc));
    if (existing && disposition == CERT_STORE_ADD_NEW) return failNull(CRYPT_E_EXISTS);
    int64_t row = existing;
    int64_t revision = 0;
    PortableProperties written = properties;
    if (!existing || disposition == CERT_STORE_ADD_ALWAYS) {
        rc = insertRow(*db, sha1, der, properties, &row);
    } else {
        PortableProperties stored;
        if (disposition != CERT_STORE_ADD_REPLACE_EXISTING)
            rc = readProperties(*db, existing, stored);
        if (disposition != CERT_STORE_ADD_REPLACE_EXISTING) written = overlay(stored, properties);
        if (rc == SQLITE_OK) rc = replaceProperties(*db, existing, written);
        if (rc == SQLITE_OK) rc = bumpRevision(*db, existing, &revision);
    }
    if (rc == SQLITE_OK) rc = keepKeysOf(*db, written);
    if (rc != SQLITE_OK || (rc = txn.commit()) != SQLITE_OK) return failNull(fromSqlite(rc));
    return refreshRowLocked(*db, row, revision);
}

Element* Store::refreshRowLocked(DbConnection& db, int64_t row, int64_t revision) {
    Element* e = findBySeqLocked(row);
    if (!e) {
        auto element = std::make_unique<Element>();
        element->seq = row;
        element->revision = revision;
        int rc = readRow(db, row, *element);
        if (rc != SQLITE_OK) return failNull(fromSqlite(rc));
        e = insertLocked(std::move(element));
    } else if (e->ctx) {
        PortableProperties properties;
        int rc = readProperties(db, row, properties);
        if (rc != SQLITE_OK) return failNull(fromSqlite(rc));
        certContextReplacePortable(e->ctx, properties);
        e->revision = revision;
    } else {
        e->revision = revision;
        e->properties.reset();
    }
    if (!makeContextLocked(*e)) return failNull(CRYPT_E_ASN1_CORRUPT);
    return e;
}

bool Store::resyncLocked() {
    DbConnection* db = databaseLocked();
    if (!db) return false;
    DbTransaction txn;
    int rc = txn.begin(*db, DbTransaction::Mode::Deferred);
    DbStatement list;
    if (rc == SQLITE_OK)
        rc = list.prepare(*db,
                          "SELECT id, revision, sha1, der FROM store_certs WHERE store = ?1 "
                          "ORDER BY id");
    if (rc != SQLITE_OK) return fail(fromSqlite(rc));
    list.bindText(1, systemName_);
    std::vector<ElementPtr> fresh;
    std::vector<Element*> gone;
    auto current = elements_.begin();
    while ((rc = list.step()) == SQLITE_ROW) {
        int64_t id = list.columnInt64(0), revision = list.columnInt64(1);
        for (; current != elements_.end() && (*current)->seq < id; ++current)
            gone.push_back(current->get());
        if (current != elements_.end() && (*current)->seq == id) {
            Element& e = **current++;
            if (revision == e.revision) continue;
            if (e.ctx) {
                PortableProperties properties;
                readProperties(*db, id, properties);
                certContextReplacePortable(e.ctx, properties);
            }
            e.revision = revision;
            e.properties.reset();
            continue;
        }
        if (list.columnBytes(2) != Thumbprint().size()) continue;
        auto element = std::make_unique<Element>();
        element->seq = id;
        element->revision = revision;
        std::vector<uint8_t> sha1 = list.columnBlob(2);
        std::copy(sha1.begin(), sha1.end(), element->sha1.begin());
        element->der = list.columnBlob(3);
        fresh.push_back(std::move(element));
    }
    if (rc != SQLITE_DONE) return fail(fromSqlite(rc));
    // Without its properties an element reads them when its context is made.
    if (!fresh.empty()) readFreshProperties(*db, fresh);
    for (; current != elements_.end() && (*current)->seq < kTokenSeqBase; ++current)
        gone.push_back(current->get());
    for (Element* e : gone) detachLocked(*e);
    for (ElementPtr& e : fresh) insertLocked(std::move(e));
    if (systemName_ == "MY") resyncTokensLocked();
    return true;
}

void Store::resyncTokensLocked() {
    std::vector<TokenCertificate> present;
    if (tokenProvidersRegistered()) present = tokenCertificates();
    struct Wanted {
        Thumbprint sha1;
        const TokenCertificate* cert;
        std::string binding;
    };
    std::vector<Wanted> wanted;
    for (const TokenCertificate& cert : present) {
        Thumbprint sha1;
        if (!certSha1(cert.der.data(), static_cast<DWORD>(cert.der.size()), sha1)) continue;
        bool shown = std::any_of(elements_.begin(), elements_.end(), [&](const ElementPtr& e) {
            return e->seq < kTokenSeqBase && e->sha1 == sha1;
        });
        bool twice = std::any_of(wanted.begin(), wanted.end(),
                                 [&](const Wanted& w) { return w.sha1 == sha1; });
        if (!shown && !twice)
            wanted.push_back(
                {sha1, &cert, cert.provider + '\n' + cert.container + '\n' + cert.token});
    }
    std::vector<Element*> gone;
    for (ElementPtr& e : elements_) {
        if (e->seq < kTokenSeqBase) continue;
        auto match = std::find_if(wanted.begin(), wanted.end(), [&](const Wanted& w) {
            return w.sha1 == e->sha1 && w.binding == e->tokenBinding;
        });
        if (match == wanted.end())
            gone.push_back(e.get());
        else
            wanted.erase(match);
    }
    for (Element* e : gone) detachLocked(*e);
    for (const Wanted& w : wanted) {
        std::u16string container = fromUtf8(w.cert->container);
        std::u16string provider = fromUtf8(w.cert->provider);
        CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), w.cert->providerType, 0, 0,
                                 nullptr,          AT_KEYEXCHANGE};
        PortableProperties properties(1);
        properties[0].first = CERT_KEY_PROV_INFO_PROP_ID;
        if (!portablePropertyValue(CERT_KEY_PROV_INFO_PROP_ID, &info, properties[0].second))
            continue;
        if (!w.cert->token.empty()) {
            std::u16string card = fromUtf8(w.cert->token);
            const BYTE* bytes = reinterpret_cast<const BYTE*>(card.c_str());
            properties.emplace_back(
                CERT_SMART_CARD_READER_PROP_ID,
                std::vector<BYTE>(bytes, bytes + (card.size() + 1) * sizeof(char16_t)));
        }
        // Made into a context when first handed out, as the database's rows are.
        auto element = std::make_unique<Element>();
        element->seq = nextTokenSeq_++;
        element->sha1 = w.sha1;
        element->der = w.cert->der;
        element->properties = std::move(properties);
        element->tokenBinding = w.binding;
        insertLocked(std::move(element));
    }
}

DbConnection* Store::databaseLocked() {
    int rc = SQLITE_OK;
    DbConnection* db = userDatabase(&rc);
    if (!db) return failNull(fromSqlite(rc));
    // The store belongs to the user folder it was opened in.
    if (db->path() != database_) return failNull(ERROR_INVALID_HANDLE);
    return db;
}

}  // namespace store_object
