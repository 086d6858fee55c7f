// One connection handled in this process: the request bytes go into one end
// of a socketpair, handle_request serves the other end as it would an
// accepted connection, and the whole reply comes back.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "src/commands.h"

namespace skein_test {

inline std::string exchange_in_process(const std::string& request) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        std::perror("socketpair");
        std::abort();
    }
    // One write, so the service's single read sees the request whole up to
    // its read limit; more than the socket buffers hold could never reach
    // that read anyway.
    const std::size_t size = std::min<std::size_t>(request.size(), 64 * 1024);
    if (size > 0 && write(ends[0], request.data(), size) != static_cast<ssize_t>(size)) {
        std::perror("write");
        std::abort();
    }
    shutdown(ends[0], SHUT_WR);
    handle_request(ends[1]);
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = read(ends[0], buffer, sizeof buffer)) > 0) {
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    close(ends[0]);
    return reply;
}

}  // namespace skein_test
