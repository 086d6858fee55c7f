// Running the box's commands through the system shell.
#include "src/shell_command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "src/utils.h"

namespace {

// A stopped command's group gets this long between SIGTERM and SIGKILL.
constexpr std::chrono::seconds kStopGrace{5};
// How often a bounded wait looks at its child: a command the service waits
// for with a limit takes seconds, so this costs nothing that shows.
constexpr std::chrono::milliseconds kPollInterval{50};

// The wait status once child has ended, within the deadline; nothing when
// it still runs then. -1 when the child cannot be waited for.
std::optional<int> wait_until(pid_t child, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        int status = 0;
        pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child) {
            return status;
        }
        if (ended < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

// ---- The held child ----
// Everything from here to the exec runs in a child of a process that has
// other threads: only async-signal-safe calls, no allocation.

constexpr char kRelease = 'r';
constexpr char kRefuse = 'n';
// The exit status of a held command that ran nothing.
constexpr int kRanNothing = 125;
// The longest record line announced; the real ones are under 100 bytes.
constexpr std::size_t kLongestRecordLine = 512;

void reset_signals() {
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        sigaction(signal, &default_action, nullptr);  // fails harmlessly where it cannot
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Closes every descriptor above standard error but the gate, at once: a
// held child keeps nobody's descriptor (another held child's gate, say).
void close_all_but(int gate) {
    if ((gate <= 3 || close_range(3, static_cast<unsigned>(gate) - 1, 0) == 0) &&
        close_range(static_cast<unsigned>(gate) + 1, ~0U, 0) == 0) {
        return;
    }
    struct rlimit limit;
    const rlim_t end = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 65536;
    for (rlim_t fd = 3; fd < end && fd < 1048576; ++fd) {
        if (static_cast<int>(fd) != gate) {
            close(static_cast<int>(fd));
        }
    }
}

// The announced line up to its line feed; 0 when none came whole.
std::size_t read_announced_line(int gate, char* line) {
    std::size_t length = 0;
    char c;
    while (length < kLongestRecordLine && read_once(gate, &c, 1) == 1) {
        if (c == '\n') {
            return length;
        }
        line[length++] = c;
    }
    return 0;
}

// Whether the file at path holds line as one whole line.
bool file_holds_line(const char* path, const char* line, std::size_t length) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool found = false;
    bool candidate = true;  // the current line matches so far
    std::size_t matched = 0;
    char buffer[4096];
    ssize_t received;
    while (!found && (received = read_once(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < received && !found; ++i) {
            if (buffer[i] == '\n') {
                found = candidate && matched == length;
                candidate = true;
                matched = 0;
            } else if (candidate && matched < length && buffer[i] == line[matched]) {
                ++matched;
            } else {
                candidate = false;
            }
        }
    }
    close(fd);
    return found;
}

[[noreturn]] void run_held_child(int gate, char* const argv[], const char* record_path) {
    close_all_but(gate);
    reset_signals();
    char line[kLongestRecordLine];
    const std::size_t length = read_announced_line(gate, line);
    char word = 0;
    const bool told = length > 0 && read_once(gate, &word, 1) == 1;
    // Told nothing: the service ended before it decided, and the record
    // it was writing is what a restarted service goes by.
    const bool run =
        told ? word == kRelease : length > 0 && file_holds_line(record_path, line, length);
    if (!run) {
        _exit(kRanNothing);
    }
    close(gate);
    execve("/bin/sh", argv, environ);
    _exit(127);
}

// The gate's child end must not take the place of standard input, output or
// error, which the child keeps.
int above_standard_streams(int fd) {
    if (fd > STDERR_FILENO) {
        return fd;
    }
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

bool send_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno != EINTR) {
            return false;
        }
        sent = sent < 0 ? 0 : sent;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

pid_t spawn_shell_command(const char* command, bool own_group) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t every_signal;
    sigfillset(&every_signal);
    posix_spawnattr_setsigdefault(&attributes, &every_signal);
    short flags = POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes, flags);
    const char* argv[] = {"sh", "-c", "--", command, nullptr};
    pid_t child;
    int error = posix_spawn(&child, "/bin/sh", &actions, &attributes,
                            const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? child : -1;
}

int wait_for_command(pid_t child) {
    int status = -1;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

std::optional<int> wait_for_command_within(pid_t child, int limit_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
    if (std::optional<int> status = wait_until(child, deadline)) {
        return status;
    }
    kill(-child, SIGTERM);
    if (!wait_until(child, std::chrono::steady_clock::now() + kStopGrace)) {
        kill(-child, SIGKILL);
        wait_for_command(child);
    }
    return std::nullopt;
}

int run_shell_command(const char* command) {
    pid_t child = spawn_shell_command(command, false);
    return child < 0 ? -1 : wait_for_command(child);
}

HeldCommand spawn_held_shell_command(const char* command, const char* record_path) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return {};
    }
    const int child_end = above_standard_streams(ends[1]);
    if (child_end < 0) {
        close(ends[0]);
        return {};
    }
    const char* argv[] = {"sh", "-c", "--", command, nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        run_held_child(child_end, const_cast<char* const*>(argv), record_path);
    }
    close(child_end);
    if (pid < 0) {
        close(ends[0]);
        return {};
    }
    return {pid, ends[0]};
}

bool announce_record_line(const HeldCommand& held, const std::string& line) {
    const std::string announced = line + "\n";
    return held.gate >= 0 && announced.size() <= kLongestRecordLine &&
           send_all(held.gate, announced.data(), announced.size());
}

void release_held_command(HeldCommand& held, bool run) {
    if (held.gate < 0) {
        return;
    }
    const char word = run ? kRelease : kRefuse;
    send_all(held.gate, &word, 1);
    close(held.gate);
    held.gate = -1;
}
