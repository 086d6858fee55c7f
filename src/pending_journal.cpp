// The pending-updates file: appended event by event, written whole at
// start-up and when it has grown long, removed when nothing is pending.
#include "src/pending_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "logging/logging.h"
#include "src/record_files.h"
#include "src/utils.h"

namespace {

RecordSystemCalls& sys = record_system_calls;

// Appended events outgrow the updates they describe only when updates keep
// arriving while others wait: the file is written whole again once it is
// past this and twice what it would then be, so each event costs a few
// bytes on average however many wait.
constexpr std::size_t kRewriteAbove = 64 * 1024;
// Far more than any number of waiting updates needs: a larger file was not
// written by the service.
constexpr off_t kLargestRead = 1024 * 1024;
// Damaged lines logged one by one at start-up; the rest are counted.
constexpr std::size_t kDamagedLinesShown = 8;

enum class FileRead { kMissing, kRead, kNotRegular, kTooLarge, kUnreadable };

const char* describe(FileRead outcome) {
    switch (outcome) {
        case FileRead::kNotRegular:
            return "not a regular file";
        case FileRead::kTooLarge:
            return "larger than any the service writes";
        default:
            return "unreadable";
    }
}

// Reads path only when it is a regular file of at most kLargestRead bytes:
// never through a link, and never blocking on a FIFO or a device.
FileRead read_regular_file(const std::string& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT                    ? FileRead::kMissing
               : errno == ELOOP || errno == ENXIO ? FileRead::kNotRegular
                                                  : FileRead::kUnreadable;
    }
    struct stat info;
    FileRead outcome = fstat(fd, &info) != 0         ? FileRead::kUnreadable
                       : !S_ISREG(info.st_mode)      ? FileRead::kNotRegular
                       : info.st_size > kLargestRead ? FileRead::kTooLarge
                                                     : FileRead::kRead;
    char buffer[8192];
    while (outcome == FileRead::kRead) {
        const ssize_t received = read_once(fd, buffer, sizeof buffer);
        if (received == 0) {
            break;
        }
        if (received < 0) {
            outcome = FileRead::kUnreadable;
        } else {
            text.append(buffer, static_cast<std::size_t>(received));
            outcome =
                static_cast<off_t>(text.size()) > kLargestRead ? FileRead::kTooLarge : outcome;
        }
    }
    close(fd);
    return outcome;
}

void set_aside(const std::string& path, FileRead outcome) {
    if (sys.rename(path.c_str(), kSetAsidePendingUpdatesPath) == 0) {
        WEFT_LOG(ERROR) << "Moved " << path << " aside to " << kSetAsidePendingUpdatesPath << " ("
                        << describe(outcome) << "); the updates it named will not run";
    } else {
        WEFT_LOG(ERROR) << "Ignoring " << path << " (" << describe(outcome)
                        << ") and could not move it aside: " << std::strerror(errno);
    }
}

void log_damaged_lines(const std::string& path, const std::vector<std::string>& damaged) {
    for (std::size_t i = 0; i < damaged.size() && i < kDamagedLinesShown; ++i) {
        WEFT_LOG(ERROR) << "Ignoring a damaged line of " << path << ": " << damaged[i];
    }
    if (damaged.size() > kDamagedLinesShown) {
        WEFT_LOG(ERROR) << "Ignoring " << damaged.size() - kDamagedLinesShown
                        << " more damaged lines of " << path;
    }
}

// The size of the file written whole; worked out only once the file has
// grown past kRewriteAbove.
std::size_t whole_size_of(const PendingUpdates& pending) {
    std::size_t size = pending_header().size();
    for (const PendingUpdate& entry : pending.updates()) {
        size += add_line(entry.update).size() +
                (entry.started ? start_line(entry.update.ticket, *entry.started).size() : 0);
    }
    return size;
}

}  // namespace

PendingJournal::PendingJournal(std::string path) : path_(std::move(path)) {}

PendingJournal::~PendingJournal() { close_file(); }

const PendingUpdates& PendingJournal::load() {
    std::string text;
    const FileRead outcome = read_regular_file(path_, text);
    if (outcome == FileRead::kRead) {
        PendingRead read = parse_pending(text);
        log_damaged_lines(path_, read.damaged);
        pending_ = std::move(read.pending);
    } else if (outcome != FileRead::kMissing) {
        set_aside(path_, outcome);
    }
    return pending_;
}

void PendingJournal::compact() { write_whole(); }

bool PendingJournal::added(const Update& update) {
    pending_.add(update);
    return append(add_line(update), true);
}

bool PendingJournal::started(Ticket ticket, const ScriptProcess& process) {
    pending_.start(ticket, process);
    return append(start_line(ticket, process), true);
}

// Not synced: a power cut that loses it also ends the script, and a script
// recorded as started is never started again, whether it ended or not.
void PendingJournal::ended(Ticket ticket) {
    pending_.end(ticket);
    if (pending_.empty()) {
        write_whole();
    } else {
        append(end_line(ticket), false);
    }
}

bool PendingJournal::outgrown(std::size_t more) const {
    const std::size_t size = static_cast<std::size_t>(size_) + more;
    return size > kRewriteAbove && size > 2 * whole_size_of(pending_);
}

bool PendingJournal::append(const std::string& line, bool durable) {
    if (fd_ < 0 || outgrown(line.size())) {
        return write_whole();
    }
    // A write or sync that fails may have left part of the line: the file is
    // then written whole, or goes.
    if (!write_all(fd_, line.data(), line.size()) || (durable && sys.fdatasync(fd_) != 0)) {
        close_file();
        return write_whole();
    }
    size_ += static_cast<off_t>(line.size());
    return true;
}

bool PendingJournal::write_whole() {
    close_file();
    if (pending_.empty()) {
        if (sys.unlink(path_.c_str()) != 0 && errno != ENOENT) {
            drop(errno);
            return false;
        }
        return true;
    }
    const std::string text = pending_snapshot(pending_);
    if (int error = replace_file_atomically(path_.c_str(), text.data(), text.size())) {
        drop(error);
        return false;
    }
    fd_ = sys.open(path_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0);
    size_ = static_cast<off_t>(text.size());
    return true;
}

void PendingJournal::drop(int error) {
    close_file();
    sys.unlink(path_.c_str());
    WEFT_LOG(ERROR) << "Could not record the pending updates in " << path_ << " ("
                    << std::strerror(error) << "); they will not resume after a restart";
}

void PendingJournal::close_file() {
    if (fd_ >= 0) {
        sys.close(fd_);
        fd_ = -1;
    }
}
