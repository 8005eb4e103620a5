/* External process runner: starts programs as child processes and keeps the
 * list of those still running so that they can be signalled. */
#ifndef VEK_RUNNER_H
#define VEK_RUNNER_H

#include "vek_types.h"

#ifndef _WIN32
#include <pthread.h>
#include <sys/types.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifndef _WIN32
/* A started child. Created by the runner; not freed by it. */
typedef struct vek_process_handle_t {
  pthread_t threadid; /* thread that runs the wait */
  pid_t pid;          /* child process id; -1 when the fork failed */
  bool running;       /* true until the wait has decoded the exit status */
} vek_process_handle_t;
#endif

/* Creates the list of active processes and its mutex, once. Called by
 * vek_lifecycleInit. */
void vek_initialize_process_runner(void);

#ifdef __cplusplus
}
#endif

#endif /* VEK_RUNNER_H */
