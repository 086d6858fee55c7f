// Request handling, the routes of the control API, the command worker and
// the status lock.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <optional>
#include <string>

#include "src/shell_command.h"
#include "src/utils.h"

// ---- Shared state ----

// The service state. Guarded by status_mutex, except during start-up when no
// other thread exists.
extern Status current_status;

// The service's only lock: held while current_status changes and the status
// file is rewritten, never while a command runs.
extern pthread_mutex_t status_mutex;

// ---- Command worker ----

// Runs one command text through the system shell and sets the status from
// its outcome. Update commands run one at a time in the order of their
// requests (see UpdateQueue), and only the last of them sets the status.
// command is a NUL-terminated text on the C heap; the worker owns it and
// frees it. Fits a POSIX thread start function.
void* execute_command(void* command);

// At start-up, after the container start script: the updates accepted by
// an earlier process of the service that had not started run now, in their
// order, with the status "Update in progress".
void resume_pending_updates();

// Takes the limit of "docker compose down" from SKEIN_COMPOSE_DOWN_TIMEOUT
// (whole seconds; 120 when unset or empty). A value that is not a whole
// number from 1 to 86400 ends start-up with exit status 1, said on standard
// error and in the log.
void configure_compose_down_timeout();

// ---- Request handling ----

// Requests, replies and the texts built from them live in buffers of this
// size; longer text is cut.
inline constexpr std::size_t kBufferSize = 2048;

// A connection that sends nothing for this long gets the failed-read reply,
// so one idle client cannot hold up the control API.
inline constexpr int kIdleLimitSeconds = 5;

// Handles one accepted connection completely: one read, one reply, close.
void handle_request(int client_socket);

// The text of request before its first "\r\n"; empty when there is none.
std::string extractRequestLine(const std::string& request);

// Chooses the route for a raw request (at most kBufferSize - 1 bytes,
// NUL-terminated) and leaves the complete reply in reply, which holds
// kBufferSize bytes.
void route_request(const char* request, const std::string& request_line, char* reply);

// The requested version of an /update request: the text after the first
// "version=" up to the next space, cut at its first CR or LF. Nothing when
// the request holds no "version=".
std::optional<std::string> extract_version(const char* request);

// The shell command that runs the update script for version: the version
// is passed as exactly one argument (none when empty), whatever it holds.
std::string update_command(const std::string& version);
