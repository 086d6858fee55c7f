// Logging start-up: file and console modes, the environment overrides, and
// where lines go afterwards. Each test runs in its own process (CTest runs
// every test case separately), so global logging state does not leak.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "logging/logging.h"
#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;
using skein_test::TempDir;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class LogStartup : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"WEFT_BACKEND_LOG_LEVEL", "WEFT_ROTATION_MAX_BYTES", "WEFT_ROTATION_BACKUP_COUNT"}) {
            unsetenv(name);
        }
    }
    TempDir dir_;
};

TEST_F(LogStartup, FileModeWritesServiceLogFileAndAnnouncesIt) {
    CaptureStdout();
    CaptureStderr();
    weft::WeftLog::StartWeftLog("skein_edge_updater", weft::INFO, "./logs/update_logs/", false);
    WEFT_LOG(INFO) << "into the file";
    WEFT_LOG(DEBUG) << "below the threshold";
    EXPECT_EQ(GetCapturedStdout(), "\n\nLog at: ./logs/update_logs/skein_edge_updater_100.log\n");
    EXPECT_EQ(GetCapturedStderr(), "");
    std::string content = read_file("logs/update_logs/skein_edge_updater_100.log");
    EXPECT_NE(content.find(" I "), std::string::npos);
    EXPECT_NE(content.find("log_startup_test.cpp:"), std::string::npos);
    EXPECT_NE(content.find(": into the file\n"), std::string::npos);
    EXPECT_EQ(content.find("below the threshold"), std::string::npos);
}

TEST_F(LogStartup, FileNameCarriesPidWhenAskedAndJoinsDirectoryVerbatim) {
    CaptureStdout();
    weft::WeftLog::StartWeftLog("app", weft::INFO, "logs", true);
    GetCapturedStdout();
    EXPECT_TRUE(fs::exists("logsapp_" + std::to_string(getpid()) + ".log"));
}

TEST_F(LogStartup, SecondFileModeStartReplacesTheLogger) {
    CaptureStdout();
    weft::WeftLog::StartWeftLog("one", weft::INFO, "a/", false);
    weft::WeftLog::StartWeftLog("two", weft::INFO, "b/", false);
    GetCapturedStdout();
    WEFT_LOG(INFO) << "second";
    EXPECT_EQ(read_file("a/one_100.log").find("second"), std::string::npos);
    EXPECT_NE(read_file("b/two_100.log").find("second"), std::string::npos);
}

TEST_F(LogStartup, LevelFromEnvironmentIsReportedOnTheFallbackLogger) {
    setenv("WEFT_BACKEND_LOG_LEVEL", "DEBUG", 1);
    CaptureStdout();
    CaptureStderr();
    weft::WeftLog::StartWeftLog("app", weft::INFO, "logs/", false);
    GetCapturedStdout();
    EXPECT_NE(GetCapturedStderr().find(
                  "Set weft log level from environment variable WEFT_BACKEND_LOG_LEVEL to -1\n"),
              std::string::npos);
    EXPECT_TRUE(weft::WeftLog::IsLevelEnabled(weft::DEBUG));
    EXPECT_FALSE(weft::WeftLog::IsLevelEnabled(weft::TRACE));
}

class UnrecognisedLevel : public LogStartup, public testing::WithParamInterface<const char*> {};

TEST_P(UnrecognisedLevel, IsQuotedAsSetAndIgnored) {
    setenv("WEFT_BACKEND_LOG_LEVEL", GetParam(), 1);
    CaptureStderr();
    weft::WeftLog::StartWeftLog("app", weft::ERROR, "", false);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find(std::string("Unrecognized setting of WEFT_BACKEND_LOG_LEVEL=") + GetParam() +
                       "\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("WEFT_BACKEND_LOG_LEVEL to 2\n"), std::string::npos) << err;
    EXPECT_LT(err.find(" W "), err.find(" I ")) << err;
    EXPECT_FALSE(weft::WeftLog::IsLevelEnabled(weft::WARNING));
    EXPECT_TRUE(weft::WeftLog::IsLevelEnabled(weft::ERROR));
}

INSTANTIATE_TEST_SUITE_P(Values, UnrecognisedLevel, testing::Values("warn", " info"));

TEST_F(LogStartup, RotationLimitsFromEnvironment) {
    setenv("WEFT_ROTATION_MAX_BYTES", "1024", 1);
    setenv("WEFT_ROTATION_BACKUP_COUNT", "2", 1);
    CaptureStdout();
    weft::WeftLog::StartWeftLog("rot", weft::INFO, "logs/", false);
    GetCapturedStdout();
    for (int i = 0; i < 200; ++i) {
        WEFT_LOG(INFO) << std::string(60, 'x');
    }
    EXPECT_TRUE(fs::exists("logs/rot_100.1.log"));
    EXPECT_TRUE(fs::exists("logs/rot_100.2.log"));
    EXPECT_FALSE(fs::exists("logs/rot_100.3.log"));
    EXPECT_LE(fs::file_size("logs/rot_100.log"), 1024u);
}

TEST_F(LogStartup, ZeroTextAndNegativeRotationValuesAreIgnored) {
    setenv("WEFT_ROTATION_MAX_BYTES", "-1", 1);
    setenv("WEFT_ROTATION_BACKUP_COUNT", "abc", 1);
    CaptureStdout();
    weft::WeftLog::StartWeftLog("neg", weft::INFO, "logs/", false);
    GetCapturedStdout();
    for (int i = 0; i < 100; ++i) {
        WEFT_LOG(INFO) << std::string(60, 'x');
    }
    EXPECT_FALSE(fs::exists("logs/neg_100.1.log"));
    EXPECT_GT(fs::file_size("logs/neg_100.log"), 6000u);
}

TEST_F(LogStartup, MoreBackupsThanTheSinkTakesNamesTheSetting) {
    setenv("WEFT_ROTATION_BACKUP_COUNT", "200001", 1);
    CaptureStdout();
    try {
        weft::WeftLog::StartWeftLog("many", weft::INFO, "logs/", false);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(),
                     "WEFT_ROTATION_BACKUP_COUNT=200001 is above the most the log rotation "
                     "takes, 200000");
    }
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(LogStartup, LogFileIsNotInheritedByCommands) {
    CaptureStdout();
    weft::WeftLog::StartWeftLog("cloexec", weft::INFO, "logs/", false);
    GetCapturedStdout();
    WEFT_LOG(INFO) << "open";
    const fs::path target = fs::canonical("logs/cloexec_100.log");
    int found = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) == target) {
            int fd = std::stoi(entry.path().filename().string());
            EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
            ++found;
        }
    }
    EXPECT_EQ(found, 1);
}

TEST_F(LogStartup, ConsoleModeSendsErrorsToBothStreams) {
    CaptureStdout();
    CaptureStderr();
    weft::WeftLog::StartWeftLog("console", weft::INFO, "", false);
    WEFT_LOG(INFO) << "progress";
    WEFT_LOG(ERROR) << "failure";
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();
    EXPECT_NE(out.find(": progress\n"), std::string::npos);
    EXPECT_NE(out.find(": failure\n"), std::string::npos);
    EXPECT_EQ(err.find("progress"), std::string::npos);
    EXPECT_NE(err.find(": failure\n"), std::string::npos);
    EXPECT_EQ(out.find("Log at"), std::string::npos);
    EXPECT_FALSE(fs::exists("logs"));
}

}  // namespace
