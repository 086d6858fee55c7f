// The update queue and its file beside the executable.
#include "src/update_queue.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "logging/logging.h"
#include "src/commands.h"
#include "src/record_files.h"
#include "src/utils.h"

UpdateQueue update_queue;

namespace {

// A script left running by an earlier process is not this process's child,
// so its end is seen by looking: this often.
constexpr std::chrono::milliseconds kLeftRunningPoll{250};

// The queue file: one update per line, oldest first, the version last so
// that it may hold spaces.
//   queued VERSION
//   running BOOT_ID PID START_TIME VERSION
constexpr const char kHeader[] =
    "# skein_edge_updater: accepted updates whose scripts have not ended, oldest first\n";
constexpr const char kQueued[] = "queued";
constexpr const char kRunning[] = "running";

// Changes with every boot of the box: a pid recorded before a reboot names
// nothing of this boot.
const std::string& boot_id() {
    static const std::string id = [] {
        std::string line =
            cut_at_line_end(read_first_line("/proc/sys/kernel/random/boot_id").value_or(""));
        return line.empty() ? std::string("unknown") : line;
    }();
    return id;
}

// The process's state letter and start time, from /proc/PID/stat; the state
// is 0 when the process is gone.
std::pair<char, unsigned long long> process_state(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const std::string stat = read_first_line(path.c_str()).value_or("");
    // The command name in parentheses may hold spaces and parentheses.
    std::string::size_type name_end = stat.rfind(')');
    if (name_end == std::string::npos) {
        return {0, 0};
    }
    std::istringstream fields(stat.substr(name_end + 1));
    char state = 0;
    fields >> state;
    std::string skipped;
    for (int field = 4; field < 22; ++field) {  // up to the start time, field 22
        fields >> skipped;
    }
    unsigned long long start_time = 0;
    fields >> start_time;
    return {fields ? state : static_cast<char>(0), start_time};
}

ScriptProcess identify(pid_t pid) { return {boot_id(), pid, process_state(pid).second}; }

bool still_runs(const ScriptProcess& process) {
    if (process.pid <= 0 || process.boot_id != boot_id()) {
        return false;
    }
    auto [state, start_time] = process_state(process.pid);
    return state != 0 && state != 'Z' && state != 'X' && start_time == process.start_time;
}

}  // namespace

std::deque<UpdateQueue::Entry>::iterator UpdateQueue::find(const char* command) {
    return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
        return command != nullptr && entry.command == command;
    });
}

char* UpdateQueue::add(const std::string& version) {
    char* command = strdup(update_command(version).c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(
        {version, command, command != nullptr ? State::kWaiting : State::kNoWorker, {}});
    save();
    return command;
}

bool UpdateQueue::start_failed(const char* command) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto failed = find(command);
    if (failed == entries_.end()) {
        return true;
    }
    failed->command = nullptr;
    failed->state = State::kNoWorker;
    // A script left by an earlier process ends unseen by any worker here,
    // so it holds up no failure.
    if (!std::all_of(entries_.begin(), failed,
                     [](const Entry& entry) { return entry.state == State::kLeftRunning; })) {
        return false;
    }
    const bool last = failed + 1 == entries_.end();
    entries_.erase(failed);
    save();
    changed_.notify_all();
    return last;
}

void UpdateQueue::wait_for_turn(const char* command) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        settle_front();
        auto mine = find(command);
        if (mine == entries_.end()) {
            return;
        }
        if (mine == entries_.begin()) {
            // Recorded before the script starts, so that a restart never
            // starts it again, even one that comes before its pid is known.
            mine->state = State::kRunning;
            mine->process = {boot_id(), 0, 0};
            save();
            return;
        }
        if (entries_.front().state == State::kLeftRunning) {
            changed_.wait_for(lock, kLeftRunningPoll);
        } else {
            changed_.wait(lock);
        }
    }
}

void UpdateQueue::started(const char* command, pid_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto running = find(command);
    if (running != entries_.end()) {
        running->process = identify(pid);
        save();
    }
}

std::unique_lock<std::mutex> UpdateQueue::finish(const char* command, Decider& decider) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ended = find(command);
    if (ended != entries_.end()) {
        entries_.erase(ended);
    }
    const bool failed_start = settle_front();
    decider = !entries_.empty() ? Decider::kLaterCommand
              : failed_start    ? Decider::kFailedStart
                                : Decider::kThisCommand;
    save();
    changed_.notify_all();
    return lock;
}

std::vector<char*> UpdateQueue::resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<char*> resumed;
    std::ifstream in(kPendingUpdatesPath);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#') {
            take_over(line, resumed);
        }
    }
    save();
    return resumed;
}

void UpdateQueue::take_over(const std::string& line, std::vector<char*>& resumed) {
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    ScriptProcess process;
    if (kind == kRunning) {
        fields >> process.boot_id >> process.pid >> process.start_time;
    }
    if (!fields || fields.get() != ' ' || (kind != kQueued && kind != kRunning)) {
        WEFT_LOG(ERROR) << "Ignoring a damaged line of " << kPendingUpdatesPath << ": " << line;
        return;
    }
    std::string version;
    std::getline(fields, version);
    const std::string command_text = update_command(version);
    if (kind == kQueued) {
        WEFT_LOG(INFO) << "Resuming the update accepted before the restart: " << command_text;
        char* command = strdup(command_text.c_str());
        entries_.push_back({version, command, State::kWaiting, {}});
        resumed.push_back(command);
    } else if (still_runs(process)) {
        WEFT_LOG(INFO) << "Update command still running from before the restart; later updates "
                          "wait for it: "
                       << command_text;
        entries_.push_back({version, nullptr, State::kLeftRunning, process});
    } else {
        // It may have rebooted the box itself: starting it again could loop.
        WEFT_LOG(INFO) << "Abandoning the update command that had started before the restart: "
                       << command_text;
    }
}

bool UpdateQueue::settle_front() {
    bool settled = false;
    bool failed_start = false;
    while (!entries_.empty()) {
        const Entry& front = entries_.front();
        if (front.state == State::kNoWorker) {
            WEFT_LOG(ERROR) << "Update command never started: " << update_command(front.version);
            failed_start = true;
        } else if (front.state == State::kLeftRunning && !still_runs(front.process)) {
            WEFT_LOG(INFO) << "Update command from before the restart has ended: "
                           << update_command(front.version);
        } else {
            break;
        }
        entries_.pop_front();
        settled = true;
    }
    if (settled) {
        save();
    }
    return failed_start;
}

// Written whole and atomically after every change. When it cannot be, the
// file goes: an old one could name as waiting an update that has since
// started, and no update may start twice.
void UpdateQueue::save() {
    if (entries_.empty()) {
        record_system_calls.unlink(kPendingUpdatesPath);
        return;
    }
    std::string text = kHeader;
    for (const Entry& entry : entries_) {
        if (entry.state == State::kWaiting || entry.state == State::kNoWorker) {
            text += std::string(kQueued) + " " + entry.version + "\n";
        } else {
            text += std::string(kRunning) + " " + entry.process.boot_id + " " +
                    std::to_string(entry.process.pid) + " " +
                    std::to_string(entry.process.start_time) + " " + entry.version + "\n";
        }
    }
    int error = replace_file_atomically(kPendingUpdatesPath, text.data(), text.size());
    if (error != 0) {
        record_system_calls.unlink(kPendingUpdatesPath);
        WEFT_LOG(ERROR) << "Could not record the pending updates in " << kPendingUpdatesPath << " ("
                        << std::strerror(error) << "); they will not resume after a restart";
    }
}
