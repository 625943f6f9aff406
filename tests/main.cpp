// Test entry point: a fresh per-user folder for the run, and no display, so that no test
// here (nor a host it starts) opens a window on the developer's desktop.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "fresh_home.h"

int main(int argc, char** argv) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new FreshHome);
    return RUN_ALL_TESTS();
}
