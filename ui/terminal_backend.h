// A backend that asks at the terminal: each dialog prints what it shows (caption, path
// box, the certificate list as a numbered table) and reads the user's answers there.
// Passwords are read with the terminal's echo off when the input is a terminal.
#pragma once

#include <cstdio>
#include <memory>

#include "ui/dialogs.h"

namespace ui {

// A backend reading answers from `in` and writing prompts to `out` (both UTF-8). The
// streams stay the caller's; the end of `in` cancels the dialog being shown. Null when
// either is null.
std::unique_ptr<DialogBackend> makeTerminalBackend(std::FILE* in, std::FILE* out);

}  // namespace ui
