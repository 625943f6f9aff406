// System libraries opened at their first use instead of linked. Every library a program
// links is mapped and relocated at each start, which a short run that never needs it
// (hashing one file, answering one bridge call) pays in full.
#pragma once

#include <dlfcn.h>

namespace shared_library {

// Opens the installed library `soname` (e.g. "libsqlite3.so.0") for this process's
// lifetime: its symbols bound at once, kept out of the global namespace, never unloaded.
// Null when it is not installed or cannot be loaded; the caller treats that as the
// service being absent.
void* open(const char* soname);

// Points `function` at the symbol `name` of the library `handle`. False, `function` null,
// when the library lacks it.
template <typename Function>
bool bind(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    return function != nullptr;
}

// The function table of `soname`, filled once by `bindAll(handle, table)` (true when
// every function was found) and kept for the process's lifetime. Null, on every call,
// when the library is missing or `bindAll` failed. The table is kept per Table type, so
// each library has a Table of its own.
template <typename Table, typename BindAll>
const Table* functions(const char* soname, BindAll bindAll) {
    static const Table* const loaded = [&]() -> const Table* {
        void* handle = open(soname);
        if (!handle) return nullptr;
        static Table table;
        return bindAll(handle, table) ? &table : nullptr;
    }();
    return loaded;
}

}  // namespace shared_library
