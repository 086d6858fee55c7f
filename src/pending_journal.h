// The pending-updates file beside the executable, kept as updates are
// accepted, start and end (see pending_format.h for its text).
#pragma once

#include <sys/types.h>

#include <string>

#include "src/pending_format.h"

// Beside the executable, outside installation_details/ (whose files scripts
// and controllers read). Absent when no update is pending.
inline constexpr const char kPendingUpdatesPath[] = ".pending_updates";

// Where start-up moves a pending-updates file it must not read.
inline constexpr const char kSetAsidePendingUpdatesPath[] = ".pending_updates.invalid";

class PendingJournal {
  public:
    explicit PendingJournal(std::string path = kPendingUpdatesPath);
    ~PendingJournal();
    PendingJournal(const PendingJournal&) = delete;
    PendingJournal& operator=(const PendingJournal&) = delete;

    // At start-up: what an earlier process left, read only from a regular
    // file of sane size, never through a link or from a device or FIFO;
    // anything else is moved aside. Damaged lines are logged and skipped.
    const PendingUpdates& load();

    // Leaves out an update the file names, until the next write.
    void forget(Ticket ticket) { pending_.end(ticket); }

    // Writes the file anew with just the pending updates, or removes it
    // when there are none.
    void compact();

    // Each event is on disk when these return true: added and started are
    // synced too, so that a reply or a script's start may rely on them.
    // A file that cannot be kept true goes, with one error line: an old
    // one could name as waiting an update that has since started. The next
    // event writes it whole again.
    bool added(const Update& update);
    bool started(Ticket ticket, const ScriptProcess& process);
    void ended(Ticket ticket);

    const PendingUpdates& pending() const { return pending_; }

  private:
    bool append(const std::string& line, bool durable);
    bool outgrown(std::size_t more) const;
    bool write_whole();
    void drop(int error);
    void close_file();

    std::string path_;
    PendingUpdates pending_;  // what the file says
    int fd_ = -1;             // open for appending while the file is whole
    off_t size_ = 0;
};
