// The formatter of the library's log lines: spdlog's pattern formatter with
// the process id (%P) taken once per process instead of once per line.
#pragma once

#include <memory>
#include <string>

namespace spdlog {
class formatter;
}

namespace weft {

// A formatter for `pattern` in local time whose lines are byte for byte
// those of spdlog's own; only %P is served from a cache that a fork renews.
std::unique_ptr<spdlog::formatter> MakeLineFormatter(const std::string& pattern);

}  // namespace weft
