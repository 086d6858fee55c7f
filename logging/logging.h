// The weft logging facade: leveled log statements over spdlog, the start-up
// that registers the library's logger, and the process-level operations
// around fatal failures.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace spdlog {
class logger;
}

namespace weft {

// The numbers are part of the interface: they are compared, printed, and
// mapped to spdlog levels by adding 2.
enum WeftLogLevel : std::int32_t {
    TRACE = -2,
    DEBUG = -1,
    INFO = 0,
    WARNING = 1,
    ERROR = 2,
    FATAL = 3,
};

using FatalLogCallback = std::function<void(const std::string&, const std::string&)>;

// Polymorphic base of one log statement; the insertion goes through the
// virtual operations so that a disabled statement formats nothing.
class WeftLogBase {
  public:
    virtual ~WeftLogBase() = default;
    virtual bool IsEnabled() const = 0;
    virtual bool IsFatal() const = 0;
    virtual std::ostream& Stream() = 0;
    virtual std::ostream& ExposeStream() = 0;

    template <typename T>
    WeftLogBase& operator<<(const T& value) {
        if (IsEnabled()) {
            Stream() << value;
        }
        if (IsFatal()) {
            ExposeStream() << value;
        }
        return *this;
    }
};

// The text of one enabled statement, written to spdlog by Flush().
class SpdLogMessage {
  public:
    SpdLogMessage(int level, std::shared_ptr<std::ostringstream> fatal_stream);
    ~SpdLogMessage();
    SpdLogMessage(const SpdLogMessage&) = delete;
    SpdLogMessage& operator=(const SpdLogMessage&) = delete;
    void Flush();
    std::ostringstream& stream() { return *stream_; }

  private:
    // The thread's reusable stream, reset to the state of a new one; or
    // own_stream_ when this thread's stream is taken (a statement built while
    // another is open) or already destroyed at thread exit.
    std::ostringstream* stream_;
    std::unique_ptr<std::ostringstream> own_stream_;
    int level_;
    std::shared_ptr<std::ostringstream> fatal_stream_;
};

// One log statement. Build it only after IsLevelEnabled() said yes (the
// WEFT_LOG macro does); it writes and flushes its line when destroyed, and a
// FATAL statement then ends the process with exit status 1.
class WeftLog : public WeftLogBase {
  public:
    WeftLog(const char* file_name, int line_number, WeftLogLevel level);
    ~WeftLog() override;
    WeftLog(const WeftLog&) = delete;
    WeftLog& operator=(const WeftLog&) = delete;

    bool IsEnabled() const override { return enabled_; }
    bool IsFatal() const override { return fatal_; }
    std::ostream& Stream() override;
    std::ostream& ExposeStream() override;

    static bool IsLevelEnabled(WeftLogLevel level) { return severity_threshold_ <= level; }
    static std::string GetLogFormatPattern();
    static std::string GetLoggerName();

    // Fixes the threshold and registers the logger "weft_log_sink": a
    // size-rotated file under log_dir, or the console when log_dir is empty.
    // Sink errors (a path that cannot be made or opened) are thrown.
    static void StartWeftLog(const std::string& app_name, WeftLogLevel severity_threshold,
                             const std::string& log_dir, bool pid_in_file_name);

    static bool IsFailureSignalHandlerEnabled();
    static void UninstallSignalAction();
    static void ShutDownWeftLog();
    static void AddFatalLogCallbacks(const std::vector<FatalLogCallback>& callbacks);

  private:
    friend class SpdLogMessage;
    friend class DefaultStdErrLogger;

    static void ApplyLevelFromEnvironment(WeftLogLevel& level);
    static void ReadRotationLimitsFromEnvironment();
    static void StartFileLogger(bool pid_in_file_name);
    static void StartConsoleLogger();

    std::unique_ptr<SpdLogMessage> message_;
    bool enabled_;
    WeftLogLevel level_;
    bool fatal_;
    std::shared_ptr<std::ostringstream> fatal_stream_;

    static WeftLogLevel severity_threshold_;
    static std::string app_name_;
    static std::string log_dir_;
    static std::string log_format_pattern_;
    static std::string logger_name_;
    static std::vector<FatalLogCallback> fatal_log_callbacks_;
    static std::int64_t log_rotation_max_size_;
    static std::int64_t log_rotation_file_num_;
    static bool is_failure_signal_handler_installed_;
};

// The logger used while "weft_log_sink" is not registered: coloured, on
// standard error, with the library's pattern.
class DefaultStdErrLogger {
  public:
    static DefaultStdErrLogger& Instance();
    const std::shared_ptr<spdlog::logger>& logger() const { return logger_; }

  private:
    DefaultStdErrLogger();
    ~DefaultStdErrLogger();
    std::shared_ptr<spdlog::logger> logger_;
};

// Writes one failure report line (its last character, a line feed, removed)
// at ERROR, then flushes spdlog's default logger.
void WriteFailureMessage(const char* data);

// Lets `cond ? (void)0 : Voidify() & statement` type-check for any statement.
struct LogVoidify {
    void operator&(const WeftLogBase&) const {}
};

}  // namespace weft

// The statement form: the threshold is tested before anything is built, and
// the statement object lives for the one full expression.
//   WEFT_LOG(INFO) << "Executing command: " << command;
#define WEFT_LOG(level)                             \
    !::weft::WeftLog::IsLevelEnabled(::weft::level) \
        ? (void)0                                   \
        : ::weft::LogVoidify() & ::weft::WeftLog(__FILE__, __LINE__, ::weft::level)
