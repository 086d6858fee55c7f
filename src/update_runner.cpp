// Accepted updates from the route to their end.
#include "src/update_runner.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "logging/logging.h"

namespace {

// A script left running by an earlier process is not this process's child,
// so its end is seen by looking: this often.
constexpr std::chrono::milliseconds kLeftRunningPoll{50};

}  // namespace

void log_worker_failure(const char* command, int error) {
    WEFT_LOG(ERROR) << "Could not start a worker for: " << command << " (" << std::strerror(error)
                    << ")";
}

void UpdateRunner::set_waiting_limit(std::size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    order_.set_waiting_limit(limit);
}

bool UpdateRunner::has_room() {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_.has_room();
}

void UpdateRunner::accept(const std::string& version, void (*on_accepted)()) {
    std::lock_guard<std::mutex> lock(mutex_);
    journal_.added(order_.add(version));
    on_accepted();
    ensure_worker();
}

bool UpdateRunner::take_over() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<PendingUpdate> pending = journal_.load().updates();
    std::vector<bool> running;
    for (const PendingUpdate& entry : pending) {
        running.push_back(entry.started && still_runs(*entry.started));
    }
    // Scripts that still run go first, whatever the file's order: nothing
    // may start beside them.
    for (std::size_t i = 0; i < pending.size(); ++i) {
        if (running[i]) {
            WEFT_LOG(INFO) << "Update command still running from before the restart; later "
                              "updates wait for it: "
                           << pending[i].update.command;
            order_.restore_left_running(pending[i].update, *pending[i].started);
        }
    }
    for (std::size_t i = 0; i < pending.size(); ++i) {
        if (!pending[i].started) {
            WEFT_LOG(INFO) << "Resuming the update accepted before the restart: "
                           << pending[i].update.command;
            order_.restore_waiting(pending[i].update);
        } else if (!running[i]) {
            // It may have rebooted the box itself: starting it again could loop.
            WEFT_LOG(INFO) << "Abandoning the update command that had started before the restart: "
                           << pending[i].update.command;
            journal_.forget(pending[i].update.ticket);
        }
    }
    journal_.compact();
    const Turn* front = order_.front();
    return front != nullptr && front->state == TurnState::kLeftRunning;
}

void UpdateRunner::add_start_script(const char* command) {
    std::lock_guard<std::mutex> lock(mutex_);
    order_.add_start_script(command);
}

void UpdateRunner::start_taken_over(void (*on_pending)()) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (has_update_turn()) {
        on_pending();
    }
    ensure_worker();
}

std::optional<Turn> UpdateRunner::next_turn() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const Turn* front = order_.front();
        if (front == nullptr) {
            worker_running_ = false;
            return std::nullopt;
        }
        if (front->state != TurnState::kLeftRunning) {
            return *front;
        }
        if (still_runs(front->process)) {
            left_running_poll_.wait_for(lock, kLeftRunningPoll);
            continue;
        }
        WEFT_LOG(INFO) << "Update command from before the restart has ended: "
                       << front->update.command;
        end_front(std::nullopt);
    }
}

bool UpdateRunner::record_start(const ScriptProcess& process) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Turn* front = order_.front();
    if (front == nullptr) {
        return false;
    }
    order_.start_front(process);
    return journal_.started(front->update.ticket, process);
}

void UpdateRunner::end_turn(std::optional<int> result) {
    std::lock_guard<std::mutex> lock(mutex_);
    end_front(result);
}

void UpdateRunner::end_front(std::optional<int> result) {
    const Turn ended = *order_.front();
    const bool decides = order_.end_front();
    if (ended.kind == TurnKind::kUpdate) {
        journal_.ended(ended.update.ticket);
    }
    turn_ended_(ended, result, decides);
}

// Without a worker nothing would ever run or end: every turn ends at once,
// an update as failed.
void UpdateRunner::ensure_worker() {
    if (worker_running_ || order_.empty()) {
        return;
    }
    const int error = start_worker_();
    worker_running_ = error == 0;
    while (!worker_running_ && !order_.empty()) {
        const Turn& front = *order_.front();
        const bool left_running = front.state == TurnState::kLeftRunning;
        if (!left_running) {
            log_worker_failure(front.update.command.c_str(), error);
        }
        end_front(left_running ? std::nullopt : std::optional<int>(-1));
    }
}

bool UpdateRunner::has_update_turn() const {
    return std::any_of(order_.turns().begin(), order_.turns().end(),
                       [](const Turn& turn) { return turn.kind == TurnKind::kUpdate; });
}
