/* The floor for the service's /status: a single-threaded loop that makes
 * exactly the system calls the design needs for one exchange and nothing
 * else: accept, one read of the request, the status file read (open, read,
 * close), one log line written and flushed (one write), the reply written,
 * close. The log line and the reply have the service's form; the process
 * and thread ids are taken once. Ends by itself after a time limit so that
 * a forgotten one does not linger.
 *
 * usage: http_floor_server port seconds status_file log_file */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "bench_socket.h"

enum { kBufferSize = 2048 };

static const char* status_path;
static int log_fd;
static long pid;
static long tid;

/* Up to the first CR LF, as the service logs it; empty without one. */
static int request_line_length(const char* request) {
    const char* end = strstr(request, "\r\n");
    return end == NULL ? 0 : (int)(end - request);
}

static void write_log_line(const char* request) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char line[kBufferSize + 128];
    int length = snprintf(
        line, sizeof line, "[%04d-%02d-%02d %02d:%02d:%02d,%03ld I %ld %ld] %s:%d: %s%.*s\n",
        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
        local.tm_sec, now.tv_nsec / 1000000, pid, tid, "commands.cpp", __LINE__,
        "Recieved Request : ", request_line_length(request), request);
    if (length > (int)sizeof line - 1) {
        length = (int)sizeof line - 1;
    }
    (void)!write(log_fd, line, (size_t)length);
}

/* The first line of the status file, without its line end. */
static void read_status(char* status) {
    memset(status, 0, kBufferSize);
    int fd = open(status_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    ssize_t received = read(fd, status, kBufferSize - 1);
    close(fd);
    if (received > 0) {
        status[strcspn(status, "\r\n")] = '\0';
    }
}

static void serve(int client) {
    char request[kBufferSize] = {0};
    if (read(client, request, sizeof request - 1) <= 0) {
        close(client);
        return;
    }
    write_log_line(request);
    char status[kBufferSize];
    read_status(status);
    char reply[kBufferSize];
    int length = snprintf(reply, sizeof reply,
                          "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n%s", status);
    if (length > (int)sizeof reply - 1) {
        length = (int)sizeof reply - 1;
    }
    (void)send(client, reply, (size_t)length, MSG_NOSIGNAL);
    close(client);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: http_floor_server port seconds status_file log_file\n");
        return 2;
    }
    int port = atoi(argv[1]);
    alarm((unsigned)atoi(argv[2]));
    status_path = argv[3];
    log_fd = open(argv[4], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid = (long)getpid();
    tid = (long)gettid();

    int server = open_bench_listener(port);
    if (log_fd < 0 || server < 0) {
        perror("http_floor_server");
        return 1;
    }
    for (;;) {
        int client = accept4(server, NULL, NULL, SOCK_CLOEXEC);
        if (client >= 0) {
            serve(client);
        }
    }
}
