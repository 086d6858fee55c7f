// Log statements before start-up: they reach standard error through the
// fallback logger, in the library's line shape.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iomanip>
#include <locale>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "logging/logging.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const char kLinePrefix[] = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} )";

std::string line_pattern(char letter, const std::string& text) {
    return std::string("^") + kLinePrefix + letter + " " + std::to_string(getpid()) + R"( \d+\] )" +
           text + "\n$";
}

TEST(LogStatement, LineShapeAndLevelLetters) {
    struct Case {
        weft::WeftLogLevel level;
        char letter;
    } cases[] = {{weft::INFO, 'I'}, {weft::WARNING, 'W'}, {weft::ERROR, 'E'}};
    for (const Case& c : cases) {
        CaptureStderr();
        weft::WeftLog("dir/sub/source_file.cpp", 42, c.level) << "value " << 7 << ' ' << 2.5;
        std::string out = GetCapturedStderr();
        EXPECT_TRUE(std::regex_match(
            out, std::regex(line_pattern(c.letter, R"(source_file\.cpp:42: value 7 2\.5)"))))
            << out;
    }
}

// The process id is not asked of the kernel for every line; a child of fork
// still shows its own.
TEST(LogStatement, ChildOfForkShowsItsOwnProcessId) {
    CaptureStderr();
    weft::WeftLog("a.cpp", 1, weft::INFO) << "parent";
    const pid_t child = fork();
    if (child == 0) {
        weft::WeftLog("a.cpp", 2, weft::INFO) << "child";
        _exit(0);
    }
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    const std::string out = GetCapturedStderr();
    EXPECT_NE(out.find(" I " + std::to_string(getpid()) + " "), std::string::npos) << out;
    EXPECT_NE(out.find(" I " + std::to_string(child) + " "), std::string::npos) << out;
}

TEST(LogStatement, MacroUsesOwnFileAndLine) {
    CaptureStderr();
    WEFT_LOG(INFO) << "through the macro";
    const int line = __LINE__ - 1;
    std::string out = GetCapturedStderr();
    EXPECT_NE(out.find("log_statement_test.cpp:" + std::to_string(line) + ": through the macro\n"),
              std::string::npos)
        << out;
}

TEST(LogStatement, FileNameWithoutSlashIsShownWhole) {
    CaptureStderr();
    weft::WeftLog("plain.cpp", 1, weft::INFO) << "x";
    EXPECT_NE(GetCapturedStderr().find("] plain.cpp:1: x\n"), std::string::npos);
}

TEST(LogStatement, BelowThresholdWritesNothingAndBuildsNothing) {
    EXPECT_FALSE(weft::WeftLog::IsLevelEnabled(weft::DEBUG));
    EXPECT_TRUE(weft::WeftLog::IsLevelEnabled(weft::INFO));
    int evaluated = 0;
    auto side_effect = [&evaluated] { return ++evaluated; };
    CaptureStderr();
    WEFT_LOG(DEBUG) << "hidden " << side_effect();
    WEFT_LOG(TRACE) << "hidden";
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(evaluated, 0);

    // Built anyway, a disabled statement still writes nothing.
    CaptureStderr();
    {
        weft::WeftLog statement("a.cpp", 1, weft::DEBUG);
        EXPECT_FALSE(statement.IsEnabled());
        statement << "hidden";
    }
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(LogStatement, BracesAreWrittenLiterally) {
    CaptureStderr();
    WEFT_LOG(INFO) << "{} and {0} and {:>5}";
    EXPECT_NE(GetCapturedStderr().find(": {} and {0} and {:>5}\n"), std::string::npos);
}

TEST(LogStatement, NullTextDropsTheRestButCompletes) {
    CaptureStderr();
    const char* missing = nullptr;
    weft::WeftLog("n.cpp", 3, weft::INFO) << "before " << missing << " after";
    std::string out = GetCapturedStderr();
    EXPECT_NE(out.find("n.cpp:3: before \n"), std::string::npos) << out;
}

TEST(LogStatement, PatternAndLoggerName) {
    EXPECT_EQ(weft::WeftLog::GetLogFormatPattern(), "[%Y-%m-%d %H:%M:%S,%e %L %P %t] %v");
    EXPECT_EQ(weft::WeftLog::GetLoggerName(), "weft_log_sink");
}

// ---- Statements one after another on one thread ----

// The text that a statement streaming `<< 255 << ' ' << 1.0 / 3 << ...` writes
// when its stream is new, whatever the statement before it did.
std::string as_new_stream_formats() {
    std::ostringstream fresh;
    fresh << 255 << ' ' << 1.0 / 3 << ' ' << true << " [" << std::setw(4) << 7 << "] " << 1234567;
    return fresh.str();
}

void log_plain_values() {
    weft::WeftLog("plain.cpp", 2, weft::INFO)
        << 255 << ' ' << 1.0 / 3 << ' ' << true << " [" << std::setw(4) << 7 << "] " << 1234567;
}

// Groups digits in threes, so a line shows which locale formatted it.
struct ThousandsGrouping : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(LogStatement, NothingOfAStatementCarriesIntoTheNext) {
    const std::locale grouping(std::locale::classic(), new ThousandsGrouping);
    struct Case {
        const char* what;
        void (*statement)(const std::locale&);
    } cases[] = {
        {"hex, showbase, uppercase",
         [](const std::locale&) {
             WEFT_LOG(INFO) << std::hex << std::showbase << std::uppercase << 255;
         }},
        {"fill, left, width left over",
         [](const std::locale&) {
             WEFT_LOG(INFO) << std::setfill('*') << std::left << std::setw(9);
         }},
        {"fixed, precision",
         [](const std::locale&) {
             WEFT_LOG(INFO) << std::fixed << std::setprecision(2) << 1.0 / 3;
         }},
        {"boolalpha", [](const std::locale&) { WEFT_LOG(INFO) << std::boolalpha << true; }},
        {"null text (bad state)",
         [](const std::locale&) { WEFT_LOG(INFO) << static_cast<const char*>(nullptr); }},
        {"imbued locale",
         [](const std::locale& locale) {
             weft::WeftLog statement("imbue.cpp", 1, weft::INFO);
             statement.Stream().imbue(locale);
             statement << 1234567;
         }},
        {"a long line", [](const std::locale&) { WEFT_LOG(INFO) << std::string(10000, 'x'); }},
    };
    for (const Case& c : cases) {
        CaptureStderr();
        c.statement(grouping);
        log_plain_values();
        const std::string out = GetCapturedStderr();
        const std::string last_line = out.substr(out.rfind("] plain.cpp:2: "));
        EXPECT_EQ(last_line, "] plain.cpp:2: " + as_new_stream_formats() + "\n") << c.what;
    }
}

TEST(LogStatement, FollowsTheGlobalLocaleAsANewStreamDoes) {
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new ThousandsGrouping));
    CaptureStderr();
    weft::WeftLog("g.cpp", 1000, weft::INFO) << 1234567;
    std::locale::global(previous);
    weft::WeftLog("g.cpp", 2000, weft::INFO) << 1234567;
    const std::string out = GetCapturedStderr();
    // The line number too, as a new stream would write it.
    EXPECT_NE(out.find("g.cpp:1,000: 1,234,567\n"), std::string::npos) << out;
    EXPECT_NE(out.find("g.cpp:2000: 1234567\n"), std::string::npos) << out;
}

