/* Random bytes from the kernel: getrandom, or the random device where the
 * call is refused (old kernels, syscall filters). */
#ifndef TOOLS_UNIQUE_ID_WRITER_RANDOM_SOURCE_H
#define TOOLS_UNIQUE_ID_WRITER_RANDOM_SOURCE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Fills buf with size random bytes. Returns 0, or -1 with errno set when
 * neither getrandom nor the random device gives them. */
int fill_random(unsigned char* buf, size_t size);

/* Fills buf with size bytes read from the device at path. Returns 0, or -1
 * with errno set (EIO when the device ends early). */
int fill_random_from_device(const char* path, unsigned char* buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif
