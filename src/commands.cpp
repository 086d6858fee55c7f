// Request handling, the routes of the control API, the command worker and
// the status lock.
#include "src/commands.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "logging/logging.h"
#include "src/pending_format.h"
#include "src/record_files.h"
#include "src/shell_command.h"
#include "src/update_runner.h"

// ---- Shared state ----

Status current_status = WAITING_FOR_COMMAND;
pthread_mutex_t status_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// ---- Texts of the control API ----

constexpr const char kRebootCommand[] = "reboot";
constexpr const char kStopContainersCommand[] = "docker compose down";
constexpr const char kStartContainersCommand[] = "bash start_containers.sh";

// How long /reboot lets "docker compose down" run before stopping it: the
// control API waits for it. Set once at start-up, before any worker.
int compose_down_timeout_seconds = 120;

constexpr const char kOk[] = "200 OK";
constexpr const char kBadRequest[] = "400 Bad Request";
constexpr const char kNotFound[] = "404 Not Found";
constexpr const char kServiceUnavailable[] = "503 Service Unavailable";

constexpr const char kFailedReadBody[] = "Failed to read request";
constexpr const char kInvalidRequestBody[] = "Invalid API request";
constexpr const char kMissingVersionBody[] = "Missing version parameter";
constexpr const char kRebootBody[] = "Reboot initiated";
constexpr const char kStatusMissingBody[] = "Status file not found";
constexpr const char kTooManyUpdatesBody[] = "Too many updates waiting";
constexpr const char kMissingVersionLog[] =
    "Bad Request: Missing or invalid 'version' parameter in /update request. Format should be: "
    "/update?version=<version_number>. Received request: ";

// ---- Shared helpers ----

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Appends the NUL-terminated text to the reply at length, cut at the reply
// buffer's last byte, which stays for the terminating NUL.
void append_to_reply(char* reply, std::size_t& length, const char* text) {
    const std::size_t size = std::min(std::strlen(text), kBufferSize - 1 - length);
    std::memcpy(reply + length, text, size);
    length += size;
}

// The one reply of a connection: status line, the one header, the body; cut
// to the reply buffer. Copied in piece by piece: parsing a format costs more
// than everything else a /status reply needs in user space.
void set_reply(char* reply, const char* status_line, const std::string& body) {
    std::size_t length = 0;
    append_to_reply(reply, length, "HTTP/1.1 ");
    append_to_reply(reply, length, status_line);
    append_to_reply(reply, length, "\r\nContent-Type: text/plain\r\n\r\n");
    append_to_reply(reply, length, body.c_str());
    reply[length] = '\0';
}

void log_file_not_found(const char* what, const char* path) {
    WEFT_LOG(ERROR) << "File Not Found: " << what << " [" << path << "] not found. ";
}

void set_status(Status status) {
    pthread_mutex_lock(&status_mutex);
    current_status = status;
    update_status_file(current_status);
    pthread_mutex_unlock(&status_mutex);
}

// A version file that cannot be written is skipped: the route still starts
// its command and replies with success.
void store_version(const char* path, const std::string& text) {
    store_record(path, text.data(), text.size());
}

// The update worker's side of the runner, below.
UpdateRunner& update_runner();

// ---- Command outcomes ----

// The one place where an ended command moves the status on, and logs its
// outcome; status_mutex held. result: what system() returned, nothing when
// it is not known (an update script left by an earlier process). decides:
// no later update waits, whose outcome would be the last.
void record_outcome(CommandKind kind, const char* command, std::optional<int> result,
                    bool decides) {
    switch (kind) {
        case CommandKind::kUpdate:
            if (result == 0) {
                WEFT_LOG(INFO) << "Update command executed successfully.";
            } else if (result) {
                WEFT_LOG(ERROR) << "Executing update command: " << command;
            }
            if (decides) {
                // Of an unknown outcome nothing can be said: the status a
                // restart shows.
                current_status = !result        ? WAITING_FOR_COMMAND
                                 : *result == 0 ? UPDATE_COMPLETE
                                                : UPDATE_FAILED;
            }
            break;
        case CommandKind::kReboot:
            if (result == 0) {
                WEFT_LOG(INFO) << "Reboot command executed successfully.";
            } else {
                current_status = REBOOT_FAILED;
                WEFT_LOG(ERROR) << "Executing reboot command: " << command;
            }
            break;
        case CommandKind::kOther:
            break;
    }
}

