/* The serial-number banner shown once the identifier is stored. */
#ifndef TOOLS_UNIQUE_ID_WRITER_BANNER_H
#define TOOLS_UNIQUE_ID_WRITER_BANNER_H

#include <stdio.h>

#include "tools/unique_id_writer/unique_id.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the framed, bold green banner around text to out. */
void print_banner(FILE* out, const char* text);

/* Prints the banner of id on standard output. */
void formattedIdPrint(const unsigned char id[UNIQUE_ID_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
