// The platform's two-call size protocol for results copied out to the caller: a null
// buffer asks for the size, a short one fails with ERROR_MORE_DATA and the size, and
// success leaves the true length in the size variable.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "platform/system/last_error.h"
#include "platform/system/types.h"

// True when pvData cannot take `size` bytes: a size query, or a short buffer.
inline bool needsSizeOnly(size_t size, const void* pvData, const DWORD* pcbData) {
    return !pvData || *pcbData < size;
}
// Answers a size query (TRUE) or a short buffer (ERROR_MORE_DATA) with the size, for a
// result not made yet.
inline BOOL giveOutSize(size_t size, const void* pvData, DWORD* pcbData) {
    if (size > 0xFFFFFFFFu) return failWithLastError(ERROR_NOT_ENOUGH_MEMORY);
    *pcbData = static_cast<DWORD>(size);
    return pvData ? failWithLastError(ERROR_MORE_DATA) : TRUE;
}

// Copies `size` bytes into pvData under the protocol; *pcbData must be valid. Sizes past
// 32 bits fail with ERROR_NOT_ENOUGH_MEMORY.
inline BOOL giveOutBytes(const void* data, size_t size, void* pvData, DWORD* pcbData) {
    if (needsSizeOnly(size, pvData, pcbData)) return giveOutSize(size, pvData, pcbData);
    DWORD needed = static_cast<DWORD>(size);
    if (needed) std::memcpy(pvData, data, needed);
    *pcbData = needed;
    return TRUE;
}

inline BOOL giveOutDword(DWORD value, void* pvData, DWORD* pcbData) {
    return giveOutBytes(&value, sizeof value, pvData, pcbData);
}

// Text results go out with their terminator, which the size counts.
inline BOOL giveOutText(const std::string& text, void* pvData, DWORD* pcbData) {
    return giveOutBytes(text.c_str(), text.size() + 1, pvData, pcbData);
}

// The caller's side: runs `call(buffer, &size)` with a null buffer to learn the size,
// then with a buffer of that size, and leaves in `out` what the second call wrote (its
// reported length). FALSE with the failing call's last error and `out` empty otherwise.
// Buffer is a contiguous container of bytes or characters (std::vector, std::string, a
// wiped buffer); the call takes its data() pointer type.
template <typename Buffer, typename Call>
BOOL fetchSized(Buffer& out, Call&& call) {
    using Pointer = decltype(out.data());
    DWORD size = 0;
    if (!call(static_cast<Pointer>(nullptr), &size)) {
        out.clear();
        return FALSE;
    }
    out.resize(size);
    if (!call(out.data(), &size)) {
        out.clear();
        return FALSE;
    }
    out.resize(size);
    return TRUE;
}
