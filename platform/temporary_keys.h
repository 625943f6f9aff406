// Key containers that belong to one process for a while: a PFX load creates them
// marked with its process (cryptAcquireTemporaryContext), a certificate of a system
// store that is given the key makes the container permanent, and whatever a process
// left marked when it ended (a crash, a kill) is removed on the next opening of the
// user database. Mark and container rows live in key_containers (owner_* columns).
#pragma once

#include <vector>

#include "platform/types.h"

class DbConnection;

// Removes every temporary container whose process has ended (see processState; an
// owner that cannot be seen is left alone) and that no certificate of a system store
// names; a named one only loses its mark. The write happens only when there is
// something to remove. Returns the number of containers removed, or -1 when the
// database could not be read or written (the rows then wait for the next opening).
int removeLeftoverKeyContainers(DbConnection& db);

// Makes permanent the containers named by a certificate's key-provider property (in
// its portable form, see platform/cert_context_link.h), inside the caller's write
// transaction. The name is matched with ASCII case ignored in every provider's set, so
// that no container a certificate may use stays temporary. SQLITE_OK (also for bytes
// that do not decode) or the failing SQLite code.
int keepKeyContainersNamedBy(DbConnection& db, const std::vector<BYTE>& portableKeyProvInfo);
