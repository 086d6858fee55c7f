// Request handling, the routes of the control API, the command worker and
// the status lock.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <optional>
#include <string>

#include "src/update.h"
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
// its outcome. command is a NUL-terminated text on the C heap; the worker
// owns it and frees it. Fits a POSIX thread start function. The routes
// hand their updates to the update worker instead (see UpdateRunner),
// which runs them one at a time in the order of their requests, and only
// the last of them sets the status.
void* execute_command(void* command);

// What a command is, from the start of its text.
enum class CommandKind { kUpdate, kReboot, kOther };
CommandKind command_kind(const char* command);

// At start-up, once the control socket is open: runs the container start
// script, and takes over the updates accepted by an earlier process of the
// service. Those that had not started run in their order, with the status
// "Update in progress"; an update script that still runs keeps its turn,
// and the start script then waits behind it instead of running at once.
void start_containers_and_resume_updates();

// Takes the service's limits from the environment: the time "docker
// compose down" may take, SKEIN_COMPOSE_DOWN_TIMEOUT (whole seconds from 1
// to 86400, 120 when unset or empty), and how many updates may wait behind
// the running one, SKEIN_MAX_WAITING_UPDATES (1 to 1000, 16). Any other
// value ends start-up with exit status 1, said on standard error and in
// the log.
void configure_limits();

// How many updates may wait behind the running one; for tests.
void set_waiting_updates_limit(std::size_t limit);

// ---- Request handling ----

// Requests, replies and the texts built from them live in buffers of this
// size; longer text is cut.
inline constexpr std::size_t kBufferSize = 2048;

// A connection that sends nothing for this long gets the failed-read reply.
inline constexpr int kIdleLimitSeconds = 5;

// Handles one accepted connection completely: one read, one reply, close.
void handle_request(int client_socket);

// As handle_request, for a connection that does not block: when its request
// has not come yet, returns false and leaves it as it was.
bool handle_request_if_ready(int client_socket);

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
