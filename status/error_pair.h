// The error state an operation leaves behind: the control's own code and the
// platform's last-error value of the failing platform call.
#pragma once

#include <cstdint>

#include "platform/last_error.h"

using ErrorCode = int32_t;

struct ErrorPair {
    ErrorCode lastError = 0;
    uint32_t capiError = 0;

    // Records `code` alone; capiError is left as it was.
    void fail(ErrorCode code) { lastError = code; }
    // Records `code` with the calling thread's current last-error value; call it right
    // after the failing platform call.
    void failWithPlatform(ErrorCode code) {
        capiError = GetLastError();
        lastError = code;
    }
};
