#include <atomic>

#include "control/module_state_internal.h"

namespace module_state {
namespace {
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
}  // namespace

void objectCreated() {
    g_objects.fetch_add(1, std::memory_order_relaxed);
}
void objectDestroyed() {
    g_objects.fetch_sub(1, std::memory_order_acq_rel);
}
void lock() {
    g_locks.fetch_add(1, std::memory_order_relaxed);
}
void unlock() {
    g_locks.fetch_sub(1, std::memory_order_acq_rel);
}
long liveObjects() {
    return g_objects.load(std::memory_order_acquire);
}
long locks() {
    return g_locks.load(std::memory_order_acquire);
}
HRESULT canUnloadNow() {
    return liveObjects() == 0 && locks() == 0 ? S_OK : S_FALSE;
}
}  // namespace module_state
