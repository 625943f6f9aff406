// The rows of a system store in the user database (store_certs and
// store_cert_properties): each returns SQLITE_OK or the failing code.
#include <sqlite3.h>

#include "platform/store/store_object_internal.h"

namespace store_object {

int Store::readFreshProperties(DbConnection& db, std::vector<ElementPtr>& fresh) {
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

int Store::execute(DbConnection& db, const char* sql, std::initializer_list<int64_t> params) {
    DbStatement st;
    int rc = st.prepare(db, sql);
    if (rc != SQLITE_OK) return rc;
    int index = 1;
    for (int64_t p : params) st.bind(index++, p);
    rc = st.step();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int Store::findRow(DbConnection& db, const Thumbprint& sha1, int64_t* id) {
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

int Store::readRow(DbConnection& db, int64_t id, Element& out) {
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

int Store::insertRow(DbConnection& db, const Thumbprint& sha1, const std::vector<BYTE>& der,
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

int Store::readProperties(DbConnection& db, int64_t id, PortableProperties& out) {
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

int Store::writeProperty(DbConnection& db, int64_t id, const PortableProperty& p) {
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

int Store::deleteProperty(DbConnection& db, int64_t id, DWORD propId) {
    return execute(db, "DELETE FROM store_cert_properties WHERE cert_id = ?1 AND prop_id = ?2",
                   {id, propId});
}

int Store::replaceProperties(DbConnection& db, int64_t id, const PortableProperties& properties) {
    int rc = execute(db, "DELETE FROM store_cert_properties WHERE cert_id = ?1", {id});
    if (rc != SQLITE_OK) return rc;
    for (const PortableProperty& p : properties)
        if ((rc = writeProperty(db, id, p)) != SQLITE_OK) return rc;
    return SQLITE_OK;
}

int Store::bumpRevision(DbConnection& db, int64_t id, int64_t* revision) {
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

}  // namespace store_object
