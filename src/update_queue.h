// The order in which update scripts run: one at a time, in the order their
// requests arrived, each exactly once, kept on disk so that a restart of
// the service neither loses an accepted update nor runs one twice.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// Beside the executable, outside installation_details/ (whose files scripts
// and controllers read): the accepted updates whose scripts have not ended,
// oldest first. Absent when there are none.
inline constexpr const char kPendingUpdatesPath[] = ".pending_updates";

// Who sets the status when an update script has ended.
enum class Decider {
    kThisCommand,   // nothing waits behind it: its outcome is the status
    kLaterCommand,  // a later update will set the status
    kFailedStart,   // the last update, behind it, never got a worker
};

// A process running an update script, told apart from a later process that
// happens to get the same pid.
struct ScriptProcess {
    std::string boot_id;
    pid_t pid = 0;
    unsigned long long start_time = 0;  // clock ticks after boot
};

// Two scripts racing over the same containers would leave the box on either
// version, and an earlier script ending last would hide a later one's
// outcome. Lock order: the queue's mutex before status_mutex; nothing waits
// while holding status_mutex.
class UpdateQueue {
  public:
    // Queues the update to version, recorded on disk before it returns, and
    // gives its command text on the C heap, for its worker to own.
    char* add(const std::string& version);

    // No worker could be started for command, which stays the caller's. The
    // update keeps its place and fails at its turn. Returns true when that
    // turn is now and no update waits behind it: the caller then shows
    // "Update failed".
    bool start_failed(const char* command);

    // Returns when every earlier update has ended, a script left running by
    // an earlier process of the service included, and records that command
    // starts. A command that was never queued (a direct call) runs at once.
    void wait_for_turn(const char* command);

    // Records the process that runs command's script.
    void started(const char* command, pid_t pid);

    // Takes the ended command off the queue and says who sets the status.
    // The returned lock stays held while the caller sets it, so that no
    // request can queue behind it in between.
    std::unique_lock<std::mutex> finish(const char* command, Decider& decider);

    // At start-up, before any request: takes over the updates an earlier
    // process left on disk. A script that had started is never started
    // again; one that still runs keeps its turn. Returns the commands of
    // the updates that had not started, queued again in their order, for
    // their workers to own.
    std::vector<char*> resume();

  private:
    enum class State { kWaiting, kRunning, kNoWorker, kLeftRunning };
    struct Entry {
        std::string version;
        const char* command;  // the worker's text; null when it has none
        State state;
        ScriptProcess process;  // kRunning and kLeftRunning
    };

    std::deque<Entry>::iterator find(const char* command);
    void take_over(const std::string& line, std::vector<char*>& resumed);
    // Drops from the front what holds no turn any more: scripts of an
    // earlier process that have ended, and updates that never got a worker,
    // whose turn this is. Returns whether one of the latter went.
    bool settle_front();
    void save();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Entry> entries_;  // guarded by mutex_, oldest first
};

extern UpdateQueue update_queue;
