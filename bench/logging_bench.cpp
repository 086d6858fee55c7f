// Cost of a log line through the weft facade against spdlog used directly
// with the same sink, pattern and flush per line (once with spdlog's own
// formatter, once with the facade's, which takes the process id once), and
// the cost of a log statement below the threshold.
//
// usage: logging_bench [lines_per_round [rounds [disabled_iterations]]]
//
// The contenders take turns, their order turning round by round, so that
// drifts of a shared machine hit all alike; the median of the per-round
// ratios is the figure.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "logging/line_formatter.h"
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

// Nanoseconds per line of one round: wall time, and the CPU time of this
// thread, which leaves out the time other jobs of a busy machine held the
// CPU.
struct Cost {
    double wall_ns;
    double cpu_ns;
};

std::int64_t thread_cpu_ns() {
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class RoundTimer {
  public:
    Cost per_line(long lines) const {
        return {nanoseconds_per(Clock::now() - wall_start_, lines),
                static_cast<double>(thread_cpu_ns() - cpu_start_) / static_cast<double>(lines)};
    }

  private:
    Clock::time_point wall_start_ = Clock::now();
    std::int64_t cpu_start_ = thread_cpu_ns();
};

// ---- Contenders ----

Cost facade_round(long lines) {
    const RoundTimer timer;
    for (long i = 0; i < lines; ++i) {
        WEFT_LOG(INFO) << "Recieved Request : " << kRequestLine;
    }
    return timer.per_line(lines);
}

// The same line text (file name, line number, message) as the facade writes.
Cost direct_round(spdlog::logger& logger, long lines) {
    const RoundTimer timer;
    for (long i = 0; i < lines; ++i) {
        logger.log(spdlog::level::info, "{}:{}: Recieved Request : {}", "logging_bench.cpp",
                   __LINE__, kRequestLine);
        logger.flush();
    }
    return timer.per_line(lines);
}

// spdlog's own pattern formatter, or the facade's when pid_once is set.
std::shared_ptr<spdlog::logger> make_direct_logger(const fs::path& dir, bool pid_once) {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        (dir / "direct_100.log").string(), kRotationMaxBytes, kRotationBackups, false);
    auto logger = std::make_shared<spdlog::logger>(pid_once ? "bench_pid_once" : "bench_direct",
                                                   std::move(sink));
    if (pid_once) {
        logger->set_formatter(weft::MakeLineFormatter(weft::WeftLog::GetLogFormatPattern()));
    } else {
        logger->set_pattern(weft::WeftLog::GetLogFormatPattern(), spdlog::pattern_time_type::local);
    }
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
    const auto direct = make_direct_logger(dir / "direct", false);
    const auto pid_once = make_direct_logger(dir / "pid_once", true);

    // One warm-up round each: files created, caches and allocator warm.
    facade_round(lines / 10 + 1);
    direct_round(*direct, lines / 10 + 1);
    direct_round(*pid_once, lines / 10 + 1);

    // ns per line by contender: facade, spdlog direct, spdlog with the pid once.
    constexpr int kContenders = 3;
    std::vector<Cost> costs[kContenders];
    for (long round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < kContenders; ++turn) {
            const int who = static_cast<int>((round + turn) % kContenders);
            costs[who].push_back(who == 0   ? facade_round(lines)
                                 : who == 1 ? direct_round(*direct, lines)
                                            : direct_round(*pid_once, lines));
        }
    }
    const DisabledCost disabled = measure_disabled(disabled_iterations);

    // Each round's contenders ran back to back, so its ratios are the
    // steadier figures.
    std::vector<double> ns[kContenders];
    std::vector<double> ratios;
    std::vector<double> ratios_pid_once;
    std::vector<double> cpu_ratios;
    std::vector<double> cpu_ratios_pid_once;
    for (std::size_t i = 0; i < costs[0].size(); ++i) {
        for (int who = 0; who < kContenders; ++who) {
            ns[who].push_back(costs[who][i].wall_ns);
        }
        ratios.push_back(costs[0][i].wall_ns / costs[1][i].wall_ns);
        ratios_pid_once.push_back(costs[0][i].wall_ns / costs[2][i].wall_ns);
        cpu_ratios.push_back(costs[0][i].cpu_ns / costs[1][i].cpu_ns);
        cpu_ratios_pid_once.push_back(costs[0][i].cpu_ns / costs[2][i].cpu_ns);
    }
    std::printf(
        "lines_per_round=%ld rounds=%ld facade_ns_per_line=%.1f spdlog_ns_per_line=%.1f "
        "spdlog_pid_once_ns_per_line=%.1f ratio=%.3f ratio_pid_once=%.3f cpu_ratio=%.3f "
        "cpu_ratio_pid_once=%.3f\n",
        lines, rounds, median(ns[0]), median(ns[1]), median(ns[2]), median(ratios),
        median(ratios_pid_once), median(cpu_ratios), median(cpu_ratios_pid_once));
    std::printf("disabled_iterations=%ld disabled_ns_per_statement=%.2f empty_loop_ns=%.2f\n",
                disabled_iterations, disabled.with_statement, disabled.empty_loop);
    for (std::size_t round = 0; round < costs[0].size(); ++round) {
        std::printf(
            "round=%zu facade_ns=%.1f spdlog_ns=%.1f spdlog_pid_once_ns=%.1f facade_cpu_ns=%.1f "
            "spdlog_cpu_ns=%.1f spdlog_pid_once_cpu_ns=%.1f\n",
            round + 1, costs[0][round].wall_ns, costs[1][round].wall_ns, costs[2][round].wall_ns,
            costs[0][round].cpu_ns, costs[1][round].cpu_ns, costs[2][round].cpu_ns);
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
