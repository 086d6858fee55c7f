/* Provisioning tool: gives the box an identifier in its cloud configuration
 * file, unless one is there, and shows it as the box's serial number. */
#include <stdio.h>
#include <stdlib.h>

#include "tools/unique_id_writer/banner.h"
#include "tools/unique_id_writer/cloud_config.h"
#include "tools/unique_id_writer/unique_id.h"

#define ALREADY_PRESENT_TEXT "UUID already present in the file. No changes made."

int main(void) {
    if (is_uuid_present_in_file() == 1) {
        puts(ALREADY_PRESENT_TEXT);
        return EXIT_SUCCESS;
    }
    unsigned char id[UNIQUE_ID_SIZE];
    /* The serial number is shown only once it is stored. */
    if (generate_16byte_id(id) != 0 || format_and_write_to_file(id) != 0) {
        return EXIT_FAILURE;
    }
    formattedIdPrint(id);
    return EXIT_SUCCESS;
}
