// Request handling, the routes of the control API, the command worker and
// the status lock.
#pragma once

#include <pthread.h>

#include <string>

#include "src/utils.h"

// ---- Shared state ----

// The service state. Guarded by status_mutex, except during start-up when no
// other thread exists.
extern Status current_status;

// The service's only lock: held while current_status changes and the status
// file is rewritten, never while a command runs.
extern pthread_mutex_t status_mutex;

// ---- Command worker ----

// Runs one command text through the system shell and sets the status from
// its outcome. command is a NUL-terminated text on the C heap; the worker
// owns it and frees it. Fits a POSIX thread start function.
void* execute_command(void* command);
