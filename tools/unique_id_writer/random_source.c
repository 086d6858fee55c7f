#include "tools/unique_id_writer/random_source.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

/* Tests build a variant with a missing device to reach the failure path. */
#ifndef UNIQUE_ID_RANDOM_DEVICE
#define UNIQUE_ID_RANDOM_DEVICE "/dev/urandom"
#endif

int fill_random_from_device(const char* path, unsigned char* buf, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    size_t done = 0;
    while (done < size) {
        ssize_t got = read(fd, buf + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got == 0) {
                errno = EIO;
            }
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        done += (size_t)got;
    }
    close(fd);
    return 0;
}

int fill_random(unsigned char* buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t got = getrandom(buf + done, size - done, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return fill_random_from_device(UNIQUE_ID_RANDOM_DEVICE, buf, size);
        }
        done += (size_t)got;
    }
    return 0;
}
