#include "tools/unique_id_writer/banner.h"

#define BANNER_WIDTH 66
#define BOLD_GREEN "\x1b[1;32m"
#define RESET_ATTRIBUTES "\x1b[0m"
#define SERIAL_NUMBER_LABEL "*  EDGE BOX SERIAL NUMBER : "
#define SERIAL_NUMBER_END "  *"

static void print_border(FILE* out) {
    for (int i = 0; i < BANNER_WIDTH; ++i) {
        fputc('*', out);
    }
    fputc('\n', out);
}

static void print_blank_line(FILE* out) { fprintf(out, "*%*s*\n", BANNER_WIDTH - 2, ""); }

void print_banner(FILE* out, const char* text) {
    fputs(BOLD_GREEN, out);
    print_border(out);
    print_blank_line(out);
    fprintf(out, "%s%s%s\n", SERIAL_NUMBER_LABEL, text, SERIAL_NUMBER_END);
    print_blank_line(out);
    print_border(out);
    fputs(RESET_ATTRIBUTES, out);
}

void formattedIdPrint(const unsigned char id[UNIQUE_ID_SIZE]) {
    char text[UNIQUE_ID_TEXT_SIZE];
    unique_id_format(id, text);
    print_banner(stdout, text);
}
