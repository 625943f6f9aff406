// Message texts of platform error values. There is no system message table here: the
// layer carries English texts, each ending in CR LF, for the values it produces.
#pragma once

#include <string>

#include "platform/system/types.h"

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

// With FORMAT_MESSAGE_FROM_SYSTEM: the text of dwMessageId. With
// FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer is really a char** that receives a buffer
// the caller frees with LocalFree (set to null on failure); otherwise the text goes into
// lpBuffer of nSize characters. The language and inserts are ignored (one language, no
// inserts). Returns the characters written (without the terminator), or 0 with
// ERROR_MR_MID_NOT_FOUND when there is no text, ERROR_INSUFFICIENT_BUFFER when nSize
// cannot hold it, ERROR_INVALID_PARAMETER without FORMAT_MESSAGE_FROM_SYSTEM.
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, void* Arguments);
// Frees a buffer FormatMessageA allocated; null is ignored. Returns null.
void* LocalFree(void* hMem);
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

// The layer's text for a platform value, empty when it has none (helper of the above).
std::string systemMessageText(DWORD code);
