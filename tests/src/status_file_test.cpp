// The status file: exact texts, whole replacement, and the fatal path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "src/record_files.h"
#include "src/utils.h"
#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;
using skein_test::TempDir;

class StatusFile : public testing::Test {
  protected:
    void SetUp() override { fs::create_directory("installation_details"); }
    TempDir dir_;
};

TEST_F(StatusFile, EachStatusWritesItsTextExactly) {
    const std::pair<int, const char*> cases[] = {
        {0, "Waiting for command"}, {1, "Update in progress"},   {2, "Update complete"},
        {3, "Update failed"},       {4, "Reboot initiated"},     {5, "Reboot failed"},
        {7, "Waiting for command"}, {-1, "Waiting for command"},
    };
    for (const auto& [value, text] : cases) {
        update_status_file(static_cast<Status>(value));
        EXPECT_EQ(read_file(kStatusFilePath), text) << value;
    }
}

TEST_F(StatusFile, ShorterTextLeavesNoTraceOfLonger) {
    update_status_file(UPDATE_IN_PROGRESS);
    update_status_file(UPDATE_FAILED);
    EXPECT_EQ(read_file(kStatusFilePath), "Update failed");
    EXPECT_EQ(fs::file_size(kStatusFilePath), 13u);
    EXPECT_FALSE(fs::exists(std::string(kStatusFilePath) + ".tmp"));
}

TEST_F(StatusFile, ConcurrentReaderNeverSeesEmptyOrMixedText) {
    update_status_file(WAITING_FOR_COMMAND);
    const std::set<std::string> valid = {"Waiting for command", "Update in progress",
                                         "Update complete", "Update failed"};
    std::atomic<bool> done{false};
    std::atomic<int> bad_reads{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done) {
            if (valid.count(read_file(kStatusFilePath)) == 0) {
                ++bad_reads;
            }
            ++reads;
        }
    });
    const Status cycle[] = {UPDATE_IN_PROGRESS, UPDATE_COMPLETE, UPDATE_FAILED,
                            WAITING_FOR_COMMAND};
    for (int i = 0; i < 400; ++i) {
        update_status_file(cycle[i % 4]);
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(bad_reads.load(), 0);
}

// A version record is replaced whole or left exactly as it was, with one
// line that says why; the status file falls back to its spare, and without
// one keeps its old text too.
TEST_F(StatusFile, RecordsKeepTheirOldContentOrTheStatusSwapsInItsSpare) {
    ASSERT_EQ(replace_file_atomically("installation_details/v.info", "1.0", 3), 0);
    // A directory in the way of the temporary file makes the replace fail.
    fs::create_directory("installation_details/v.info.tmp");
    EXPECT_EQ(replace_file_atomically("installation_details/v.info", "2.0", 3), EISDIR);

    const std::string kept =
        ": Could not replace installation_details/v.info (Is a directory); it "
        "keeps its old content\n";
    for (auto store : {store_record, store_status_record}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(store("installation_details/v.info", "2.0", 3), store == store_status_record);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_NE(log.find(" E "), std::string::npos) << log;
        EXPECT_NE(log.find(kept), std::string::npos) << log;
        EXPECT_EQ(read_file("installation_details/v.info"), "1.0");
    }

    // A status written while there was room left a spare, which a later one
    // takes over; the old text goes into the spare.
    fs::remove("installation_details/v.info.tmp");
    ASSERT_TRUE(store_status_record("installation_details/v.info", "1.5", 3));
    EXPECT_EQ(read_file("installation_details/.v.info.spare"), "1.5");
    fs::create_directory("installation_details/v.info.tmp");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(store_status_record("installation_details/v.info", "2.0!", 4));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Could not replace installation_details/v.info atomically (Is a directory); "
                  "swapped in its spare\n"),
              std::string::npos);
    EXPECT_EQ(read_file("installation_details/v.info"), "2.0!");
    EXPECT_EQ(read_file("installation_details/.v.info.spare"), "1.5");
}

