/* Typed messages between running launchers and the registry of processors
 * that answer them. */
#ifndef VEK_MESSAGE_H
#define VEK_MESSAGE_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the processor registry and the transport's socket list on the
 * first call and registers this module's lifecycle handler; starts no server.
 * Called by vek_lifecycleInit. */
void vek_initialize_messaging(void);

/* Transport state: the first call creates the listening-socket list and its
 * mutexes (a call after vek_message_native_shutdown starts afresh). Does
 * nothing on Windows, which has no transport. */
void vek_message_native_init(void);
/* Closes every listening socket, removes its socket file and destroys the
 * list and mutexes. Raised at the shutdown stage. Does nothing on Windows. */
void vek_message_native_shutdown(void);

#ifdef __cplusplus
}
#endif

#endif /* VEK_MESSAGE_H */
