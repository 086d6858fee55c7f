// Log statements, logging start-up, the failure/shutdown operations and the
// named loggers of the weft facade.
#include "logging/logging.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

#include "config/ConfigFile.h"
#include "fmt/chrono.h"
#include "fmt/format.h"
#include "logging/line_formatter.h"
#include "spdlog/sinks/ansicolor_sink.h"
#include "spdlog/sinks/rotating_file_sink.h"
#include "spdlog/sinks/stdout_color_sinks.h"
#include "spdlog/spdlog.h"

namespace weft {

namespace {

constexpr const char* kFatalLabel = "WEFT_FATAL_CHECK_FAILED";
constexpr const char* kStackTraceBanner = "\n*** StackTrace Information ***\n";
constexpr int kSpdlogOffLevel = 6;
constexpr int kFileNameNumberWithoutPid = 100;

const int kFailureSignals[] = {SIGSEGV, SIGILL, SIGFPE, SIGABRT, SIGTERM};

// The facade's levels sit two below spdlog's; anything else maps to off.
bool IsSupportedLevel(int level) { return level >= TRACE && level <= FATAL; }

const char* LastPathComponent(const char* file_name) {
    const char* slash = std::strrchr(file_name, '/');
    return slash != nullptr ? slash + 1 : file_name;
}

// "name:line: " into a new stream. With the classic locale (unless the
// program set another global one) the number is plain digits, so the
// prefix goes straight into the buffer: four insertions through the stream
// cost more than the rest of the statement's formatting.
void WritePrefix(std::ostringstream& stream, const char* name, int line_number) {
    if (stream.getloc() != std::locale::classic()) {
        stream << name << ":" << line_number << ": ";
        return;
    }
    char number[std::numeric_limits<int>::digits10 + 2];
    const char* number_end = std::to_chars(number, number + sizeof number, line_number).ptr;
    std::stringbuf& buffer = *stream.rdbuf();
    buffer.sputn(name, static_cast<std::streamsize>(std::strlen(name)));
    buffer.sputc(':');
    buffer.sputn(number, number_end - number);
    buffer.sputn(": ", 2);
}

// Descriptors of the log file must not leak into the commands that the
// service runs through the shell.
void SetCloseOnExec(spdlog::filename_t, std::FILE* file) {
    if (file != nullptr) {
        int fd = fileno(file);
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0) {
            fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
    }
}

// ---- Per-thread message stream ----

// Building a std::ostringstream (locale and facet look-ups) costs more than
// formatting a whole line, so each thread keeps one for its statements.
enum class ThreadStreamState : unsigned char { kFree, kTaken, kGone };

thread_local ThreadStreamState thread_stream_state = ThreadStreamState::kFree;

struct ThreadStream {
    ~ThreadStream() { thread_stream_state = ThreadStreamState::kGone; }
    std::ostringstream stream;
};

thread_local ThreadStream thread_stream;

// A line longer than this gives its memory back instead of keeping it for
// the thread's next statements.
constexpr std::size_t kKeptStreamBytes = 4096;

// Puts stream into the state of a newly built one: empty, good, default
// format flags, width, precision and fill, no exceptions, not tied, and the
// current global locale.
void ResetToNew(std::ostringstream& stream) {
    stream.str(std::string());
    stream.clear();
    stream.flags(std::ios_base::skipws | std::ios_base::dec);
    stream.width(0);
    stream.precision(6);
    stream.fill(stream.widen(' '));
    stream.exceptions(std::ios_base::goodbit);
    stream.tie(nullptr);
    if (stream.getloc() != std::locale()) {
        stream.imbue(std::locale());
    }
}

// The text of a string stream without a copy: its buffer's put area, which
// a write-only string stream fills from the start. (std::stringbuf::view()
// arrives only with C++20.)
struct PutArea : std::stringbuf {
    static std::string_view Of(const std::ostringstream& stream) {
        using Pointer = char* (std::streambuf::*)() const;
        constexpr Pointer kBegin = &PutArea::pbase;
        constexpr Pointer kEnd = &PutArea::pptr;
        const std::stringbuf& buffer = *stream.rdbuf();
        return std::string_view((buffer.*kBegin)(),
                                static_cast<std::size_t>((buffer.*kEnd)() - (buffer.*kBegin)()));
    }
};

// The thread's stream, reset to new, for one statement; null when it is
// taken or gone.
std::ostringstream* AcquireThreadStream() {
    if (thread_stream_state != ThreadStreamState::kFree) {
        return nullptr;
    }
    thread_stream_state = ThreadStreamState::kTaken;
    ResetToNew(thread_stream.stream);
    return &thread_stream.stream;
}

void ReleaseThreadStream() {
    if (PutArea::Of(thread_stream.stream).size() > kKeptStreamBytes) {
        std::ostringstream().swap(thread_stream.stream);
    }
    thread_stream_state = ThreadStreamState::kFree;
}

void FlushDefaultLogger() {
    if (auto logger = spdlog::default_logger(); logger != nullptr) {
        logger->flush();
    }
}

}  // namespace

// ---- Static state ----

WeftLogLevel WeftLog::severity_threshold_ = INFO;
std::string WeftLog::app_name_;
std::string WeftLog::log_dir_;
std::string WeftLog::log_format_pattern_ = "[%Y-%m-%d %H:%M:%S,%e %L %P %t] %v";
std::string WeftLog::logger_name_ = "weft_log_sink";
std::vector<FatalLogCallback> WeftLog::fatal_log_callbacks_;
std::int64_t WeftLog::log_rotation_max_size_ = 8388608;
std::int64_t WeftLog::log_rotation_file_num_ = 3;
bool WeftLog::is_failure_signal_handler_installed_ = false;

// ---- Log statements ----

SpdLogMessage::SpdLogMessage(int level, std::shared_ptr<std::ostringstream> fatal_stream)
    : stream_(AcquireThreadStream()), level_(level), fatal_stream_(std::move(fatal_stream)) {
    if (stream_ == nullptr) {
        own_stream_ = std::make_unique<std::ostringstream>();
        stream_ = own_stream_.get();
    }
}

SpdLogMessage::~SpdLogMessage() {
    if (own_stream_ == nullptr) {
        ReleaseThreadStream();
    }
}

void SpdLogMessage::Flush() {
    std::shared_ptr<spdlog::logger> logger = spdlog::get(WeftLog::logger_name_);
    if (logger == nullptr) {
        logger = DefaultStdErrLogger::Instance().logger();
    }
    if (level_ == spdlog::level::critical) {
        *stream_ << kStackTraceBanner;
        if (fatal_stream_ != nullptr) {
            *fatal_stream_ << kStackTraceBanner;
        }
    }
    // Handed over as the finished text, not as a format string: braces stay
    // as they are, exactly as through "{}", without the copy and the parse.
    const std::string_view text = PutArea::Of(*stream_);
    logger->log(static_cast<spdlog::level::level_enum>(level_),
                spdlog::string_view_t(text.data(), text.size()));
    logger->flush();
}

WeftLog::WeftLog(const char* file_name, int line_number, WeftLogLevel level)
    : enabled_(severity_threshold_ <= level), level_(level), fatal_(level == FATAL) {
    if (fatal_) {
        fatal_stream_ = std::make_shared<std::ostringstream>();
        *fatal_stream_ << file_name << ":" << line_number << ":";
    }
    if (!enabled_) {
        return;
    }
    int spdlog_level = kSpdlogOffLevel;
    if (IsSupportedLevel(level)) {
        spdlog_level = static_cast<int>(level) + 2;
    } else if (IsLevelEnabled(FATAL)) {
        WeftLog(__FILE__, __LINE__, FATAL)
            << "Unsupported logging level: " << static_cast<int>(level);
    }
    message_ = std::make_unique<SpdLogMessage>(spdlog_level, fatal_stream_);
    WritePrefix(message_->stream(), LastPathComponent(file_name), line_number);
}

WeftLog::~WeftLog() {
    if (message_ != nullptr) {
        message_->Flush();
        message_.reset();
    }
    if (fatal_stream_ != nullptr) {
        for (const auto& callback : fatal_log_callbacks_) {
            callback(kFatalLabel, fatal_stream_->str());
        }
    }
    if (level_ == FATAL) {
        _Exit(1);
    }
    fatal_stream_.reset();
}

std::ostream& WeftLog::Stream() { return message_->stream(); }

std::ostream& WeftLog::ExposeStream() { return *fatal_stream_; }

std::string WeftLog::GetLogFormatPattern() { return log_format_pattern_; }

std::string WeftLog::GetLoggerName() { return logger_name_; }

// ---- Fallback logger ----

DefaultStdErrLogger& DefaultStdErrLogger::Instance() {
    static DefaultStdErrLogger instance;
    return instance;
}

DefaultStdErrLogger::DefaultStdErrLogger()
    : logger_(spdlog::stderr_color_mt("stderr", spdlog::color_mode::automatic)) {
    logger_->set_formatter(MakeLineFormatter(WeftLog::log_format_pattern_));
}

DefaultStdErrLogger::~DefaultStdErrLogger() { logger_.reset(); }

// ---- Start-up ----

void WeftLog::ApplyLevelFromEnvironment(WeftLogLevel& level) {
    const char* value = std::getenv("WEFT_BACKEND_LOG_LEVEL");
    if (value == nullptr) {
        return;
    }
    std::string word(value);
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const std::pair<const char*, WeftLogLevel> kNames[] = {
        {"trace", TRACE},     {"debug", DEBUG}, {"info", INFO},
        {"warning", WARNING}, {"error", ERROR}, {"fatal", FATAL},
    };
    bool matched = false;
    for (const auto& [name, named_level] : kNames) {
        if (word == name) {
            level = named_level;
            matched = true;
            break;
        }
    }
    if (!matched) {
        WEFT_LOG(WARNING) << "Unrecognized setting of WEFT_BACKEND_LOG_LEVEL=" << value;
    }
    WEFT_LOG(INFO) << "Set weft log level from environment variable WEFT_BACKEND_LOG_LEVEL"
                   << " to " << static_cast<int>(level);
}

void WeftLog::ReadRotationLimitsFromEnvironment() {
    // A value that reads as 0 (or as no number) keeps the limit; a negative
    // one would reach the sink as a huge unsigned size, so it is ignored too.
    // One above what the sink takes is refused here, so that the operator
    // learns which setting to mend rather than that the log cannot open.
    auto read_limit = [](const char* variable, long long most, std::int64_t& limit) {
        const char* value = std::getenv(variable);
        if (value == nullptr) {
            return;
        }
        long long number = std::strtoll(value, nullptr, 10);
        if (number > most) {
            throw std::invalid_argument(std::string(variable) + "=" + value +
                                        " is above the most the log rotation takes, " +
                                        std::to_string(most));
        }
        if (number > 0) {
            limit = number;
        }
    };
    constexpr long long kMostBackups = 200000;  // the rotating sink's own bound
    read_limit("WEFT_ROTATION_MAX_BYTES", std::numeric_limits<long long>::max(),
               log_rotation_max_size_);
    read_limit("WEFT_ROTATION_BACKUP_COUNT", kMostBackups, log_rotation_file_num_);
}

void WeftLog::StartFileLogger(bool pid_in_file_name) {
    const long number = pid_in_file_name ? static_cast<long>(getpid()) : kFileNameNumberWithoutPid;
    ReadRotationLimitsFromEnvironment();

    spdlog::set_formatter(MakeLineFormatter(log_format_pattern_));
    spdlog::set_level(static_cast<spdlog::level::level_enum>(severity_threshold_));
    if (spdlog::get(logger_name_) != nullptr) {
        spdlog::drop(logger_name_);
    }

    const std::string path = log_dir_ + app_name_ + "_" + std::to_string(number) + ".log";
    std::cout << "\n\nLog at: " << path << "\n" << std::flush;

    spdlog::file_event_handlers handlers;
    handlers.after_open = SetCloseOnExec;
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        path, static_cast<std::size_t>(log_rotation_max_size_),
        static_cast<std::size_t>(log_rotation_file_num_), false, handlers);
    auto logger = std::make_shared<spdlog::logger>(logger_name_, std::move(sink));
    spdlog::initialize_logger(logger);
    spdlog::set_default_logger(logger);
}

