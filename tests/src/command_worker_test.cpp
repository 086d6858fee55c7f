// The command worker: real shell commands move the status as their outcome
// says. A stub `reboot` is first on PATH before any reboot command runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "src/commands.h"
#include "src/shell_command.h"
#include "tests/common/stub_commands.h"
#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;

class CommandWorker : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory("installation_details");
        // The update script exits with the code it is given, or is killed.
        skein_test::write_file("Update_Skein_Edge.sh",
                               "echo \"$*\" >> update.calls\n"
                               "[ \"$1\" = signal ] && kill -KILL $$\n"
                               "exit \"$1\"\n");
        set_status(WAITING_FOR_COMMAND);
    }

    static void set_status(Status status) {
        pthread_mutex_lock(&status_mutex);
        current_status = status;
        pthread_mutex_unlock(&status_mutex);
    }
    static Status status() {
        pthread_mutex_lock(&status_mutex);
        Status value = current_status;
        pthread_mutex_unlock(&status_mutex);
        return value;
    }
    static void run(const char* command) { execute_command(strdup(command)); }

    skein_test::TempDir dir_;
    skein_test::StubCommands stubs_{dir_.path() / "bin"};
};

TEST_F(CommandWorker, UpdateOutcomeSetsStatus) {
    testing::internal::CaptureStderr();
    run("sh Update_Skein_Edge.sh 0");
    EXPECT_EQ(status(), UPDATE_COMPLETE);
    EXPECT_EQ(read_file(kStatusFilePath), "Update complete");

    run("sh Update_Skein_Edge.sh 3");
    EXPECT_EQ(status(), UPDATE_FAILED);
    EXPECT_EQ(read_file(kStatusFilePath), "Update failed");

    set_status(UPDATE_IN_PROGRESS);
    run("sh Update_Skein_Edge.sh signal");
    EXPECT_EQ(status(), UPDATE_FAILED);
    EXPECT_EQ(read_file("update.calls"), "0\n3\nsignal\n");

    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("commands.cpp:"), std::string::npos);
    EXPECT_NE(log.find(" I "), std::string::npos);
    EXPECT_NE(log.find("Executing command: sh Update_Skein_Edge.sh 0\n"), std::string::npos);
    EXPECT_NE(log.find("Update command executed successfully.\n"), std::string::npos);
    EXPECT_NE(log.find(" E "), std::string::npos);
    EXPECT_NE(log.find("Executing update command: sh Update_Skein_Edge.sh 3\n"), std::string::npos);
}

TEST_F(CommandWorker, UpdateSuccessOverridesRebootInitiated) {
    set_status(REBOOT_INITIATED);
    testing::internal::CaptureStderr();
    run("sh Update_Skein_Edge.sh 0");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status(), UPDATE_COMPLETE);
}

TEST_F(CommandWorker, RebootOutcome) {
    set_status(REBOOT_INITIATED);
    testing::internal::CaptureStderr();
    run("reboot");
    EXPECT_EQ(stubs_.calls("reboot"), "\n");
    EXPECT_EQ(status(), REBOOT_INITIATED);
    EXPECT_EQ(read_file(kStatusFilePath), "Reboot initiated");

    stubs_.set_exit("reboot", 1);
    run("reboot");
    EXPECT_EQ(status(), REBOOT_FAILED);
    EXPECT_EQ(read_file(kStatusFilePath), "Reboot failed");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Reboot command executed successfully.\n"), std::string::npos);
    EXPECT_NE(log.find("Executing reboot command: reboot\n"), std::string::npos);
}

TEST_F(CommandWorker, OtherCommandsRewriteTheStatusUnchanged) {
    set_status(UPDATE_IN_PROGRESS);
    testing::internal::CaptureStderr();
    run("docker compose down");
    EXPECT_EQ(stubs_.calls("docker"), "compose down\n");
    EXPECT_EQ(read_file(kStatusFilePath), "Update in progress");

    set_status(REBOOT_INITIATED);
    stubs_.set_exit("docker", 1);
    run("docker compose down");
    run("false");
    run("exit 3");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status(), REBOOT_INITIATED);
    EXPECT_EQ(read_file(kStatusFilePath), "Reboot initiated");
    EXPECT_EQ(log.find(" E "), std::string::npos) << log;
}

// Even a descriptor opened without close-on-exec (as the log sink's files
// are, for an instant, while they rotate) never reaches a command, nor does
// a signal the service ignores (a supervisor may ignore SIGPIPE): `yes`
// must end quietly at the broken pipe, not report it.
TEST_F(CommandWorker, CommandsStartWithoutTheServicesDescriptorsOrIgnoredSignals) {
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    EXPECT_EQ(run_shell_command("yes 2>complaint | head -1 >/dev/null; test ! -s complaint"), 0);
    sigaction(SIGPIPE, &old, nullptr);

    int leaky = open(".", O_RDONLY);
    ASSERT_GT(leaky, STDERR_FILENO);
    const std::string probe = "test -e /proc/self/fd/" + std::to_string(leaky) +
                              " || test -e /proc/$$/fd/" + std::to_string(leaky);
    EXPECT_NE(run_shell_command(probe.c_str()), 0);
    EXPECT_EQ(run_shell_command("exit 0"), 0);
    EXPECT_EQ(run_shell_command("exit 3"), 3 << 8);
    close(leaky);
}

TEST_F(CommandWorker, RunsOnItsOwnThread) {
    testing::internal::CaptureStderr();
    pthread_t thread;
    ASSERT_EQ(
        pthread_create(&thread, nullptr, execute_command, strdup("sh Update_Skein_Edge.sh 0")), 0);
    pthread_join(thread, nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status(), UPDATE_COMPLETE);
}

}  // namespace
