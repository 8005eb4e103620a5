/* Process control: launcher pid files, daemonising, process tests and
 * standard-stream redirection (Linux). */
#ifndef VEK_PROCESS_H
#define VEK_PROCESS_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Registers this module's lifecycle handler: a forked child forgets the
 * parent's pid file, and the shutdown stage unlocks and deletes the pid file
 * this process recorded. Called once by vek_lifecycleInit; on Windows, where
 * there is no pid file, it does nothing. */
void vek_initialize_process(void);

#ifndef _WIN32
/* Keeps a copy of the state directory in which launchers keep their pid and
 * socket files, replacing an earlier one; NULL forgets it. */
void vek_setStateLocation(const char* state_location);

/* The kept state directory, or NULL when none was set. Owned by the library:
 * valid until the next vek_setStateLocation; do not free. */
const char* vek_getStateLocation(void);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VEK_PROCESS_H */
