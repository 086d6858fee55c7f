/* The baseline for the service's /status throughput: the least a
 * single-threaded server must do for one exchange (accept, one read, one
 * write of the same reply, close) and nothing else. Same backlog as the
 * service. Ends by itself after a time limit so that a forgotten one does
 * not linger.
 *
 * usage: http_bare_server [port [seconds]]   (defaults: 8888, 600) */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench_socket.h"

static const char kReply[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nWaiting for command";

enum { kRequestCapacity = 2048 };

int main(int argc, char** argv) {
    int port = argc > 1 ? atoi(argv[1]) : 8888;
    unsigned lifetime_seconds = argc > 2 ? (unsigned)atoi(argv[2]) : 600;
    alarm(lifetime_seconds);

    int server = open_bench_listener(port);
    if (server < 0) {
        perror("http_bare_server");
        return 1;
    }
    char request[kRequestCapacity];
    for (;;) {
        int client = accept(server, NULL, NULL);
        if (client < 0) {
            continue;
        }
        if (read(client, request, sizeof request - 1) > 0) {
            (void)send(client, kReply, sizeof kReply - 1, MSG_NOSIGNAL);
        }
        close(client);
    }
}
