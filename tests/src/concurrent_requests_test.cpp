// Requests handled while the workers of earlier requests still run: the
// listener's thread serves /update, /rollback, /reboot and /status one after
// another, workers overlap and set the status, and another thread reads the
// status under its lock. Under ThreadSanitizer
// (./scripts/test-sanitized.sh thread) any race among them fails the run.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "src/commands.h"
#include "tests/common/in_process_connection.h"
#include "tests/common/process_stats.h"
#include "tests/common/stub_commands.h"
#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;

std::string ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body;
}

Status locked_status() {
    pthread_mutex_lock(&status_mutex);
    Status status = current_status;
    pthread_mutex_unlock(&status_mutex);
    return status;
}

class ConcurrentRequests : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory("installation_details");
        // Versions starting with "fail" fail; the rest succeed.
        skein_test::write_file("Update_Skein_Edge.sh",
                               "case \"$1\" in fail*) exit 1 ;; esac\nexit 0\n");
        // Updates arrive faster than their scripts run: none may be refused.
        set_waiting_updates_limit(1000);
        // The log goes to standard error uncaptured, so that a sanitizer
        // report there is seen.
    }

    void TearDown() override { set_waiting_updates_limit(16); }

    skein_test::TempDir dir_;
    skein_test::StubCommands stubs_{dir_.path() / "bin"};
};

TEST_F(ConcurrentRequests, RoutesWorkersAndStatusReadersShareTheStatusSafely) {
    // A sanitizer runtime may start a helper thread along with the first
    // thread; have it running before the count that workers return to.
    std::thread([] {}).join();
    const std::size_t idle_threads = skein_test::thread_count();
    const std::set<std::string> status_texts = {"Waiting for command", "Update in progress",
                                                "Update complete",     "Update failed",
                                                "Reboot initiated",    "Reboot failed"};

    std::atomic<bool> reading{true};
    std::atomic<long> reads{0};
    std::thread reader([&] {
        while (reading) {
            EXPECT_EQ(status_texts.count(status_text(locked_status())), 1u);
            ++reads;
        }
    });

    constexpr int kRounds = 150;
    std::string last_version;
    for (int i = 0; i < kRounds; ++i) {
        const std::string version = (i % 3 == 0 ? "fail-" : "v-") + std::to_string(i);
        switch (i % 5) {
            case 0:
            case 1:
                ASSERT_EQ(skein_test::exchange_in_process("GET /update?version=" + version +
                                                          " HTTP/1.1\r\n\r\n"),
                          ok("Update initiated with version " + version));
                last_version = version;
                break;
            case 2:
                ASSERT_EQ(skein_test::exchange_in_process("GET /reboot HTTP/1.1\r\n\r\n"),
                          ok("Reboot initiated"));
                break;
            case 3: {
                // Read while workers rewrite the file: never empty, never mixed.
                const std::string reply =
                    skein_test::exchange_in_process("GET /status HTTP/1.1\r\n\r\n");
                ASSERT_EQ(reply.rfind(ok(""), 0), 0u) << reply;
                EXPECT_EQ(status_texts.count(reply.substr(ok("").size())), 1u) << reply;
                break;
            }
            default: {
                const std::string reply =
                    skein_test::exchange_in_process("GET /rollback HTTP/1.1\r\n\r\n");
                ASSERT_EQ(reply.rfind(ok("Rollback initiated to version "), 0), 0u) << reply;
                last_version = reply.substr(ok("Rollback initiated to version ").size());
            }
        }
    }
    reading = false;
    reader.join();
    ASSERT_TRUE(skein_test::wait_for_thread_count(idle_threads, std::chrono::seconds(30)))
        << "workers still running";
    // An emulator's own threads can make the count read low for a moment:
    // the status says when the last script has ended.
    for (int i = 0; i < 3000 && read_file(kStatusFilePath) == "Update in progress"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // The last update's script decided; file and memory agree on it.
    // (Taking the lock here also orders every worker's last step before
    // the end of the test, for ThreadSanitizer.)
    EXPECT_EQ(read_file(kStatusFilePath), status_text(locked_status()));
    EXPECT_EQ(read_file(kStatusFilePath),
              last_version.rfind("fail", 0) == 0 ? "Update failed" : "Update complete");
    EXPECT_EQ(read_file(kVersionFilePath), last_version);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(stubs_.calls("reboot"), std::string(kRounds / 5, '\n'));
}

}  // namespace
