// Running the box's commands through the system shell.
#pragma once

#include <sys/types.h>

#include <optional>

// Starts command through /bin/sh as system() would, but with every signal
// at its default action (a supervisor may have the service ignore SIGPIPE,
// which a box script must not inherit) and with every descriptor above
// standard error closed, so that no descriptor of the service (a client,
// the listener, a log file that is rotating at that instant) reaches a
// command. own_group puts it in a process group of its own, which can then
// be stopped with everything it started. Returns the child's pid, or -1.
pid_t spawn_shell_command(const char* command, bool own_group);

// Waits for a child of spawn_shell_command and returns what system() would:
// the wait status, 0 only when it exited with 0; -1 when it cannot be had.
int wait_for_command(pid_t child);

// As wait_for_command, for at most limit_seconds. A command still running
// then is stopped with its process group (SIGTERM, and SIGKILL when that is
// not enough) and nothing is returned.
std::optional<int> wait_for_command_within(pid_t child, int limit_seconds);

// Runs command through the shell and waits for it: spawn_shell_command in
// the service's process group, then wait_for_command; -1 when no shell
// could be started.
int run_shell_command(const char* command);
