// Messages of the control's error codes and of platform error values.
#pragma once

#include <cstdint>
#include <string>

#include "status/error_pair.h"

// The message of an ErrorCode in the ANSI code page: the code's row with the code in
// parentheses at its end, or the undefined-code text (which ends in one blank).
std::string errorMessage(ErrorCode code);
// The same message as UTF-16, before conversion.
std::u16string errorMessageText(ErrorCode code);
// The row's format text (one %d), or null for a code without a row.
const char16_t* errorMessageFormat(ErrorCode code);
// Rows of the table, in code order (for tests and tools).
size_t errorMessageCount();
ErrorCode errorMessageCodeAt(size_t index);

// The platform's text for a platform error value followed by "(0x%08X)"; the success
// message for 0. A value without a text gives the suffix alone.
std::string capiErrorMessage(uint32_t capiError);
