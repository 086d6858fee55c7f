// The process id for every log line, taken once: spdlog asks the kernel for
// it on every line (glibc no longer caches it), a system call per line that
// the service pays on every request.
#include "logging/line_formatter.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdint>

#include "spdlog/details/fmt_helper.h"
#include "spdlog/pattern_formatter.h"

namespace weft {

namespace {

// Set before the first formatter exists and again in the one thread of a
// child of fork, so the formatters read it without a lock.
std::uint32_t cached_pid = 0;

void RenewCachedPid() { cached_pid = static_cast<std::uint32_t>(getpid()); }

// Digits as spdlog's own %P writes them.
class CachedPidFlag final : public spdlog::custom_flag_formatter {
  public:
    void format(const spdlog::details::log_msg&, const std::tm&,
                spdlog::memory_buf_t& dest) override {
        spdlog::details::fmt_helper::append_int(cached_pid, dest);
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<CachedPidFlag>();
    }
};

}  // namespace

std::unique_ptr<spdlog::formatter> MakeLineFormatter(const std::string& pattern) {
    static const int kCacheReady = [] {
        RenewCachedPid();
        return pthread_atfork(nullptr, nullptr, RenewCachedPid);
    }();
    (void)kCacheReady;
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<CachedPidFlag>('P').set_pattern(pattern);
    return formatter;
}

}  // namespace weft
