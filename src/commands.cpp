// Request handling, the routes of the control API, the command worker and
// the status lock.
#include "src/commands.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "logging/logging.h"

// ---- Shared state ----

Status current_status = WAITING_FOR_COMMAND;
pthread_mutex_t status_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// ---- Texts of the control API ----

constexpr const char kUpdateCommand[] = "sh Update_Skein_Edge.sh";
constexpr const char kRebootCommand[] = "reboot";
constexpr const char kStopContainersCommand[] = "docker compose down";

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
    store_file(path, text.data(), text.size());
}

// ---- Update queue ----

// Update scripts run one at a time, in the order their requests arrived:
// two scripts racing over the same containers would leave the box on either
// version, and an earlier script ending last would hide a later one's
// outcome. The queue holds the command texts of the update workers that
// have not ended, oldest first. Lock order: its mutex before status_mutex;
// nothing waits while holding status_mutex.
class UpdateQueue {
  public:
    // On the request thread, before the status moves to "Update in progress".
    void add(const char* command) {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(command);
    }

    // A command whose worker could not be started.
    void withdraw(const char* command) {
        std::lock_guard<std::mutex> lock(mutex_);
        remove(command);
        changed_.notify_all();
    }

    // Returns when every earlier command has ended. A command that was never
    // added (a direct call) runs at once.
    void wait_for_turn(const char* command) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
            return commands_.empty() || commands_.front() == command ||
                   std::find(commands_.begin(), commands_.end(), command) == commands_.end();
        });
    }

    // Takes the ended command off the queue. The returned lock stays held
    // while the caller sets the status, so that no request can queue behind
    // it in between; decides tells whether no later command waits, in which
    // case this command's outcome is the status.
    std::unique_lock<std::mutex> finish(const char* command, bool& decides) {
        std::unique_lock<std::mutex> lock(mutex_);
        remove(command);
        decides = commands_.empty();
        changed_.notify_all();
        return lock;
    }

  private:
    void remove(const char* command) {
        auto found = std::find(commands_.begin(), commands_.end(), command);
        if (found != commands_.end()) {
            commands_.erase(found);
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<const char*> commands_;  // guarded by mutex_
};

UpdateQueue update_queue;

// Starts execute_command on its own thread with copy, the heap copy of
// command that the worker then owns. When no thread can be made, the copy
// is freed and the status shows the failure; there is then no thread to
// join or detach.
void run_on_worker(const std::string& command, char* copy, Status failure_status, bool wait) {
    pthread_t thread;
    int error = copy == nullptr ? ENOMEM : pthread_create(&thread, nullptr, execute_command, copy);
    if (error != 0) {
        update_queue.withdraw(copy);
        std::free(copy);
        WEFT_LOG(ERROR) << "Could not start a worker for: " << command << " ("
                        << std::strerror(error) << ")";
        set_status(failure_status);
        return;
    }
    if (wait) {
        pthread_join(thread, nullptr);
    } else {
        pthread_detach(thread);
    }
}

void run_on_worker(const std::string& command, Status failure_status, bool wait) {
    run_on_worker(command, strdup(command.c_str()), failure_status, wait);
}

// The command joins the queue before the status says "Update in progress",
// so that an earlier script ending in between cannot take its outcome for
// the last one.
void start_update(const std::string& version) {
    const std::string command = update_command(version);
    char* copy = strdup(command.c_str());
    update_queue.add(copy);
    set_status(UPDATE_IN_PROGRESS);
    run_on_worker(command, copy, UPDATE_FAILED, false);
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
    run_on_worker(kStopContainersCommand, REBOOT_FAILED, true);
    run_on_worker(kRebootCommand, REBOOT_FAILED, false);
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
void record_outcome(const char* command, int result, bool decides) {
    if (starts_with(command, kUpdateCommand)) {
        if (result == 0) {
            current_status = decides ? UPDATE_COMPLETE : current_status;
            WEFT_LOG(INFO) << "Update command executed successfully.";
        } else {
            current_status = decides ? UPDATE_FAILED : current_status;
            WEFT_LOG(ERROR) << "Executing update command: " << command;
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

int run_shell_command(const char* command) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    const char* argv[] = {"sh", "-c", "--", command, nullptr};
    pid_t child;
    int error =
        posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return -1;
    }
    int status = -1;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

void* execute_command(void* command) {
    char* text = static_cast<char*>(command);
    const bool update = starts_with(text, kUpdateCommand);
    if (update) {
        update_queue.wait_for_turn(text);
    }
    WEFT_LOG(INFO) << "Executing command: " << text;
    int result = run_shell_command(text);

    bool decides = true;
    std::unique_lock<std::mutex> turn;
    if (update) {
        turn = update_queue.finish(text, decides);
    }
    pthread_mutex_lock(&status_mutex);
    record_outcome(text, result, decides);
    update_status_file(current_status);
    pthread_mutex_unlock(&status_mutex);

    std::free(text);
    return nullptr;
}
