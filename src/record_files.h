// Writing the box's records (the status file, the version files and the
// pending updates) so that no fault ever leaves one empty or half written.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// The system calls of the record-writing path. They go through this table
// so that tests can make each of them fail in turn; the service itself never
// changes it.
struct RecordSystemCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void* data, std::size_t size);
    ssize_t (*pwrite)(int fd, const void* data, std::size_t size, off_t offset);
    int (*fsync)(int fd);
    int (*fdatasync)(int fd);
    int (*ftruncate)(int fd, off_t length);
    int (*fchmod)(int fd, mode_t mode);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    int (*rename)(const char* from, const char* to);
    int (*exchange)(const char* a, const char* b);  // renameat2 with RENAME_EXCHANGE
    int (*close)(int fd);
    int (*unlink)(const char* path);
};
extern RecordSystemCalls record_system_calls;

// Writes all of data through the table's calls, again where a signal cut a
// write short: at the descriptor's position, or from from_offset on when it
// is given.
bool write_all(int fd, const char* data, std::size_t size, off_t from_offset = -1);

// Replaces the regular file path (or creates it) with exactly size bytes of
// data, so that a reader, or a box that loses power, finds either the old
// content or the new one. The new file keeps the old one's mode, and its
// owner where the service may give it. Returns 0, or the errno of the step
// that failed, and then leaves path as it was and no temporary file behind.
int replace_file_atomically(const char* path, const char* data, std::size_t size);

// Stores data as the whole content of a record, through its symbolic links:
// replaced atomically or left exactly as it was, never emptied. A link's
// final target that is a character device or a FIFO is written through a
// descriptor, as it cannot be replaced; any other kind of node is left.
// A failure is logged in one line that names the file and the reason.
// Returns whether the record now holds data.
bool store_record(const char* path, const char* data, std::size_t size);

// As store_record, for the status file, which must change even on a full
// disk. Beside it the service keeps a spare file that already owns the
// blocks a status needs: when the atomic replace fails, the new text goes
// into the spare, and the two swap names in one step, so no new block is
// needed and a reader, or a box that loses power, finds the old text or
// the new one. Without a spare (the disk was full from the first start on)
// a status that cannot be replaced keeps its old text, with one error
// line. Returns false only when the file cannot be opened for writing at
// all.
bool store_status_record(const char* path, const char* data, std::size_t size);

// The spare of a status file at path: hidden, in the same directory.
std::string status_spare_path(const std::string& path);
