// Writing the box's records: atomic replacement, the spare that lets the
// status file change on a full disk, and the nodes that are never replaced.
#include "src/record_files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "logging/logging.h"

namespace {

int open_file(const char* path, int flags, mode_t mode) { return open(path, flags, mode); }

int exchange_names(const char* a, const char* b) {
    return renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE);
}

}  // namespace

RecordSystemCalls record_system_calls = {
    open_file, write,  pwrite, fsync,          fdatasync, ftruncate,
    fchmod,    fchown, rename, exchange_names, close,     unlink,
};

namespace {

RecordSystemCalls& sys = record_system_calls;

// The kernel's own limit on links followed in one path walk.
constexpr int kMaxLinksFollowed = 40;

std::string directory_of(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a completed rename survive a power cut. The rename has happened
// whatever this finds, so a failure is only said.
void sync_directory_of(const std::string& path) {
    const std::string directory = directory_of(path);
    int fd = sys.open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    int error = fd < 0 ? errno : sys.fsync(fd) != 0 ? errno : 0;
    if (fd >= 0) {
        sys.close(fd);
    }
    if (error != 0) {
        WEFT_LOG(ERROR) << "Could not sync the directory " << directory << " after replacing "
                        << path << " (" << std::strerror(error)
                        << "); the new content may not survive a power cut";
    }
}

// The new file takes over the old one's mode, so that whoever could read
// the old file can read the new one. Its owner too, where the service may
// give it: a service that is not root cannot, and the record must change
// all the same.
bool keep_mode_and_owner(int fd, const struct stat& old) {
    if (sys.fchmod(fd, old.st_mode & 07777) != 0) {
        return false;
    }
    (void)sys.fchown(fd, old.st_uid, old.st_gid);
    return true;
}

// Where a write to a record lands once its symbolic links are followed.
struct RecordTarget {
    std::string path;  // the final name; it may not exist yet
    mode_t type = 0;   // S_IFMT bits of an existing node, 0 when missing
    int error = 0;     // a link that cannot be read, or too many of them
};

RecordTarget follow_links(const char* path) {
    RecordTarget target{path};
    for (int followed = 0; followed <= kMaxLinksFollowed; ++followed) {
        struct stat info;
        if (lstat(target.path.c_str(), &info) != 0) {
            target.error = errno == ENOENT ? 0 : errno;
            return target;
        }
        if (!S_ISLNK(info.st_mode)) {
            target.type = info.st_mode & S_IFMT;
            return target;
        }
        char link[PATH_MAX];
        ssize_t length = readlink(target.path.c_str(), link, sizeof link);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof link) {
            target.error = length < 0 ? errno : ENAMETOOLONG;
            return target;
        }
        std::string next(link, static_cast<std::size_t>(length));
        target.path = next[0] == '/' ? next : directory_of(target.path) + "/" + next;
    }
    target.error = ELOOP;
    return target;
}

// A device or FIFO a record links to (/dev/null, say) is written as a plain
// open would, never replaced by a file: replacing a node under /dev breaks
// the box until it restarts. Without blocking: a FIFO nobody reads fails.
int write_to_node(const std::string& path, const char* data, std::size_t size) {
    int fd = sys.open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) {
        return errno;
    }
    int error = write_all(fd, data, size) ? 0 : errno;
    if (sys.close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

// What a record may be replaced as. Block devices, directories and sockets
// are left alone: no record is ever written over one.
enum class Writable { kAsFile, kThroughDescriptor, kNot };

Writable how_writable(const RecordTarget& target) {
    switch (target.type) {
        case 0:
        case S_IFREG:
            return Writable::kAsFile;
        case S_IFCHR:
        case S_IFIFO:
            return Writable::kThroughDescriptor;
        default:
            return Writable::kNot;
    }
}

constexpr const char kNotAFile[] = "not a regular file";

const char* reason_of(int error) { return error == 0 ? nullptr : std::strerror(error); }

// Stores data at the record's final target as its kind allows. Returns why
// it could not, or nothing.
const char* store_at(const RecordTarget& target, const char* data, std::size_t size) {
    if (target.error != 0) {
        return reason_of(target.error);
    }
    switch (how_writable(target)) {
        case Writable::kAsFile:
            return reason_of(replace_file_atomically(target.path.c_str(), data, size));
        case Writable::kThroughDescriptor:
            return reason_of(write_to_node(target.path, data, size));
        case Writable::kNot:
            break;
    }
    return kNotAFile;
}

// One line for a record left as it was; returns whether it was stored.
bool reported(const char* path, const char* reason) {
    if (reason != nullptr) {
        WEFT_LOG(ERROR) << "Could not replace " << path << " (" << reason
                        << "); it keeps its old content";
    }
    return reason == nullptr;
}

// Opens the spare of a status file for writing, when it is one.
int open_spare(const std::string& spare) {
    int fd = sys.open(spare.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        sys.close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Writes data as the whole content of the open spare, with the status
// file's mode and owner. The spare already owns a block, so this needs no
// new one.
int fill_spare(int fd, const std::string& path, const char* data, std::size_t size) {
    struct stat old;
    bool filled = stat(path.c_str(), &old) == 0 && keep_mode_and_owner(fd, old) &&
                  write_all(fd, data, size, 0) &&
                  sys.ftruncate(fd, static_cast<off_t>(size)) == 0 && sys.fsync(fd) == 0;
    int error = filled ? 0 : errno;
    if (sys.close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

// The new text into the spare, then the two swap names: the status file is
// the spare's inode from then on, and the spare the old status file's.
int swap_in_spare(const std::string& path, const char* data, std::size_t size) {
    const std::string spare = status_spare_path(path);
    int fd = open_spare(spare);
    if (fd < 0) {
        return errno;
    }
    int error = fill_spare(fd, path, data, size);
    if (error == 0 && sys.exchange(spare.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error == 0) {
        sync_directory_of(path);
    }
    return error;
}

// Made while there is room, from a status file just written: a copy of it
// owns the blocks that a later status needs.
void make_spare(const std::string& path, const char* data, std::size_t size) {
    const std::string spare = status_spare_path(path);
    struct stat info;
    if (lstat(spare.c_str(), &info) == 0) {
        return;
    }
    int fd = sys.open(spare.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 && fill_spare(fd, path, data, size) != 0) {
        sys.unlink(spare.c_str());
    }
}

// Whether the status file can be opened for writing at all: when it cannot
// (its directory is gone, say), the service cannot report and ends.
bool can_open_for_writing(const std::string& path) {
    int fd = sys.open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sys.close(fd);
    return true;
}

}  // namespace

bool write_all(int fd, const char* data, std::size_t size, off_t from_offset) {
    while (size > 0) {
        ssize_t written =
            from_offset < 0 ? sys.write(fd, data, size) : sys.pwrite(fd, data, size, from_offset);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        from_offset = from_offset < 0 ? from_offset : from_offset + written;
    }
    return true;
}

int replace_file_atomically(const char* path, const char* data, std::size_t size) {
    // One temporary name per target: every record has a single writer at a
    // time, and a leftover from a crash is simply overwritten next time. Not
    // followed if it is a link: the truncation would reach its target.
    const std::string target(path);
    const std::string temporary = target + ".tmp";
    struct stat old;
    const bool existed = stat(path, &old) == 0;
    int fd =
        sys.open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    bool stored = (!existed || keep_mode_and_owner(fd, old)) && write_all(fd, data, size) &&
                  sys.fsync(fd) == 0;
    int error = stored ? 0 : errno;
    if (sys.close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && sys.rename(temporary.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        sys.unlink(temporary.c_str());
        return error;
    }
    sync_directory_of(target);
    return 0;
}

bool store_record(const char* path, const char* data, std::size_t size) {
    return reported(path, store_at(follow_links(path), data, size));
}

std::string status_spare_path(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    const std::string::size_type name = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, name) + "." + path.substr(name) + ".spare";
}

bool store_status_record(const char* path, const char* data, std::size_t size) {
    const RecordTarget target = follow_links(path);
    if (target.error != 0 || how_writable(target) != Writable::kAsFile) {
        return reported(path, store_at(target, data, size));
    }
    // The spare only when it must: a reader may still be reading the inode
    // it takes over, which a later swap would write into.
    int error = replace_file_atomically(target.path.c_str(), data, size);
    if (error == 0) {
        make_spare(target.path, data, size);
        return true;
    }
    if (target.type == S_IFREG && swap_in_spare(target.path, data, size) == 0) {
        WEFT_LOG(ERROR) << "Could not replace " << target.path << " atomically ("
                        << std::strerror(error) << "); swapped in its spare";
        return true;
    }
    if (!can_open_for_writing(target.path)) {
        return false;
    }
    reported(path, reason_of(error));
    return true;
}
