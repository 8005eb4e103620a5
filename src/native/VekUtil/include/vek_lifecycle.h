/* Lifecycle notifications: modules register a handler once and are told when
 * a Java VM becomes available or goes away, when the process is a freshly
 * forked child, and when it exits. vek_lifecycleInit also starts the library's
 * modules in their fixed order; call it first thing in main(). */
#ifndef VEK_LIFECYCLE_H
#define VEK_LIFECYCLE_H

#include <jni.h>

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  VEK_VM_AVAILABLE = 0,
  VEK_VM_UNAVAILABLE = 1,
  VEK_CHILD_AFTER_FORK = 2,
  VEK_SHUTDOWN = 3
} VEK_LIFECYCLE_STAGE;

/* `vm` is the VM for VEK_VM_AVAILABLE and NULL for every other stage.
 * Handlers run with the registry locked: they must not register, unregister
 * or raise another stage. */
typedef void (*vek_lifecycle_t)(VEK_LIFECYCLE_STAGE stage, JavaVM* vm);

void vek_lifecycleInit(void);
void vek_addLifecycleNotification(vek_lifecycle_t proc);
void vek_removeLifecycleNotification(vek_lifecycle_t proc);
void vek_lifecycleVMAvailable(JavaVM* vm);
void vek_lifecycleVMUnavailable(void);
/* Call in a forked child: raises VEK_VM_UNAVAILABLE and VEK_CHILD_AFTER_FORK and
 * suppresses the shutdown notification at exit. */
void vek_lifecycleChildAfterFork(void);
/* true re-enables the shutdown notification for a daemonised child. */
void vek_lifecycleSetDaemonized(bool is_daemon);

#ifdef __cplusplus
}
#endif

#endif /* VEK_LIFECYCLE_H */
