/* Signal handling on a dedicated thread (Linux only): the termination signals
 * are blocked in every thread and collected synchronously by one thread. */
#ifndef VEK_SIGHANDLER_H
#define VEK_SIGHANDLER_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Registers this module's lifecycle handler: a forked child drops the signal
 * handling it inherited (saved dispositions restored, nothing blocked).
 * Called once by vek_lifecycleInit. */
void vek_initialize_signals(void);

#ifdef __cplusplus
}
#endif

#endif /* VEK_SIGHANDLER_H */
