// Accepted updates from the route to their end: the order they run in, the
// pending-updates file that keeps them across restarts, and the one worker
// thread that runs them, which exists only while there is work.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>

#include "src/pending_journal.h"
#include "src/update_order.h"

// One line for a command that no thread could be made for.
void log_worker_failure(const char* command, int error);

class UpdateRunner {
  public:
    // Called, with the runner's lock held, when a turn has ended: result is
    // what system() would have returned, or nothing when it is not known
    // (a script left by an earlier process). decides: no update waits
    // behind it. Lock order: the runner's lock, then status_mutex.
    using TurnEnded = void (*)(const Turn& turn, std::optional<int> result, bool decides);
    // Starts the worker thread, which calls next_turn until it returns
    // nothing. Returns 0, or the error that kept the thread from starting.
    using WorkerStarter = int (*)();

    UpdateRunner(TurnEnded turn_ended, WorkerStarter start_worker)
        : turn_ended_(turn_ended), start_worker_(start_worker) {}

    void set_waiting_limit(std::size_t limit);

    // Whether one more update may wait.
    bool has_room();

    // Queues an update for version, records it on disk, then calls
    // on_accepted under the runner's lock (so that no turn can end in
    // between), and has a worker run it.
    void accept(const std::string& version, void (*on_accepted)());

    // At start-up, before any request: takes over what an earlier process
    // left in the pending-updates file. A script that had started is never
    // started again; one that still runs keeps its turn. Returns whether
    // one still runs: the container start script then takes its turn
    // behind it instead of running at once.
    bool take_over();
    void add_start_script(const char* command);
    // Has a worker run what take_over found; when an update is among it,
    // calls on_pending first, under the runner's lock.
    void start_taken_over(void (*on_pending)());

    // The worker's side. next_turn waits while a script of an earlier
    // process runs, and returns nothing, for the worker to end, when no
    // turn is left. record_start makes the start of the front turn durable
    // with its process; false when it could not be. end_turn ends it.
    std::optional<Turn> next_turn();
    bool record_start(const ScriptProcess& process);
    void end_turn(std::optional<int> result);

  private:
    void end_front(std::optional<int> result);
    void ensure_worker();
    bool has_update_turn() const;

    const TurnEnded turn_ended_;
    const WorkerStarter start_worker_;
    std::mutex mutex_;
    // Only waited on, with a time limit, so that the lock is free while the
    // worker looks again and again for a script of an earlier process.
    std::condition_variable left_running_poll_;
    UpdateOrder order_;       // guarded by mutex_
    PendingJournal journal_;  // guarded by mutex_
    bool worker_running_ = false;
};
