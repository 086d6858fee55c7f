// Shared pieces of the fault and load tests: their two sizes, the figures
// they report, and a client that tells a clean reply from a reset, a refusal
// or a time-out.
#pragma once

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/common/process_stats.h"
#include "tests/common/service_sandbox.h"

// Threads a sanitizer runtime adds to the service: ThreadSanitizer starts a
// background thread along with the first worker.
#ifndef SKEIN_SERVICE_HELPER_THREADS
#define SKEIN_SERVICE_HELPER_THREADS 0
#endif

namespace skein_test {

// ---- The service's own threads ----

// The most threads the service runs while no worker does.
inline constexpr std::size_t kServiceIdleThreads = 1 + SKEIN_SERVICE_HELPER_THREADS;

// Waits until no worker of the service runs any more (its command has
// ended and it has set the status); false when patience runs out.
inline bool wait_for_service_workers(
    pid_t pid, std::chrono::milliseconds patience = std::chrono::seconds(10)) {
    return wait_for_thread_count(kServiceIdleThreads, patience, std::to_string(pid));
}

// ---- Sizes ----

// SKEIN_LONG_TESTS=1 selects the long forms (minutes); CI runs the short.
inline bool long_run() {
    const char* value = std::getenv("SKEIN_LONG_TESTS");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

inline long scaled(long short_form, long long_form) { return long_run() ? long_form : short_form; }

// ---- Figures ----

// Printed as "[  FIGURE  ] name = value" and kept in the test's XML report.
template <typename Value>
void record_figure(const std::string& name, const Value& value) {
    const std::string text = [&] {
        if constexpr (std::is_arithmetic_v<Value>) {
            return std::to_string(value);
        } else {
            return std::string(value);
        }
    }();
    std::printf("[  FIGURE  ] %s = %s\n", name.c_str(), text.c_str());
    std::fflush(stdout);
    testing::Test::RecordProperty(name, text);
}

// ---- A client that reports how an exchange went ----

struct Outcome {
    std::string reply;
    // 0 when the service answered and closed cleanly; otherwise the errno of
    // the step that failed (ECONNREFUSED, ECONNRESET, EPIPE, ETIMEDOUT...).
    int error = 0;
    bool clean() const { return error == 0; }
};

struct ClientOptions {
    std::chrono::milliseconds patience = std::chrono::seconds(15);
    bool half_close = false;  // shut the sending side after the request
};

inline Outcome exchange_outcome(const std::string& request, const ClientOptions& options = {}) {
    Outcome outcome;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = service_address();
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        outcome.error = errno;
        close(fd);
        return outcome;
    }
    const auto deadline = Clock::now() + options.patience;
    // Sent without blocking beyond the deadline: a service that stops
    // reading (as it does after its one read) must not hang the client.
    std::size_t sent = 0;
    while (sent < request.size() && Clock::now() < deadline) {
        pollfd writable{fd, POLLOUT, 0};
        if (poll(&writable, 1, 100) <= 0) {
            continue;
        }
        ssize_t n =
            send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            outcome.error = errno;  // the reply may still be readable
            break;
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (options.half_close) {
        shutdown(fd, SHUT_WR);
    }
    char buffer[4096];
    for (;;) {
        if (Clock::now() >= deadline) {
            outcome.error = ETIMEDOUT;
            break;
        }
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0) {
            continue;
        }
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            outcome.error = errno;
            break;
        }
        outcome.reply.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return outcome;
}

// Connects and resets at once (SO_LINGER 0), after sending request if any.
inline void send_and_reset(const std::string& request) {
    int fd = connect_to_service();
    if (fd < 0) {
        return;
    }
    if (!request.empty()) {
        send_all(fd, request);
    }
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

inline std::string errno_name(int error) { return error == 0 ? "none" : std::strerror(error); }

}  // namespace skein_test