// Links are followed to the file they end at, which is replaced; a link to
// a node that is not a regular file never turns it into one.
TEST_F(StatusFile, StoringThroughALinkReachesItsFileAndNeverReplacesANode) {
    fs::create_directory("elsewhere");
    skein_test::write_file("elsewhere/version.real", "1.0\n");
    fs::permissions("elsewhere/version.real",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("../elsewhere/version.real", kVersionFilePath);
    ASSERT_TRUE(store_record(kVersionFilePath, "2.0", 3));
    EXPECT_TRUE(fs::is_symlink(kVersionFilePath));
    EXPECT_EQ(read_file("elsewhere/version.real"), "2.0");
    EXPECT_EQ(fs::status("elsewhere/version.real").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // A dangling link: its file is made, complete.
    fs::create_symlink("../elsewhere/new.real", kPreviousVersionFilePath);
    ASSERT_TRUE(store_record(kPreviousVersionFilePath, "1.0", 3));
    EXPECT_EQ(read_file("elsewhere/new.real"), "1.0");

    // A FIFO nobody reads is left, with one line; a character device (a
    // private twin of /dev/null, where the test may make one) is written.
    ASSERT_EQ(mkfifo("elsewhere/fifo", 0600), 0);
    fs::create_symlink("../elsewhere/fifo", kPreviousVersionTempFilePath);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(store_record(kPreviousVersionTempFilePath, "1.0", 3));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Could not replace installation_details/previous_version_temp.info (No such "
                  "device or address); it keeps its old content"),
              std::string::npos);
    EXPECT_TRUE(fs::is_fifo("elsewhere/fifo"));
    if (mknod("elsewhere/null", S_IFCHR | 0666, makedev(1, 3)) == 0) {
        fs::create_symlink("../elsewhere/null", kStatusFilePath);
        testing::internal::CaptureStderr();
        update_status_file(UPDATE_COMPLETE);
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(fs::is_character_file("elsewhere/null"));
    }
}

// A service that may not give the file its owner replaces it all the same,
// keeping its mode, rather than failing over to a write in place.
TEST_F(StatusFile, NotRootReplacesARootOwnedStatusFileKeepingItsMode) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand the directory to another user";
    }
    skein_test::write_file(kStatusFilePath, "Update complete");
    fs::permissions(kStatusFilePath, fs::perms::owner_read | fs::perms::owner_write |
                                         fs::perms::group_read | fs::perms::others_read);
    ASSERT_EQ(chown("installation_details", 65534, 65534), 0);
    fs::permissions(".", fs::perms::others_exec, fs::perm_options::add);
    EXPECT_EXIT(
        {
            if (setgid(65534) != 0 || setuid(65534) != 0) {
                std::_Exit(2);
            }
            update_status_file(UPDATE_FAILED);
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
    struct stat info;
    ASSERT_EQ(stat(kStatusFilePath, &info), 0);
    EXPECT_EQ(read_file(kStatusFilePath), "Update failed");
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(info.st_uid, 65534u);
}

using StatusFileDeathTest = StatusFile;

TEST_F(StatusFileDeathTest, MissingDirectoryIsFatal) {
    fs::remove_all("installation_details");
    EXPECT_EXIT(update_status_file(UPDATE_COMPLETE), testing::ExitedWithCode(1),
                "E [0-9]+ [0-9]+\\] utils.cpp:[0-9]+: "
                "Error opening fileinstallation_details/status.info\n");
}

// ---- Version and status lines ----

TEST(FirstLine, IsTheFirstLineAsReadWithinTheBuffer) {
    TempDir dir;
    const std::string longest(kLineBufferSize - 1, 'x');
    struct Case {
        const char* what;
        std::string content;
        std::string line;
    } cases[] = {
        {"two lines", "1.2.3\nsecond\n", "1.2.3\n"},
        {"no line feed", "1.2.3", "1.2.3"},
        {"empty file", "", ""},
        {"carriage return kept", "1.2\r\nx", "1.2\r\n"},
        {"text stops at a NUL", std::string("1.2\0rest\n", 9), "1.2"},
        {"longer than the buffer", longest + "yz\n", longest},
        {"line feed just fits", longest.substr(1) + "\nnext", longest.substr(1) + "\n"},
        {"line feed just beyond", longest + "\nnext", longest},
    };
    for (const Case& c : cases) {
        skein_test::write_file("line.info", c.content);
        EXPECT_EQ(read_first_line("line.info"), std::optional<std::string>(c.line)) << c.what;
    }
    EXPECT_EQ(read_first_line("missing.info"), std::nullopt);
    // Opens, but yields no line.
    fs::create_directory("a_directory");
    EXPECT_EQ(read_first_line("a_directory"), std::optional<std::string>(""));
}

// ---- Start-up helpers ----

TEST(ExecutableDir, SplitsThePathAtTheName) {
    const char* name = "skein_edge_updater";
    struct Case {
        const char* path;
        int result;
        const char* dir;
    } cases[] = {
        {"/opt/box/skein_edge_updater", 0, "/opt/box/"},
        {"./skein_edge_updater", 0, "./"},
        {"skein_edge_updater", 0, ""},
        {"/opt/box/old_skein_edge_updater", 0, "/opt/box/old_"},
        {"/opt/box/updater", -1, "untouched"},
        {"short", -1, "untouched"},
        {"/opt/box/skein_edge_updater2", -1, "untouched"},
    };
    for (const Case& c : cases) {
        std::string path = c.path;
        char dir[64] = "untouched";
        EXPECT_EQ(getExecutableDir(path.data(), dir, name), c.result) << c.path;
        EXPECT_STREQ(dir, c.dir) << c.path;
    }
}

TEST(ExecutableDir, LongPathsFit) {
    std::string path = "/" + std::string(5000, 'd') + "/skein_edge_updater";
    std::string dir(path.size() + 1, '\0');
    ASSERT_EQ(getExecutableDir(path.data(), dir.data(), "skein_edge_updater"), 0);
    EXPECT_EQ(std::string(dir.c_str()), "/" + std::string(5000, 'd') + "/");
}

TEST(WorkingDirectories, MadeWithOwnerOnlyModeAndExistingOnesKept) {
    TempDir dir;
    skein_test::write_file("update_logs", "a file in the way");
    mode_t old_mask = umask(0);
    initialize_directories();
    umask(old_mask);
    EXPECT_TRUE(fs::is_regular_file("update_logs"));
    ASSERT_TRUE(fs::is_directory("installation_details"));
    EXPECT_EQ(fs::status("installation_details").permissions(), fs::perms::owner_all);
}

class RotateLogs : public testing::Test {
  protected:
    // Files named by age: f0 is the newest.
    void make_files(int count) {
        fs::create_directory("update_logs");
        const auto now = fs::file_time_type::clock::now();
        for (int i = 0; i < count; ++i) {
            fs::path file = fs::path("update_logs") / ("f " + std::to_string(i) + ".log");
            skein_test::write_file(file, "x");
            fs::last_write_time(file, now - std::chrono::minutes(i));
        }
    }
    std::set<std::string> names() {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator("update_logs")) {
            found.insert(entry.path().filename().string());
        }
        return found;
    }
    TempDir dir_;
};

TEST_F(RotateLogs, KeepsTheThreeNewestRegularFiles) {
    make_files(5);
    fs::create_directory("update_logs/old_dir");
    fs::last_write_time("update_logs/old_dir",
                        fs::file_time_type::clock::now() - std::chrono::hours(5));
    rotate_logs();
    EXPECT_EQ(names(), (std::set<std::string>{"f 0.log", "f 1.log", "f 2.log", "old_dir"}));
}

TEST_F(RotateLogs, FewFilesOrNoDirectoryChangeNothing) {
    rotate_logs();
    EXPECT_FALSE(fs::exists("update_logs"));
    make_files(2);
    rotate_logs();
    EXPECT_EQ(names().size(), 2u);
}

}  // namespace
