// The pending-updates file's text.
#include "src/pending_format.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

constexpr const char kHeader[] = "# skein_edge_updater pending updates, v2";
constexpr const char kAdd[] = "add";
constexpr const char kStart[] = "start";
constexpr const char kEnd[] = "end";
// The earlier layout's words.
constexpr const char kQueued[] = "queued";
constexpr const char kRunning[] = "running";

// A damaged line goes into the log: never more than this, never a control
// character.
constexpr std::size_t kShownLength = 120;

std::string printable(const std::string& line) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    for (unsigned char c : line.substr(0, kShownLength)) {
        if (c < 0x20 || c == 0x7f) {
            shown += "\\x";
            shown += kHex[c >> 4];
            shown += kHex[c & 15];
        } else {
            shown += static_cast<char>(c);
        }
    }
    return line.size() > kShownLength ? shown + "..." : shown;
}

// Splits off the next space-separated field of rest; nothing when rest has
// no space after it (the last field, the version, may be empty but is
// always preceded by one).
std::optional<std::string> next_field(std::string& rest) {
    const std::string::size_type space = rest.find(' ');
    if (space == std::string::npos) {
        return std::nullopt;
    }
    std::string field = rest.substr(0, space);
    rest.erase(0, space + 1);
    return field;
}

template <typename Number>
std::optional<Number> parse_number(const std::optional<std::string>& text) {
    if (!text || text->empty() || text->size() > 19 ||
        !std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return static_cast<Number>(std::strtoull(text->c_str(), nullptr, 10));
}

// BOOT_ID PID START_TIME, each followed by a space.
std::optional<ScriptProcess> parse_process(std::string& rest) {
    std::optional<std::string> boot = next_field(rest);
    auto pid = parse_number<pid_t>(next_field(rest));
    auto start_time = parse_number<unsigned long long>(next_field(rest));
    if (!boot || boot->empty() || !pid || *pid <= 0 || !start_time) {
        return std::nullopt;
    }
    return ScriptProcess{*boot, *pid, *start_time};
}

bool apply_event(PendingUpdates& pending, std::string rest) {
    std::optional<std::string> word = next_field(rest);
    if (word == kEnd) {
        auto ticket = parse_number<Ticket>(std::optional<std::string>(rest));
        return ticket && pending.end(*ticket);
    }
    auto ticket = parse_number<Ticket>(next_field(rest));
    if (!ticket || *ticket == 0) {
        return false;
    }
    if (word == kAdd) {
        pending.add(make_update(*ticket, rest));
        return true;
    }
    if (word == kStart) {
        rest += ' ';  // the start time is the last field here
        std::optional<ScriptProcess> process = parse_process(rest);
        return process && rest.empty() && pending.start(*ticket, *process);
    }
    return false;
}

bool apply_earlier_layout(PendingUpdates& pending, std::string rest, Ticket ticket) {
    std::optional<std::string> word = next_field(rest);
    if (word == kQueued) {
        pending.add(make_update(ticket, rest));
        return true;
    }
    if (word == kRunning) {
        std::optional<ScriptProcess> process = parse_process(rest);
        if (process) {
            pending.add(make_update(ticket, rest));
            return pending.start(ticket, *process);
        }
    }
    return false;
}

}  // namespace

void PendingUpdates::add(Update update) { updates_.push_back({std::move(update), std::nullopt}); }

bool PendingUpdates::start(Ticket ticket, const ScriptProcess& process) {
    for (PendingUpdate& pending : updates_) {
        if (pending.update.ticket == ticket && !pending.started) {
            pending.started = process;
            return true;
        }
    }
    return false;
}

bool PendingUpdates::end(Ticket ticket) {
    auto ended = std::find_if(updates_.begin(), updates_.end(), [&](const PendingUpdate& pending) {
        return pending.update.ticket == ticket;
    });
    if (ended == updates_.end()) {
        return false;
    }
    updates_.erase(ended);
    return true;
}

PendingRead parse_pending(const std::string& text) {
    PendingRead read;
    const bool journal = text.compare(0, sizeof kHeader, std::string(kHeader) + "\n") == 0;
    Ticket earlier_ticket = 0;
    std::string::size_type begin = 0;
    for (std::string::size_type end; (end = text.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        const std::string line = text.substr(begin, end - begin);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const bool applied = journal ? apply_event(read.pending, line)
                                     : apply_earlier_layout(read.pending, line, ++earlier_ticket);
        if (!applied) {
            read.damaged.push_back(printable(line));
        }
    }
    return read;
}

std::string pending_header() { return std::string(kHeader) + "\n"; }

std::string add_line(const Update& update) {
    return std::string(kAdd) + " " + std::to_string(update.ticket) + " " + update.version + "\n";
}

std::string start_line(Ticket ticket, const ScriptProcess& process) {
    return std::string(kStart) + " " + std::to_string(ticket) + " " + process.boot_id + " " +
           std::to_string(process.pid) + " " + std::to_string(process.start_time) + "\n";
}

std::string end_line(Ticket ticket) {
    return std::string(kEnd) + " " + std::to_string(ticket) + "\n";
}

std::string pending_snapshot(const PendingUpdates& pending) {
    std::string text = pending_header();
    for (const PendingUpdate& entry : pending.updates()) {
        text += add_line(entry.update);
        if (entry.started) {
            text += start_line(entry.update.ticket, *entry.started);
        }
    }
    return text;
}
