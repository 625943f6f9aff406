// Key containers that belong to one process for a while. A PFX load now keeps them in
// its memory (cryptAcquireTemporaryContext) and a certificate of a system store that is
// given the key stores them; databases written before may still hold containers marked
// with the process that loaded them (owner_* columns of key_containers): whatever a
// process left marked when it ended (a crash, a kill) is removed on the next opening of
// the user database.
#pragma once

#include <vector>

#include "platform/system/types.h"

class DbConnection;

// Removes every temporary container whose process has ended (see processState; an
// owner that cannot be seen is left alone) and that no certificate of a system store
// names; a named one only loses its mark. The write happens only when there is
// something to remove. Returns the number of containers removed, or -1 when the
// database could not be read or written (the rows then wait for the next opening).
int removeLeftoverKeyContainers(DbConnection& db);

// Makes permanent the containers named by a certificate's key-provider property (in
// its portable form, see platform/store/cert_context_link_internal.h), inside the caller's write
// transaction: clears their marks and stores this process's memory containers of the
// name (installMemoryContainers). The name is matched with ASCII case ignored in every provider's
// set, so that no container a certificate may use stays temporary. SQLITE_OK (also for bytes that
// do not decode) or the failing SQLite code.
int keepKeyContainersNamedBy(DbConnection& db, const std::vector<BYTE>& portableKeyProvInfo);
