/* The box's cloud configuration file and the identifier key line in it. */
#ifndef TOOLS_UNIQUE_ID_WRITER_CLOUD_CONFIG_H
#define TOOLS_UNIQUE_ID_WRITER_CLOUD_CONFIG_H

#include "tools/unique_id_writer/unique_id.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Relative to the working directory the tool is started in. */
#define CLOUD_CONFIG_PATH "../tarn_cnf/skein_cloud_config.cnf"
#define UNIQUE_ID_KEY "TARN_SKEIN_UNIQUE_ID="

/* Returns 1 when a line of the file holds the key anywhere, commented out or
 * not; 0 when none does or the file cannot be read. */
int is_uuid_present_in_file(void);

/* Appends the key line for id, after a line feed when the file's last line
 * lacks one. Returns 0 once the line is stored; returns -1 after reporting on
 * standard error when the file cannot be opened or the line not written, in
 * which case the file keeps its former size. */
int format_and_write_to_file(const unsigned char id[UNIQUE_ID_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
