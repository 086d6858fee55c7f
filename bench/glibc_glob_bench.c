/* Runs glibc's glob(3) once in the current directory with GLOB_PERIOD and
 * GLOB_NOSORT and prints the number of paths, the milliseconds the call took
 * (globfree included) and the process's peak resident size in KiB.
 * Usage: glibc_glob_bench PATTERN */
#define _GNU_SOURCE
#include <glob.h>
#include <stdio.h>
#include <sys/resource.h>
#include <time.h>

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PATTERN\n", argv[0]);
        return 2;
    }
    const double start = now_ms();
    glob_t found;
    const int rc = glob(argv[1], GLOB_PERIOD | GLOB_NOSORT, NULL, &found);
    const size_t count = rc == 0 ? found.gl_pathc : 0;
    globfree(&found);
    const double took = now_ms() - start;
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("%zu %.1f %ld\n", count, took, usage.ru_maxrss);
    return rc == 0 || rc == GLOB_NOMATCH ? 0 : 1;
}
