/* The box identifier: 16 bytes, the wall-clock time in microseconds big-endian
 * in bytes 0-7 and kernel randomness in bytes 8-15, shown as four groups of
 * eight upper-case hex digits joined by "-". */
#ifndef TOOLS_UNIQUE_ID_WRITER_UNIQUE_ID_H
#define TOOLS_UNIQUE_ID_WRITER_UNIQUE_ID_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UNIQUE_ID_SIZE 16
#define UNIQUE_ID_TIME_SIZE 8
/* 32 digits, three "-" and the terminating NUL. */
#define UNIQUE_ID_TEXT_SIZE 36

/* Stores micros big-endian in bytes 0-7 of id; the other bytes are untouched. */
void unique_id_set_time(unsigned char id[UNIQUE_ID_SIZE], uint64_t micros);

/* Writes the text form of id, NUL-terminated, into text. */
void unique_id_format(const unsigned char id[UNIQUE_ID_SIZE], char text[UNIQUE_ID_TEXT_SIZE]);

/* Fills id with a new identifier. Returns 0; returns -1 after reporting on
 * standard error when no random bytes can be had. */
int generate_16byte_id(unsigned char id[UNIQUE_ID_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
