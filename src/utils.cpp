// The status file, the first line of a record, and the start-up helpers.
#include "src/utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "logging/logging.h"
#include "src/record_files.h"

namespace {

constexpr const char kUpdateLogsDir[] = "update_logs";
constexpr const char kInstallationDetailsDir[] = "installation_details";
constexpr mode_t kWorkingDirMode = 0700;
constexpr std::size_t kRotatedLogsKept = 3;
// Tries for the lock of the working directory, 10 ms apart.
constexpr int kLockAttempts = 100;

}  // namespace

// ---- Status file ----

const char* status_text(Status status) {
    switch (status) {
        case UPDATE_IN_PROGRESS:
            return "Update in progress";
        case UPDATE_COMPLETE:
            return "Update complete";
        case UPDATE_FAILED:
            return "Update failed";
        case REBOOT_INITIATED:
            return "Reboot initiated";
        case REBOOT_FAILED:
            return "Reboot failed";
        case WAITING_FOR_COMMAND:
        default:
            return "Waiting for command";
    }
}

void update_status_file(Status status) {
    const char* text = status_text(status);
    if (!store_status_record(kStatusFilePath, text, std::strlen(text))) {
        WEFT_LOG(ERROR) << "Error opening file" << kStatusFilePath;
        exit_service(1);
    }
    WEFT_LOG(INFO) << "HTTP Server Status: " << text;
}

ssize_t read_once(int fd, char* data, std::size_t size) {
    ssize_t received;
    do {
        received = read(fd, data, size);
    } while (received < 0 && errno == EINTR);
    return received;
}

// One read(2) rather than stdio: /status reads the status file on every
// request, and a FILE costs an fstat, a second read to meet the end of the
// file, and two allocations.
std::optional<std::string> read_first_line(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    char line[kLineBufferSize] = {0};
    const ssize_t received = read_once(fd, line, sizeof line - 1);
    close(fd);
    if (received <= 0) {
        return std::string();
    }
    std::size_t size = static_cast<std::size_t>(received);
    if (const void* line_feed = std::memchr(line, '\n', size)) {
        size = static_cast<std::size_t>(static_cast<const char*>(line_feed) - line) + 1;
    }
    // Like every text of the service, the line ends at its first NUL.
    return std::string(line, strnlen(line, size));
}

std::string cut_at_line_end(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

namespace {

// ASCII only, whatever the locale: bytes of 128 and above are quoted.
bool is_shell_safe(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("._+:@%=,/-", c) != nullptr);
}

}  // namespace

std::string quote_for_shell(const std::string& text) {
    bool safe = true;
    for (unsigned char c : text) {
        safe = safe && is_shell_safe(c);
    }
    if (safe) {
        return text;
    }
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += "'";
    return quoted;
}

void exit_service(int status) {
    std::fflush(stdout);
    _exit(status);
}

// ---- Start-up helpers ----

void tell_operator(const std::string& text) {
    std::fprintf(stderr, "skein_edge_updater: %s\n", text.c_str());
}

std::string getAppName() { return "skein_edge_updater"; }

int getExecutableDir(char* path, char* dir, const char* name) {
    std::size_t path_length = std::strlen(path);
    std::size_t name_length = std::strlen(name);
    if (path_length < name_length || std::strcmp(path + path_length - name_length, name) != 0) {
        return -1;
    }
    std::memcpy(dir, path, path_length - name_length);
    dir[path_length - name_length] = '\0';
    return 0;
}

bool lock_working_directory() {
    // The directory itself is locked: no file to leave behind, and none that
    // an operator could delete while the lock is held.
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return true;  // nothing to lock with; the port still keeps two apart
    }
    // A command that an ended service was starting holds its descriptors
    // for an instant: a restart right after waits that out.
    for (int attempt = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; ++attempt) {
        if (errno != EWOULDBLOCK) {
            return true;
        }
        if (attempt == kLockAttempts) {
            close(fd);
            return false;
        }
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;  // held open, and the lock with it, until the process ends
}

void initialize_directories() {
    for (const char* dir : {kUpdateLogsDir, kInstallationDetailsDir}) {
        struct stat info;
        if (stat(dir, &info) != 0) {
            mkdir(dir, kWorkingDirMode);
        }
    }
}

namespace {

struct LogFile {
    std::string name;
    struct timespec modified;
};

// Newest first; equal times by name, as `ls -t` orders them.
bool newer_than(const LogFile& a, const LogFile& b) {
    if (a.modified.tv_sec != b.modified.tv_sec) {
        return a.modified.tv_sec > b.modified.tv_sec;
    }
    if (a.modified.tv_nsec != b.modified.tv_nsec) {
        return a.modified.tv_nsec > b.modified.tv_nsec;
    }
    return a.name < b.name;
}

std::vector<LogFile> list_regular_files(DIR* dir) {
    std::vector<LogFile> files;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        struct stat info;
        if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode)) {
            files.push_back({entry->d_name, info.st_mtim});
        }
    }
    return files;
}

}  // namespace

void rotate_logs() {
    DIR* dir = opendir(kUpdateLogsDir);
    if (dir == nullptr) {
        return;
    }
    std::vector<LogFile> files = list_regular_files(dir);
    if (files.size() > kRotatedLogsKept) {
        std::sort(files.begin(), files.end(), newer_than);
        for (std::size_t i = kRotatedLogsKept; i < files.size(); ++i) {
            unlinkat(dirfd(dir), files[i].name.c_str(), 0);
        }
    }
    closedir(dir);
}
