/* Runs glibc's glob(3) once in the current directory with GLOB_PERIOD and
 * GLOB_NOSORT and prints the number of paths, the milliseconds the call took
 * (globfree included), the process's peak resident size in KiB and the CPU
 * milliseconds (user and system) of the call.
 * Usage: glibc_glob_bench PATTERN */
#define _GNU_SOURCE
#include <glob.h>
#include <stdio.h>
#include <sys/resource.h>
#include <time.h>

static double clock_ms(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PATTERN\n", argv[0]);
        return 2;
    }
    const double cpu_start = clock_ms(CLOCK_PROCESS_CPUTIME_ID);
    const double start = clock_ms(CLOCK_MONOTONIC);
    glob_t found;
    const int rc = glob(argv[1], GLOB_PERIOD | GLOB_NOSORT, NULL, &found);
    const size_t count = rc == 0 ? found.gl_pathc : 0;
    globfree(&found);
    const double took = clock_ms(CLOCK_MONOTONIC) - start;
    const double cpu = clock_ms(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("%zu %.1f %ld %.1f\n", count, took, usage.ru_maxrss, cpu);
    return rc == 0 || rc == GLOB_NOMATCH ? 0 : 1;
}
