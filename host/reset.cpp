#include "host/reset.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <istream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "platform/store/user_database.h"

namespace host {

namespace {

int64_t countRows(DbConnection& db, const char* sql) {
    DbStatement st;
    if (st.prepare(db, sql) != SQLITE_OK || st.step() != SQLITE_ROW) return -1;
    return st.columnInt64(0);
}

// Overwrites a file's bytes with zeros (through the file, never a link it may have become)
// so that the keys it held are not left in free blocks the next owner could read.
bool wipe(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    off_t size = lseek(fd, 0, SEEK_END);
    bool ok = size >= 0 && lseek(fd, 0, SEEK_SET) == 0;
    static const char zeros[65536] = {};
    for (off_t done = 0; ok && done < size;) {
        ssize_t n =
            write(fd, zeros, static_cast<size_t>(std::min<off_t>(size - done, sizeof zeros)));
        ok = n > 0;
        done += n;
    }
    ok = ok && fsync(fd) == 0;
    close(fd);
    return ok;
}

}  // namespace

int runReset(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err) {
    bool yes = args.size() == 1 && args[0] == "--yes";
    if (!args.empty() && !yes) {
        err << "usage: kscapi reset [--yes]\n";
        return 2;
    }
    std::string database = userDatabasePath();
    if (database.empty()) {
        err << "kscapi: no state folder (set HOME or KSCAPI_HOME)\n";
        return 1;
    }
    std::filesystem::path folder = std::filesystem::path(database).parent_path();
    std::error_code ec;
    if (!std::filesystem::exists(database, ec)) {
        out << nlohmann::json{{"reset", folder.string()}, {"removed", false}}.dump() << '\n';
        return 0;
    }
    int64_t keys = -1, containers = -1, certificates = -1;
    if (DbConnection* db = userDatabase()) {
        keys = countRows(*db, "SELECT COUNT(*) FROM container_keys");
        containers = countRows(*db, "SELECT COUNT(*) FROM key_containers");
        certificates = countRows(*db, "SELECT COUNT(*) FROM store_certs");
    }
    closeUserDatabase();
    nlohmann::ordered_json summary{{"folder", folder.string()},
                                   {"keys", keys},
                                   {"containers", containers},
                                   {"certificates", certificates}};
    if (!yes) {
        out << "This removes " << keys << " key pair(s) in " << containers << " container(s), "
            << certificates << " certificate(s), the allowed origins and "
            << "settings kept in " << folder.string() << ".\nThe keys cannot be recovered. "
            << "Remove them? [y/N] " << std::flush;
        std::string answer;
        std::getline(in, answer);
        if (answer != "y" && answer != "Y" && answer != "yes") {
            err << "kscapi: nothing removed\n";
            return 1;
        }
    }
    bool ok = true;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::string file = database + suffix;
        if (!wipe(file)) ok = false;
        std::filesystem::remove(file, ec);
        if (ec) ok = false;
    }
    std::filesystem::remove_all(folder / "view", ec);
    if (ec) ok = false;
    // Only an empty folder goes: --home may name a folder that holds other things.
    std::filesystem::remove(folder, ec);
    summary["removed"] = ok;
    out << summary.dump() << '\n';
    if (!ok) err << "kscapi: some files in " << folder.string() << " could not be removed\n";
    return ok ? 0 : 1;
}

}  // namespace host
