// Entry point of the GUI tests: a fresh per-user folder for the run; the display is the
// one the run was given (xvfb-run in scripts/test).
#include <gtest/gtest.h>
#include <stdlib.h>

#include "fresh_home.h"

int main(int argc, char** argv) {
    // The file chooser keeps its settings in the process, the tests find windows by their
    // X ids and type through X, and no accessibility bus is looked for.
    setenv("GSETTINGS_BACKEND", "memory", 1);
    setenv("GDK_BACKEND", "x11", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new FreshHome);
    return RUN_ALL_TESTS();
}
