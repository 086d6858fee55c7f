// One accepted update, worked out once when the route accepts it: its
// ticket, the version asked for, and the command that runs the script.
#pragma once

#include <cstdint>
#include <string>

// Tells accepted updates apart for the life of the pending-updates file.
using Ticket = std::uint64_t;

// The update script's command, without its version.
inline constexpr const char kUpdateScriptCommand[] = "sh Update_Skein_Edge.sh";

// The shell command that runs the update script for version: the version
// is passed as exactly one argument (none when empty), whatever it holds.
std::string update_command(const std::string& version);

struct Update {
    Ticket ticket = 0;
    std::string version;
    std::string command;  // update_command(version)
};

Update make_update(Ticket ticket, std::string version);
