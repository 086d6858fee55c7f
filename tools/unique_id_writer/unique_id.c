#include "tools/unique_id_writer/unique_id.h"

#include <stdio.h>
#include <sys/time.h>

#include "tools/unique_id_writer/random_source.h"

#define RANDOM_FAILURE_TEXT "Failed to get random bytes "

/* Bytes per "-"-separated group of the text form. */
#define GROUP_SIZE 4

void unique_id_set_time(unsigned char id[UNIQUE_ID_SIZE], uint64_t micros) {
    for (int i = UNIQUE_ID_TIME_SIZE - 1; i >= 0; --i) {
        id[i] = (unsigned char)(micros & 0xFFu);
        micros >>= 8;
    }
}

void unique_id_format(const unsigned char id[UNIQUE_ID_SIZE], char text[UNIQUE_ID_TEXT_SIZE]) {
    static const char digits[] = "0123456789ABCDEF";
    char* out = text;
    for (int i = 0; i < UNIQUE_ID_SIZE; ++i) {
        if (i > 0 && i % GROUP_SIZE == 0) {
            *out++ = '-';
        }
        *out++ = digits[id[i] >> 4];
        *out++ = digits[id[i] & 0x0Fu];
    }
    *out = '\0';
}

int generate_16byte_id(unsigned char id[UNIQUE_ID_SIZE]) {
    struct timeval now;
    gettimeofday(&now, NULL);
    unique_id_set_time(id, (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_usec);
    /* Random bytes, not a time-seeded rand(): boxes provisioned within the
     * same second must still differ here. */
    if (fill_random(id + UNIQUE_ID_TIME_SIZE, UNIQUE_ID_SIZE - UNIQUE_ID_TIME_SIZE) != 0) {
        perror(RANDOM_FAILURE_TEXT);
        return -1;
    }
    return 0;
}