void finish_command(CommandKind kind, const char* command, std::optional<int> result,
                    bool decides) {
    pthread_mutex_lock(&status_mutex);
    record_outcome(kind, command, result, decides);
    update_status_file(current_status);
    pthread_mutex_unlock(&status_mutex);
}

void show_update_in_progress() { set_status(UPDATE_IN_PROGRESS); }

// ---- Workers ----

// Starts execute_command on a thread of its own with command, which the
// worker then owns; waits for it when asked to. Returns 0, or the error
// that kept the thread from starting, and then command is still the
// caller's.
int start_worker(char* command, bool wait) {
    if (command == nullptr) {
        return ENOMEM;
    }
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, execute_command, command);
    if (error == 0) {
        // The thread owns command now, whatever these return.
        if (wait) {
            pthread_join(thread, nullptr);
        } else {
            pthread_detach(thread);
        }
    }
    return error;
}

// A reboot command without a worker shows as "Reboot failed".
void run_reboot_step(const char* command, bool wait) {
    char* copy = strdup(command);
    int error = start_worker(copy, wait);
    if (error != 0) {
        std::free(copy);
        log_worker_failure(command, error);
        set_status(REBOOT_FAILED);
    }
}

// Runs one command and returns what system() would. "docker compose down"
// may take only so long, since /reboot waits for it.
int run_command(const char* command) {
    if (std::strcmp(command, kStopContainersCommand) != 0) {
        return run_shell_command(command);
    }
    pid_t child = spawn_shell_command(command, true);
    if (child < 0) {
        return -1;
    }
    std::optional<int> result = wait_for_command_within(child, compose_down_timeout_seconds);
    if (!result) {
        WEFT_LOG(ERROR) << "\"" << command << "\" did not end within "
                        << compose_down_timeout_seconds
                        << " s: stopped it and its process group, rebooting all the same";
        return -1;
    }
    return *result;
}

// Runs an update script once its start is on disk with the identity of the
// process that runs it: a restart then always knows whether it started.
int run_update_script(const Update& update) {
    HeldCommand held = spawn_held_shell_command(update.command.c_str(), kPendingUpdatesPath);
    if (held.pid < 0) {
        return -1;
    }
    const ScriptProcess process = identify_process(held.pid);
    std::string record = start_line(update.ticket, process);
    record.pop_back();  // its line feed
    const bool recorded =
        announce_record_line(held, record) && update_runner().record_start(process);
    release_held_command(held, recorded);
    if (!recorded) {
        WEFT_LOG(ERROR) << "Update command not started, as its start could not be recorded: "
                        << update.command;
    }
    return wait_for_command(held.pid);
}

// The update worker: runs the turns one after another while there are any.
void* run_turns(void*) {
    while (std::optional<Turn> turn = update_runner().next_turn()) {
        WEFT_LOG(INFO) << "Executing command: " << turn->update.command;
        update_runner().end_turn(turn->kind == TurnKind::kUpdate
                                     ? run_update_script(turn->update)
                                     : run_shell_command(turn->update.command.c_str()));
    }
    return nullptr;
}

int start_update_worker() {
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, run_turns, nullptr);
    if (error == 0) {
        pthread_detach(thread);
    }
    return error;
}

void on_turn_ended(const Turn& turn, std::optional<int> result, bool decides) {
    finish_command(turn.kind == TurnKind::kUpdate ? CommandKind::kUpdate : CommandKind::kOther,
                   turn.update.command.c_str(), result, decides);
}

// Made once, never destroyed: a detached worker may outlive main's return.
UpdateRunner& update_runner() {
    static UpdateRunner* runner = new UpdateRunner(on_turn_ended, start_update_worker);
    return *runner;
}

// One more update than may wait is refused before anything is recorded.
bool refused_as_too_many(char* reply) {
    if (update_runner().has_room()) {
        return false;
    }
    WEFT_LOG(WARNING) << kTooManyUpdatesBody << ": refused the request";
    set_reply(reply, kServiceUnavailable, kTooManyUpdatesBody);
    return true;
}

// ---- Routes ----

