// Which process runs an update script, told apart from a later process that
// happens to get the same pid, and from any process of an earlier boot.
#pragma once

#include <sys/types.h>

#include <string>

struct ScriptProcess {
    std::string boot_id;
    pid_t pid = 0;
    unsigned long long start_time = 0;  // clock ticks after boot

    bool operator==(const ScriptProcess& other) const {
        return boot_id == other.boot_id && pid == other.pid && start_time == other.start_time;
    }
};

// This boot's id: it changes with every boot, so a pid recorded before a
// reboot names nothing of this one.
const std::string& current_boot_id();

// The identity of a live process of this boot; pid and boot id alone when
// it is already gone.
ScriptProcess identify_process(pid_t pid);

// Whether that very process still runs (a zombie counts as ended).
bool still_runs(const ScriptProcess& process);
