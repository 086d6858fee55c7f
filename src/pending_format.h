// The text of the pending-updates file: the accepted updates whose scripts
// have not ended, oldest first, so that a restart neither loses one nor
// runs one twice. One event per line, appended as it happens, so that each
// accepted update costs a few short lines however many wait:
//
//   # skein_edge_updater pending updates, v2
//   add TICKET VERSION
//   start TICKET BOOT_ID PID START_TIME
//   end TICKET
//
// The version is last, so that it may hold spaces. Files of the earlier
// layout (a snapshot of "queued VERSION" and "running BOOT_ID PID
// START_TIME VERSION" lines) are still read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "src/script_process.h"
#include "src/update.h"

struct PendingUpdate {
    Update update;
    std::optional<ScriptProcess> started;
};

// The updates a file names, oldest first, as its events leave them.
class PendingUpdates {
  public:
    void add(Update update);
    // False when no update of that ticket is pending, or it has started.
    bool start(Ticket ticket, const ScriptProcess& process);
    bool end(Ticket ticket);

    const std::vector<PendingUpdate>& updates() const { return updates_; }
    bool empty() const { return updates_.empty(); }

  private:
    std::vector<PendingUpdate> updates_;
};

struct PendingRead {
    PendingUpdates pending;
    std::vector<std::string> damaged;  // lines not understood, cut and made printable
};

// Reads a whole file. A last line without its line feed is the trace of a
// write cut short, whose event never took effect: it is left out.
PendingRead parse_pending(const std::string& text);

std::string pending_header();
std::string add_line(const Update& update);
std::string start_line(Ticket ticket, const ScriptProcess& process);
std::string end_line(Ticket ticket);

// A whole file naming just these updates.
std::string pending_snapshot(const PendingUpdates& pending);