void route_update(const char* request, const std::string& request_line, char* reply) {
    std::optional<std::string> version = extract_version(request);
    if (!version) {
        WEFT_LOG(ERROR) << kMissingVersionLog << request_line;
        set_reply(reply, kBadRequest, kMissingVersionBody);
        return;
    }
    if (refused_as_too_many(reply)) {
        return;
    }
    // The two previous files are written independently, so one that cannot
    // be stored never empties the other.
    if (std::optional<std::string> old_version = read_first_line(kVersionFilePath)) {
        store_version(kPreviousVersionFilePath, *old_version);
        store_version(kPreviousVersionTempFilePath, *old_version);
    }
    store_version(kVersionFilePath, *version);
    update_runner().accept(*version, show_update_in_progress);
    set_reply(reply, kOk, "Update initiated with version " + *version);
}

void route_rollback(const char*, const std::string&, char* reply) {
    std::optional<std::string> target = read_first_line(kPreviousVersionTempFilePath);
    if (!target) {
        log_file_not_found("Previous version temporary file", kPreviousVersionTempFilePath);
        set_reply(reply, kNotFound, "Previous version temporary file not found");
        return;
    }
    const std::string rollback_version = cut_at_line_end(*target);
    std::optional<std::string> current = read_first_line(kVersionFilePath);
    if (!current) {
        log_file_not_found("Current version temporary file", kVersionFilePath);
        set_reply(reply, kNotFound, "Current version not found");
        return;
    }
    if (refused_as_too_many(reply)) {
        return;
    }
    store_version(kVersionFilePath, rollback_version);
    store_version(kPreviousVersionTempFilePath, *current);
    update_runner().accept(rollback_version, show_update_in_progress);
    set_reply(reply, kOk, "Rollback initiated to version " + rollback_version);
}

void route_reboot(const char*, const std::string&, char* reply) {
    set_status(REBOOT_INITIATED);
    run_reboot_step(kStopContainersCommand, true);
    run_reboot_step(kRebootCommand, false);
    set_reply(reply, kOk, kRebootBody);
}

void route_status(const char*, const std::string&, char* reply) {
    std::optional<std::string> line = read_first_line(kStatusFilePath);
    if (!line) {
        log_file_not_found("Status file", kStatusFilePath);
        set_reply(reply, kOk, kStatusMissingBody);
        return;
    }
    set_reply(reply, kOk, cut_at_line_end(*line));
}

// The three read-only version routes differ only in their file and texts.
struct VersionFileRoute {
    const char* path;
    const char* body_prefix;
    const char* missing_body;
    const char* missing_log_name;
};

void serve_version_file(const VersionFileRoute& route, char* reply) {
    std::optional<std::string> line = read_first_line(route.path);
    if (!line) {
        log_file_not_found(route.missing_log_name, route.path);
        set_reply(reply, kNotFound, route.missing_body);
        return;
    }
    set_reply(reply, kOk, route.body_prefix + *line);
}

void route_version(const char*, const std::string&, char* reply) {
    serve_version_file(
        {kVersionFilePath, "Current version: ", "Version file not found", "Version file"}, reply);
}

void route_previous_version(const char*, const std::string&, char* reply) {
    serve_version_file({kPreviousVersionFilePath, "Previous version: ",
                        "Previous version file not found", "Previous Version file"},
                       reply);
}

void route_previous_version_temp(const char*, const std::string&, char* reply) {
    serve_version_file({kPreviousVersionTempFilePath, "Previous version temp: ",
                        "Previous version temp file not found", "Previous Version temporary file"},
                       reply);
}

void route_invalid(const char*, const std::string& request_line, char* reply) {
    WEFT_LOG(ERROR) << "Invalid API Request : " << request_line;
    set_reply(reply, kBadRequest, kInvalidRequestBody);
}

using Route = void (*)(const char* request, const std::string& request_line, char* reply);

// Prefix tests in this order; the first match handles the request.
// "/previousversiontemp" must come before "/previousversion".
const struct {
    const char* prefix;
    Route route;
} kRoutes[] = {
    {"GET /update", route_update},
    {"GET /rollback", route_rollback},
    {"GET /reboot", route_reboot},
    {"GET /status", route_status},
    {"GET /version", route_version},
    {"GET /previousversiontemp", route_previous_version_temp},
    {"GET /previousversion", route_previous_version},
};

// ---- Connection ----

