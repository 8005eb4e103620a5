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

#ifdef __cplusplus
}
#endif

#endif /* VEK_PROCESS_H */
