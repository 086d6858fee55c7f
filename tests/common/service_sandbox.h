// Runs the built service in a throw-away box directory: the binary copied in
// under its own name, stub box scripts that record their arguments, stub
// `docker` and `reboot` first on PATH (checked to win), and a client that
// talks raw HTTP to 127.0.0.1:8888. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/stub_commands.h"
#include "tests/common/temp_dir.h"

#ifndef SKEIN_EDGE_UPDATER_BINARY
#error "SKEIN_EDGE_UPDATER_BINARY must name the built service"
#endif

namespace skein_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline constexpr int kPort = 8888;

// ---- Raw HTTP client ----

// Port 8888 on the given IPv4 address (host byte order).
inline sockaddr_in service_address(std::uint32_t host = INADDR_LOOPBACK) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(host);
    return address;
}

inline int connect_to_service(std::chrono::milliseconds patience = std::chrono::seconds(10),
                              std::uint32_t host = INADDR_LOOPBACK) {
    const auto deadline = Clock::now() + patience;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = service_address(host);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return fd;
        }
        close(fd);
        if (Clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

inline void send_all(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

// Reads until the service closes the connection or the time runs out.
inline std::string read_to_eof(int fd,
                               std::chrono::milliseconds patience = std::chrono::seconds(15)) {
    std::string data;
    const auto deadline = Clock::now() + patience;
    char buffer[4096];
    while (Clock::now() < deadline) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0) {
            continue;
        }
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

// One request, the whole reply; empty when the service could not be reached.
inline std::string exchange(const std::string& request) {
    int fd = connect_to_service();
    if (fd < 0) {
        return "";
    }
    send_all(fd, request);
    std::string reply = read_to_eof(fd);
    close(fd);
    return reply;
}

inline std::string get(const std::string& target) {
    return exchange("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

inline std::string reply_text(const std::string& status_line, const std::string& body) {
    return "HTTP/1.1 " + status_line + "\r\nContent-Type: text/plain\r\n\r\n" + body;
}

inline bool port_is_free() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int reuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address = service_address(INADDR_ANY);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

// ---- The box ----

// The update script records each argument byte for byte and then how many
// it got (so a test that sees the count can read the arguments), optionally
// sleeps, and exits with the code in update.exit.
inline constexpr const char kUpdateScriptStub[] =
    "#!/bin/sh\n"
    "i=0; for a in \"$@\"; do i=$((i+1)); printf '%s' \"$a\" > update.arg$i; done\n"
    "echo \"$#\" >> update.argc\n"
    "[ -f update.sleep ] && sleep \"$(cat update.sleep)\"\n"
    "code=0; [ -f update.exit ] && code=$(cat update.exit)\n"
    "exit \"$code\"\n";

inline constexpr const char kStartScriptStub[] =
    "#!/bin/sh\n"
    "echo started >> containers.calls\n"
    "[ -f containers.sleep ] && sleep \"$(cat containers.sleep)\"\n"
    "code=0; [ -f containers.exit ] && code=$(cat containers.exit)\n"
    "exit \"$code\"\n";

class ServiceSandbox {
  public:
    // box_name lets a test give the box directory a long or odd name.
    explicit ServiceSandbox(const std::string& box_name = "box",
                            const std::string& binary_name = "skein_edge_updater")
        : root_(false), box_(root_.path() / box_name), stubs_(root_.path() / "bin") {
        fs::create_directories(box_);
        binary_ = box_ / binary_name;
        fs::copy_file(SKEIN_EDGE_UPDATER_BINARY, binary_);
        write_file(box_ / "Update_Skein_Edge.sh", kUpdateScriptStub);
        write_file(box_ / "start_containers.sh", kStartScriptStub);
    }
    ~ServiceSandbox() { stop(); }
    ServiceSandbox(const ServiceSandbox&) = delete;
    ServiceSandbox& operator=(const ServiceSandbox&) = delete;

    const fs::path& box() const { return box_; }
    const fs::path& root() const { return root_.path(); }
    const StubCommands& stubs() const { return stubs_; }
    fs::path file(const std::string& relative) const { return box_ / relative; }
    std::string read(const std::string& relative) const { return read_file(box_ / relative); }
    // Makes the file's directory first, so a box can be prepared before the
    // service has made its own directories.
    void write(const std::string& relative, const std::string& content) const {
        fs::create_directories((box_ / relative).parent_path());
        write_file(box_ / relative, content);
    }
    std::string log() const { return read("logs/update_logs/skein_edge_updater_100.log"); }
    std::string output() const { return read_file(root_.path() / "stdout.txt"); }
    std::string errors() const { return read_file(root_.path() / "stderr.txt"); }
    pid_t pid() const { return pid_; }

    // Starts the service by its absolute path from the sandbox root (not
    // its own directory), so that it has to find its directory itself.
    // Throws when port 8888 is taken.
    void start(const std::vector<std::string>& extra_env = {}) {
        if (!port_is_free()) {
            throw std::runtime_error(
                "port 8888 is taken by another program: stop it and run the test again");
        }
        launch(binary_.string(), extra_env);
    }

    // Starts without checking the port, with argv[0] as given.
    void launch(const std::string& argv0, const std::vector<std::string>& extra_env = {}) {
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(root_.path().c_str()) != 0) {
                _exit(126);
            }
            redirect(STDOUT_FILENO, root_.path() / "stdout.txt");
            redirect(STDERR_FILENO, root_.path() / "stderr.txt");
            // As a supervisor starts it: an ignored SIGPIPE (ctest ignores
            // it) would hide a write to a dead peer.
            signal(SIGPIPE, SIG_DFL);
            for (const std::string& assignment : extra_env) {
                putenv(strdup(assignment.c_str()));
            }
            execl(binary_.c_str(), argv0.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    // Waits until the service has finished start-up and serves requests:
    // connections are accepted only after the container script has ended.
    // Right after a kill, a command the old process was just starting can
    // hold its listening socket until its exec closes it; a connection that
    // lands there is reset, so try again.
    bool wait_until_serving(std::chrono::milliseconds patience = std::chrono::seconds(10)) const {
        const auto deadline = Clock::now() + patience;
        do {
            if (exchange("GET /status HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0) == 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (Clock::now() < deadline);
        return false;
    }

    // The exit status once the process has ended by itself, within patience.
    std::optional<int> wait_for_exit(
        std::chrono::milliseconds patience = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + patience;
        while (pid_ > 0 && Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::nullopt;
    }

    // A process found ended is reaped and forgotten, so that no later kill
    // can reach another process that took over its pid.
    bool running() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
        }
        return pid_ > 0;
    }

    void kill_now() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (!wait_for_exit(std::chrono::seconds(5))) {
                kill_now();
            }
        }
    }

    // Polls a file of the box until it holds expected, within patience.
    bool wait_for_content(const std::string& relative, const std::string& expected,
                          std::chrono::milliseconds patience = std::chrono::seconds(10)) const {
        return poll_until([&] { return read(relative) == expected; }, patience);
    }

    // Polls the service's log until it holds text, within patience: a worker
    // logs the outcome of its command only after the command has ended.
    bool wait_for_log(const std::string& text,
                      std::chrono::milliseconds patience = std::chrono::seconds(10)) const {
        return poll_until([&] { return log().find(text) != std::string::npos; }, patience);
    }

  private:
    template <typename Condition>
    static bool poll_until(Condition condition, std::chrono::milliseconds patience) {
        const auto deadline = Clock::now() + patience;
        while (Clock::now() < deadline) {
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    static void redirect(int target, const fs::path& file) {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, target);
            close(fd);
        }
    }

    TempDir root_;
    fs::path box_;
    StubCommands stubs_;
    fs::path binary_;
    pid_t pid_ = -1;
};

}  // namespace skein_test
