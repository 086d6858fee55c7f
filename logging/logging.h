// The weft logging facade: leveled log statements over spdlog, the start-up
// that registers the library's logger, the process-level operations around
// fatal failures, and named loggers switched on by configuration files.
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
    // Sink errors (a path that cannot be made or opened) are thrown, and a
    // rotation setting the sink cannot take as std::invalid_argument.
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

// ---- Named loggers ----
//
// A named logger writes bare lines (pattern "%v") into its own size-rotated
// file and exists only while `config_dir`/`base_name`.cnf switches it on. A
// null pointer means "switched off"; the writers accept it and do nothing.
// One named logger is meant for one thread at a time (its sink has no lock).

// The logger `base_name` (both ids 0) or `base_name`_`first_id`_`second_id`,
// writing `config_dir`/<name>.log, when the family entry `base_name` or the
// instance entry <name> of section `base_name` is greater than 0; otherwise
// null. Missing entries are added to the .cnf file with the value 0.
std::shared_ptr<spdlog::logger> get_logger_st(const std::string& config_dir,
                                              const std::string& base_name, short first_id,
                                              short second_id);

// The logger registered as `logger_name`, created on `file_path` when there is
// none (an existing one is returned whatever file it writes). Sink errors are
// thrown by spdlog.
std::shared_ptr<spdlog::logger> get_logger_st_internal(const std::string& logger_name,
                                                       const std::string& file_path);

// Writes the time box, then `header_text`, at info level; does not flush.
void write_header(std::shared_ptr<spdlog::logger> logger, const std::string& header_text);

// Writes `text` as one line at info level and flushes.
void write_log(std::shared_ptr<spdlog::logger> logger, const std::string& text);

// "UTC: YYYY-MM-DD HH:MM:SS" for now. Throws fmt::format_error when the time
// cannot be converted.
std::string get_current_time_str();

// The current UTC time centred in an 80-column box of box-drawing characters.
std::string printable_current_time();

// The time box with a second line holding `git_info`, centred.
std::string printable_git_info(const std::string& git_info);

// `git_info` and the time between two rules of plain dashes; unlike the box,
// it stays aligned for text of any width.
std::string printable_git_info_safe(const std::string& git_info);

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
