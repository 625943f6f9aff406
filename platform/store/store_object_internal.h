// One certificate store behind a table handle: its certificates are elements in the
// order they were added, each with a parsed context that the store keeps (parked)
// between hand-outs. A system store mirrors rows of the user database: changes go to
// the database in one write transaction each and then into the copy, and a walk from the
// beginning first brings the copy up to date with the database, so processes sharing a
// store see the same certificates.
//
// Lifetime: the store counts its handle references and every context handed out and
// not yet given back; while that count is above zero the store holds itself (self_),
// and when it drops to zero the store frees its contexts and goes.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/crypt/wincrypt.h"
#include "platform/store/cert_context_link_internal.h"
#include "platform/store/user_database.h"

namespace store_object {

using Thumbprint = std::array<BYTE, 20>;

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);
// The certificates of present tokens follow the database's rows in "MY", from this
// order number on; they live in the copy only and go when their token goes.
constexpr int64_t kTokenSeqBase = int64_t{1} << 62;

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

// The last-error value for a failed database call; system stores live where the
// platform keeps them in the registry, so its failures read as registry failures.
DWORD fromSqlite(int rc);

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

    ~Store();

    // Registers a new store and gives its handle (null with the last error).
    static HCERTSTORE open(std::shared_ptr<Store> store);
    static std::shared_ptr<Store> find(HCERTSTORE handle);
    bool system() const { return !systemName_.empty(); }

    BOOL duplicate();
    BOOL close(DWORD flags);

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

    BOOL add(PCCERT_CONTEXT source, DWORD disposition, PCCERT_CONTEXT* out);

    // Whether a certificate with this SHA-1 is in the store now.
    bool holds(const Thumbprint& sha1);
    BOOL remove(PCCERT_CONTEXT context);

    // ---- CertContextOwner

    void contextUnused(PCCERT_CONTEXT context) override;
    BOOL propertyChanging(PCCERT_CONTEXT context, DWORD propId, const void* pvData) override;

  private:
    // ---- elements

    std::vector<ElementPtr>::iterator firstAfter(int64_t seq);
    Element* findBySha1Locked(const Thumbprint& sha1);
    Element* findBySeqLocked(int64_t seq);

    // Puts an element in seq order.
    Element* insertLocked(ElementPtr element);
    PCCERT_CONTEXT handOutLocked(Element& e);

    // Takes the element out of the store; contexts still in use stay valid.
    void detachLocked(Element& e);
    void dropDetachedLocked(Element& e);

    // A parked context for the element, with its properties (read from the database
    // for a system store). False when the encoding does not parse.
    bool makeContextLocked(Element& e);

    // A new element made from the encoding and properties (parked).
    Element* newElementLocked(int64_t seq, const Thumbprint& sha1, const std::vector<BYTE>& der,
                              const PortableProperties& properties);
    Element* addToMemoryLocked(const Thumbprint& sha1, const std::vector<BYTE>& der,
                               const PortableProperties& properties, DWORD disposition);
    Element* addToDatabaseLocked(const Thumbprint& sha1, const std::vector<BYTE>& der,
                                 const PortableProperties& properties, DWORD disposition);

    // Brings the copy of one row up to date after this store changed it.
    Element* refreshRowLocked(DbConnection& db, int64_t row, int64_t revision);

    // Reads which rows the store has now: new rows are added to the copy, removed ones
    // detached, and rows with a new revision get their properties again. New rows come
    // with their encoding and properties, read in the same transaction as the list.
    bool resyncLocked();

    // Brings the token certificates of the copy up to date with the present tokens: one
    // the database also holds is shown once, from the database; one on several tokens is
    // shown once, bound to the first of them, and bound anew when that one goes.
    void resyncTokensLocked();

    // The properties of the new rows `fresh` (in id order), in one query over the ids from
    // the first of them on. Leaves them unread when the query fails.
    int readFreshProperties(DbConnection& db, std::vector<ElementPtr>& fresh);

    // The calling thread's connection to the store's database.
    DbConnection* databaseLocked();

    // ---- rows (each returns SQLITE_OK or the failing code)

    // Runs a statement that returns no rows, with integer parameters ?1, ?2, ...
    static int execute(DbConnection& db, const char* sql, std::initializer_list<int64_t> params);
    int findRow(DbConnection& db, const Thumbprint& sha1, int64_t* id);
    int readRow(DbConnection& db, int64_t id, Element& out);
    int insertRow(DbConnection& db, const Thumbprint& sha1, const std::vector<BYTE>& der,
                  const PortableProperties& properties, int64_t* id);
    static int readProperties(DbConnection& db, int64_t id, PortableProperties& out);
    static int writeProperty(DbConnection& db, int64_t id, const PortableProperty& p);
    static int deleteProperty(DbConnection& db, int64_t id, DWORD propId);
    static int replaceProperties(DbConnection& db, int64_t id,
                                 const PortableProperties& properties);

    // SQLITE_OK with the row's new revision, SQLITE_DONE when the row is gone.
    static int bumpRevision(DbConnection& db, int64_t id, int64_t* revision);
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

}  // namespace store_object
