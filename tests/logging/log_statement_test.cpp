// Log statements before start-up: they reach standard error through the
// fallback logger, in the library's line shape.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "logging/logging.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const char kLinePrefix[] = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} )";

std::string line_pattern(char letter, const std::string& text) {
    return std::string("^") + kLinePrefix + letter + R"( \d+ \d+\] )" + text + "\n$";
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
