// Named loggers switched by .cnf files, their bare lines, and the boxed
// time headers. Each test runs in its own process under CTest, so loggers
// registered and start-up done by one test do not reach another (the names
// differ anyway, so the program also passes when run whole).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "logging/logging.h"
#include "spdlog/spdlog.h"
#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;
using skein_test::TempDir;
using skein_test::write_file;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class NamedLogger : public testing::Test {
  protected:
    // get_logger_st on the directory "cfg", with the saving message it may
    // print kept out of the test's output.
    static std::shared_ptr<spdlog::logger> get(const std::string& base_name, short first_id,
                                               short second_id) {
        CaptureStdout();
        auto logger = weft::get_logger_st("cfg", base_name, first_id, second_id);
        saved_ = GetCapturedStdout();
        return logger;
    }

    static void switches(const std::string& base_name, const std::string& entries) {
        fs::create_directories("cfg");
        write_file("cfg/" + base_name + ".cnf", "[" + base_name + "]\n" + entries);
    }

    static std::string saved_;
    TempDir dir_;
};

std::string NamedLogger::saved_;

TEST_F(NamedLogger, FirstCallAddsTheSwitchesSwitchedOff) {
    EXPECT_EQ(get("decoder", 0, 0), nullptr);
    EXPECT_EQ(saved_, "Saving configuration file to cfg/decoder.cnf\n");
    EXPECT_EQ(read_file("cfg/decoder.cnf"), "[decoder]\n\ndecoder = 0\n\n");

    EXPECT_EQ(get("decoder", 3, 1), nullptr);
    EXPECT_EQ(read_file("cfg/decoder.cnf"), "[decoder]\n\ndecoder = 0\ndecoder_3_1 = 0\n\n");

    EXPECT_EQ(get("decoder", 3, 1), nullptr);
    EXPECT_EQ(saved_, "") << "a complete file is not rewritten";
    EXPECT_FALSE(fs::exists("cfg/decoder.log"));
    EXPECT_FALSE(fs::exists("cfg/decoder_3_1.log"));
}

TEST_F(NamedLogger, FamilySwitchWithoutIds) {
    switches("decoder", "decoder = 1\n");
    auto logger = get("decoder", 0, 0);
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->name(), "decoder");
    weft::write_log(logger, "family line");
    EXPECT_EQ(read_file("cfg/decoder.log"), "family line\n");
    EXPECT_EQ(saved_, "");
}

TEST_F(NamedLogger, FamilySwitchCoversEveryInstance) {
    switches("decoder", "decoder = 1\n");
    auto logger = get("decoder", 3, 1);
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->name(), "decoder_3_1");
    weft::write_log(logger, "instance line");
    EXPECT_EQ(read_file("cfg/decoder_3_1.log"), "instance line\n");
    EXPECT_FALSE(fs::exists("cfg/decoder.log"));
    EXPECT_EQ(read_file("cfg/decoder.cnf"), "[decoder]\n\ndecoder = 1\ndecoder_3_1 = 0\n\n");
}

TEST_F(NamedLogger, InstanceSwitchAlone) {
    switches("decoder", "decoder = 0\ndecoder_3_1 = 0.5\ndecoder_-1_2 = 1\n");
    EXPECT_NE(get("decoder", 3, 1), nullptr);
    EXPECT_EQ(get("decoder", 3, 2), nullptr);
    auto signed_ids = get("decoder", -1, 2);
    ASSERT_NE(signed_ids, nullptr);
    EXPECT_EQ(signed_ids->name(), "decoder_-1_2");
    weft::write_log(signed_ids, "x");
    EXPECT_TRUE(fs::exists("cfg/decoder_-1_2.log"));
}

TEST_F(NamedLogger, OnlyValuesAboveZeroSwitchOn) {
    const struct {
        const char* value;
        bool on;
    } rows[] = {{"0", false},    {"-1", false},         {"abc", false}, {"", false},
                {"0.001", true}, {"2 # comment", true}, {"1e+06", true}};
    int row_number = 0;
    for (const auto& row : rows) {
        const std::string base = "s" + std::to_string(row_number++);
        switches(base, base + " = " + row.value + "\n");
        EXPECT_EQ(get(base, 0, 0) != nullptr, row.on) << '"' << row.value << '"';
    }
}

TEST_F(NamedLogger, RegisteredLoggerIsReusedUntilSwitchedOff) {
    switches("reused", "reused = 1\n");
    auto first = get("reused", 0, 0);
    auto other_path = weft::get_logger_st_internal("reused", "elsewhere.log");
    EXPECT_EQ(first, other_path);
    EXPECT_FALSE(fs::exists("elsewhere.log"));

    switches("reused", "reused = 0\n");
    EXPECT_EQ(get("reused", 0, 0), nullptr);
    weft::write_log(first, "still works");
    EXPECT_EQ(read_file("cfg/reused.log"), "still works\n");
}

TEST_F(NamedLogger, LinesAreBareAndHeadersWaitForTheNextFlush) {
    auto logger = weft::get_logger_st_internal("bare", "logs/bare.log");
    weft::write_header(logger, "header {} text");
    EXPECT_EQ(read_file("logs/bare.log"), "");
    weft::write_log(logger, "line with {} braces");
    const std::string content = read_file("logs/bare.log");
    const std::regex shape(
        "\n\xe2\x94\x8c(\xe2\x94\x80){80}\xe2\x94\x90\n"
        "\xe2\x94\x82 {28}UTC: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
        "{28}\xe2\x94\x82\n"
        "\xe2\x94\x94(\xe2\x94\x80){80}\xe2\x94\x98\n"
        "\n"
        "header \\{\\} text\n"
        "line with \\{\\} braces\n");
    EXPECT_TRUE(std::regex_match(content, shape)) << content;
}

