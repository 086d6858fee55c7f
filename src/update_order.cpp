// The order of update scripts.
#include "src/update_order.h"

#include <algorithm>
#include <utility>

const Update& UpdateOrder::add(std::string version) {
    Turn turn;
    turn.update = make_update(++last_ticket_, std::move(version));
    turns_.push_back(std::move(turn));
    return turns_.back().update;
}

void UpdateOrder::restore(Turn turn) {
    last_ticket_ = std::max(last_ticket_, turn.update.ticket);
    turns_.push_back(std::move(turn));
}

void UpdateOrder::restore_waiting(Update update) {
    Turn turn;
    turn.update = std::move(update);
    restore(std::move(turn));
}

void UpdateOrder::restore_left_running(Update update, const ScriptProcess& process) {
    Turn turn;
    turn.state = TurnState::kLeftRunning;
    turn.update = std::move(update);
    turn.process = process;
    restore(std::move(turn));
}

void UpdateOrder::add_start_script(const char* command) {
    Turn turn;
    turn.kind = TurnKind::kStartScript;
    turn.update.command = command;
    auto behind_left_running = std::find_if(turns_.begin(), turns_.end(), [](const Turn& t) {
        return t.state != TurnState::kLeftRunning;
    });
    turns_.insert(behind_left_running, std::move(turn));
}

void UpdateOrder::start_front(const ScriptProcess& process) {
    if (!turns_.empty()) {
        turns_.front().state = TurnState::kRunning;
        turns_.front().process = process;
    }
}

bool UpdateOrder::end_front() {
    if (!turns_.empty()) {
        turns_.pop_front();
    }
    return std::none_of(turns_.begin(), turns_.end(),
                        [](const Turn& turn) { return turn.kind == TurnKind::kUpdate; });
}

std::size_t UpdateOrder::waiting_updates() const {
    return static_cast<std::size_t>(std::count_if(turns_.begin(), turns_.end(), [](const Turn& t) {
        return t.kind == TurnKind::kUpdate && t.state == TurnState::kWaiting;
    }));
}
