// Each system call of the record-writing path fails once, in turn, for each
// record and directory, or writes short, or is interrupted, while an update
// is routed and its script runs: the service still answers, every record
// (the status, the version files, the pending updates) holds its old or its
// new complete value while the script runs and after it, the update runs
// exactly once, and nothing is left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "src/commands.h"
#include "src/pending_format.h"
#include "src/pending_journal.h"
#include "src/record_files.h"
#include "tests/common/stub_commands.h"
#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;

constexpr int kShortWrite = -1;  // the call writes half of what it was given
constexpr const char kDirectoryOpen[] = "open directory";
constexpr const char kDirectorySync[] = "fsync directory";

// The records and directories a fault may concern: a file whose name begins
// with one of the first, or one of the directories itself.
const std::vector<std::string> kTargets = {kStatusFilePath,
                                           status_spare_path(kStatusFilePath),
                                           kVersionFilePath,
                                           kPreviousVersionFilePath,
                                           kPreviousVersionTempFilePath,
                                           kPendingUpdatesPath,
                                           "installation_details/",
                                           "./"};

// A call that fails once: the first call named `call` that concerns
// `target` fails with `error`, or writes short, or is interrupted.
struct Arm {
    std::string target;
    std::string call;
    int error = 0;
    bool fired = false;
};

// The calls armed to fail, each once; with none armed, the calls an update
// makes are recorded instead.
struct Fault {
    std::vector<Arm> arms;
    std::map<int, std::pair<std::string, bool>> open;   // path, and whether a directory
    std::set<std::pair<std::string, std::string>> met;  // target, call
} fault;
std::mutex fault_mutex;  // the update worker writes records too

bool matches(const std::string& target, const std::string& path, bool directory) {
    return target.back() == '/' ? directory && path + "/" == target
                                : !directory && path.rfind(target, 0) == 0;
}

// The error this call fails with now (errno is set to it), or 0.
int fires(const std::string& call, const std::string& path, bool directory) {
    std::lock_guard<std::mutex> lock(fault_mutex);
    if (fault.arms.empty()) {
        for (const std::string& target : kTargets) {
            if (matches(target, path, directory)) {
                fault.met.insert({target, call});
            }
        }
        return 0;
    }
    for (Arm& arm : fault.arms) {
        if (!arm.fired && arm.call == call && matches(arm.target, path, directory)) {
            arm.fired = true;
            errno = arm.error;
            return arm.error;
        }
    }
    return 0;
}

int fires(const std::string& call, int fd) {
    std::pair<std::string, bool> opened;
    {
        std::lock_guard<std::mutex> lock(fault_mutex);
        auto found = fault.open.find(fd);
        if (found == fault.open.end()) {
            return 0;
        }
        opened = found->second;
    }
    return fires(call, opened.first, opened.second);
}

int faulty_open(const char* path, int flags, mode_t mode) {
    const bool directory = (flags & O_DIRECTORY) != 0;
    if (fires(directory ? kDirectoryOpen : "open", path, directory)) {
        return -1;
    }
    int fd = open(path, flags, mode);
    if (fd >= 0) {
        std::lock_guard<std::mutex> lock(fault_mutex);
        fault.open[fd] = {path, directory};
    }
    return fd;
}

int faulty_close(int fd) {
    const bool fail = fires("close", fd);
    {
        std::lock_guard<std::mutex> lock(fault_mutex);
        fault.open.erase(fd);
    }
    close(fd);
    return fail ? -1 : 0;
}

// A write that fails, writes short or is interrupted; offset < 0: write().
ssize_t faulty_write(int fd, const void* data, std::size_t size, off_t offset) {
    if (int error = fires("write", fd)) {
        if (error != kShortWrite) {
            return -1;
        }
        size = size > 1 ? size / 2 : size;
    }
    return offset < 0 ? write(fd, data, size) : pwrite(fd, data, size, offset);
}

int faulty_sync(int fd) {
    struct stat info;
    const bool directory = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    return fires(directory ? kDirectorySync : "fsync", fd) ? -1 : fsync(fd);
}

const RecordSystemCalls kFaultyCalls = {
    faulty_open,
    [](int fd, const void* data, std::size_t size) { return faulty_write(fd, data, size, -1); },
    [](int fd, const void* data, std::size_t size, off_t offset) {
        return faulty_write(fd, data, size, offset);
    },
    faulty_sync,
    [](int fd) { return fires("fsync", fd) ? -1 : fdatasync(fd); },
    [](int fd, off_t length) { return fires("ftruncate", fd) ? -1 : ftruncate(fd, length); },
    [](int fd, mode_t mode) { return fires("fchmod", fd) ? -1 : fchmod(fd, mode); },
    [](int fd, uid_t owner, gid_t group) {
        return fires("fchown", fd) ? -1 : fchown(fd, owner, group);
    },
    [](const char* from, const char* to) {
        return fires("rename", from, false) ? -1 : rename(from, to);
    },
    [](const char* a, const char* b) {
        return fires("exchange", a, false) ? -1
                                           : renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE);
    },
    faulty_close,
    [](const char* path) { return fires("unlink", path, false) ? -1 : unlink(path); },
};

const std::string kReplyHead = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";

