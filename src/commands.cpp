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
#include "src/record_files.h"
#include "src/shell_command.h"
#include "src/update_queue.h"

// ---- Shared state ----

Status current_status = WAITING_FOR_COMMAND;
pthread_mutex_t status_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// ---- Texts of the control API ----

constexpr const char kUpdateCommand[] = "sh Update_Skein_Edge.sh";
constexpr const char kRebootCommand[] = "reboot";
constexpr const char kStopContainersCommand[] = "docker compose down";
constexpr const char kComposeDownTimeoutVariable[] = "SKEIN_COMPOSE_DOWN_TIMEOUT";
constexpr int kMaxComposeDownTimeout = 24 * 60 * 60;

// How long /reboot lets "docker compose down" run before stopping it: the
// control API waits for it. Set once at start-up, before any worker.
int compose_down_timeout_seconds = 120;

constexpr const char kOk[] = "200 OK";
constexpr const char kBadRequest[] = "400 Bad Request";
constexpr const char kNotFound[] = "404 Not Found";

constexpr const char kFailedReadBody[] = "Failed to read request";
constexpr const char kInvalidRequestBody[] = "Invalid API request";
constexpr const char kMissingVersionBody[] = "Missing version parameter";
constexpr const char kRebootBody[] = "Reboot initiated";
constexpr const char kStatusMissingBody[] = "Status file not found";
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

// ---- Workers ----

void log_worker_failure(const char* command, int error) {
    WEFT_LOG(ERROR) << "Could not start a worker for: " << command << " (" << std::strerror(error)
                    << ")";
}

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

// An update without a worker keeps its place in the queue and fails at its
// turn; it shows as "Update failed" when nothing waits behind it.
void start_update_worker(char* command) {
    int error = start_worker(command, false);
    if (error != 0) {
        log_worker_failure(command != nullptr ? command : kUpdateCommand, error);
        const bool decides = update_queue.start_failed(command);
        std::free(command);
        if (decides) {
            set_status(UPDATE_FAILED);
        }
    }
}

// The update is queued, and recorded, before the status says "Update in
// progress", so that an earlier script ending in between cannot take its
// outcome for the last one.
void start_update(const std::string& version) {
    char* command = update_queue.add(version);
    set_status(UPDATE_IN_PROGRESS);
    start_update_worker(command);
}

// ---- Routes ----

void route_update(const char* request, const std::string& request_line, char* reply) {
    std::optional<std::string> version = extract_version(request);
    if (!version) {
        WEFT_LOG(ERROR) << kMissingVersionLog << request_line;
        set_reply(reply, kBadRequest, kMissingVersionBody);
        return;
    }
    // The two previous files are written independently, so one that cannot
    // be stored never empties the other.
    if (std::optional<std::string> old_version = read_first_line(kVersionFilePath)) {
        store_version(kPreviousVersionFilePath, *old_version);
        store_version(kPreviousVersionTempFilePath, *old_version);
    }
    store_version(kVersionFilePath, *version);
    start_update(*version);
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
    store_version(kVersionFilePath, rollback_version);
    store_version(kPreviousVersionTempFilePath, *current);
    start_update(rollback_version);
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

// One read; a peer that sends nothing within the idle limit counts as a
// failed read. The limit is the socket's own: accepted sockets inherit it
// from the listening socket (see start_server).
ssize_t read_request(int client_socket, char* request, std::size_t capacity) {
    ssize_t received;
    do {
        received = read(client_socket, request, capacity);
    } while (received < 0 && errno == EINTR);
    return received;
}

// ---- Command worker ----

// Moves current_status on from the outcome of one command; status_mutex
// held. An update that a later one waits behind only logs its outcome.
void record_outcome(const char* command, int result, Decider decider) {
    if (starts_with(command, kUpdateCommand)) {
        if (result == 0) {
            WEFT_LOG(INFO) << "Update command executed successfully.";
        } else {
            WEFT_LOG(ERROR) << "Executing update command: " << command;
        }
        if (decider == Decider::kThisCommand) {
            current_status = result == 0 ? UPDATE_COMPLETE : UPDATE_FAILED;
        } else if (decider == Decider::kFailedStart) {
            current_status = UPDATE_FAILED;
        }
    } else if (starts_with(command, kRebootCommand)) {
        if (result == 0) {
            WEFT_LOG(INFO) << "Reboot command executed successfully.";
        } else {
            current_status = REBOOT_FAILED;
            WEFT_LOG(ERROR) << "Executing reboot command: " << command;
        }
    }
}

// Runs one command of a worker and returns what system() would. An update
// records its script's process, which a restarted service then waits for;
// "docker compose down" may take only so long, since /reboot waits for it.
int run_worker_command(const char* command, bool update) {
    const bool bounded = std::strcmp(command, kStopContainersCommand) == 0;
    pid_t child = spawn_shell_command(command, bounded);
    if (child < 0) {
        return -1;
    }
    if (update) {
        update_queue.started(command, child);
    }
    if (!bounded) {
        return wait_for_command(child);
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

std::string update_command(const std::string& version) {
    // Never cut: a cut command would hand the script another version than
    // the one recorded, or break its quoting.
    return std::string(kUpdateCommand) + " " + quote_for_shell(version);
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
    char reply[kBufferSize] = {0};
    if (read_request(client_socket, request, kBufferSize - 1) < 1) {
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

// ---- Command worker ----

void* execute_command(void* command) {
    char* text = static_cast<char*>(command);
    const bool update = starts_with(text, kUpdateCommand);
    if (update) {
        update_queue.wait_for_turn(text);
    }
    WEFT_LOG(INFO) << "Executing command: " << text;
    const int result = run_worker_command(text, update);

    Decider decider = Decider::kThisCommand;
    std::unique_lock<std::mutex> turn;
    if (update) {
        turn = update_queue.finish(text, decider);
    }
    pthread_mutex_lock(&status_mutex);
    record_outcome(text, result, decider);
    update_status_file(current_status);
    pthread_mutex_unlock(&status_mutex);

    std::free(text);
    return nullptr;
}

void resume_pending_updates() {
    std::vector<char*> commands = update_queue.resume();
    if (commands.empty()) {
        return;
    }
    set_status(UPDATE_IN_PROGRESS);
    for (char* command : commands) {
        start_update_worker(command);
    }
}

void configure_compose_down_timeout() {
    const char* value = std::getenv(kComposeDownTimeoutVariable);
    if (value == nullptr || value[0] == '\0') {
        return;
    }
    char* end = nullptr;
    errno = 0;
    long seconds = std::strtol(value, &end, 10);
    if (errno != 0 || *end != '\0' || seconds < 1 || seconds > kMaxComposeDownTimeout ||
        !std::isdigit(static_cast<unsigned char>(value[0]))) {
        const std::string message = std::string(kComposeDownTimeoutVariable) + "=\"" + value +
                                    "\" is not a whole number of seconds from 1 to " +
                                    std::to_string(kMaxComposeDownTimeout);
        tell_operator(message);
        WEFT_LOG(ERROR) << message;
        exit_service(1);
    }
    compose_down_timeout_seconds = static_cast<int>(seconds);
}
