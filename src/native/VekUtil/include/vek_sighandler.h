/* Signal handling on a dedicated thread (Linux only): the termination signals
 * SIGINT, SIGTERM, SIGQUIT and SIGHUP are blocked in every thread and
 * collected synchronously by one thread, which hands each to the program's
 * exit routine or to the disposition the signal had before. The Windows build
 * has none of these functions. */
#ifndef VEK_SIGHANDLER_H
#define VEK_SIGHANDLER_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The program's exit routine: receives the signal number. Returning 0 keeps
 * the process and the signal thread going; any other value ends the signal
 * handling (the earlier dispositions are restored and receive later signals). */
typedef int (*vek_daemon_exit_t)(int signal_number);

#ifndef _WIN32
/* Blocks the termination signals in the calling thread and starts the signal
 * thread; SIGTTIN and SIGTTOU are ignored from now on. Call once, on the main
 * thread, before any other thread (or a Java VM) is started: only threads
 * created afterwards inherit the block. A SIGHUP ignored at this point stays
 * ignored. Failures are reported through the failsafe logger (standard error)
 * and leave the earlier dispositions in place. Calling it while the block is
 * installed changes nothing; a call while the exit routine runs on the
 * signal thread first waits for its answer, so that a block the answer ends
 * is installed anew (the routine must therefore not wait for a thread that
 * installs the block). */
void vek_installSignalBlock(void);

/* True while the block is installed (between vek_installSignalBlock and the
 * end of the signal handling). */
bool vek_isSignalBlockInstalled(void);

/* Registers the exit routine that decides what a signal means, replacing an
 * earlier one. Returns 1 when registered; 0 (logged at ERROR) without an
 * installed block or for a NULL routine. */
int vek_registerSignalHandlers(vek_daemon_exit_t handler);

/* Marks SIGHUP, SIGINT, SIGQUIT or SIGTERM as swallowed (true) or handled
 * again (false). Returns false (logged at WARN) for any other signal and
 * without an installed block. */
bool vek_setSignalDiscarded(int signal_number, bool discarded);

/* With `enabled`, the signal thread also reaps, at every round (at least
 * four times a second), each child process that has ended and that the
 * process runner does not wait for itself: the orphans handed to this
 * process included, when it is the first process of a pid namespace or a
 * child subreaper. The runner's children keep their exit status for the
 * runner; while one of them has ended and is not yet reaped by the runner,
 * the others are found through /proc (when it is that of the process's pid
 * namespace; else they wait for the runner). Code that waits for a child of
 * its own by pid outside the runner is not guaranteed its status. Off by
 * default; takes effect with an installed block. */
void vek_setChildReaping(bool enabled);

/* The number of rounds the signal thread has made so far: it grows at least
 * four times a second while the thread lives and is not held up (in the exit
 * routine, say); 0 before any signal thread ran. */
unsigned long vek_getSignalThreadHeartbeat(void);

/* Registers this module's lifecycle handler: a forked child drops the signal
 * handling it inherited (earlier dispositions restored, nothing blocked).
 * Called once by vek_lifecycleInit. */
void vek_initialize_signals(void);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VEK_SIGHANDLER_H */
