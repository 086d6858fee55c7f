// The status file, durable file replacement, and the start-up helpers.
#include "src/utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "logging/logging.h"

namespace {

constexpr const char kUpdateLogsDir[] = "update_logs";
constexpr const char kInstallationDetailsDir[] = "installation_details";
constexpr mode_t kWorkingDirMode = 0700;
constexpr std::size_t kRotatedLogsKept = 3;

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Makes a completed rename survive a power cut.
void sync_parent_directory(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    if (dir.empty()) {
        dir = "/";
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

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
    if (!store_file(kStatusFilePath, text, std::strlen(text))) {
        WEFT_LOG(ERROR) << "Error opening file" << kStatusFilePath;
        exit_service(1);
    }
    WEFT_LOG(INFO) << "HTTP Server Status: " << text;
}

namespace {

// The file that a write to path reaches: path itself, or the file its
// symbolic links end at. Nothing for a link whose file does not exist yet,
// which only an open through the link can create.
std::optional<std::string> file_reached_by(const char* path) {
    struct stat info;
    if (lstat(path, &info) != 0 || !S_ISLNK(info.st_mode)) {
        return std::string(path);
    }
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr) {
        return std::nullopt;
    }
    return std::string(resolved);
}

// The plain write: open for writing with truncation, write, close. A
// failed write leaves a short file, which is logged.
bool write_in_place(const char* path, const char* data, std::size_t size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    if (!write_all(fd, data, size)) {
        WEFT_LOG(ERROR) << "Could not write " << path << ": " << std::strerror(errno);
    }
    close(fd);
    return true;
}

}  // namespace

bool store_file(const char* path, const char* data, std::size_t size) {
    std::optional<std::string> target = file_reached_by(path);
    if (!target) {
        return write_in_place(path, data, size);
    }
    int error = replace_file_atomically(target->c_str(), data, size);
    if (error == 0) {
        return true;
    }
    // A box whose disk is full must stay reachable: the in-place write
    // reuses the blocks the old content frees.
    WEFT_LOG(ERROR) << "Could not replace " << *target << " atomically (" << std::strerror(error)
                    << "); writing it in place";
    return write_in_place(target->c_str(), data, size);
}

namespace {

// The new file takes over the old one's mode and owner, so that whoever
// could read the old file can read the new one. Where the owner cannot be
// given (not root), the replace fails and the file is written in place.
bool keep_mode_and_owner(int fd, const struct stat& old) {
    return fchmod(fd, old.st_mode & 07777) == 0 && fchown(fd, old.st_uid, old.st_gid) == 0;
}

}  // namespace

int replace_file_atomically(const char* path, const char* data, std::size_t size) {
    // One temporary name per target: every target has a single writer at a
    // time (the status under status_mutex, the version files on the request
    // thread), and a leftover from a crash is simply overwritten next time.
    const std::string target(path);
    const std::string temporary = target + ".tmp";
    struct stat old;
    const bool existed = stat(path, &old) == 0;
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    bool stored =
        (!existed || keep_mode_and_owner(fd, old)) && write_all(fd, data, size) && fsync(fd) == 0;
    int error = stored ? 0 : errno;
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
    sync_parent_directory(target);
    return 0;
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
    ssize_t received;
    do {
        received = read(fd, line, sizeof line - 1);
    } while (received < 0 && errno == EINTR);
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
