// Request handling, the routes of the control API, the command worker and
// the status lock.
#include "src/commands.h"

#include <cstdlib>
#include <cstring>

#include "logging/logging.h"

// ---- Shared state ----

Status current_status = WAITING_FOR_COMMAND;
pthread_mutex_t status_mutex = PTHREAD_MUTEX_INITIALIZER;

// ---- Command worker ----

namespace {

constexpr const char kUpdateCommand[] = "sh Update_Skein_Edge.sh";
constexpr const char kRebootCommand[] = "reboot";

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Moves current_status on from the outcome of one command; status_mutex held.
void record_outcome(const char* command, int result) {
    if (starts_with(command, kUpdateCommand)) {
        if (result == 0) {
            current_status = UPDATE_COMPLETE;
            WEFT_LOG(INFO) << "Update command executed successfully.";
        } else {
            current_status = UPDATE_FAILED;
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

void* execute_command(void* command) {
    char* text = static_cast<char*>(command);
    WEFT_LOG(INFO) << "Executing command: " << text;
    int result = std::system(text);

    pthread_mutex_lock(&status_mutex);
    record_outcome(text, result);
    update_status_file(current_status);
    pthread_mutex_unlock(&status_mutex);

    std::free(text);
    return nullptr;
}
