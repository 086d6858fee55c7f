// The built service under faults: clients that hold connections open idle,
// clients that reset before reading, and the service killed at random
// moments while updates arrive. Short by default; SKEIN_LONG_TESTS=1 for the
// long form.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "src/commands.h"
#include "tests/common/reliability.h"
#include "tests/common/service_sandbox.h"

namespace {

namespace fs = std::filesystem;
using skein_test::Clock;
using skein_test::exchange_outcome;
using skein_test::Outcome;
using skein_test::record_figure;
using skein_test::reply_text;
using skein_test::scaled;
using skein_test::ServiceSandbox;

const std::string kWaiting = reply_text("200 OK", "Waiting for command");
const std::string kFailedRead = reply_text("400 Bad Request", "Failed to read request");

class Faults : public testing::Test {
  protected:
    void SetUp() override {
        box_.write("Update_Skein_Edge.sh", "exit 0\n");
        box_.start();
        ASSERT_TRUE(box_.wait_until_serving()) << box_.errors();
    }
    ServiceSandbox box_;
};

// One host holds silent connections open and opens a new one as each is
// let go: the service reads them side by side, so /status is answered at
// once throughout, each silent one gets the failed-read reply at its idle
// limit, and past the bound on open connections the oldest goes first.
TEST_F(Faults, SilentClientsNeverHoldTheApi) {
    const long rounds = scaled(30, 100);
    for (long held : {10L, scaled(10, 64)}) {
        std::deque<std::pair<int, Clock::time_point>> silent;
        auto open_silent = [&] {
            silent.push_back({skein_test::connect_to_service(), Clock::now()});
            ASSERT_GE(silent.back().first, 0);
        };
        while (static_cast<long>(silent.size()) < held) {
            open_silent();
        }
        double worst = 0;
        for (long i = 0; i < rounds; ++i) {
            const auto begin = Clock::now();
            ASSERT_EQ(exchange_outcome("GET /status HTTP/1.1\r\n\r\n").reply, kWaiting);
            worst = std::max(worst, std::chrono::duration<double>(Clock::now() - begin).count());
            // Those the service has let go are answered and reopened.
            while (!silent.empty() &&
                   Clock::now() - silent.front().second > std::chrono::seconds(kIdleLimitSeconds)) {
                EXPECT_EQ(skein_test::read_to_eof(silent.front().first, std::chrono::seconds(3)),
                          kFailedRead);
                close(silent.front().first);
                silent.pop_front();
                open_silent();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (const auto& connection : silent) {
            close(connection.first);
        }
        // Functional bound only: the figure is the one to watch.
        EXPECT_LT(worst, kIdleLimitSeconds);
        record_figure("silent_connections_held", held);
        record_figure("worst_status_wait_ms", static_cast<long>(worst * 1000));
    }

    // Past the bound the oldest connection is let go at once.
    std::vector<int> crowd;
    const auto first_opened = Clock::now();
    for (int i = 0; i < 129; ++i) {
        crowd.push_back(skein_test::connect_to_service());
    }
    EXPECT_EQ(exchange_outcome("GET /status HTTP/1.1\r\n\r\n").reply, kWaiting);
    const std::string oldest = skein_test::read_to_eof(crowd.front(), std::chrono::seconds(2));
    if (Clock::now() - first_opened < std::chrono::seconds(kIdleLimitSeconds - 1)) {
        EXPECT_EQ(oldest, kFailedRead);
    }
    for (int fd : crowd) {
        close(fd);
    }
}

// Resets land before, during and after the service's read; the reply goes
// to a dead peer. The service must neither die nor stop answering.
TEST_F(Faults, ClientsThatResetBeforeReadingLeaveTheServiceServing) {
    const long clients = scaled(300, 5000);
    const std::string requests[] = {
        "",
        "GET /status HTTP/1.1\r\n\r\n",
        "GET /upd",
        "GET /version HTTP/1.1\r\n\r\n",
        "GET /update?version=reset HTTP/1.1\r\n\r\n",
    };
    long answered = 0;
    for (long i = 0; i < clients; ++i) {
        skein_test::send_and_reset(requests[i % 5]);
        // An answered client after every few resets keeps the listen
        // backlog (5) from overflowing, which would only slow the test.
        if (i % 4 == 3) {
            const Outcome outcome = exchange_outcome("GET /previousversion HTTP/1.1\r\n\r\n");
            ASSERT_TRUE(outcome.clean()) << i << ": " << skein_test::errno_name(outcome.error);
            ASSERT_EQ(outcome.reply.rfind("HTTP/1.1 ", 0), 0u) << outcome.reply;
            ++answered;
        }
    }
    ASSERT_TRUE(box_.running()) << box_.log();
    ASSERT_TRUE(box_.wait_for_content("installation_details/status.info", "Update complete"));
    EXPECT_EQ(exchange_outcome("GET /status HTTP/1.1\r\n\r\n").reply,
              reply_text("200 OK", "Update complete"));
    record_figure("resetting_clients", clients);
    record_figure("answered_in_between", answered);
}

// ---- Crash consistency ----

const std::set<std::string> kStatusTexts = {"Waiting for command", "Update in progress",
                                            "Update complete",     "Update failed",
                                            "Reboot initiated",    "Reboot failed"};

// Long and distinct, so that a torn or mixed file cannot pass for a value.
std::string crash_version(long round, long i) {
    const std::string tag = "r" + std::to_string(round) + "u" + std::to_string(i);
    std::string version = tag + "-";
    while (version.size() < 900) {
        version += tag;
    }
    return version;
}

// One round: updates arrive one after another until the service is killed
// at a random moment (start-up included). Every acknowledged version must
// be there afterwards, and every file must hold one complete value.
struct Round {
    std::vector<std::string> acknowledged;
    // Sent after the last acknowledgement: the service may have stored any
    // of them before it died.
    std::vector<std::string> unacknowledged;
};

Round updates_until_killed(ServiceSandbox& box, long round, std::chrono::microseconds kill_after) {
    Round result;
    const pid_t pid = box.pid();
    std::atomic<bool> killed{false};
    // The process stays unreaped until kill_now, so its pid cannot be reused.
    std::thread killer([pid, kill_after, &killed] {
        std::this_thread::sleep_for(kill_after);
        kill(pid, SIGKILL);
        killed = true;
    });
    const auto give_up = Clock::now() + std::chrono::seconds(10);
    for (long i = 0; Clock::now() < give_up; ++i) {
        const std::string version = crash_version(round, i);
        const std::string acknowledgement =
            reply_text("200 OK", "Update initiated with version " + version);
        result.unacknowledged.push_back(version);
        const Outcome outcome =
            exchange_outcome("GET /update?version=" + version + " HTTP/1.1\r\n\r\n");
        if (outcome.clean() && outcome.reply == acknowledgement) {
            result.acknowledged.push_back(version);
            result.unacknowledged.clear();
        } else if (killed) {
            break;
        } else if (outcome.error == ECONNREFUSED) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // still starting
        }
    }
    killer.join();
    box.kill_now();
    return result;
}

TEST(CrashConsistency, KilledWhileUpdatesArriveEveryFileHoldsOneCompleteValue) {
    const long rounds = scaled(15, 200);
    ServiceSandbox box;
    box.write("Update_Skein_Edge.sh", "exit 0\n");
    box.write("installation_details/version.info", "initial");
    std::set<std::string> every_version = {"initial"};
    std::string current = "initial";
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> kill_after_us(0, 250000);
    long acknowledged = 0;
    long killed_before_serving = 0;
    long files_checked = 0;

    for (long round = 0; round < rounds; ++round) {
        box.launch((box.box() / "skein_edge_updater").string());
        const Round result =
            updates_until_killed(box, round, std::chrono::microseconds(kill_after_us(random)));
        for (const std::string& version : result.acknowledged) {
            every_version.insert(version);
        }
        every_version.insert(result.unacknowledged.begin(), result.unacknowledged.end());
        acknowledged += static_cast<long>(result.acknowledged.size());
        killed_before_serving += result.acknowledged.empty() ? 1 : 0;
        if (!result.acknowledged.empty()) {
            current = result.acknowledged.back();
        }

        const std::string version = box.read("installation_details/version.info");
        ASSERT_TRUE(version == current || std::count(result.unacknowledged.begin(),
                                                     result.unacknowledged.end(), version) == 1)
            << "round " << round << ": version.info holds " << version.size()
            << " bytes: " << version.substr(0, 60);
        current = version;
        ++files_checked;
        for (const char* file : {"installation_details/previous_version.info",
                                 "installation_details/previous_version_temp.info"}) {
            if (fs::exists(box.file(file))) {
                ASSERT_EQ(every_version.count(box.read(file)), 1u)
                    << "round " << round << ": " << file << " holds "
                    << box.read(file).substr(0, 60);
                ++files_checked;
            }
        }
        if (fs::exists(box.file("installation_details/status.info"))) {
            ASSERT_EQ(kStatusTexts.count(box.read("installation_details/status.info")), 1u)
                << "round " << round << ": status.info holds ["
                << box.read("installation_details/status.info") << "]";
            ++files_checked;
        }
    }
    // A restart never met a port still held by the killed process.
    EXPECT_EQ(box.log().find("Bind Failed!!!"), std::string::npos);
    // And the box still starts and serves what it recorded.
    box.start();
    ASSERT_TRUE(box.wait_until_serving());
    EXPECT_EQ(exchange_outcome("GET /version HTTP/1.1\r\n\r\n").reply,
              reply_text("200 OK", "Current version: " + current));
    record_figure("kills", rounds);
    record_figure("updates_acknowledged", acknowledged);
    record_figure("kills_before_first_acknowledgement", killed_before_serving);
    record_figure("files_found_complete_after_kills", files_checked);
}

// The service is killed at a random instant while an update script starts
// (before its start is recorded, at the gate, or once it runs), and
// restarted each time. Every acknowledged update runs exactly once, in
// order, and never beside another update script or the container start
// script.
TEST(CrashConsistency, KilledAsUpdateScriptsStartEachRunsOnceAndAlone) {
    const long rounds = scaled(20, 200);
    ServiceSandbox box;
    // An update script takes the lock for itself, a start script shares
    // it with other start scripts: flock -n fails on an overlap.
    box.write("Update_Skein_Edge.sh",
              "exec 9>>lock; flock -n 9 || echo \"$0 $*\" >> overlaps\n"
              "echo \"$1\" >> runs\nsleep 0.02\n");
    box.write("start_containers.sh",
              "exec 9>>lock; flock -n -s 9 || echo \"$0 $*\" >> overlaps\nsleep 0.01\n");
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> kill_after_us(0, 3000);
    std::string expected_runs;
    long queued_at_kill = 0;
    for (long round = 0; round < rounds; ++round) {
        box.launch((box.box() / "skein_edge_updater").string());
        ASSERT_TRUE(box.wait_until_serving()) << round << box.errors();
        // Nothing ahead of it: the kill falls into this update's start.
        for (int i = 0; i < 500 && fs::exists(box.file(".pending_updates")); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const std::string version = "u" + std::to_string(round);
        ASSERT_EQ(exchange_outcome("GET /update?version=" + version + " HTTP/1.1\r\n\r\n").reply,
                  reply_text("200 OK", "Update initiated with version " + version));
        expected_runs += version + "\n";
        std::this_thread::sleep_for(std::chrono::microseconds(kill_after_us(random)));
        box.kill_now();
        const std::string pending = box.read(".pending_updates");
        queued_at_kill +=
            pending.find("add") != std::string::npos && pending.find("start") == std::string::npos;
    }
    box.start();
    ASSERT_TRUE(box.wait_until_serving());
    EXPECT_TRUE(box.wait_for_content("runs", expected_runs, std::chrono::seconds(30)));
    EXPECT_EQ(box.read("overlaps"), "");
    record_figure("kills_while_an_update_starts", rounds);
    record_figure("kills_before_the_start_was_recorded", queued_at_kill);
    const std::string overlaps = box.read("overlaps");
    record_figure("overlapping_scripts", std::count(overlaps.begin(), overlaps.end(), '\n'));
    record_figure("runs_as_acknowledged", box.read("runs") == expected_runs ? "yes" : "no");
}

// A small file system of its own under installation_details/, in a private
// mount namespace, so that the test can fill it.
class SmallFileSystem {
  public:
    explicit SmallFileSystem(const fs::path& dir) : dir_(dir) {
        fs::create_directories(dir_);
        mounted_ = unshare(CLONE_NEWNS) == 0 &&
                   mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k,mode=0700") == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) {
            umount2(dir_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }
    // Writes a filler file until no block is left (bounded by the size).
    void fill() const {
        std::FILE* filler = std::fopen((dir_ / "filler").c_str(), "w");
        const std::string block(4096, 'x');
        for (int i = 0; i < 64 && std::fwrite(block.data(), 1, block.size(), filler) > 0; ++i) {
            std::fflush(filler);
        }
        std::fclose(filler);
    }

  private:
    fs::path dir_;
    bool mounted_ = false;
};

// A full disk never takes the control API away, nor empties or tears a
// record: the status goes through the spare the service made while there
// was room; a version file that cannot be replaced keeps its old content,
// and none is made empty.
TEST(FullDisk, ServiceStartsAndUpdatesWithNoRoomLeft) {
    ServiceSandbox box;
    box.write("Update_Skein_Edge.sh", "exit 0\n");
    SmallFileSystem disk(box.file("installation_details"));
    if (!disk.mounted()) {
        GTEST_SKIP() << "no private mount namespace here: " << std::strerror(errno);
    }
    box.write("installation_details/version.info", "1.0\n");
    box.start();
    ASSERT_TRUE(box.wait_until_serving()) << box.errors();
    box.stop();
    box.write("installation_details/status.info", "Update complete");
    disk.fill();

    box.start();
    ASSERT_TRUE(box.wait_until_serving()) << box.errors();
    EXPECT_EQ(box.read("installation_details/status.info"), "Waiting for command");
    EXPECT_EQ(exchange_outcome("GET /update?version=2 HTTP/1.1\r\n\r\n").reply,
              reply_text("200 OK", "Update initiated with version 2"));
    EXPECT_TRUE(box.wait_for_content("installation_details/status.info", "Update complete"));
    EXPECT_TRUE(box.running());
    EXPECT_EQ(box.read("installation_details/version.info"), "1.0\n");
    EXPECT_EQ(exchange_outcome("GET /previousversion HTTP/1.1\r\n\r\n").reply,
              reply_text("404 Not Found", "Previous version file not found"));
    EXPECT_EQ(exchange_outcome("GET /rollback HTTP/1.1\r\n\r\n").reply,
              reply_text("404 Not Found", "Previous version temporary file not found"));
    const std::string log = box.log();
    EXPECT_NE(log.find("Could not replace installation_details/status.info atomically (No "
                       "space left on device); swapped in its spare"),
              std::string::npos);
    EXPECT_NE(log.find("Could not replace installation_details/version.info (No space left on "
                       "device); it keeps its old content"),
              std::string::npos);
}

}  // namespace