TEST_F(NamedLogger, SwitchedOffLoggerIsAcceptedByTheWriters) {
    weft::write_header(nullptr, "nothing");
    weft::write_log(nullptr, "nothing");
    EXPECT_TRUE(fs::is_empty("."));
}

// ---- Interplay with the library's start-up ----

std::shared_ptr<spdlog::logger> start_then_get(weft::WeftLogLevel threshold,
                                               const std::string& name) {
    CaptureStdout();
    weft::WeftLog::StartWeftLog("app", threshold, "logs/", false);
    auto logger = weft::get_logger_st_internal(name, name + ".log");
    GetCapturedStdout();
    return logger;
}

TEST_F(NamedLogger, FatalThresholdDropsNamedLines) {
    auto logger = start_then_get(weft::FATAL, "dropping");
    weft::write_header(logger, "header");
    weft::write_log(logger, "line");
    EXPECT_EQ(read_file("dropping.log"), "");
}

TEST_F(NamedLogger, ErrorThresholdLetsNamedLinesPass) {
    auto logger = start_then_get(weft::ERROR, "passing");
    weft::write_log(logger, "line");
    EXPECT_EQ(read_file("passing.log"), "line\n");
}

TEST_F(NamedLogger, StartUpGivesEarlierLoggersTheLibraryPattern) {
    auto early = weft::get_logger_st_internal("early", "early.log");
    weft::write_log(early, "before");
    CaptureStdout();
    weft::WeftLog::StartWeftLog("app", weft::INFO, "logs/", false);
    GetCapturedStdout();
    weft::write_log(early, "after");
    const std::string content = read_file("early.log");
    EXPECT_TRUE(
        std::regex_match(content, std::regex("before\n\\[[^\\]]+ I [0-9]+ [0-9]+\\] after\n")))
        << content;
}

// ---- Header texts ----

const std::string kRule = [] {
    std::string rule;
    for (int i = 0; i < 80; ++i) {
        rule += "\xe2\x94\x80";  // U+2500
    }
    return rule;
}();
const std::string kSide = "\xe2\x94\x82";  // U+2502
const std::string kTop = "\n\xe2\x94\x8c" + kRule + "\xe2\x94\x90\n";
const std::string kBottom = "\xe2\x94\x94" + kRule + "\xe2\x94\x98\n";
const std::regex kTimeText("UTC: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");

// The time text inside a header, checked to lie between two readings of the
// clock taken around the call.
template <typename Make>
std::string time_in(const Make& make, std::string& made) {
    const std::string before = weft::get_current_time_str();
    made = make();
    const std::string after = weft::get_current_time_str();
    const std::string::size_type at = made.find("UTC: ");
    if (at == std::string::npos) {
        ADD_FAILURE() << "no time in " << made;
        return "";
    }
    const std::string time = made.substr(at, 24);
    EXPECT_LE(before, time);
    EXPECT_LE(time, after);
    return time;
}

TEST(HeaderText, CurrentTimeText) {
    const std::string time = weft::get_current_time_str();
    EXPECT_EQ(time.size(), 24u);
    EXPECT_TRUE(std::regex_match(time, kTimeText)) << time;
    std::tm now{};
    const std::time_t seconds = std::time(nullptr);
    gmtime_r(&seconds, &now);
    EXPECT_EQ(time.substr(5, 4), std::to_string(now.tm_year + 1900));
}

TEST(HeaderText, TimeBoxBytes) {
    std::string box;
    const std::string time = time_in([] { return weft::printable_current_time(); }, box);
    const std::string blanks(28, ' ');
    EXPECT_EQ(box, kTop + kSide + blanks + time + blanks + kSide + "\n" + kBottom);
}

TEST(HeaderText, GitInfoIsCentredWithTheOddColumnOnTheRight) {
    const struct {
        std::string info;
        std::string line;
    } rows[] = {
        {"abc", std::string(38, ' ') + "abc" + std::string(39, ' ')},
        {"v1.2.3", std::string(37, ' ') + "v1.2.3" + std::string(37, ' ')},
        {"", std::string(80, ' ')},
        {std::string(85, 'w'), std::string(85, 'w')},  // wider than the box: not cut
    };
    for (const auto& row : rows) {
        std::string box;
        const std::string time = time_in([&] { return weft::printable_git_info(row.info); }, box);
        const std::string blanks(28, ' ');
        EXPECT_EQ(box, kTop + kSide + blanks + time + blanks + kSide + "\n" + kSide + row.line +
                           kSide + "\n" + kBottom)
            << row.info;
    }
}

TEST(HeaderText, SafeGitInfoUsesPlainRules) {
    const std::string info(120, 'g');
    std::string text;
    const std::string time = time_in([&] { return weft::printable_git_info_safe(info); }, text);
    const std::string rule = "\n" + std::string(79, '-') + "\n";
    EXPECT_EQ(text, rule + info + "\n" + time + rule);
}

}  // namespace
