// When no worker thread can be made, the command is freed, the failure is
// logged and shows in the status, and the route still answers.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>

#include "src/commands.h"
#include "tests/common/stub_commands.h"
#include "tests/common/temp_dir.h"

namespace {
bool fail_thread_creation = false;
}

extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                     void* (*start)(void*), void* argument) {
    if (fail_thread_creation) {
        return EAGAIN;
    }
    return __real_pthread_create(thread, attributes, start, argument);
}

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;

class WorkerStartFailure : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory("installation_details");
        fail_thread_creation = true;
    }
    void TearDown() override { fail_thread_creation = false; }

    std::string route(const char* request) {
        char reply[kBufferSize] = {0};
        testing::internal::CaptureStderr();
        route_request(request, extractRequestLine(request), reply);
        log_ = testing::internal::GetCapturedStderr();
        return reply;
    }

    skein_test::TempDir dir_;
    skein_test::StubCommands stubs_{dir_.path() / "bin"};
    std::string log_;
};

TEST_F(WorkerStartFailure, UpdateShowsUpdateFailed) {
    std::string reply = route("GET /update?version=7 HTTP/1.1\r\n\r\n");
    EXPECT_NE(reply.find("Update initiated with version 7"), std::string::npos);
    EXPECT_EQ(read_file(kStatusFilePath), "Update failed");
    EXPECT_NE(log_.find(" E "), std::string::npos);
    EXPECT_NE(log_.find("Could not start a worker for: sh Update_Skein_Edge.sh 7"),
              std::string::npos);
}

// One worker runs every queued update: an update that arrives while it
// runs needs no thread of its own.
TEST_F(WorkerStartFailure, UpdatesBehindARunningWorkerNeedNoThread) {
    skein_test::write_file("Update_Skein_Edge.sh", "echo \"$1\" >> runs\nsleep 0.5\n");
    fail_thread_creation = false;
    route("GET /update?version=1 HTTP/1.1\r\n\r\n");
    fail_thread_creation = true;
    route("GET /update?version=2 HTTP/1.1\r\n\r\n");
    for (int i = 0; i < 500 && read_file(kStatusFilePath) == "Update in progress"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The worker logs its last line before it lets go of the lock.
    pthread_mutex_lock(&status_mutex);
    pthread_mutex_unlock(&status_mutex);
    EXPECT_EQ(read_file(kStatusFilePath), "Update complete");
    EXPECT_EQ(read_file("runs"), "1\n2\n");
    EXPECT_FALSE(fs::exists(".pending_updates"));
}

TEST_F(WorkerStartFailure, RollbackShowsUpdateFailed) {
    skein_test::write_file(kVersionFilePath, "2\n");
    skein_test::write_file(kPreviousVersionTempFilePath, "1\n");
    route("GET /rollback HTTP/1.1\r\n\r\n");
    EXPECT_EQ(read_file(kStatusFilePath), "Update failed");
}

TEST_F(WorkerStartFailure, RebootShowsRebootFailedAndRunsNothing) {
    std::string reply = route("GET /reboot HTTP/1.1\r\n\r\n");
    EXPECT_NE(reply.find("Reboot initiated"), std::string::npos);
    EXPECT_EQ(read_file(kStatusFilePath), "Reboot failed");
    EXPECT_EQ(stubs_.calls("docker"), "");
    EXPECT_EQ(stubs_.calls("reboot"), "");
}

}  // namespace
