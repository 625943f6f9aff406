// The platform's two-call size protocol for results copied out to the caller: a null
// buffer asks for the size, a short one fails with ERROR_MORE_DATA and the size, and
// success leaves the true length in the size variable.
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/last_error.h"
#include "platform/types.h"

// Copies `size` bytes into pvData under the protocol; *pcbData must be valid. Sizes past
// 32 bits fail with ERROR_NOT_ENOUGH_MEMORY.
inline BOOL giveOutBytes(const void* data, size_t size, void* pvData, DWORD* pcbData) {
    if (size > 0xFFFFFFFFu) return failWithLastError(ERROR_NOT_ENOUGH_MEMORY);
    DWORD needed = static_cast<DWORD>(size);
    if (!pvData) {
        *pcbData = needed;
        return TRUE;
    }
    if (*pcbData < needed) {
        *pcbData = needed;
        return failWithLastError(ERROR_MORE_DATA);
    }
    if (needed) std::memcpy(pvData, data, needed);
    *pcbData = needed;
    return TRUE;
}

inline BOOL giveOutDword(DWORD value, void* pvData, DWORD* pcbData) {
    return giveOutBytes(&value, sizeof value, pvData, pcbData);
}
