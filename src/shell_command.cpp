// Running the box's commands through the system shell.
#include "src/shell_command.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

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
