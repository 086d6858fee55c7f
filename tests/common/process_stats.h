// What /proc tells about a process: its threads, open descriptors and
// resident memory. pid "self" is the calling process.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <fstream>
#include <string>
#include <thread>

namespace skein_test {

// Entries of a /proc directory, "." and ".." left out; 0 when it cannot be
// read (the process is gone).
inline std::size_t count_entries(const std::string& dir_path) {
    std::size_t count = 0;
    if (DIR* dir = opendir(dir_path.c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

inline std::size_t thread_count(const std::string& pid = "self") {
    return count_entries("/proc/" + pid + "/task");
}

inline std::size_t open_descriptors(const std::string& pid) {
    return count_entries("/proc/" + pid + "/fd");
}

// VmRSS in KiB; 0 when unknown.
inline long resident_kib(const std::string& pid) {
    std::ifstream status("/proc/" + pid + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

// Waits until the process runs at most `threads` threads (its detached
// workers have ended); false when patience runs out first.
inline bool wait_for_thread_count(std::size_t threads, std::chrono::milliseconds patience,
                                  const std::string& pid = "self") {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (thread_count(pid) > threads) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

}  // namespace skein_test
