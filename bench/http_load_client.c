/* Load client for GET /status: N connections made by C concurrent workers.
 * Each connection is one full exchange as a controller makes it: connect,
 * send the request, read until the server closes, close, and compare the
 * reply byte for byte. Prints one line of key=value figures: connections per
 * second, p50/p99 latency (connect to end of reply) and errors.
 *
 * Replies end at close and carry no Content-Length, so the end of a reply
 * is EOF; general-purpose load tools miscount exactly this case. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "bench_socket.h"

static const char kRequest[] = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
static const char kExpectedReply[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nWaiting for command";

/* A reply longer than the expected one is already wrong; this only bounds
 * what is kept of it. */
enum { kReplyCapacity = 4096, kMaxWorkers = 256 };

enum ErrorKind { ERR_CONNECT, ERR_SEND, ERR_RECV, ERR_TIMEOUT, ERR_MISMATCH, ERR_KINDS };
static const char* const kErrorNames[ERR_KINDS] = {"connect", "send", "recv", "timeout",
                                                   "mismatch"};

/* ---- Run settings and shared counters ---- */

static long total_connections = 1000;  /* -n */
static int workers = 1;                /* -c */
static int port = 8888;                /* -p */
static int io_timeout_seconds = 5;     /* -t: per send/recv call */
static double run_limit_seconds = 120; /* -l: no connection starts after it */

static atomic_long next_connection;         /* index of the next connection to make */
static atomic_long error_counts[ERR_KINDS]; /* per kind */
static atomic_int mismatch_reported;        /* the first wrong reply is shown once */
static double* latencies_us;                /* per connection; < 0 when it failed */
static double run_deadline;                 /* monotonic seconds */

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void report_mismatch(const char* reply, size_t length) {
    if (atomic_exchange(&mismatch_reported, 1) == 0) {
        fprintf(stderr, "http_load_client: unexpected reply (%zu bytes): \"%.*s\"\n", length,
                (int)length, reply);
    }
}

/* ---- One exchange ---- */

static int open_connection(void) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    struct timeval limit = {io_timeout_seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    struct sockaddr_in address = bench_address(INADDR_LOOPBACK, port);
    if (connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int send_request(int fd) {
    size_t sent = 0;
    while (sent < sizeof kRequest - 1) {
        ssize_t n = send(fd, kRequest + sent, sizeof kRequest - 1 - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        sent += (size_t)n;
    }
    return 0;
}

/* Reads until EOF; returns the kind of error, or -1 when the reply is exact. */
static int receive_reply(int fd) {
    char reply[kReplyCapacity];
    size_t length = 0;
    for (;;) {
        ssize_t n = recv(fd, reply + length, sizeof reply - length, 0);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK ? ERR_TIMEOUT : ERR_RECV;
        }
        length += (size_t)n;
        if (length == sizeof reply) {
            break;
        }
    }
    if (length != sizeof kExpectedReply - 1 || memcmp(reply, kExpectedReply, length) != 0) {
        report_mismatch(reply, length);
        return ERR_MISMATCH;
    }
    return -1;
}

/* Returns the kind of error, or -1 on an exact reply. */
static int exchange(void) {
    int fd = open_connection();
    if (fd < 0) {
        return ERR_CONNECT;
    }
    int error = send_request(fd) == 0 ? receive_reply(fd) : ERR_SEND;
    close(fd);
    return error;
}

static void* worker_main(void* unused) {
    (void)unused;
    for (;;) {
        long index = atomic_fetch_add(&next_connection, 1);
        if (index >= total_connections || now_seconds() > run_deadline) {
            return NULL;
        }
        double start = now_seconds();
        int error = exchange();
        if (error >= 0) {
            atomic_fetch_add(&error_counts[error], 1);
            latencies_us[index] = -1;
        } else {
            latencies_us[index] = (now_seconds() - start) * 1e6;
        }
    }
}

/* ---- Figures ---- */

static int compare_doubles(const void* a, const void* b) {
    double x = *(const double*)a;
    double y = *(const double*)b;
    return (x > y) - (x < y);
}

/* Nearest-rank percentile of sorted values. */
static double percentile(const double* sorted, long count, double fraction) {
    if (count == 0) {
        return 0;
    }
    long rank = (long)(fraction * (double)count + 0.999999);
    if (rank < 1) {
        rank = 1;
    }
    return sorted[rank - 1];
}

/* Moves the latencies of successful connections to the front; returns how
 * many there are. */
static long keep_successes(double* values, long count) {
    long kept = 0;
    for (long i = 0; i < count; ++i) {
        if (values[i] >= 0) {
            values[kept++] = values[i];
        }
    }
    return kept;
}

static void usage(void) {
    fprintf(stderr,
            "usage: http_load_client [-n connections] [-c workers] [-p port]\n"
            "                        [-t io_timeout_s] [-l run_limit_s]\n");
    exit(2);
}

static void parse_arguments(int argc, char** argv) {
    int option;
    while ((option = getopt(argc, argv, "n:c:p:t:l:")) != -1) {
        switch (option) {
            case 'n':
                total_connections = strtol(optarg, NULL, 10);
                break;
            case 'c':
                workers = (int)strtol(optarg, NULL, 10);
                break;
            case 'p':
                port = (int)strtol(optarg, NULL, 10);
                break;
            case 't':
                io_timeout_seconds = (int)strtol(optarg, NULL, 10);
                break;
            case 'l':
                run_limit_seconds = strtod(optarg, NULL);
                break;
            default:
                usage();
        }
    }
    if (total_connections < 1 || workers < 1 || workers > kMaxWorkers || port < 1 || port > 65535 ||
        io_timeout_seconds < 1 || run_limit_seconds <= 0) {
        usage();
    }
}

int main(int argc, char** argv) {
    parse_arguments(argc, argv);
    latencies_us = calloc((size_t)total_connections, sizeof *latencies_us);
    if (latencies_us == NULL) {
        perror("http_load_client: calloc");
        return 2;
    }
    pthread_t threads[kMaxWorkers];
    double start = now_seconds();
    run_deadline = start + run_limit_seconds;
    int started = 0;
    for (; started < workers; ++started) {
        if (pthread_create(&threads[started], NULL, worker_main, NULL) != 0) {
            perror("http_load_client: pthread_create");
            break;
        }
    }
    for (int i = 0; i < started; ++i) {
        pthread_join(threads[i], NULL);
    }
    double seconds = now_seconds() - start;

    long attempted = atomic_load(&next_connection);
    if (attempted > total_connections) {
        attempted = total_connections;
    }
    long errors = 0;
    for (int kind = 0; kind < ERR_KINDS; ++kind) {
        errors += atomic_load(&error_counts[kind]);
    }
    long ok = keep_successes(latencies_us, attempted);
    qsort(latencies_us, (size_t)ok, sizeof *latencies_us, compare_doubles);

    printf(
        "connections=%ld concurrency=%d ok=%ld errors=%ld unfinished=%ld seconds=%.3f "
        "cps=%.1f p50_us=%.1f p99_us=%.1f",
        total_connections, workers, ok, errors, total_connections - attempted, seconds,
        (double)ok / seconds, percentile(latencies_us, ok, 0.50),
        percentile(latencies_us, ok, 0.99));
    for (int kind = 0; kind < ERR_KINDS; ++kind) {
        long count = atomic_load(&error_counts[kind]);
        if (count > 0) {
            printf(" err_%s=%ld", kErrorNames[kind], count);
        }
    }
    printf("\n");
    free(latencies_us);
    return errors == 0 && attempted == total_connections && started == workers ? 0 : 1;
}
