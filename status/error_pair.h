// The error state an operation leaves behind: the control's own code and the
// platform's last-error value of the failing platform call.
#pragma once

#include <cstdint>

#include "platform/system/last_error.h"

using ErrorCode = int32_t;

struct ErrorPair {
    ErrorCode lastError = 0;
    uint32_t capiError = 0;

    // Records `code` alone (capiError is left as it was) and returns it.
    ErrorCode fail(ErrorCode code) {
        lastError = code;
        return code;
    }
    // Records `code` with the platform's error value of the failing call and returns it.
    ErrorCode failWith(ErrorCode code, uint32_t platformError) {
        capiError = platformError;
        lastError = code;
        return code;
    }
    // failWith(code, GetLastError()): call it right after the failing platform call.
    ErrorCode failWithPlatform(ErrorCode code) { return failWith(code, GetLastError()); }
};