template <typename Condition>
bool within_seconds(int seconds, Condition condition) {
    for (int i = 0; i < seconds * 200; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

std::string route(const char* request) {
    char reply[kBufferSize] = {0};
    route_request(request, extractRequestLine(request), reply);
    return reply;
}

// Each record holds one complete value of the given ones.
void expect_whole(const std::set<std::string>& statuses) {
    const std::string status = read_file(kStatusFilePath);
    EXPECT_EQ(statuses.count(status), 1u) << "status.info: " << status;
    const std::string version = read_file(kVersionFilePath);
    EXPECT_TRUE(version == "v1\n" || version == "v2") << version;
    for (const char* previous : {kPreviousVersionFilePath, kPreviousVersionTempFilePath}) {
        const std::string value = read_file(previous);
        EXPECT_TRUE(value == "v0\n" || value == "v1\n") << previous << ": " << value;
    }
}

// Naming the running update alone; or absent, which the log must say.
// Returns whether it was there.
bool expect_pending_whole() {
    if (!fs::exists(kPendingUpdatesPath)) {
        return false;
    }
    const std::string text = read_file(kPendingUpdatesPath);
    const PendingRead read = parse_pending(text);
    EXPECT_TRUE(read.damaged.empty() && !text.empty() && text.back() == '\n') << text;
    const auto& updates = read.pending.updates();
    EXPECT_TRUE(updates.size() == 1 && updates[0].update.version == "v2" &&
                updates[0].started.has_value())
        << text;
    return true;
}

class RecordFaults : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory("installation_details");
        // Runs only once "go" exists, so that the records can be read while
        // it runs.
        skein_test::write_file("Update_Skein_Edge.sh",
                               "echo \"$1\" >> runs\n"
                               "while [ ! -f go ]; do sleep 0.005; done\n");
        saved_ = record_system_calls;
    }
    void TearDown() override { record_system_calls = saved_; }

    skein_test::TempDir dir_;
    skein_test::StubCommands stubs_{dir_.path() / "bin"};
    RecordSystemCalls saved_{};
};

// One update with the calls armed; its checks while the script runs and
// after it.
void run_case(const std::vector<Arm>& arms, bool with_spare, RecordSystemCalls& saved) {
    fs::remove("go");
    fs::remove("runs");
    if (!with_spare) {
        fs::remove(status_spare_path(kStatusFilePath));
    }
    skein_test::write_file(kStatusFilePath, "Waiting for command");
    skein_test::write_file(kVersionFilePath, "v1\n");
    skein_test::write_file(kPreviousVersionFilePath, "v0\n");
    skein_test::write_file(kPreviousVersionTempFilePath, "v0\n");
    {
        std::lock_guard<std::mutex> lock(fault_mutex);
        fault = Fault{arms, {}, {}};
    }
    record_system_calls = kFaultyCalls;
    testing::internal::CaptureStderr();
    EXPECT_EQ(route("GET /update?version=v2 HTTP/1.1\r\n\r\n"),
              kReplyHead + "Update initiated with version v2");
    const bool started = within_seconds(5, [] { return fs::exists("runs"); });
    expect_whole({"Waiting for command", "Update in progress"});
    const bool pending_recorded = expect_pending_whole();
    skein_test::write_file("go", "");
    within_seconds(5, [] {
        return !fs::exists(kPendingUpdatesPath) && read_file(kStatusFilePath) == "Update complete";
    });
    // The worker made its last call before it let go of the lock.
    pthread_mutex_lock(&status_mutex);
    pthread_mutex_unlock(&status_mutex);
    record_system_calls = saved;
    const std::string log = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(started);
    for (const Arm& arm : fault.arms) {
        EXPECT_TRUE(arm.fired) << arm.target << " " << arm.call << " never failed";
    }
    if (!pending_recorded) {
        EXPECT_NE(log.find("they will not resume after a restart"), std::string::npos);
    }
    expect_whole({"Update complete"});
    EXPECT_EQ(read_file("runs"), "v2\n");
    EXPECT_FALSE(fs::exists(kPendingUpdatesPath));
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator("installation_details")) {
        left.insert(entry.path().filename().string());
    }
    EXPECT_EQ(left, (std::set<std::string>{"status.info", "version.info", "previous_version.info",
                                           "previous_version_temp.info", ".status.info.spare"}));
    EXPECT_FALSE(fs::exists(std::string(kPendingUpdatesPath) + ".tmp"));
}

TEST_F(RecordFaults, EveryRecordKeepsAWholeValueWhateverCallFails) {
    for (bool with_spare : {false, true}) {
        // A first update with nothing armed finds the calls to fail.
        run_case({}, with_spare, saved_);
        const auto met = fault.met;
        ASSERT_GT(met.size(), 30u);
        for (const auto& [target, call] : met) {
            const std::vector<int> errors = call == "write"
                                                ? std::vector<int>{ENOSPC, kShortWrite, EINTR}
                                                : std::vector<int>{EIO};
            for (int error : errors) {
                SCOPED_TRACE(target + " " + call + " " +
                             (error == kShortWrite ? "short" : std::strerror(error)) +
                             (with_spare ? " with a spare" : " without a spare"));
                run_case({{target, call, error}}, with_spare, saved_);
            }
        }
    }
}

// The status file cannot be replaced and its spare fails too, at each of
// its steps: it keeps its old text, and the next status goes through.
TEST_F(RecordFaults, StatusKeepsItsOldTextWhenItsSpareFailsToo) {
    run_case({}, true, saved_);
    const std::string spare = status_spare_path(kStatusFilePath);
    for (const char* call :
         {"open", "fchmod", "write", "ftruncate", "fsync", "close", "exchange"}) {
        SCOPED_TRACE(call);
        run_case({{kStatusFilePath, "rename", ENOSPC}, {spare, call, EIO}}, true, saved_);
    }
}

}  // namespace
