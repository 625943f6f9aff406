// A backend that asks at the terminal: each dialog prints what it shows on the
// terminal and reads the user's answer there.
#pragma once

#include <cstdio>
#include <memory>

#include "ui/dialogs.h"

namespace ui {

// A backend reading answers from `in` and writing prompts to `out` (both UTF-8). The
// streams stay the caller's. Null when either is null.
std::unique_ptr<DialogBackend> makeTerminalBackend(std::FILE* in, std::FILE* out);

}  // namespace ui
