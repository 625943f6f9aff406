#include <sqlite3.h>

#include <set>
#include <string>

#include "platform/crypt/key_container.h"
#include "platform/crypt/temporary_keys_internal.h"
#include "platform/store/cert_context_link_internal.h"
#include "platform/store/user_database.h"
#include "platform/system/process_identity_internal.h"
#include "platform/text/codepage.h"

namespace {

constexpr char kClearMark[] =
    "UPDATE key_containers SET owner_boot = NULL, owner_pidns = NULL, owner_pid = NULL, "
    "owner_start = NULL ";

// The folded container name a portable key-provider property points to; the default
// container when it names none. False for bytes that do not decode.
bool namedContainer(const std::vector<BYTE>& portable, std::string& folded) {
    std::u16string container;
    bool present = false;
    if (!portableKeyProvInfoContainer(portable, container, present)) return false;
    folded = foldContainerName(present && !container.empty() ? toUtf8(container)
                                                             : defaultKeyContainerName());
    return true;
}

// Every container name a certificate of a system store points to, folded.
int referencedContainers(DbConnection& db, std::set<std::string>& out) {
    DbStatement st;
    int rc = st.prepare(db, "SELECT value FROM store_cert_properties WHERE prop_id = ?1");
    if (rc != SQLITE_OK) return rc;
    st.bind(1, CERT_KEY_PROV_INFO_PROP_ID);
    while ((rc = st.step()) == SQLITE_ROW) {
        std::string folded;
        if (namedContainer(st.columnBlob(0), folded)) out.insert(std::move(folded));
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

struct Leftover {
    int64_t id;
    std::string fold;
    ProcessIdentity owner;
};

// The temporary containers whose process has ended.
int findLeftovers(DbConnection& db, std::vector<Leftover>& out) {
    DbStatement st;
    int rc = st.prepare(db,
                        "SELECT id, fold, owner_boot, owner_pidns, owner_pid, owner_start "
                        "FROM key_containers WHERE owner_pid IS NOT NULL");
    if (rc != SQLITE_OK) return rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        Leftover row{st.columnInt64(0), st.columnText(1), {}};
        row.owner.boot = st.columnText(2);
        row.owner.pidNamespace = st.columnText(3);
        row.owner.pid = st.columnInt64(4);
        row.owner.startTime = static_cast<uint64_t>(st.columnInt64(5));
        if (processState(row.owner) == ProcessState::Gone) out.push_back(std::move(row));
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Deletes the row, or clears its mark, unless another process changed its owner since
// it was read.
int settle(DbConnection& db, const Leftover& row, bool referenced) {
    const std::string unchanged = "WHERE id = ?1 AND owner_pid = ?2 AND owner_start = ?3";
    DbStatement st;
    int rc = st.prepare(
        db, (referenced ? std::string(kClearMark) : std::string("DELETE FROM key_containers ")) +
                unchanged);
    if (rc != SQLITE_OK) return rc;
    st.bind(1, row.id);
    st.bind(2, row.owner.pid);
    st.bind(3, static_cast<int64_t>(row.owner.startTime));
    rc = st.step();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

int removeLeftoverKeyContainers(DbConnection& db) {
    std::vector<Leftover> leftovers;
    if (findLeftovers(db, leftovers) != SQLITE_OK) return -1;
    if (leftovers.empty()) return 0;
    DbTransaction txn;
    if (txn.begin(db, DbTransaction::Mode::Immediate) != SQLITE_OK) return -1;
    std::set<std::string> referenced;
    if (referencedContainers(db, referenced) != SQLITE_OK) return -1;
    int removed = 0;
    for (const Leftover& row : leftovers) {
        bool named = referenced.count(row.fold) != 0;
        if (settle(db, row, named) != SQLITE_OK) return -1;
        if (!named) removed += db.changes();
    }
    return txn.commit() == SQLITE_OK ? removed : -1;
}

int keepKeyContainersNamedBy(DbConnection& db, const std::vector<BYTE>& portableKeyProvInfo) {
    std::string folded;
    if (!namedContainer(portableKeyProvInfo, folded)) return SQLITE_OK;
    DbStatement st;
    int rc = st.prepare(db, std::string(kClearMark) + "WHERE fold = ?1 AND owner_pid IS NOT NULL");
    if (rc != SQLITE_OK) return rc;
    st.bindText(1, folded);
    rc = st.step();
    return rc == SQLITE_DONE ? installMemoryContainers(db, folded) : rc;
}