// The reply to what the one read of a connection brought (received bytes
// of request, or less than 1 when it brought nothing), then the close.
void answer_request(int client_socket, const char* request, ssize_t received) {
    char reply[kBufferSize] = {0};
    if (received < 1) {
        WEFT_LOG(ERROR) << "Bad Request";
        set_reply(reply, kBadRequest, kFailedReadBody);
    } else {
        const std::string request_line = extractRequestLine(request);
        WEFT_LOG(INFO) << "Recieved Request : " << request_line;
        route_request(request, request_line, reply);
    }
    // A peer that already reset the connection must not end the service.
    (void)send(client_socket, reply, std::strlen(reply), MSG_NOSIGNAL);
    close(client_socket);
}

}  // namespace

// ---- Request handling ----

std::string extractRequestLine(const std::string& request) {
    std::string::size_type end = request.find("\r\n");
    return end == std::string::npos ? std::string() : request.substr(0, end);
}

std::optional<std::string> extract_version(const char* request) {
    static constexpr char kKey[] = "version=";
    const char* start = std::strstr(request, kKey);
    if (start == nullptr) {
        return std::nullopt;
    }
    start += sizeof kKey - 1;
    const char* space = std::strchr(start, ' ');
    std::string version = space != nullptr ? std::string(start, space) : std::string(start);
    if (version.size() > kBufferSize - 1) {
        version.resize(kBufferSize - 1);
    }
    return cut_at_line_end(version);
}

void route_request(const char* request, const std::string& request_line, char* reply) {
    for (const auto& entry : kRoutes) {
        if (starts_with(request, entry.prefix)) {
            entry.route(request, request_line, reply);
            return;
        }
    }
    route_invalid(request, request_line, reply);
}

void handle_request(int client_socket) {
    char request[kBufferSize] = {0};
    answer_request(client_socket, request, read_once(client_socket, request, kBufferSize - 1));
}

bool handle_request_if_ready(int client_socket) {
    char request[kBufferSize] = {0};
    const ssize_t received = read_once(client_socket, request, kBufferSize - 1);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return false;
    }
    answer_request(client_socket, request, received);
    return true;
}

// ---- Command worker ----

CommandKind command_kind(const char* command) {
    return starts_with(command, kUpdateScriptCommand) ? CommandKind::kUpdate
           : starts_with(command, kRebootCommand)     ? CommandKind::kReboot
                                                      : CommandKind::kOther;
}

void* execute_command(void* command) {
    char* text = static_cast<char*>(command);
    const CommandKind kind = command_kind(text);
    WEFT_LOG(INFO) << "Executing command: " << text;
    finish_command(kind, text, run_command(text), true);
    std::free(text);
    return nullptr;
}

void start_containers_and_resume_updates() {
    if (update_runner().take_over()) {
        update_runner().add_start_script(kStartContainersCommand);
    } else {
        execute_command(strdup(kStartContainersCommand));
    }
    update_runner().start_taken_over(show_update_in_progress);
}

// ---- Settings ----

namespace {

// A whole number from low to high in variable, or fallback when it is unset
// or empty; anything else ends start-up.
long whole_number_setting(const char* variable, long fallback, long low, long high,
                          const char* unit) {
    const char* value = std::getenv(variable);
    if (value == nullptr || value[0] == '\0') {
        return fallback;
    }
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(value, &end, 10);
    if (errno != 0 || *end != '\0' || number < low || number > high ||
        !std::isdigit(static_cast<unsigned char>(value[0]))) {
        const std::string message = std::string(variable) + "=\"" + value +
                                    "\" is not a whole number " + unit + "from " +
                                    std::to_string(low) + " to " + std::to_string(high);
        tell_operator(message);
        WEFT_LOG(ERROR) << message;
        exit_service(1);
    }
    return number;
}

}  // namespace

void configure_limits() {
    compose_down_timeout_seconds = static_cast<int>(
        whole_number_setting("SKEIN_COMPOSE_DOWN_TIMEOUT", 120, 1, 24 * 60 * 60, "of seconds "));
    set_waiting_updates_limit(static_cast<std::size_t>(whole_number_setting(
        "SKEIN_MAX_WAITING_UPDATES", static_cast<long>(kDefaultWaitingLimit), 1, 1000, "")));
}

void set_waiting_updates_limit(std::size_t limit) { update_runner().set_waiting_limit(limit); }
