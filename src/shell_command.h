// Running the box's commands through the system shell.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

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

// A shell command whose process exists but runs nothing until the service
// lets it: so that the fact that it starts can be made durable first, with
// the identity of the process that will run it.
struct HeldCommand {
    pid_t pid = -1;
    int gate = -1;  // the service's end of the gate
};

// Starts command as spawn_shell_command does (in the service's process
// group), held at a gate. If the service ends before it has released or
// refused the command, the command runs only when record_path holds the
// line that was announced to it, that is when the service had recorded its
// start; otherwise it exits at once, having run nothing. pid is -1 when no
// process could be made.
HeldCommand spawn_held_shell_command(const char* command, const char* record_path);

// Tells the held command the line (without its line feed) that will record
// its start, before it is written.
bool announce_record_line(const HeldCommand& held, const std::string& line);

// Lets the held command run, or has it exit without running anything.
// Either way the gate is closed; wait for the process as for any other.
void release_held_command(HeldCommand& held, bool run);
