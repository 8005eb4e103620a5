/* The file logger's module state: created with the logging core and closed
 * at process exit. */
#ifndef VEK_LOGGING_FILE_H
#define VEK_LOGGING_FILE_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the module's "file logger" mutex; called once by
 * vek_initialize_logging. Failures go to the failsafe logger. */
void vek_file_init_logging(void);

/* Closes an open log file, resets the module to its unconfigured state and
 * destroys the mutex; called at the VEK_SHUTDOWN lifecycle stage. */
void vek_file_cleanup_at_exit(void);

#ifdef __cplusplus
}
#endif

#endif /* VEK_LOGGING_FILE_H */
