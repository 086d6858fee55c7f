#define _GNU_SOURCE /* memmem */
#include "tools/unique_id_writer/cloud_config.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#define OPEN_FAILURE_FORMAT "Failed to open file %s "
#define WRITE_FAILURE_FORMAT "Failed to write file %s "

/* Fits either failure text with the path in place of its "%s". */
#define FILE_ERROR_MESSAGE_SIZE (sizeof WRITE_FAILURE_FORMAT + sizeof CLOUD_CONFIG_PATH)
_Static_assert(sizeof OPEN_FAILURE_FORMAT <= sizeof WRITE_FAILURE_FORMAT,
               "the message buffer is sized for the longer failure text");

/* Prints the formatted text through perror, which adds the text of errno. */
__attribute__((format(printf, 1, 2))) static void report_file_error(const char* format, ...) {
    int saved = errno;
    char message[FILE_ERROR_MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    errno = saved;
    perror(message);
}

int is_uuid_present_in_file(void) {
    FILE* file = fopen(CLOUD_CONFIG_PATH, "r");
    if (file == NULL) {
        return 0;
    }
    /* Whole lines, however long, so no key is missed and appended twice. */
    char* line = NULL;
    size_t capacity = 0;
    ssize_t length;
    int found = 0;
    while (!found && (length = getline(&line, &capacity, file)) >= 0) {
        found = memmem(line, (size_t)length, UNIQUE_ID_KEY, strlen(UNIQUE_ID_KEY)) != NULL;
    }
    free(line);
    fclose(file);
    return found;
}

/* Size of the file before anything is written; -1 when it cannot be told. */
static long current_size(FILE* file) {
    if (fseek(file, 0, SEEK_END) != 0) {
        return -1;
    }
    return ftell(file);
}

/* Whether the last byte is something other than a line feed, so the key line
 * would be joined to the file's last line. Leaves the stream ready to write. */
static int lacks_final_line_feed(FILE* file, long size) {
    int last = '\n';
    if (size > 0 && fseek(file, size - 1, SEEK_SET) == 0) {
        last = fgetc(file);
    }
    fseek(file, 0, SEEK_END);
    return last != EOF && last != '\n';
}

static int write_key_line(FILE* file, const char* text, int line_feed_first) {
    if (line_feed_first && fputc('\n', file) == EOF) {
        return -1;
    }
    if (fprintf(file, "%s%s\n", UNIQUE_ID_KEY, text) < 0) {
        return -1;
    }
    return fflush(file) == 0 ? 0 : -1;
}

int format_and_write_to_file(const unsigned char id[UNIQUE_ID_SIZE]) {
    FILE* file = fopen(CLOUD_CONFIG_PATH, "a+");
    if (file == NULL) {
        report_file_error(OPEN_FAILURE_FORMAT, CLOUD_CONFIG_PATH);
        return -1;
    }
    char text[UNIQUE_ID_TEXT_SIZE];
    unique_id_format(id, text);
    long size = current_size(file);
    int failed = write_key_line(file, text, lacks_final_line_feed(file, size)) != 0;
    int saved = errno;
    if (fclose(file) != 0 && !failed) {
        failed = 1;
        saved = errno;
    }
    if (!failed) {
        return 0;
    }
    errno = saved;
    report_file_error(WRITE_FAILURE_FORMAT, CLOUD_CONFIG_PATH);
    /* A partial key line would pass for a stored identifier on the next run. */
    if (size >= 0) {
        int ignored = truncate(CLOUD_CONFIG_PATH, (off_t)size);
        (void)ignored;
    }
    return -1;
}
