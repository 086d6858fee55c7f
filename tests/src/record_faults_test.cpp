// Each system call of the record-writing path fails once, in turn, for each
// record, while an update is routed and its script runs: the service still
// answers, every record holds its old or its new complete value, and
// nothing is left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "src/commands.h"
#include "src/record_files.h"
#include "src/update_queue.h"
#include "tests/common/stub_commands.h"
#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;

// The one fault armed: the first call named `call` that concerns a file
// whose name begins with `record` fails with `error`.
struct Fault {
    std::string record;
    std::string call;
    int error = 0;
    bool fired = false;
    std::set<int> descriptors;  // open on the record
} fault;
std::mutex fault_mutex;  // the worker thread writes records too

bool fires(const char* call, bool concerned) {
    std::lock_guard<std::mutex> lock(fault_mutex);
    if (fault.fired || !concerned || fault.call != call) {
        return false;
    }
    fault.fired = true;
    errno = fault.error;
    return true;
}

bool concerns(const char* path) { return std::string(path).rfind(fault.record, 0) == 0; }

bool concerns(int fd) {
    std::lock_guard<std::mutex> lock(fault_mutex);
    return fault.descriptors.count(fd) == 1;
}

int faulty_open(const char* path, int flags, mode_t mode) {
    if (fires("open", concerns(path))) {
        return -1;
    }
    int fd = open(path, flags, mode);
    if (fd >= 0 && concerns(path)) {
        std::lock_guard<std::mutex> lock(fault_mutex);
        fault.descriptors.insert(fd);
    }
    return fd;
}

int faulty_close(int fd) {
    const bool fail = fires("close", concerns(fd));
    {
        std::lock_guard<std::mutex> lock(fault_mutex);
        fault.descriptors.erase(fd);
    }
    close(fd);
    return fail ? -1 : 0;
}

const RecordSystemCalls kFaultyCalls = {
    faulty_open,
    [](int fd, const void* data, std::size_t size) {
        return fires("write", concerns(fd)) ? -1 : write(fd, data, size);
    },
    [](int fd, const void* data, std::size_t size, off_t offset) {
        return fires("write", concerns(fd)) ? -1 : pwrite(fd, data, size, offset);
    },
    [](int fd) { return fires("fsync", concerns(fd)) ? -1 : fsync(fd); },
    [](int fd, off_t length) { return fires("write", concerns(fd)) ? -1 : ftruncate(fd, length); },
    [](int fd, mode_t mode) { return fires("fchmod", concerns(fd)) ? -1 : fchmod(fd, mode); },
    [](int fd, uid_t owner, gid_t group) {
        return fires("fchown", concerns(fd)) ? -1 : fchown(fd, owner, group);
    },
    [](const char* from, const char* to) {
        return fires("rename", concerns(from)) ? -1 : rename(from, to);
    },
    faulty_close,
    unlink,
};

class RecordFaults : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory("installation_details");
        skein_test::write_file("Update_Skein_Edge.sh", "exit 0\n");
        saved_ = record_system_calls;
    }
    void TearDown() override { record_system_calls = saved_; }

    static std::string route(const char* request) {
        char reply[kBufferSize] = {0};
        route_request(request, extractRequestLine(request), reply);
        return reply;
    }

    skein_test::TempDir dir_;
    skein_test::StubCommands stubs_{dir_.path() / "bin"};
    RecordSystemCalls saved_{};
};

TEST_F(RecordFaults, EveryRecordKeepsAWholeValueWhateverCallFails) {
    const char* records[] = {kStatusFilePath, kVersionFilePath, kPreviousVersionFilePath,
                             kPreviousVersionTempFilePath, kPendingUpdatesPath};
    const char* calls[] = {"open", "write", "fsync", "rename", "fchmod", "fchown", "close"};
    const int errors[] = {ENOSPC, EIO, EACCES};
    const std::string reply_head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    for (const char* record : records) {
        for (const char* call : calls) {
            for (int error : errors) {
                SCOPED_TRACE(std::string(record) + " " + call + " " + std::strerror(error));
                skein_test::write_file(kStatusFilePath, "Waiting for command");
                skein_test::write_file(kVersionFilePath, "v1\n");
                skein_test::write_file(kPreviousVersionFilePath, "v0\n");
                skein_test::write_file(kPreviousVersionTempFilePath, "v0\n");
                {
                    std::lock_guard<std::mutex> lock(fault_mutex);
                    fault = Fault{record, call, error, false, {}};
                }
                record_system_calls = kFaultyCalls;
                testing::internal::CaptureStderr();
                EXPECT_EQ(route("GET /update?version=v2 HTTP/1.1\r\n\r\n"),
                          reply_head + "Update initiated with version v2");
                for (int i = 0; i < 1000 && (fs::exists(kPendingUpdatesPath) ||
                                             read_file(kStatusFilePath) != "Update complete");
                     ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                EXPECT_EQ(route("GET /status HTTP/1.1\r\n\r\n"), reply_head + "Update complete");
                // The worker made its last call before it let go of the lock.
                pthread_mutex_lock(&status_mutex);
                pthread_mutex_unlock(&status_mutex);
                record_system_calls = saved_;
                const std::string log = testing::internal::GetCapturedStderr();

                EXPECT_TRUE(fault.fired) << "the call was never made";
                const std::string version = read_file(kVersionFilePath);
                EXPECT_TRUE(version == "v1\n" || version == "v2") << version;
                for (const char* previous :
                     {kPreviousVersionFilePath, kPreviousVersionTempFilePath}) {
                    const std::string value = read_file(previous);
                    EXPECT_TRUE(value == "v0\n" || value == "v1\n") << previous << ": " << value;
                    if (value == "v0\n") {
                        EXPECT_NE(log.find("Could not replace " + std::string(previous)),
                                  std::string::npos);
                    }
                }
                std::set<std::string> left;
                for (const auto& entry : fs::directory_iterator("installation_details")) {
                    left.insert(entry.path().filename().string());
                }
                EXPECT_EQ(left, (std::set<std::string>{"status.info", "version.info",
                                                       "previous_version.info",
                                                       "previous_version_temp.info"}));
                EXPECT_FALSE(fs::exists(std::string(kPendingUpdatesPath) + ".tmp"));
                EXPECT_FALSE(fs::exists(kPendingUpdatesPath));
            }
        }
    }
}

}  // namespace
