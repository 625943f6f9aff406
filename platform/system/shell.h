// The shell's "open" of a document: the desktop's handler for the file's type shows it.
// On this platform that is xdg-open, started detached, so the caller never waits for
// the viewer.
#pragma once

#include "platform/system/types.h"

using HINSTANCE = void*;

constexpr INT SW_SHOWDEFAULT = 10;
// Results at or below 32 are errors.
constexpr uintptr_t SE_ERR_FNF = 2;
constexpr uintptr_t SE_ERR_OOM = 8;
constexpr uintptr_t SE_ERR_NOASSOC = 31;

// Opens lpFile (narrow, ANSI code page) with the verb lpOperation ("open" or null; other
// verbs have no handler here). hwnd, lpParameters, lpDirectory and nShowCmd are accepted
// and unused. Success: a value above 32 once the opener was started (whether it finds a
// viewer is its own affair). Failure: SE_ERR_FNF for a missing file, SE_ERR_NOASSOC for
// another verb, SE_ERR_OOM when the opener cannot be started; the last error is set too.
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                        LPCSTR lpDirectory, INT nShowCmd);