void WeftLog::StartConsoleLogger() {
    const auto threshold = static_cast<spdlog::level::level_enum>(severity_threshold_);
    auto out_sink =
        std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(spdlog::color_mode::automatic);
    auto err_sink =
        std::make_shared<spdlog::sinks::ansicolor_stderr_sink_mt>(spdlog::color_mode::automatic);
    out_sink->set_formatter(MakeLineFormatter(log_format_pattern_));
    err_sink->set_formatter(MakeLineFormatter(log_format_pattern_));
    out_sink->set_level(threshold);
    err_sink->set_level(spdlog::level::err);
    auto logger = std::make_shared<spdlog::logger>(
        logger_name_, spdlog::sinks_init_list{std::move(out_sink), std::move(err_sink)});
    logger->set_level(threshold);
    spdlog::set_default_logger(logger);
}

void WeftLog::StartWeftLog(const std::string& app_name, WeftLogLevel severity_threshold,
                           const std::string& log_dir, bool pid_in_file_name) {
    WeftLogLevel level = severity_threshold;
    ApplyLevelFromEnvironment(level);
    severity_threshold_ = level;
    app_name_ = app_name;
    log_dir_ = log_dir;
    if (log_dir_.empty()) {
        StartConsoleLogger();
    } else {
        StartFileLogger(pid_in_file_name);
    }
}

