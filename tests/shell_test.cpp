// The shell's "open" of a document, with a stand-in opener on the PATH.
#include "platform/system/shell.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

TEST(ShellExecute, StartsTheOpenerDetached) {
    testing_support::TempDir dir;
    // A stand-in for xdg-open that notes what it was asked to open.
    testing_support::writeFile(dir.file("xdg-open"),
                               "#!/bin/sh\necho \"$1\" > " + dir.file("opened.tmp") + " && mv " +
                                   dir.file("opened.tmp") + " " + dir.file("opened") + "\n");
    chmod(dir.file("xdg-open").c_str(), 0700);
    testing_support::writeFile(dir.file("-a.cer"), "cert");
    std::string path = std::string(getenv("PATH") ? getenv("PATH") : "");
    setenv("PATH", (dir.path() + ":" + path).c_str(), 1);
    HINSTANCE other =
        ShellExecuteA(nullptr, "print", dir.file("-a.cer").c_str(), nullptr, "", SW_SHOWDEFAULT);
    HINSTANCE missing =
        ShellExecuteA(nullptr, "open", dir.file("none.cer").c_str(), nullptr, "", SW_SHOWDEFAULT);
    HINSTANCE opened =
        ShellExecuteA(nullptr, "open", dir.file("-a.cer").c_str(), nullptr, "", SW_SHOWDEFAULT);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(other), SE_ERR_NOASSOC);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(missing), SE_ERR_FNF);
    EXPECT_GT(reinterpret_cast<uintptr_t>(opened), 32u);
    // The opener runs on its own; wait for its note.
    std::string note;
    for (int i = 0; i < 500 && note.empty(); ++i) {
        usleep(10000);
        note = testing_support::readFile(dir.file("opened"));
    }
    EXPECT_EQ(note, dir.file("-a.cer") + "\n");
}
