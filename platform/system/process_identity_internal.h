// Telling whether a process that wrote something down is still running. A pid alone is
// not enough: pids are reused, and a reboot restarts them. The identity adds the boot it
// ran in, its pid namespace (pids of another namespace cannot be looked up from here)
// and its start time in clock ticks after boot (field 22 of /proc/<pid>/stat), which a
// later process with the same pid cannot share.
#pragma once

#include <cstdint>
#include <string>

struct ProcessIdentity {
    std::string boot;          // /proc/sys/kernel/random/boot_id; empty when unreadable
    std::string pidNamespace;  // the /proc/self/ns/pid link, e.g. "pid:[4026531836]"
    int64_t pid = 0;
    uint64_t startTime = 0;
};

enum class ProcessState {
    Running,  // the very process is alive
    Gone,     // it has ended (or the machine rebooted since)
    Unknown,  // it cannot be seen from here (another pid namespace, /proc hidden)
};

// This process's identity. Computed once; a forked child computes its own.
const ProcessIdentity& currentProcessIdentity();

// The start time (field 22) of /proc/<root>/<pid>/stat. False when the file is missing
// or does not parse; *missing tells the two apart (true: no such process).
bool readProcessStartTime(const std::string& procRoot, int64_t pid, uint64_t* startTime,
                          bool* missing);

// Whether the process `owner` names still runs, seen from this process. Unknown counts
// as running for anyone deciding to delete what the process owns.
ProcessState processState(const ProcessIdentity& owner, const std::string& procRoot = "/proc");
