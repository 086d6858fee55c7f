// Directory and file operations on plain path strings, and joining of path
// pieces. Every function that takes a path refuses an empty one with
// std::runtime_error("Input argument is empty") before it touches the file
// system; other file-system errors pass through as std::filesystem_error.
#pragma once

#include <string>
#include <vector>

namespace tarn {
namespace utilities {

// "/".
std::string get_filesystem_directory_seperator();

// Whether the path exists and is a directory (symbolic links followed).
bool is_directory_exists(const std::string& path);

// Whether the path exists and is a regular file (symbolic links followed).
bool is_regular_file_exists(const std::string& path);

// Makes the directory and its missing parents. Returns whether the directory
// exists afterwards; a failure is reported by one line on standard output.
bool create_directories(const std::string& path);

// Makes sure the directory part (before the last "/") of a file path exists.
// Returns that directory, or "" when the path has no directory part or the
// directory could not be made.
std::string create_directories_from_file_path(const std::string& path);

// Removes a directory with its contents. A missing directory (or a path that
// is not a directory) counts as done and returns true.
bool delete_directory(const std::string& path);

// Removes one regular file. Returns false when there is no such file.
bool delete_file(const std::string& path);

// The path with a trailing separator ("/" or a backslash) ensured. An empty
// path is refused like everywhere else: it must not silently become "/".
std::string end_with_directory_seperator(const std::string& path);

// Joins pieces with one "/" between two pieces unless the left one already
// ends with a separator. Pure string work; an empty piece throws
// std::runtime_error("Input argument is empty").
std::string merge_directories(const std::string& first, const std::string& second);
std::string merge_directories(const std::string& first, const std::string& second,
                              const std::string& third);
std::string merge_directories(const std::string& first, const std::string& second,
                              const std::string& third, const std::string& fourth);
std::string merge_directories(const std::string& first, const std::string& second,
                              const std::string& third, const std::string& fourth,
                              const std::string& fifth);
// Joins each element of `pieces` onto `first` in order; with no elements,
// returns `first` unchanged (even when it is empty). `pieces` is not changed.
std::string merge_directories(const std::string& first, std::vector<std::string>& pieces);

}  // namespace utilities
}  // namespace tarn
