// What the module shares between objects: how many objects are alive and how many
// server locks are held. Both change with atomic operations.
#pragma once

#include "platform/system/types.h"

namespace module_state {
void objectCreated();
void objectDestroyed();
void lock();
void unlock();
long liveObjects();
long locks();
// S_OK when no object is alive and no lock is held, else S_FALSE.
HRESULT canUnloadNow();
}  // namespace module_state
