// The built service end to end: start-up, every route over real sockets,
// the version-file movements, and the ways a client or the box can fail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "src/commands.h"
#include "tests/common/service_sandbox.h"

namespace {

namespace fs = std::filesystem;
using skein_test::exchange;
using skein_test::get;
using skein_test::reply_text;
using skein_test::ServiceSandbox;

class Service : public testing::Test {
  protected:
    void start() {
        box_.start();
        ASSERT_TRUE(box_.wait_until_serving()) << box_.errors();
    }
    // The status after the worker of the last request has finished.
    bool settles_at(const std::string& status) {
        return box_.wait_for_content("installation_details/status.info", status);
    }
    ServiceSandbox box_;
};

// ---- Start-up ----

TEST_F(Service, StartsInItsOwnDirectory) {
    start();
    EXPECT_EQ(box_.read("installation_details/status.info"), "Waiting for command");
    for (const char* dir : {"update_logs", "installation_details"}) {
        struct stat info;
        ASSERT_EQ(stat(box_.file(dir).c_str(), &info), 0) << dir;
        EXPECT_EQ(info.st_mode & 0777, 0700u) << dir;
    }
    EXPECT_EQ(box_.read("containers.calls"), "started\n");
    EXPECT_TRUE((fs::status(box_.file("Update_Skein_Edge.sh")).permissions() &
                 fs::perms::owner_exec) != fs::perms::none);
    EXPECT_EQ(box_.output(), "\n\nLog at: ./logs/update_logs/skein_edge_updater_100.log\n");
    const std::string log = box_.log();
    EXPECT_NE(log.find(" I "), std::string::npos);
    EXPECT_NE(log.find("main.cpp:"), std::string::npos);
    EXPECT_NE(log.find(": Started SKEIN EDGE UPDATER ##\n"), std::string::npos);
    EXPECT_NE(log.find(": Executing command: bash start_containers.sh\n"), std::string::npos);
    EXPECT_NE(log.find(": HTTP Server Status: Waiting for command\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(box_.root() / "installation_details"));
}

TEST(ServiceStartup, RefusesToRunUnderAnotherName) {
    ServiceSandbox box("box", "updater");
    box.launch((box.box() / "updater").string());
    EXPECT_EQ(box.wait_for_exit(), 0);
    EXPECT_EQ(box.output(), "Executable name Changed\n");
    EXPECT_FALSE(fs::exists(box.file("installation_details")));
    EXPECT_FALSE(fs::exists(box.file("logs")));
}

TEST(ServiceStartup, WorksFromAVeryLongPath) {
    ServiceSandbox box(std::string(200, 'a') + "/" + std::string(200, 'b'));
    box.start();
    ASSERT_TRUE(box.wait_until_serving());
    EXPECT_EQ(box.read("installation_details/status.info"), "Waiting for command");
}

TEST(ServiceStartup, UnopenableLogFileIsOneClearLineAndStatusOne) {
    ServiceSandbox box;
    box.write("logs", "a regular file where the log directory belongs");
    box.start();
    EXPECT_EQ(box.wait_for_exit(), 1);
    const std::string errors = box.errors();
    EXPECT_EQ(errors.rfind("skein_edge_updater: cannot open the log file: ", 0), 0u) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

TEST(ServiceStartup, PortInUseIsFatal) {
    int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int reuse = 1;
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address = skein_test::service_address(INADDR_ANY);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << "port 8888 is taken by another program";
    ASSERT_EQ(listen(blocker, 1), 0);
    ServiceSandbox box;
    box.launch((box.box() / "skein_edge_updater").string());
    EXPECT_EQ(box.wait_for_exit(), 1);
    close(blocker);
    EXPECT_NE(box.log().find(" E "), std::string::npos);
    EXPECT_NE(box.log().find("server.cpp:"), std::string::npos);
    EXPECT_NE(box.log().find(": Bind Failed!!!\n"), std::string::npos);
}

// A setting that cannot be used ends start-up before the start script
// runs, with one line that names the value; a listen address never falls
// back to every address.
TEST(ServiceStartup, UnusableSettingIsOneClearLineAndStatusOne) {
    const struct {
        const char* value;
        const char* says;
        const char* variable = "SKEIN_LISTEN_ADDRESS";
    } cases[] = {
        {"box.local", "SKEIN_LISTEN_ADDRESS=\"box.local\" is not an IPv4 address in dotted form"},
        {"127.1", "SKEIN_LISTEN_ADDRESS=\"127.1\" is not an IPv4 address in dotted form"},
        {"192.0.2.1", "SKEIN_LISTEN_ADDRESS=\"192.0.2.1\" is not a unicast address of this box"},
        // They bind, but nobody can connect to them.
        {"224.0.0.1", "SKEIN_LISTEN_ADDRESS=\"224.0.0.1\" is not a unicast address of this box"},
        {"255.255.255.255",
         "SKEIN_LISTEN_ADDRESS=\"255.255.255.255\" is not a unicast address of this box"},
        {"127.255.255.255",
         "SKEIN_LISTEN_ADDRESS=\"127.255.255.255\" is not a unicast address of this box"},
        {"0", "SKEIN_COMPOSE_DOWN_TIMEOUT=\"0\" is not a whole number of seconds from 1 to 86400",
         "SKEIN_COMPOSE_DOWN_TIMEOUT"},
        {"2m", "SKEIN_COMPOSE_DOWN_TIMEOUT=\"2m\" is not a whole number of seconds from 1 to 86400",
         "SKEIN_COMPOSE_DOWN_TIMEOUT"},
        {"0", "SKEIN_MAX_WAITING_UPDATES=\"0\" is not a whole number from 1 to 1000",
         "SKEIN_MAX_WAITING_UPDATES"},
    };
    for (const auto& c : cases) {
        ServiceSandbox box;
        box.start({std::string(c.variable) + "=" + c.value});
        EXPECT_EQ(box.wait_for_exit(), 1) << c.value;
        EXPECT_EQ(box.errors(), std::string("skein_edge_updater: ") + c.says + "\n");
        EXPECT_NE(box.log().find(std::string(": ") + c.says + "\n"), std::string::npos);
        EXPECT_FALSE(fs::exists(box.file("containers.calls"))) << c.value;
    }
}

TEST(ServiceStartup, ListensOnlyOnTheConfiguredAddress) {
    ServiceSandbox box;
    box.start({"SKEIN_LISTEN_ADDRESS=127.0.0.2"});
    const std::uint32_t configured = INADDR_LOOPBACK + 1;
    int fd = skein_test::connect_to_service(std::chrono::seconds(10), configured);
    ASSERT_GE(fd, 0) << box.errors();
    skein_test::send_all(fd, "GET /status HTTP/1.1\r\n\r\n");
    EXPECT_EQ(skein_test::read_to_eof(fd), reply_text("200 OK", "Waiting for command"));
    close(fd);
    EXPECT_EQ(skein_test::connect_to_service(std::chrono::milliseconds(0)), -1);
}

TEST(ServiceStartup, RestartRightAfterTrafficBindsAtOnce) {
    ServiceSandbox box;
    box.start();
    ASSERT_TRUE(box.wait_until_serving());
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(get("/status"), reply_text("200 OK", "Waiting for command"));
    }
    box.kill_now();
    box.launch((box.box() / "skein_edge_updater").string());
    ASSERT_TRUE(box.wait_until_serving());
    EXPECT_TRUE(box.running()) << box.log();
    EXPECT_EQ(get("/status"), reply_text("200 OK", "Waiting for command"));
}

// ---- Update and rollback ----

TEST_F(Service, UpdateMovesVersionFilesAndRunsTheScript) {
    box_.write("installation_details/version.info", "1.0\n");
    box_.write("update.sleep", "1");
    start();
    EXPECT_EQ(exchange("GET /update?version=1.2.3 HTTP/1.1\r\nHost: box\r\n\r\n"),
              reply_text("200 OK", "Update initiated with version 1.2.3"));
    // Moved on before the script has finished.
    EXPECT_EQ(box_.read("installation_details/version.info"), "1.2.3");
    EXPECT_EQ(box_.read("installation_details/previous_version.info"), "1.0\n");
    EXPECT_EQ(box_.read("installation_details/previous_version_temp.info"), "1.0\n");
    EXPECT_EQ(box_.read("installation_details/status.info"), "Update in progress");
    ASSERT_TRUE(settles_at("Update complete"));
    EXPECT_EQ(box_.read("update.argc"), "1\n");
    EXPECT_EQ(box_.read("update.arg1"), "1.2.3");
    const std::string log = box_.log();
    EXPECT_NE(log.find(": Recieved Request : GET /update?version=1.2.3 HTTP/1.1\n"),
              std::string::npos);
    EXPECT_NE(log.find(": Executing command: sh Update_Skein_Edge.sh 1.2.3\n"), std::string::npos);
    EXPECT_NE(log.find(": Update command executed successfully.\n"), std::string::npos);
}

TEST_F(Service, FailedUpdateScriptShowsInStatusAndLog) {
    box_.write("update.exit", "1");
    start();
    EXPECT_EQ(get("/update?version=2"), reply_text("200 OK", "Update initiated with version 2"));
    ASSERT_TRUE(settles_at("Update failed"));
    EXPECT_NE(box_.log().find(": Executing update command: sh Update_Skein_Edge.sh 2\n"),
              std::string::npos);
}

TEST_F(Service, VersionTextIsTakenAsReceived) {
    start();
    struct Case {
        std::string request;
        std::string version;
        std::string argc;
    } cases[] = {
        {"GET /update?version=2.0&force=1 HTTP/1.1\r\n\r\n", "2.0&force=1", "1\n"},
        {"GET /update HTTP/1.1\r\nX-Info: version=3\r\n\r\n", "3", "1\n"},
        {"GET /update?version= HTTP/1.1\r\n\r\n", "", "0\n"},
        {"GET /update?version=4.1\r\n\r\n", "4.1", "1\n"},
    };
    for (const Case& c : cases) {
        fs::remove(box_.file("update.argc"));
        fs::remove(box_.file("update.arg1"));
        EXPECT_EQ(exchange(c.request),
                  reply_text("200 OK", "Update initiated with version " + c.version));
        EXPECT_EQ(box_.read("installation_details/version.info"), c.version);
        ASSERT_TRUE(box_.wait_for_content("update.argc", c.argc)) << c.request;
        if (!c.version.empty()) {
            EXPECT_EQ(box_.read("update.arg1"), c.version);
        }
    }
    EXPECT_NE(box_.log().find(": Executing command: sh Update_Skein_Edge.sh \n"),
              std::string::npos);
}

TEST_F(Service, ShellCharactersInVersionsNeverReachTheShell) {
    start();
    const std::string versions[] = {
        "$(touch${IFS}canary1)",
        ";touch${IFS}canary2",
        "`touch${IFS}canary3`",
        "a'$(touch${IFS}canary4)'b",
        "x|touch${IFS}canary5",
        "1&&touch${IFS}canary6",
        "\"$(touch${IFS}canary7)\"",
        "v>canary8",
        "'",
        "\\",
        "*",
        "~root",
    };
    for (const std::string& version : versions) {
        fs::remove(box_.file("update.arg1"));
        fs::remove(box_.file("update.argc"));
        EXPECT_EQ(get("/update?version=" + version),
                  reply_text("200 OK", "Update initiated with version " + version));
        ASSERT_TRUE(box_.wait_for_content("update.argc", "1\n")) << version;
        EXPECT_EQ(box_.read("update.arg1"), version);
        EXPECT_EQ(box_.read("installation_details/version.info"), version);
    }
    for (int i = 1; i <= 8; ++i) {
        EXPECT_FALSE(fs::exists(box_.file("canary" + std::to_string(i)))) << i;
    }
}

TEST_F(Service, UpdateWithoutVersionTouchesNothing) {
    box_.write("installation_details/version.info", "1.0\n");
    start();
    EXPECT_EQ(get("/update?ver=1"), reply_text("400 Bad Request", "Missing version parameter"));
    EXPECT_EQ(box_.read("installation_details/version.info"), "1.0\n");
    EXPECT_FALSE(fs::exists(box_.file("installation_details/previous_version.info")));
    EXPECT_EQ(box_.read("installation_details/status.info"), "Waiting for command");
    EXPECT_NE(
        box_.log().find(" E ", box_.log().find("Recieved Request : GET /update?ver=1 HTTP/1.1")),
        std::string::npos);
    EXPECT_NE(box_.log().find(": Bad Request: Missing or invalid 'version' parameter in /update "
                              "request. Format should be: /update?version=<version_number>. "
                              "Received request: GET /update?ver=1 HTTP/1.1\n"),
              std::string::npos);
}

TEST_F(Service, FirstUpdateLeavesPreviousFilesAlone) {
    start();
    EXPECT_EQ(get("/update?version=1"), reply_text("200 OK", "Update initiated with version 1"));
    EXPECT_EQ(box_.read("installation_details/version.info"), "1");
    EXPECT_FALSE(fs::exists(box_.file("installation_details/previous_version.info")));
    EXPECT_FALSE(fs::exists(box_.file("installation_details/previous_version_temp.info")));
}

TEST_F(Service, UnwritablePreviousFileDoesNotEmptyTheOther) {
    box_.write("installation_details/version.info", "1.0\n");
    box_.write("installation_details/previous_version.info", "0.9\n");
    // A directory in the file's place stops this one write, atomic or not.
    fs::create_directories(box_.file("installation_details/previous_version_temp.info"));
    start();
    EXPECT_EQ(get("/update?version=2"), reply_text("200 OK", "Update initiated with version 2"));
    EXPECT_EQ(box_.read("installation_details/previous_version.info"), "1.0\n");
    EXPECT_TRUE(fs::is_directory(box_.file("installation_details/previous_version_temp.info")));
    EXPECT_EQ(box_.read("installation_details/version.info"), "2");
}

TEST_F(Service, TwoRollbacksSwapBackAndForth) {
    box_.write("installation_details/version.info", "2.0\n");
    box_.write("installation_details/previous_version_temp.info", "1.0\n");
    box_.write("installation_details/previous_version.info", "0.5\n");
    start();
    EXPECT_EQ(get("/rollback"), reply_text("200 OK", "Rollback initiated to version 1.0"));
    EXPECT_EQ(box_.read("installation_details/version.info"), "1.0");
    EXPECT_EQ(box_.read("installation_details/previous_version_temp.info"), "2.0\n");
    ASSERT_TRUE(box_.wait_for_content("update.arg1", "1.0"));
    ASSERT_TRUE(settles_at("Update complete"));

    EXPECT_EQ(get("/rollback"), reply_text("200 OK", "Rollback initiated to version 2.0"));
    EXPECT_EQ(box_.read("installation_details/version.info"), "2.0");
    EXPECT_EQ(box_.read("installation_details/previous_version_temp.info"), "1.0");
    EXPECT_EQ(box_.read("installation_details/previous_version.info"), "0.5\n");
    ASSERT_TRUE(box_.wait_for_content("update.arg1", "2.0"));
}

TEST_F(Service, RollbackWithShellCharactersInStoredVersion) {
    box_.write("installation_details/version.info", "2.0\n");
    box_.write("installation_details/previous_version_temp.info", "1.0;touch canary\n");
    start();
    EXPECT_EQ(get("/rollback"),
              reply_text("200 OK", "Rollback initiated to version 1.0;touch canary"));
    ASSERT_TRUE(box_.wait_for_content("update.arg1", "1.0;touch canary"));
    EXPECT_FALSE(fs::exists(box_.file("canary")));
}

TEST_F(Service, RollbackNeedsBothVersionFiles) {
    start();
    EXPECT_EQ(get("/rollback"),
              reply_text("404 Not Found", "Previous version temporary file not found"));
    box_.write("installation_details/previous_version_temp.info", "1.0\n");
    EXPECT_EQ(get("/rollback"), reply_text("404 Not Found", "Current version not found"));
    EXPECT_EQ(box_.read("installation_details/previous_version_temp.info"), "1.0\n");
    EXPECT_EQ(box_.read("installation_details/status.info"), "Waiting for command");
    const std::string log = box_.log();
    EXPECT_NE(log.find(": File Not Found: Previous version temporary file "
                       "[installation_details/previous_version_temp.info] not found. \n"),
              std::string::npos);
    EXPECT_NE(log.find(": File Not Found: Current version temporary file "
                       "[installation_details/version.info] not found. \n"),
              std::string::npos);
}

TEST_F(Service, UpdateReplyDoesNotWaitForASlowScript) {
    // Generous margins: the reply must not wait for the script's 8 seconds,
    // however loaded the machine is.
    box_.write("update.sleep", "8");
    start();
    const auto begin = skein_test::Clock::now();
    EXPECT_EQ(get("/update?version=9"), reply_text("200 OK", "Update initiated with version 9"));
    EXPECT_LT(skein_test::Clock::now() - begin, std::chrono::seconds(6));
    EXPECT_EQ(box_.read("installation_details/status.info"), "Update in progress");
    EXPECT_EQ(get("/status"), reply_text("200 OK", "Update in progress"));
}

// Updates sent back to back run one after another in request order, and
// only the last one's outcome shows: here the failing last update would
// end first and the slow first one last if they overlapped.
TEST_F(Service, UpdateScriptsRunOneAtATimeAndTheLastDecides) {
    box_.write("Update_Skein_Edge.sh",
               "echo \"start $1\" >> runs\n"
               "case $1 in *slow*) sleep 1 ;; esac\n"
               "echo \"end $1\" >> runs\n"
               "case $1 in *fail*) exit 1 ;; esac\n");
    box_.start({"SKEIN_MAX_WAITING_UPDATES=2"});
    ASSERT_TRUE(box_.wait_until_serving());
    for (const char* version : {"1-slow", "2", "3-fail"}) {
        ASSERT_EQ(get(std::string("/update?version=") + version),
                  reply_text("200 OK", std::string("Update initiated with version ") + version));
    }
    // Two wait behind the running one: one more is refused, nothing recorded.
    EXPECT_EQ(get("/update?version=4"),
              reply_text("503 Service Unavailable", "Too many updates waiting"));
    EXPECT_EQ(box_.read("installation_details/version.info"), "3-fail");
    EXPECT_NE(box_.log().find(" W "), std::string::npos);
    std::string status;
    for (int i = 0; i < 500 && status != "Update failed"; ++i) {
        status = get("/status").substr(reply_text("200 OK", "").size());
        ASSERT_TRUE(status == "Update in progress" || status == "Update failed") << status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(status, "Update failed");
    EXPECT_EQ(box_.read("runs"),
              "start 1-slow\nend 1-slow\nstart 2\nend 2\nstart 3-fail\nend 3-fail\n");
}

// Restarts while updates run and wait: accepted updates run once, in
// order; a script still running keeps its turn, with the start script
// behind it; one that started and died is not run again; a second service
// in the same directory touches nothing; a pending-updates file that is not
// a regular file is moved aside unread.
TEST_F(Service, AcceptedUpdatesRunOnceInOrderAcrossARestart) {
    box_.write("Update_Skein_Edge.sh",
               "echo \"start $1\" >> runs\n"
               "echo $$ > script.pid\n"
               "case $1 in v1) sleep 4 ;; v5) sleep 30 ;; esac\n"
               "echo \"end $1\" >> runs\n");
    box_.write("start_containers.sh", "echo containers >> runs\n");
    start();
    for (const char* version : {"v1", "v2", "v3"}) {
        ASSERT_EQ(get(std::string("/update?version=") + version),
                  reply_text("200 OK", std::string("Update initiated with version ") + version));
    }
    ASSERT_TRUE(box_.wait_for_content("runs", "containers\nstart v1\n"));

    const std::string log_before = box_.log();
    const std::string second =
        box_.file("skein_edge_updater").string() + " 2> " + (box_.root() / "second").string();
    EXPECT_EQ(WEXITSTATUS(std::system(second.c_str())), 1);
    EXPECT_EQ(skein_test::read_file(box_.root() / "second"),
              "skein_edge_updater: another skein_edge_updater already serves this directory; "
              "this one ends without touching anything\n");
    EXPECT_EQ(box_.read("installation_details/status.info"), "Update in progress");
    EXPECT_EQ(box_.log(), log_before);

    box_.stop();
    start();
    EXPECT_EQ(get("/status"), reply_text("200 OK", "Update in progress"));
    EXPECT_EQ(get("/update?version=v4"), reply_text("200 OK", "Update initiated with version v4"));
    EXPECT_TRUE(box_.wait_for_content("runs",
                                      "containers\nstart v1\nend v1\ncontainers\nstart v2\n"
                                      "end v2\nstart v3\nend v3\nstart v4\nend v4\n",
                                      std::chrono::seconds(20)));
    EXPECT_TRUE(settles_at("Update complete"));
    const std::string log = box_.log();
    for (const char* version : {"v2", "v3"}) {
        EXPECT_NE(log.find(std::string(": Resuming the update accepted before the restart: sh "
                                       "Update_Skein_Edge.sh ") +
                           version + "\n"),
                  std::string::npos)
            << log;
    }
    EXPECT_NE(log.find("still running from before the restart; later updates wait for it: sh "
                       "Update_Skein_Edge.sh v1\n"),
              std::string::npos);

    EXPECT_EQ(get("/update?version=v5"), reply_text("200 OK", "Update initiated with version v5"));
    ASSERT_TRUE(box_.wait_for_log("Executing command: sh Update_Skein_Edge.sh v5"));
    ASSERT_TRUE(box_.wait_for_content("runs",
                                      "containers\nstart v1\nend v1\ncontainers\nstart v2\n"
                                      "end v2\nstart v3\nend v3\nstart v4\nend v4\nstart v5\n"));
    box_.kill_now();
    kill(std::stoi(box_.read("script.pid")), SIGKILL);
    start();
    EXPECT_TRUE(
        box_.wait_for_log("Abandoning the update command that had started before the "
                          "restart: sh Update_Skein_Edge.sh v5\n"));
    EXPECT_EQ(get("/status"), reply_text("200 OK", "Waiting for command"));
    EXPECT_FALSE(fs::exists(box_.file(".pending_updates")));

    // Hand-made in its place: a FIFO (which would block a plain open) and a
    // link to a file whose lines must not reach the log.
    box_.write("elsewhere", "queued secret-line\n");
    for (bool fifo : {true, false}) {
        box_.stop();
        fs::remove(box_.file(".pending_updates.invalid"));
        if (fifo) {
            ASSERT_EQ(mkfifo(box_.file(".pending_updates").c_str(), 0600), 0);
        } else {
            fs::create_symlink("elsewhere", box_.file(".pending_updates"));
        }
        start();
        EXPECT_TRUE(
            box_.wait_for_log("Moved .pending_updates aside to .pending_updates.invalid "
                              "(not a regular file); the updates it named will not run"));
        EXPECT_TRUE(fs::is_symlink(box_.file(".pending_updates.invalid")) != fifo);
        EXPECT_EQ(box_.log().find("secret-line"), std::string::npos);
    }
}

TEST_F(Service, CommandsInheritNeitherTheClientNorTheListener) {
    start();
    // docker runs while the reboot route still holds the client's
    // connection; a descriptor it inherited would hold the reply open.
    box_.stubs().set_linger("docker", "8");
    const auto begin = skein_test::Clock::now();
    EXPECT_EQ(get("/reboot"), reply_text("200 OK", "Reboot initiated"));
    EXPECT_LT(skein_test::Clock::now() - begin, std::chrono::seconds(6));
    // An orphaned command must not keep port 8888 from a restarted service.
    box_.kill_now();
    box_.launch(box_.box() / "skein_edge_updater");
    ASSERT_TRUE(box_.wait_until_serving()) << box_.log();
}

// ---- Reboot ----

TEST_F(Service, RebootStopsContainersThenReboots) {
    start();
    EXPECT_EQ(get("/reboot"), reply_text("200 OK", "Reboot initiated"));
    EXPECT_EQ(box_.stubs().calls("docker"), "compose down\n");
    ASSERT_TRUE(box_.wait_for_content("../bin/reboot.calls", "\n"));
    ASSERT_TRUE(box_.wait_for_content("installation_details/status.info", "Reboot initiated"));
    EXPECT_TRUE(box_.wait_for_log(": Reboot command executed successfully.\n")) << box_.log();
}

// A hung "docker compose down" holds the control API only for its limit;
// then it is stopped and the box reboots all the same.
TEST(ServiceReboot, HungComposeDownIsStoppedAtItsLimit) {
    ServiceSandbox box;
    box.stubs().set_sleep("docker", "60");
    box.start({"SKEIN_COMPOSE_DOWN_TIMEOUT=1"});
    ASSERT_TRUE(box.wait_until_serving());
    const auto begin = skein_test::Clock::now();
    EXPECT_EQ(get("/reboot"), reply_text("200 OK", "Reboot initiated"));
    EXPECT_LT(skein_test::Clock::now() - begin, std::chrono::seconds(10));
    EXPECT_TRUE(box.wait_for_content("../bin/reboot.calls", "\n"));
    EXPECT_NE(box.log().find(" E "), std::string::npos);
    EXPECT_NE(box.log().find(": \"docker compose down\" did not end within 1 s: stopped it and "
                             "its process group, rebooting all the same\n"),
              std::string::npos);
}

TEST_F(Service, FailedRebootShowsInStatus) {
    box_.stubs().set_exit("reboot", 1);
    box_.stubs().set_exit("docker", 1);
    start();
    EXPECT_EQ(get("/reboot"), reply_text("200 OK", "Reboot initiated"));
    ASSERT_TRUE(settles_at("Reboot failed"));
    EXPECT_NE(box_.log().find(": Executing reboot command: reboot\n"), std::string::npos);
}

// ---- Read-only routes ----

TEST_F(Service, ReadOnlyRoutesServeTheFiles) {
    box_.write("installation_details/version.info", "3.1\n");
    box_.write("installation_details/previous_version.info", "3.0\nsecond line\n");
    box_.write("installation_details/previous_version_temp.info", "");
    start();
    box_.write("installation_details/status.info", "Update complete\r\nmore");
    EXPECT_EQ(get("/status"), reply_text("200 OK", "Update complete"));
    EXPECT_EQ(get("/version"), reply_text("200 OK", "Current version: 3.1\n"));
    EXPECT_EQ(get("/versions"), reply_text("200 OK", "Current version: 3.1\n"));
    EXPECT_EQ(get("/previousversion"), reply_text("200 OK", "Previous version: 3.0\n"));
    EXPECT_EQ(get("/previousversiontemp"), reply_text("200 OK", "Previous version temp: "));
}

TEST_F(Service, MissingFilesAreReported) {
    start();
    fs::remove(box_.file("installation_details/status.info"));
    EXPECT_EQ(get("/status"), reply_text("200 OK", "Status file not found"));
    EXPECT_EQ(get("/version"), reply_text("404 Not Found", "Version file not found"));
    EXPECT_EQ(get("/previousversion"),
              reply_text("404 Not Found", "Previous version file not found"));
    EXPECT_EQ(get("/previousversiontemp"),
              reply_text("404 Not Found", "Previous version temp file not found"));
    const std::string log = box_.log();
    for (const char* line :
         {": File Not Found: Status file [installation_details/status.info] not found. \n",
          ": File Not Found: Version file [installation_details/version.info] not found. \n",
          ": File Not Found: Previous Version file "
          "[installation_details/previous_version.info] not found. \n",
          ": File Not Found: Previous Version temporary file "
          "[installation_details/previous_version_temp.info] not found. \n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

// ---- Malformed requests and difficult clients ----

TEST_F(Service, InvalidRequestsGetTheInvalidReply) {
    start();
    const std::string invalid = reply_text("400 Bad Request", "Invalid API request");
    for (const char* request :
         {"POST /status HTTP/1.1\r\n\r\n", "get /status HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\n\r\n",
          "GET /upd", "\r\n", "GET  /status\r\n", "GET /status"}) {
        const std::string reply = exchange(request);
        if (std::string(request) == "GET /status") {
            // No line end: routed on the raw text all the same.
            EXPECT_EQ(reply, reply_text("200 OK", "Waiting for command"));
        } else {
            EXPECT_EQ(reply, invalid) << request;
        }
    }
    const std::string log = box_.log();
    EXPECT_NE(log.find(": Invalid API Request : POST /status HTTP/1.1\n"), std::string::npos);
    EXPECT_NE(log.find(": Recieved Request : \n"), std::string::npos);
    EXPECT_NE(log.find(": Invalid API Request : \n"), std::string::npos);
}

TEST_F(Service, OversizedRequestIsCutAndAnswered) {
    start();
    const std::string request =
        "GET /update?version=" + std::string(5000, 'v') + " HTTP/1.1\r\n\r\n";
    const std::string reply = exchange(request);
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n"
        "Update initiated with version vvvv";
    EXPECT_EQ(reply.substr(0, head.size()), head);
    EXPECT_EQ(reply.size(), 2047u);
    // Only the first 2047 bytes were read: the version is what fits.
    EXPECT_EQ(box_.read("installation_details/version.info"), std::string(2047 - 20, 'v'));
    EXPECT_EQ(get("/status").find("HTTP/1.1 200 OK"), 0u);
}

TEST_F(Service, SilentAndIdleClientsGetTheFailedReadReply) {
    start();
    const std::string failed = reply_text("400 Bad Request", "Failed to read request");
    {
        int silent = skein_test::connect_to_service();
        shutdown(silent, SHUT_WR);
        EXPECT_EQ(skein_test::read_to_eof(silent), failed);
        close(silent);
    }
    int idle = skein_test::connect_to_service();
    // A client behind the idle one is served meanwhile; the idle one gets
    // its reply at the idle limit.
    EXPECT_EQ(get("/status"), reply_text("200 OK", "Waiting for command"));
    EXPECT_EQ(skein_test::read_to_eof(idle, std::chrono::seconds(kIdleLimitSeconds + 3)), failed);
    close(idle);
    EXPECT_NE(box_.log().find(" E "), std::string::npos);
    EXPECT_NE(box_.log().find(": Bad Request\n"), std::string::npos);
    // The listener waits under the same limit: a quiet spell longer than it
    // ends one wait for a connection, never the service.
    std::this_thread::sleep_for(std::chrono::seconds(kIdleLimitSeconds + 1));
    EXPECT_EQ(get("/status"), reply_text("200 OK", "Waiting for command"));
}

TEST_F(Service, ClientThatResetsBeforeTheReplyDoesNotEndTheService) {
    start();
    // While /reboot waits for the containers to stop, clients queue up and
    // reset their connections; each reply is then written to a dead peer.
    box_.stubs().set_sleep("docker", "1");
    int rebooting = skein_test::connect_to_service();
    skein_test::send_all(rebooting, "GET /reboot HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 4; ++i) {
        int fd = skein_test::connect_to_service();
        if (i % 2 == 0) {
            skein_test::send_all(fd, "GET /status HTTP/1.1\r\n\r\n");
        }
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    EXPECT_EQ(skein_test::read_to_eof(rebooting), reply_text("200 OK", "Reboot initiated"));
    close(rebooting);
    EXPECT_EQ(get("/status").rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_TRUE(box_.running());
}

TEST_F(Service, StatusFileThatCannotBeWrittenEndsTheService) {
    start();
    fs::remove_all(box_.file("installation_details"));
    get("/update?version=5");
    EXPECT_EQ(box_.wait_for_exit(), 1);
    EXPECT_NE(box_.log().find(": Error opening fileinstallation_details/status.info\n"),
              std::string::npos);
}

TEST_F(Service, CurlIsARealClient) {
    start();
    FILE* curl = popen("curl -s --max-time 10 http://127.0.0.1:8888/status", "r");
    ASSERT_NE(curl, nullptr);
    char body[256] = {0};
    size_t length = fread(body, 1, sizeof body - 1, curl);
    EXPECT_EQ(pclose(curl), 0);
    EXPECT_EQ(std::string(body, length), "Waiting for command");
}

}  // namespace
