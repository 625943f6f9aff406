// Handles of the layer's objects as numbers in a table, so that a handle that was closed
// or never issued is recognised instead of followed. Numbers are never reused.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

template <typename T>
class HandleTable {
  public:
    // `first` is the first number given out; numbers step by 4, as pointers would.
    explicit HandleTable(uintptr_t first) : next_(first) {}

    uintptr_t add(T value) {
        std::lock_guard lock(mutex_);
        uintptr_t handle = next_;
        next_ += 4;
        entries_.emplace(handle, std::move(value));
        return handle;
    }
    // A copy of the entry, or nothing.
    std::optional<T> find(uintptr_t handle) const {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(handle);
        if (it == entries_.end()) return std::nullopt;
        return it->second;
    }
    // Removes the entry and gives it back (so that it is destroyed outside the lock).
    std::optional<T> remove(uintptr_t handle) {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(handle);
        if (it == entries_.end()) return std::nullopt;
        std::optional<T> out(std::move(it->second));
        entries_.erase(it);
        return out;
    }

  private:
    mutable std::mutex mutex_;
    uintptr_t next_;
    std::unordered_map<uintptr_t, T> entries_;
};
