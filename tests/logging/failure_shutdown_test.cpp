// Failure signals and shutdown: uninstalling with nothing installed, the
// failure report text, the shutdown flush and the fatal callbacks.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <string>

#include "logging/logging.h"
#include "spdlog/spdlog.h"
#include "tests/common/temp_dir.h"

namespace {

using skein_test::read_file;
using skein_test::TempDir;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const int kFailureSignals[] = {SIGSEGV, SIGILL, SIGFPE, SIGABRT, SIGTERM};

void custom_handler(int) {}

class FailureShutdown : public testing::Test {
  protected:
    // File-mode start-up into logs/app_100.log.
    static void start(weft::WeftLogLevel threshold) {
        CaptureStdout();
        weft::WeftLog::StartWeftLog("app", threshold, "logs/", false);
        GetCapturedStdout();
    }

    static std::string log() { return read_file("logs/app_100.log"); }

    // A line written to the default logger without a flush: it reaches the
    // file only when someone flushes.
    static void write_pending(const std::string& text) {
        spdlog::default_logger()->critical(text);
        ASSERT_EQ(log().find(text), std::string::npos) << "the sink flushed by itself";
    }

    TempDir dir_;
};

TEST_F(FailureShutdown, NothingInstalledMeansNothingChanges) {
    struct sigaction custom = {};
    custom.sa_handler = custom_handler;
    sigemptyset(&custom.sa_mask);
    for (int signal_num : kFailureSignals) {
        ASSERT_EQ(sigaction(signal_num, &custom, nullptr), 0);
    }
    CaptureStdout();
    CaptureStderr();
    weft::WeftLog::StartWeftLog("console", weft::TRACE, "", false);
    weft::WeftLog::UninstallSignalAction();
    weft::WeftLog::ShutDownWeftLog();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(weft::WeftLog::IsFailureSignalHandlerEnabled());
    for (int signal_num : kFailureSignals) {
        struct sigaction current = {};
        ASSERT_EQ(sigaction(signal_num, nullptr, &current), 0);
        EXPECT_EQ(current.sa_handler, custom_handler) << signal_num;
    }
}

TEST_F(FailureShutdown, FailureMessageLosesItsLastCharacter) {
    start(weft::INFO);
    weft::WriteFailureMessage("abc\n");
    weft::WriteFailureMessage("no line feed");
    const std::string content = log();
    EXPECT_TRUE(
        std::regex_search(content, std::regex(R"( E [0-9]+ [0-9]+\] logging\.cpp:[0-9]+: abc\n)")))
        << content;
    EXPECT_NE(content.find(": no line fee\n"), std::string::npos) << content;
}

TEST_F(FailureShutdown, EmptyFailureMessageIsAnEmptyLine) {
    start(weft::INFO);
    weft::WriteFailureMessage("");
    EXPECT_TRUE(
        std::regex_search(log(), std::regex(R"( E [0-9]+ [0-9]+\] logging\.cpp:[0-9]+: \n$)")))
        << log();
}

TEST_F(FailureShutdown, DisabledOrNullFailureMessageOnlyFlushes) {
    start(weft::FATAL);
    write_pending("pending one");
    weft::WriteFailureMessage("hidden\n");
    EXPECT_NE(log().find("pending one"), std::string::npos);

    write_pending("pending two");
    weft::WriteFailureMessage(nullptr);
    const std::string content = log();
    EXPECT_NE(content.find("pending two"), std::string::npos);
    EXPECT_EQ(content.find("hidden"), std::string::npos);
}

TEST_F(FailureShutdown, ShutDownFlushesAndKeepsTheLogger) {
    start(weft::INFO);
    write_pending("pending");
    weft::WeftLog::ShutDownWeftLog();
    EXPECT_NE(log().find("pending"), std::string::npos);
    ASSERT_NE(spdlog::get("weft_log_sink"), nullptr);
    WEFT_LOG(INFO) << "after shutdown";
    EXPECT_NE(log().find(": after shutdown\n"), std::string::npos);
}

TEST_F(FailureShutdown, WithoutDefaultLoggerFlushingDoesNothing) {
    spdlog::set_default_logger(nullptr);
    weft::WeftLog::ShutDownWeftLog();
    weft::WriteFailureMessage(nullptr);
    SUCCEED();
}

// Callbacks run in registration order, across calls and within one call.
void fatal_after_three_callbacks() {
    auto say = [](const char* name) {
        return [name](const std::string&, const std::string&) { fprintf(stderr, "<%s>", name); };
    };
    weft::WeftLog::AddFatalLogCallbacks({say("first")});
    weft::WeftLog::AddFatalLogCallbacks({say("second"), say("third")});
    weft::WeftLog::AddFatalLogCallbacks({});
    WEFT_LOG(FATAL) << "stop";
}

TEST(FailureShutdownDeathTest, FatalCallbacksRunInRegistrationOrder) {
    EXPECT_EXIT(fatal_after_three_callbacks(), testing::ExitedWithCode(1),
                "<first><second><third>$");
}

}  // namespace
