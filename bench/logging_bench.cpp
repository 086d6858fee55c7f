// Cost of a log line through the weft facade against spdlog used directly
// with the same sink, pattern and flush per line, and the cost of a log
// statement below the threshold.
//
// usage: logging_bench [lines_per_round [rounds [disabled_iterations]]]
//
// The two contenders alternate round by round (ABBA order) so that drifts of
// a shared machine hit both alike; the median of the per-round ratios is the
// figure.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "logging/logging.h"
#include "spdlog/sinks/rotating_file_sink.h"
#include "spdlog/spdlog.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The same rotation limits as the facade's defaults, so both rotate alike.
constexpr std::size_t kRotationMaxBytes = 8388608;
constexpr std::size_t kRotationBackups = 3;

// What the service logs for every request.
const std::string kRequestLine = "GET /status HTTP/1.1";

// Keeps the compiler from hoisting the threshold test out of the loop.
inline void compiler_barrier() { asm volatile("" ::: "memory"); }

double nanoseconds_per(Clock::duration elapsed, long count) {
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
           static_cast<double>(count);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// ---- Contenders ----

double facade_round(long lines) {
    const auto start = Clock::now();
    for (long i = 0; i < lines; ++i) {
        WEFT_LOG(INFO) << "Recieved Request : " << kRequestLine;
    }
    return nanoseconds_per(Clock::now() - start, lines);
}

// The same line text (file name, line number, message) as the facade writes.
double direct_round(spdlog::logger& logger, long lines) {
    const auto start = Clock::now();
    for (long i = 0; i < lines; ++i) {
        logger.log(spdlog::level::info, "{}:{}: Recieved Request : {}", "logging_bench.cpp",
                   __LINE__, kRequestLine);
        logger.flush();
    }
    return nanoseconds_per(Clock::now() - start, lines);
}

std::shared_ptr<spdlog::logger> make_direct_logger(const fs::path& dir) {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        (dir / "direct_100.log").string(), kRotationMaxBytes, kRotationBackups, false);
    auto logger = std::make_shared<spdlog::logger>("bench_direct", std::move(sink));
    logger->set_pattern(weft::WeftLog::GetLogFormatPattern(), spdlog::pattern_time_type::local);
    logger->set_level(spdlog::level::info);
    return logger;
}

// Nanoseconds per iteration of a loop that holds one disabled statement, and
// of the same loop without it.
struct DisabledCost {
    double with_statement;
    double empty_loop;
};

DisabledCost measure_disabled(long iterations) {
    auto start = Clock::now();
    for (long i = 0; i < iterations; ++i) {
        WEFT_LOG(DEBUG) << "never formatted " << i;
        compiler_barrier();
    }
    const double with_statement = nanoseconds_per(Clock::now() - start, iterations);
    start = Clock::now();
    for (long i = 0; i < iterations; ++i) {
        compiler_barrier();
    }
    return {with_statement, nanoseconds_per(Clock::now() - start, iterations)};
}

long argument(int argc, char** argv, int index, long fallback) {
    return argc > index ? std::strtol(argv[index], nullptr, 10) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const long lines = argument(argc, argv, 1, 100000);
    const long rounds = argument(argc, argv, 2, 6);
    const long disabled_iterations = argument(argc, argv, 3, 200000000);
    if (lines < 1 || rounds < 1 || disabled_iterations < 1) {
        std::fprintf(stderr,
                     "usage: logging_bench [lines_per_round [rounds [disabled_iterations]]]\n");
        return 2;
    }

    char dir_template[] = "/tmp/logging_bench.XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        std::perror("logging_bench: mkdtemp");
        return 2;
    }
    const fs::path dir(dir_template);
    // File mode, INFO, as the service starts it; "Log at" goes to stdout.
    weft::WeftLog::StartWeftLog("facade", weft::INFO, (dir / "facade").string() + "/", false);
    const auto direct = make_direct_logger(dir / "direct");

    // One warm-up round each: files created, caches and allocator warm.
    facade_round(lines / 10 + 1);
    direct_round(*direct, lines / 10 + 1);

    std::vector<double> facade_ns;
    std::vector<double> direct_ns;
    for (long round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            facade_ns.push_back(facade_round(lines));
            direct_ns.push_back(direct_round(*direct, lines));
        } else {
            direct_ns.push_back(direct_round(*direct, lines));
            facade_ns.push_back(facade_round(lines));
        }
    }
    const DisabledCost disabled = measure_disabled(disabled_iterations);

    // Each round's pair ran back to back, so its ratio is the steadier figure.
    std::vector<double> ratios;
    for (std::size_t i = 0; i < facade_ns.size(); ++i) {
        ratios.push_back(facade_ns[i] / direct_ns[i]);
    }
    std::printf(
        "lines_per_round=%ld rounds=%ld facade_ns_per_line=%.1f spdlog_ns_per_line=%.1f "
        "ratio=%.3f\n",
        lines, rounds, median(facade_ns), median(direct_ns), median(ratios));
    std::printf("disabled_iterations=%ld disabled_ns_per_statement=%.2f empty_loop_ns=%.2f\n",
                disabled_iterations, disabled.with_statement, disabled.empty_loop);
    for (long round = 0; round < rounds; ++round) {
        std::printf("round=%ld facade_ns=%.1f spdlog_ns=%.1f\n", round + 1,
                    facade_ns[static_cast<std::size_t>(round)],
                    direct_ns[static_cast<std::size_t>(round)]);
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
