/* The floor for the service's /status: a single-threaded loop that makes
 * exactly the system calls the design needs for one exchange and nothing
 * else: accept, one read of the request, the status file read (open, read,
 * close), one log line written and flushed (one write), the reply written,
 * close. The log line and the reply have the service's form, made with as
 * little work as C allows: the ids and the date text (once a second, as
 * spdlog does) are made ahead, the rest is copied in. Ends by itself after
 * a time limit so that a forgotten one does not linger.
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

enum { kBufferSize = 2048, kLineCapacity = 2 * kBufferSize };

static const char kReplyHead[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";

static const char* status_path;
static int log_fd;
/* What follows the level letter in every line: the ids, taken once, the
 * source prefix and the text before the request line. */
static char line_middle[128];
static size_t line_middle_length;

/* Appends size bytes to text at *length, cut at capacity. */
static void append(char* text, size_t* length, size_t capacity, const void* data, size_t size) {
    if (size > capacity - *length) {
        size = capacity - *length;
    }
    memcpy(text + *length, data, size);
    *length += size;
}

/* "[YYYY-MM-DD HH:MM:SS," in local time, made once a second as spdlog
 * makes it. */
static size_t date_text(time_t second, char* out) {
    static time_t cached_second = -1;
    static char cached[32];
    static size_t cached_length;
    if (second != cached_second) {
        struct tm local;
        localtime_r(&second, &local);
        cached_length = strftime(cached, sizeof cached, "[%Y-%m-%d %H:%M:%S,", &local);
        cached_second = second;
    }
    memcpy(out, cached, cached_length);
    return cached_length;
}

static void write_log_line(const char* request) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char line[kLineCapacity];
    size_t length = date_text(now.tv_sec, line);
    long milliseconds = now.tv_nsec / 1000000;
    char level[] = {(char)('0' + milliseconds / 100),
                    (char)('0' + milliseconds / 10 % 10),
                    (char)('0' + milliseconds % 10),
                    ' ',
                    'I',
                    ' '};
    append(line, &length, sizeof line, level, sizeof level);
    append(line, &length, sizeof line, line_middle, line_middle_length);
    /* The request line: up to the first CR LF; empty without one. */
    const char* end = strstr(request, "\r\n");
    append(line, &length, sizeof line - 1, request, end == NULL ? 0 : (size_t)(end - request));
    line[length++] = '\n';
    (void)!write(log_fd, line, length);
}

/* Appends the first line of the status file, without its line end. */
static void append_status(char* reply, size_t* length) {
    char status[kBufferSize];
    int fd = open(status_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    ssize_t received = read(fd, status, sizeof status - 1);
    close(fd);
    if (received > 0) {
        status[received] = '\0';
        append(reply, length, kBufferSize - 1, status, strcspn(status, "\r\n"));
    }
}

static void serve(int client) {
    char request[kBufferSize] = {0};
    if (read(client, request, sizeof request - 1) <= 0) {
        close(client);
        return;
    }
    write_log_line(request);
    char reply[kBufferSize];
    size_t length = 0;
    append(reply, &length, sizeof reply - 1, kReplyHead, sizeof kReplyHead - 1);
    append_status(reply, &length);
    (void)send(client, reply, length, MSG_NOSIGNAL);
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
    line_middle_length = (size_t)snprintf(
        line_middle, sizeof line_middle,
        "%ld %ld] commands.cpp:%d: Recieved Request : ", (long)getpid(), (long)gettid(), __LINE__);

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
