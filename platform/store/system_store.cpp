// Certificate stores. A store is one object behind a table handle; its certificates are
// elements in the order they were added, each with a parsed context that the store
// keeps (parked) between hand-outs. A system store mirrors rows of the user database:
// changes go to the database in one write transaction each and then into the copy, and
// a walk from the beginning first brings the copy up to date with the database, so
// processes sharing a store see the same certificates.
//
// Lifetime: the store counts its handle references and every context handed out and
// not yet given back; while that count is above zero the store holds itself (self_),
// and when it drops to zero the store frees its contexts and goes.
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/crypt/temporary_keys.h"
#include "platform/crypt/wincrypt.h"
#include "platform/store/cert_context_link.h"
#include "platform/store/root_install.h"
#include "platform/store/user_database.h"
#include "platform/system/handle_table.h"
#include "platform/text/codepage.h"
#include "platform/token/token_provider.h"

namespace {

using Thumbprint = std::array<BYTE, 20>;

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);
constexpr DWORD kAccessDenied = static_cast<DWORD>(E_ACCESSDENIED);
constexpr DWORD kDiskFull = 112;        // ERROR_DISK_FULL
constexpr DWORD kStorageFailed = 1016;  // ERROR_REGISTRY_IO_FAILED
constexpr const char* kSystemStores[] = {"MY", "ROOT", "CA"};
// The certificates of present tokens follow the database's rows in "MY", from this
// order number on; they live in the copy only and go when their token goes.
constexpr int64_t kTokenSeqBase = int64_t{1} << 62;

constexpr auto& fail = failWithLastError;

constexpr auto& failNull = nullWithLastError;

// The last-error value for a failed database call; system stores live where the
// platform keeps them in the registry, so its failures read as registry failures.
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

// One certificate of a store.
struct Element {
    int64_t seq = 0;       // order in the store; the row id in a system store
    int64_t revision = 0;  // system store: the row revision the properties reflect
    Thumbprint sha1{};
    std::vector<BYTE> der;  // system store: the encoding until the context is made
    // System store: the properties read with the row, for the context still to be made;
    // they belong to `revision` and are dropped when it moves on.
    std::optional<PortableProperties> properties;
    // A token's certificate: the provider, container and card it is bound to.
    std::string tokenBinding;
    PCCERT_CONTEXT ctx = nullptr;
    int uses = 0;  // hand-outs whose last reference has not come back yet
    bool detached = false;
};
using ElementPtr = std::unique_ptr<Element>;

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

class Store;
HandleTable<std::weak_ptr<Store>>& stores() {
    static HandleTable<std::weak_ptr<Store>> table(0x10000);
    return table;
}

class Store final : public CertContextOwner {
  public:
    // A memory store (systemName empty) or a system store on the database at `database`.
    Store(std::string systemName, std::string database, bool readOnly, HCRYPTPROV prov,
          bool releaseProv)
        : systemName_(std::move(systemName)),
          database_(std::move(database)),
          readOnly_(readOnly),
          cryptProv_(prov),
          releaseProv_(releaseProv) {}

