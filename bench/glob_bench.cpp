// Runs one expansion in the current directory and prints the number of paths,
// the milliseconds the call took (result freed included), the process's peak
// resident size in KiB and the CPU milliseconds (user and system) of the call.
// Usage: glob_bench glob|rglob|glob-strings|rglob-strings PATTERN
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "utilities/glob.h"

namespace {

std::size_t expand(const std::string& mode, const std::string& pattern) {
    if (mode == "glob") {
        return tarn::glob::glob(pattern).size();
    }
    if (mode == "rglob") {
        return tarn::glob::rglob(pattern).size();
    }
    if (mode == "glob-strings") {
        return tarn::utilities::glob(pattern).size();
    }
    return tarn::utilities::rglob(pattern).size();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string modes = " glob rglob glob-strings rglob-strings ";
    if (argc != 3 || modes.find(" " + std::string(argv[1]) + " ") == std::string::npos) {
        std::fprintf(stderr, "usage: %s glob|rglob|glob-strings|rglob-strings PATTERN\n", argv[0]);
        return 2;
    }
    timespec cpu_start{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_start);
    const auto start = std::chrono::steady_clock::now();
    const std::size_t count = expand(argv[1], argv[2]);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    timespec cpu_end{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_end);
    const double cpu = static_cast<double>(cpu_end.tv_sec - cpu_start.tv_sec) * 1e3 +
                       static_cast<double>(cpu_end.tv_nsec - cpu_start.tv_nsec) / 1e6;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%zu %.1f %ld %.1f\n", count, took.count(), usage.ru_maxrss, cpu);
    return 0;
}