// Printing this logs a statement of its own in the middle of another one.
struct LogsWhenPrinted {};

std::ostream& operator<<(std::ostream& out, const LogsWhenPrinted&) {
    weft::WeftLog("inner.cpp", 5, weft::INFO) << "inner " << 2;
    return out << "middle";
}

TEST(LogStatement, StatementInsideAStatementKeepsBothLinesWhole) {
    CaptureStderr();
    weft::WeftLog("outer.cpp", 4, weft::INFO) << "outer " << LogsWhenPrinted() << " end";
    log_plain_values();
    const std::string out = GetCapturedStderr();
    const std::size_t inner = out.find("] inner.cpp:5: inner 2\n");
    const std::size_t outer = out.find("] outer.cpp:4: outer middle end\n");
    ASSERT_NE(inner, std::string::npos) << out;
    ASSERT_NE(outer, std::string::npos) << out;
    EXPECT_LT(inner, outer);
    EXPECT_NE(out.find("] plain.cpp:2: " + as_new_stream_formats() + "\n"), std::string::npos);
}

struct LogsAtThreadExit {
    ~LogsAtThreadExit() { weft::WeftLog("exit.cpp", 6, weft::INFO) << "at thread exit " << 3; }
};

TEST(LogStatement, WritesFromThreadExitAfterTheThreadsOwnStateIsGone) {
    CaptureStderr();
    std::thread([] {
        // Built before the thread's first statement, so destroyed after
        // everything that statement set up for the thread.
        thread_local LogsAtThreadExit logs_at_exit;
        (void)&logs_at_exit;
        weft::WeftLog("exit.cpp", 7, weft::INFO) << "in thread";
    }).join();
    const std::string out = GetCapturedStderr();
    EXPECT_NE(out.find("] exit.cpp:7: in thread\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] exit.cpp:6: at thread exit 3\n"), std::string::npos) << out;
}

// ---- FATAL ends the process ----

void fatal_with_callbacks() {
    weft::WeftLog::AddFatalLogCallbacks({[](const std::string& label, const std::string& text) {
        fprintf(stderr, "first<%s|%s>\n", label.c_str(), text.c_str());
    }});
    weft::WeftLog::AddFatalLogCallbacks({[](const std::string& label, const std::string&) {
        fprintf(stderr, "second<%s>\n", label.c_str());
    }});
    weft::WeftLog("src/deep/fatal_source.cpp", 9, weft::FATAL) << "boom " << 1;
}

TEST(LogStatementDeathTest, FatalWritesBannerRunsCallbacksInOrderAndExits) {
    EXPECT_EXIT(fatal_with_callbacks(), testing::ExitedWithCode(1),
                "C [0-9]+ [0-9]+\\] fatal_source.cpp:9: boom 1\n"
                "\\*\\*\\* StackTrace Information \\*\\*\\*\n\n"
                "first<WEFT_FATAL_CHECK_FAILED\\|src/deep/fatal_source.cpp:9:boom 1\n"
                "\\*\\*\\* StackTrace Information \\*\\*\\*\n>\n"
                "second<WEFT_FATAL_CHECK_FAILED>\n$");
}

TEST(LogStatementDeathTest, FatalWithoutCallbacksStillExits) {
    EXPECT_EXIT(WEFT_LOG(FATAL) << "stop", testing::ExitedWithCode(1), ": stop\n");
}

TEST(LogStatementDeathTest, UnsupportedLevelIsFatal) {
    EXPECT_EXIT(weft::WeftLog("x.cpp", 1, static_cast<weft::WeftLogLevel>(7)) << "never",
                testing::ExitedWithCode(1),
                "C [0-9]+ [0-9]+\\] logging.cpp:[0-9]+: Unsupported logging level: 7\n");
}

}  // namespace
