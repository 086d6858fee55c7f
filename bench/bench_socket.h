/* Socket set-up shared by the benchmark's plain C programs. */
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { kBenchBacklog = 5 };

/* An IPv4 address record for host (in host byte order) and port. */
static inline struct sockaddr_in bench_address(uint32_t host, int port) {
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = htonl(host);
    return address;
}

/* The listening socket of a baseline server: every local address, port,
 * the service's backlog, reusable at once after a run. */
/* The socket, or -1 with errno set. */
static inline int open_bench_listener(int port) {
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0) {
        return -1;
    }
    int reuse = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    struct sockaddr_in address = bench_address(INADDR_ANY, port);
    if (bind(server, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(server, kBenchBacklog) != 0) {
        close(server);
        return -1;
    }
    return server;
}
