/* Process control (Linux): launcher pid files, daemonising, process tests and
 * standard-stream redirection. A launcher's pid file is
 * <state directory>/.<app>-<host>.pid, holding its process ID and locked for
 * the life of the launcher; spaces, '\', '/' and ':' in <app>-<host> become
 * '_'. Meant for the main thread during start-up and for exit processing. */
#ifndef VEK_PROCESS_H
#define VEK_PROCESS_H

#include "vek_types.h"

#ifndef _WIN32
#include <sys/types.h>
#include <time.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Registers this module's lifecycle handler: a forked child forgets the
 * parent's pid file, and the shutdown stage deletes and then unlocks the pid
 * file this process recorded. Called once by vek_lifecycleInit; on Windows,
 * where there is no pid file, it does nothing. */
void vek_initialize_process(void);

#ifndef _WIN32
/* Keeps a copy of the state directory in which launchers keep their pid and
 * socket files, replacing an earlier one; NULL forgets it. */
void vek_setStateLocation(const char* state_location);

/* The kept state directory, or NULL when none was set. Owned by the library:
 * valid until the next vek_setStateLocation; do not free. */
const char* vek_getStateLocation(void);

/* Records that this launcher runs: creates the state directory when missing,
 * opens and locks the pid file and writes the process ID into it. The file
 * stays open and locked until exit, when it is deleted. Returns false (FATAL
 * line naming the user and group that need access) when the file cannot be
 * opened, and with errno EBUSY when another process holds its lock; that
 * file is left as it is. A NULL state_location means vek_getStateLocation().
 * Recording the same file again answers true. The file is opened without
 * following a link at its name and must be a regular file with one name;
 * only this process (not a child forked from it) deletes it at exit. */
bool vek_recordLauncherStartup(const char* app_name, const char* state_location);

/* True when a launcher of `app_name` holds its pid file in the state
 * directory (NULL: vek_getStateLocation()), this process's own recorded file
 * included. A file whose lock
 * is free is stale and ignored. With anySystem, a pid file named for another
 * host in the directory (shared between hosts) also counts as running. */
bool vek_isLauncherRunning(const char* app_name, const char* state_location, bool anySystem);

/* Turns the calling process into a daemon (double fork). Returns -1 in the
 * calling process once the daemon started (INFO line), 0 there when it could
 * not (FATAL line), and 1 in the daemon: its own session and process group,
 * working directory `basedir`, descriptors 0-2 on /dev/null, every other
 * inherited descriptor closed, console logging off, the signal block
 * re-installed when the caller had it. The daemon exits with status 1 when
 * it cannot change to `basedir`. Call before other threads start. */
int vek_daemonizeProcess(const char* daemonName, const char* basedir);

/* True when a process `pid` exists, also one owned by another user; false
 * for pid < 1. */
bool vek_isProcessRunning(pid_t pid);

/* True when this process is in the foreground process group of its
 * controlling terminal; false without a terminal or with standard input
 * closed. */
bool vek_isProcessInForeground(void);

pid_t vek_getParentProcessID(void);

/* Waits (polling once a second) until process `pid` no longer exists, at most
 * about `timeout` seconds (0: no limit). True when it ended, false on
 * time-out; the seconds waited go to *waittime when it is not NULL. */
bool vek_waitForExternalProcess(pid_t pid, time_t timeout, double* waittime);

/* Sends standard output (standard error) into the existing file `file`,
 * appending, unbuffered, and inherited by programs started later. False
 * (errno set) when the file cannot be opened or the switch fails; the stream
 * is then left alone. */
bool vek_redirectStdOutToFile(const char* file);
bool vek_redirectStdErrToFile(const char* file);

/* Whether a stop request to a running launcher waits until it is gone. */
void vek_setWaitForShutdown(bool waiting);

/* Requests to a running launcher. The launcher is found by its pid file
 * (`unique_name` in `state_location`; NULL: vek_getStateLocation()) and
 * reached through the socket file of `app_name` there (vek_getMessagePath).
 * Each sends one message describing the sender and waits, without limit,
 * for the reply; true when the launcher answered VEK_MESSAGE_OK. Everything
 * else is logged and gives false: a launcher that does not run, no reply, or
 * another answer. The server must be run by this user, root or the owner of
 * the launcher's locked pid file (so that root reaches a launcher of a
 * service account). A signal of a fallback goes only to the process that
 * holds the pid file's lock and whose ID, from 1 to the system's pid limit,
 * the file holds: never to an ID from a stale or broken pid file. */

/* A thread dump. Without a reply it is asked for with SIGQUIT to the process
 * in the pid file, and true means the signal was sent. */
bool vek_sendLauncherThreadDumpRequest(const char* app_name, const char* unique_name, const char* state_location);
/* A heap dump into `filename`, of live objects only when `onlyLive`. */
bool vek_sendLauncherHeapDumpRequest(const char* app_name, const char* unique_name, const char* state_location,
                                     const char* filename, bool onlyLive);
bool vek_sendLauncherSupportBundleRequest(const char* app_name, const char* unique_name, const char* state_location);
/* A new debug level: `type` and `requested_level` are passed unchanged; their
 * meaning belongs to the launcher. */
bool vek_sendLauncherSetDebugMessage(const char* app_name, const char* unique_name, const char* state_location,
                                     int type, const char* requested_level);
/* Stops the launcher: the stop message when its socket file exists, else (or
 * when it was not answered with VEK_MESSAGE_OK) SIGTERM to the process in the
 * pid file. A launcher that does not run counts as stopped (true) unless
 * `force` asks to try anyway (the signal still only reaches the holder of
 * the pid file's lock). After a stop that was carried out, and when
 * vek_setWaitForShutdown(true) was called, returns only once the launcher
 * is gone. False when the stop could not be carried out. */
bool vek_stopNamedLauncher(const char* app_name, const char* unique_name, const char* state_location, bool force);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VEK_PROCESS_H */