// ---- Failure signals and shutdown ----

bool WeftLog::IsFailureSignalHandlerEnabled() { return is_failure_signal_handler_installed_; }

void WeftLog::UninstallSignalAction() {
    if (!is_failure_signal_handler_installed_) {
        return;
    }
    WEFT_LOG(DEBUG) << "Uninstall signal handlers.";
    struct sigaction sig_action = {};
    sig_action.sa_handler = SIG_DFL;
    sigemptyset(&sig_action.sa_mask);
    sig_action.sa_flags = 0;
    for (int signal_num : kFailureSignals) {
        if (sigaction(signal_num, &sig_action, nullptr) != 0) {
            WeftLog(__FILE__, __LINE__, FATAL)
                << " Check failed: sigaction(signal_num, &sig_action, nullptr) == 0 ";
        }
    }
    is_failure_signal_handler_installed_ = false;
}

void WeftLog::ShutDownWeftLog() {
    UninstallSignalAction();
    FlushDefaultLogger();
}

void WeftLog::AddFatalLogCallbacks(const std::vector<FatalLogCallback>& callbacks) {
    fatal_log_callbacks_.insert(fatal_log_callbacks_.end(), callbacks.begin(), callbacks.end());
}

void WriteFailureMessage(const char* data) {
    // An empty text has no last character to drop: it is logged as empty.
    if (data != nullptr && WeftLog::IsLevelEnabled(ERROR)) {
        std::string text(data);
        if (!text.empty()) {
            text.pop_back();
        }
        WeftLog(__FILE__, __LINE__, ERROR) << text;
    }
    FlushDefaultLogger();
}

