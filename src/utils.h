// The service's status, its files in installation_details/, and the small
// file-system helpers of start-up.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The service state; each value has a fixed text in the status file.
enum Status : std::int32_t {
    WAITING_FOR_COMMAND = 0,
    UPDATE_IN_PROGRESS = 1,
    UPDATE_COMPLETE = 2,
    UPDATE_FAILED = 3,
    REBOOT_INITIATED = 4,
    REBOOT_FAILED = 5,
};

// Files of the working directory, all relative to the executable's directory.
inline constexpr const char kStatusFilePath[] = "installation_details/status.info";
inline constexpr const char kVersionFilePath[] = "installation_details/version.info";
inline constexpr const char kPreviousVersionFilePath[] =
    "installation_details/previous_version.info";
inline constexpr const char kPreviousVersionTempFilePath[] =
    "installation_details/previous_version_temp.info";

// The text written to the status file; unknown values read as waiting.
const char* status_text(Status status);

// Writes the text of status to the status file and logs it. Takes no lock:
// callers hold status_mutex (start-up excepted). A status file that cannot
// even be opened is fatal: logged, then the process ends with status 1.
void update_status_file(Status status);

// One read(2), made again when a signal interrupts it. Safe in a child
// between fork and exec.
ssize_t read_once(int fd, char* data, std::size_t size);

// The first line of a file (its line feed kept when it has one), read once
// into a buffer of kLineBufferSize bytes; the empty text for an empty file;
// nothing when the file cannot be opened.
inline constexpr std::size_t kLineBufferSize = 2048;
std::optional<std::string> read_first_line(const char* path);

// The text before the first carriage return or line feed.
std::string cut_at_line_end(const std::string& text);

// The text as one shell word: unchanged when every character is one of
// letters, digits and . _ + : @ % = , / - (the empty text included), else
// in single quotes with embedded single quotes escaped.
std::string quote_for_shell(const std::string& text);

// Ends the process at once with the given status, without running exit
// handlers that other threads may still depend on. Log lines are already
// flushed; standard output is flushed here.
[[noreturn]] void exit_service(int status);

// One line for the operator on standard error, "skein_edge_updater: " and
// text, where a supervisor shows it: for start-up failures the log cannot
// carry, or that the operator must mend.
void tell_operator(const std::string& text);

std::string getAppName();

// Returns 0 and fills dir with the part of path before name when path ends
// with name; returns -1 and leaves dir untouched otherwise. dir must hold
// strlen(path) + 1 bytes.
int getExecutableDir(char* path, char* dir, const char* name);

// Takes the working directory for this process alone, for its whole life,
// so that a second service started there touches nothing. Returns false
// when another process holds it. Commands started later do not inherit it.
bool lock_working_directory();

// Makes update_logs and installation_details (mode 0700) where missing.
void initialize_directories();

// Keeps the three most recently modified regular files of update_logs and
// removes its other regular files. Directories and hidden entries stay.
void rotate_logs();
