// Process identity from /proc.
#include "src/script_process.h"

#include <cstdlib>
#include <utility>

#include "src/utils.h"

namespace {

// The process's state letter and start time, from /proc/PID/stat; the state
// is 0 when the process is gone.
std::pair<char, unsigned long long> process_state(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const std::string stat = read_first_line(path.c_str()).value_or("");
    // The command name in parentheses may hold spaces and parentheses.
    const std::string::size_type name_end = stat.rfind(')');
    if (name_end == std::string::npos || name_end + 3 >= stat.size()) {
        return {0, 0};
    }
    const char state = stat[name_end + 2];
    // Fields 4 to 21 come between the state and the start time, field 22.
    const char* field = stat.c_str() + name_end + 3;
    for (int skipped = 4; skipped <= 21 && *field != '\0'; ++skipped) {
        while (*field != ' ' && *field != '\0') {
            ++field;
        }
        while (*field == ' ') {
            ++field;
        }
    }
    char* end = nullptr;
    const unsigned long long start_time = std::strtoull(field, &end, 10);
    return {end != field ? state : static_cast<char>(0), start_time};
}

}  // namespace

const std::string& current_boot_id() {
    static const std::string id = [] {
        std::string line =
            cut_at_line_end(read_first_line("/proc/sys/kernel/random/boot_id").value_or(""));
        return line.empty() ? std::string("unknown") : line;
    }();
    return id;
}

ScriptProcess identify_process(pid_t pid) {
    return {current_boot_id(), pid, process_state(pid).second};
}

bool still_runs(const ScriptProcess& process) {
    if (process.pid <= 0 || process.boot_id != current_boot_id()) {
        return false;
    }
    auto [state, start_time] = process_state(process.pid);
    return state != 0 && state != 'Z' && state != 'X' && start_time == process.start_time;
}