// ---- Named loggers ----

namespace {

constexpr std::size_t kNamedLogMaxBytes = 5242880;
constexpr std::size_t kNamedLogBackupFiles = 3;
constexpr const char* kNamedLogPattern = "%v";
constexpr const char* kSwitchFileExtension = ".cnf";
constexpr const char* kNamedLogExtension = ".log";
constexpr double kSwitchedOff = 0.0;

constexpr int kBoxWidth = 80;
constexpr const char* kTimeBoxFormat = "\n┌{0:─^{2}}┐\n│{1: ^{2}}│\n└{0:─^{2}}┘\n";
constexpr const char* kGitInfoBoxFormat = "\n┌{0:─^{2}}┐\n│{1: ^{2}}│\n│{3: ^{2}}│\n└{0:─^{2}}┘\n";
constexpr std::size_t kPlainRuleWidth = 79;

}  // namespace

std::shared_ptr<spdlog::logger> get_logger_st(const std::string& config_dir,
                                              const std::string& base_name, short first_id,
                                              short second_id) {
    std::string name = base_name;
    double family_switch = kSwitchedOff;
    double instance_switch = kSwitchedOff;
    {
        // Saved when this scope ends, so the entries just added are on disk
        // before the logger is created.
        ConfigFile switches(config_dir + "/" + name + kSwitchFileExtension);
        family_switch = switches.Value(base_name, base_name, kSwitchedOff);
        if (first_id != 0 || second_id != 0) {
            name = fmt::format("{}_{}_{}", base_name, first_id, second_id);
        }
        instance_switch = switches.Value(base_name, name, kSwitchedOff);
    }
    if (instance_switch > 0 || family_switch > 0) {
        return get_logger_st_internal(name, config_dir + "/" + name + kNamedLogExtension);
    }
    return nullptr;
}

std::shared_ptr<spdlog::logger> get_logger_st_internal(const std::string& logger_name,
                                                       const std::string& file_path) {
    if (auto existing = spdlog::get(logger_name); existing != nullptr) {
        return existing;
    }
    spdlog::file_event_handlers handlers;
    handlers.after_open = SetCloseOnExec;
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_st>(
        file_path, kNamedLogMaxBytes, kNamedLogBackupFiles, false, handlers);
    auto logger = std::make_shared<spdlog::logger>(logger_name, std::move(sink));
    spdlog::initialize_logger(logger);
    logger->set_pattern(kNamedLogPattern, spdlog::pattern_time_type::local);
    return logger;
}

void write_header(std::shared_ptr<spdlog::logger> logger, const std::string& header_text) {
    if (logger == nullptr) {
        return;
    }
    logger->info("{}", printable_current_time());
    logger->info("{}", header_text);
}

void write_log(std::shared_ptr<spdlog::logger> logger, const std::string& text) {
    if (logger == nullptr) {
        return;
    }
    logger->info("{}", text);
    logger->flush();
}

std::string get_current_time_str() {
    return fmt::format("UTC: {:%Y-%m-%d %H:%M:%S}", fmt::gmtime(std::time(nullptr)));
}

std::string printable_current_time() {
    return fmt::format(fmt::runtime(kTimeBoxFormat), "", get_current_time_str(), kBoxWidth);
}

std::string printable_git_info(const std::string& git_info) {
    return fmt::format(fmt::runtime(kGitInfoBoxFormat), "", get_current_time_str(), kBoxWidth,
                       git_info);
}

std::string printable_git_info_safe(const std::string& git_info) {
    const std::string rule = "\n" + std::string(kPlainRuleWidth, '-') + "\n";
    return rule + git_info + "\n" + get_current_time_str() + rule;
}

}  // namespace weft
