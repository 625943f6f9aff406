// A dialog backend chosen when the first dialog is shown rather than when the host
// starts, so that a host needs no desktop toolkit on the way to its first answer.
#pragma once

#include <functional>
#include <memory>

#include "ui/dialogs.h"

namespace ui {

// A backend that makes its real one with `choose` when the first dialog is shown (or
// its name is asked) and passes every dialog to it; null from `choose` means `none`.
// `choose` runs once, on the thread of that first dialog.
std::unique_ptr<DialogBackend> makeDeferredBackend(
    std::function<std::unique_ptr<DialogBackend>()> choose);

// Whether the session names a display for desktop windows (DISPLAY or WAYLAND_DISPLAY
// set and not empty); whether it opens is known only once a toolkit tries.
bool sessionNamesDisplay();

}  // namespace ui
