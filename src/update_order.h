// The order in which update scripts run: one at a time, oldest first, each
// exactly once, with a bounded number waiting. It only keeps the order:
// no files, clocks or threads, so that every rule can be checked alone.
#pragma once

#include <cstddef>
#include <deque>

#include "src/script_process.h"
#include "src/update.h"

// How many updates may wait behind the running one, unless set otherwise.
inline constexpr std::size_t kDefaultWaitingLimit = 16;

// What a turn runs: an update script, or the container start script, which
// takes its turn behind an update script left running by an earlier process
// of the service.
enum class TurnKind { kUpdate, kStartScript };

enum class TurnState {
    kWaiting,
    kRunning,      // started by this process
    kLeftRunning,  // started by an earlier process, maybe still running
};

struct Turn {
    TurnKind kind = TurnKind::kUpdate;
    TurnState state = TurnState::kWaiting;
    Update update;          // the start script's command only, for its turn
    ScriptProcess process;  // kRunning and kLeftRunning updates
};

class UpdateOrder {
  public:
    explicit UpdateOrder(std::size_t waiting_limit = kDefaultWaitingLimit)
        : waiting_limit_(waiting_limit) {}

    void set_waiting_limit(std::size_t limit) { waiting_limit_ = limit; }

    // Whether one more update may wait: fewer than the limit wait now.
    bool has_room() const { return waiting_updates() < waiting_limit_; }

    // Queues an update for version behind every turn, with a new ticket.
    const Update& add(std::string version);

    // At start-up, in the recorded order: an update that had not started,
    // and one an earlier process had started, which keeps its turn while
    // it runs. Tickets are kept; new ones come after the largest.
    void restore_waiting(Update update);
    void restore_left_running(Update update, const ScriptProcess& process);

    // Queues the container start script, command, behind the scripts left
    // running by an earlier process and ahead of every other turn: where
    // nothing was left running, it would have run before them.
    void add_start_script(const char* command);

    // The turn that runs now or next; null when there is none.
    const Turn* front() const { return turns_.empty() ? nullptr : &turns_.front(); }

    // The front turn, which was waiting, starts; process is its script's.
    void start_front(const ScriptProcess& process);

    // The front turn has ended and leaves the order. Returns whether it
    // decides the status: no update waits behind it.
    bool end_front();

    std::size_t waiting_updates() const;
    bool empty() const { return turns_.empty(); }
    const std::deque<Turn>& turns() const { return turns_; }

  private:
    void restore(Turn turn);

    std::size_t waiting_limit_;
    Ticket last_ticket_ = 0;
    std::deque<Turn> turns_;  // oldest first; only the front ever runs
};