    ~Store() {
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

    // Registers a new store and gives its handle (null with the last error).
    static HCERTSTORE open(std::shared_ptr<Store> store) {
        if (store->system()) {
            std::lock_guard lock(store->mutex_);
            if (!store->resyncLocked()) return nullptr;
        }
        store->handle_ = reinterpret_cast<HCERTSTORE>(stores().add(store));
        store->self_ = store;
        return store->handle_;
    }

    static std::shared_ptr<Store> find(HCERTSTORE handle) {
        std::optional<std::weak_ptr<Store>> entry =
            stores().find(reinterpret_cast<uintptr_t>(handle));
        return entry ? entry->lock() : nullptr;
    }

    bool system() const { return !systemName_.empty(); }

    BOOL duplicate() {
        std::lock_guard lock(mutex_);
        ++handleRefs_;
        ++refs_;
        return TRUE;
    }

    BOOL close(DWORD flags) {
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

    // The next certificate after `prev` (null: from the beginning) that `match` accepts.
    template <typename Match>
    PCCERT_CONTEXT next(PCCERT_CONTEXT prev, Match match) {
        PCCERT_CONTEXT result = nullptr;
        DWORD error = CRYPT_E_NOT_FOUND;
        {
            std::lock_guard lock(mutex_);
            int64_t after = 0;
            bool ok = true;
            if (prev) {
                auto it = byContext_.find(prev);
                if (it == byContext_.end()) {
                    ok = false;
                    error = kInvalidArg;
                } else {
                    after = it->second->seq;
                }
            } else if (system() && !resyncLocked()) {
                ok = false;
                error = GetLastError();
            }
            for (auto it = firstAfter(after); ok && it != elements_.end(); ++it) {
                Element& e = **it;
                if (!match(e) || !makeContextLocked(e)) continue;
                result = handOutLocked(e);
                break;
            }
        }
        CertFreeCertificateContext(prev);
        if (!result) SetLastError(error);
        return result;
    }

    BOOL add(PCCERT_CONTEXT source, DWORD disposition, PCCERT_CONTEXT* out) {
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

    // Whether a certificate with this SHA-1 is in the store now.
    bool holds(const Thumbprint& sha1) {
        DWORD saved = GetLastError();
        PCCERT_CONTEXT found = next(nullptr, [&](const Element& e) { return e.sha1 == sha1; });
        const bool there = found != nullptr;
        CertFreeCertificateContext(found);
        SetLastError(saved);
        return there;
    }

    BOOL remove(PCCERT_CONTEXT context) {
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

    // ---- CertContextOwner

    void contextUnused(PCCERT_CONTEXT context) override {
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

    BOOL propertyChanging(PCCERT_CONTEXT context, DWORD propId, const void* pvData) override {
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

  private:
    // ---- elements

    std::vector<ElementPtr>::iterator firstAfter(int64_t seq) {
        return std::upper_bound(elements_.begin(), elements_.end(), seq,
                                [](int64_t s, const ElementPtr& e) { return s < e->seq; });
    }

    Element* findBySha1Locked(const Thumbprint& sha1) {
        for (ElementPtr& e : elements_)
            if (e->sha1 == sha1) return e.get();
        return nullptr;
    }

    Element* findBySeqLocked(int64_t seq) {
        auto it = std::lower_bound(elements_.begin(), elements_.end(), seq,
                                   [](const ElementPtr& e, int64_t s) { return e->seq < s; });
        return it != elements_.end() && (*it)->seq == seq ? it->get() : nullptr;
    }

    // Puts an element in seq order.
    Element* insertLocked(ElementPtr element) {
        auto it = firstAfter(element->seq);
        return elements_.insert(it, std::move(element))->get();
    }

    PCCERT_CONTEXT handOutLocked(Element& e) {
        if (certContextAcquire(e.ctx)) {
            ++e.uses;
            ++refs_;
        }
        return e.ctx;
    }

    // Takes the element out of the store; contexts still in use stay valid.
    void detachLocked(Element& e) {
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

    void dropDetachedLocked(Element& e) {
        auto it = std::find_if(detached_.begin(), detached_.end(),
                               [&](const ElementPtr& p) { return p.get() == &e; });
        if (it == detached_.end()) return;
        byContext_.erase(e.ctx);
        certContextDestroy(e.ctx);
        detached_.erase(it);
    }

    // A parked context for the element, with its properties (read from the database
    // for a system store). False when the encoding does not parse.
    bool makeContextLocked(Element& e) {
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

    // A new element made from the encoding and properties (parked).
    Element* newElementLocked(int64_t seq, const Thumbprint& sha1, const std::vector<BYTE>& der,
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

    Element* addToMemoryLocked(const Thumbprint& sha1, const std::vector<BYTE>& der,
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

    Element* addToDatabaseLocked(const Thumbprint& sha1, const std::vector<BYTE>& der,
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
            if (disposition != CERT_STORE_ADD_REPLACE_EXISTING)
                written = overlay(stored, properties);
            if (rc == SQLITE_OK) rc = replaceProperties(*db, existing, written);
            if (rc == SQLITE_OK) rc = bumpRevision(*db, existing, &revision);
        }
        if (rc == SQLITE_OK) rc = keepKeysOf(*db, written);
        if (rc != SQLITE_OK || (rc = txn.commit()) != SQLITE_OK) return failNull(fromSqlite(rc));
        return refreshRowLocked(*db, row, revision);
    }

    // Brings the copy of one row up to date after this store changed it.
    Element* refreshRowLocked(DbConnection& db, int64_t row, int64_t revision) {
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

    // Reads which rows the store has now: new rows are added to the copy, removed ones
    // detached, and rows with a new revision get their properties again. New rows come
    // with their encoding and properties, read in the same transaction as the list.
    bool resyncLocked() {
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

    // Brings the token certificates of the copy up to date with the present tokens: one
    // the database also holds is shown once, from the database; one on several tokens is
    // shown once, bound to the first of them, and bound anew when that one goes.
    void resyncTokensLocked() {
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

    // The properties of the new rows `fresh` (in id order), in one query over the ids from
    // the first of them on. Leaves them unread when the query fails.
    int readFreshProperties(DbConnection& db, std::vector<ElementPtr>& fresh) {
        DbStatement st;
        int rc = st.prepare(db,
                            "SELECT p.cert_id, p.prop_id, p.value FROM store_cert_properties p "
                            "JOIN store_certs c ON c.id = p.cert_id "
                            "WHERE c.store = ?1 AND p.cert_id >= ?2 ORDER BY p.cert_id, p.prop_id");
        if (rc != SQLITE_OK) return rc;
        st.bindText(1, systemName_);
        st.bind(2, fresh.front()->seq);
        std::vector<PortableProperties> found(fresh.size());
        size_t next = 0;
        while ((rc = st.step()) == SQLITE_ROW) {
            int64_t id = st.columnInt64(0);
            while (next < fresh.size() && fresh[next]->seq < id) ++next;
            if (next == fresh.size()) break;
            if (fresh[next]->seq != id) continue;
            found[next].emplace_back(static_cast<DWORD>(st.columnInt64(1)), st.columnBlob(2));
        }
        if (rc != SQLITE_DONE && rc != SQLITE_ROW) return rc;
        for (size_t i = 0; i < fresh.size(); ++i) fresh[i]->properties = std::move(found[i]);
        return SQLITE_OK;
    }

    // The calling thread's connection to the store's database.
    DbConnection* databaseLocked() {
        int rc = SQLITE_OK;
        DbConnection* db = userDatabase(&rc);
        if (!db) return failNull(fromSqlite(rc));
        // The store belongs to the user folder it was opened in.
        if (db->path() != database_) return failNull(ERROR_INVALID_HANDLE);
        return db;
    }

    // ---- rows (each returns SQLITE_OK or the failing code)

    // Runs a statement that returns no rows, with integer parameters ?1, ?2, ...
    static int execute(DbConnection& db, const char* sql, std::initializer_list<int64_t> params) {
        DbStatement st;
        int rc = st.prepare(db, sql);
        if (rc != SQLITE_OK) return rc;
        int index = 1;
        for (int64_t p : params) st.bind(index++, p);
        rc = st.step();
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    int findRow(DbConnection& db, const Thumbprint& sha1, int64_t* id) {
        DbStatement st;
        int rc = st.prepare(db,
                            "SELECT id FROM store_certs WHERE store = ?1 AND sha1 = ?2 "
                            "ORDER BY id LIMIT 1");
        if (rc != SQLITE_OK) return rc;
        st.bindText(1, systemName_);
        st.bindBlob(2, sha1.data(), sha1.size());
        rc = st.step();
        *id = rc == SQLITE_ROW ? st.columnInt64(0) : 0;
        return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    int readRow(DbConnection& db, int64_t id, Element& out) {
        DbStatement st;
        int rc = st.prepare(db, "SELECT sha1, der FROM store_certs WHERE id = ?1");
        if (rc != SQLITE_OK) return rc;
        st.bind(1, id);
        rc = st.step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_NOTFOUND : rc;
        std::vector<uint8_t> sha1 = st.columnBlob(0);
        if (sha1.size() == out.sha1.size()) std::copy(sha1.begin(), sha1.end(), out.sha1.begin());
        out.der = st.columnBlob(1);
        return SQLITE_OK;
    }

    int insertRow(DbConnection& db, const Thumbprint& sha1, const std::vector<BYTE>& der,
                  const PortableProperties& properties, int64_t* id) {
        DbStatement st;
        int rc = st.prepare(db, "INSERT INTO store_certs(store, sha1, der) VALUES (?1, ?2, ?3)");
        if (rc != SQLITE_OK) return rc;
        st.bindText(1, systemName_);
        st.bindBlob(2, sha1.data(), sha1.size());
        st.bindBlob(3, der.data(), der.size());
        rc = st.step();
        if (rc != SQLITE_DONE) return rc;
        *id = db.lastInsertId();
        for (const PortableProperty& p : properties)
            if ((rc = writeProperty(db, *id, p)) != SQLITE_OK) return rc;
        return SQLITE_OK;
    }

    static int readProperties(DbConnection& db, int64_t id, PortableProperties& out) {
        out.clear();
        DbStatement st;
        int rc = st.prepare(db,
                            "SELECT prop_id, value FROM store_cert_properties WHERE cert_id = ?1 "
                            "ORDER BY prop_id");
        if (rc != SQLITE_OK) return rc;
        st.bind(1, id);
        while ((rc = st.step()) == SQLITE_ROW)
            out.emplace_back(static_cast<DWORD>(st.columnInt64(0)), st.columnBlob(1));
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    static int writeProperty(DbConnection& db, int64_t id, const PortableProperty& p) {
        DbStatement st;
        int rc = st.prepare(db,
                            "INSERT OR REPLACE INTO store_cert_properties(cert_id, prop_id, value) "
                            "VALUES (?1, ?2, ?3)");
        if (rc != SQLITE_OK) return rc;
        st.bind(1, id);
        st.bind(2, p.first);
        st.bindBlob(3, p.second.data(), p.second.size());
        rc = st.step();
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    static int deleteProperty(DbConnection& db, int64_t id, DWORD propId) {
        return execute(db, "DELETE FROM store_cert_properties WHERE cert_id = ?1 AND prop_id = ?2",
                       {id, propId});
    }

    static int replaceProperties(DbConnection& db, int64_t id,
                                 const PortableProperties& properties) {
        int rc = execute(db, "DELETE FROM store_cert_properties WHERE cert_id = ?1", {id});
        if (rc != SQLITE_OK) return rc;
        for (const PortableProperty& p : properties)
            if ((rc = writeProperty(db, id, p)) != SQLITE_OK) return rc;
        return SQLITE_OK;
    }

    // SQLITE_OK with the row's new revision, SQLITE_DONE when the row is gone.
    static int bumpRevision(DbConnection& db, int64_t id, int64_t* revision) {
        DbStatement st;
        int rc = st.prepare(db,
                            "UPDATE store_certs SET revision = revision + 1 WHERE id = ?1 "
                            "RETURNING revision");
        if (rc != SQLITE_OK) return rc;
        st.bind(1, id);
        rc = st.step();
        if (rc != SQLITE_ROW) return rc;
        *revision = st.columnInt64(0);
        rc = st.step();
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    std::mutex mutex_;
    HCERTSTORE handle_ = nullptr;
    const std::string systemName_;
    const std::string database_;
    const bool readOnly_;
    const HCRYPTPROV cryptProv_;
    const bool releaseProv_;
    int handleRefs_ = 1;
    int refs_ = 1;  // handleRefs_ plus the uses of all elements
    std::shared_ptr<Store> self_;
    std::vector<ElementPtr> elements_;  // in seq order
    std::vector<ElementPtr> detached_;  // removed, still in use
    std::unordered_map<PCCERT_CONTEXT, Element*> byContext_;
    int64_t nextSeq_ = 1;
    int64_t nextTokenSeq_ = kTokenSeqBase;
};

bool isSmallProvider(LPCSTR provider, uintptr_t value) {
    return reinterpret_cast<uintptr_t>(provider) == value;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

HCERTSTORE openSystem(const std::string& name, HCRYPTPROV prov, DWORD flags) {
    DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
    if (location != 0 && location != CERT_SYSTEM_STORE_CURRENT_USER) return failNull(kInvalidArg);
    const char* canonical = nullptr;
    for (const char* known : kSystemStores)
        if (equalsIgnoringAsciiCase(known, name)) canonical = known;
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
            (!small && equalsIgnoringAsciiCase(lpszStoreProvider, sz_CERT_STORE_PROV_MEMORY))) {
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
            (!small && equalsIgnoringAsciiCase(lpszStoreProvider, sz_CERT_STORE_PROV_SYSTEM))) {
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
