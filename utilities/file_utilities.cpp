#include "utilities/file_utilities.h"

#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace tarn {
namespace utilities {

namespace {

namespace fs = std::filesystem;

constexpr const char* kEmptyArgumentMessage = "Input argument is empty";
constexpr char kDirectorySeperator = '/';
constexpr char kBackslash = '\\';

void refuse_empty(const std::string& argument) {
    if (argument.empty()) {
        throw std::runtime_error(kEmptyArgumentMessage);
    }
}

// The one line by which a failed directory creation is reported.
void report_creation_failure(const std::string& path, const std::error_code& error) {
    std::cout << "Unable to create directories [" << path << "], "
              << "Error Code[" << error.value() << "], "
              << "Error Message[" << error.message() << "], "
              << "Error category[" << error.category().name() << "] "
              << "\n";
}

}  // namespace

// ---- Directory and file operations ----

std::string get_filesystem_directory_seperator() { return std::string(1, kDirectorySeperator); }

bool is_directory_exists(const std::string& path) {
    refuse_empty(path);
    const fs::file_status status = fs::status(path);
    return fs::exists(status) && fs::is_directory(status);
}

bool is_regular_file_exists(const std::string& path) {
    refuse_empty(path);
    const fs::file_status status = fs::status(path);
    return fs::exists(status) && fs::is_regular_file(status);
}

bool create_directories(const std::string& path) {
    refuse_empty(path);
    if (is_directory_exists(path)) {
        return true;
    }
    std::error_code error(0, std::system_category());
    if (fs::create_directories(path, error)) {
        return is_directory_exists(path);
    }
    report_creation_failure(path, error);
    return false;
}

std::string create_directories_from_file_path(const std::string& path) {
    refuse_empty(path);
    const std::string::size_type last = path.rfind(kDirectorySeperator);
    if (last == std::string::npos || last == 0) {
        return "";
    }
    std::string directory = path.substr(0, last);
    return create_directories(directory) ? directory : "";
}

bool delete_directory(const std::string& path) {
    refuse_empty(path);
    if (!is_directory_exists(path)) {
        return true;
    }
    return fs::remove_all(path) > 0;
}

bool delete_file(const std::string& path) {
    refuse_empty(path);
    if (!is_regular_file_exists(path)) {
        return false;
    }
    return fs::remove(path);
}

std::string end_with_directory_seperator(const std::string& path) {
    refuse_empty(path);
    std::ostringstream joined;
    joined << path;
    const char last = path.back();
    if (last != kDirectorySeperator && last != kBackslash) {
        joined << get_filesystem_directory_seperator();
    }
    return joined.str();
}

// ---- Directory merge ----

std::string merge_directories(const std::string& first, const std::string& second) {
    refuse_empty(first);
    refuse_empty(second);
    return end_with_directory_seperator(first) + second;
}

std::string merge_directories(const std::string& first, const std::string& second,
                              const std::string& third) {
    return merge_directories(first, merge_directories(second, third));
}

std::string merge_directories(const std::string& first, const std::string& second,
                              const std::string& third, const std::string& fourth) {
    return merge_directories(first, merge_directories(second, third, fourth));
}

std::string merge_directories(const std::string& first, const std::string& second,
                              const std::string& third, const std::string& fourth,
                              const std::string& fifth) {
    return merge_directories(first, merge_directories(second, third, fourth, fifth));
}

std::string merge_directories(const std::string& first, std::vector<std::string>& pieces) {
    std::string merged = first;
    for (const std::string& piece : pieces) {
        merged = merge_directories(merged, piece);
    }
    return merged;
}

}  // namespace utilities
}  // namespace tarn
