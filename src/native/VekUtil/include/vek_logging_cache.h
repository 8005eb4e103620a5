/* The caching logger: keeps a copy of every event in memory until a real
 * destination exists, then replays the cache into the running Java VM or to
 * the registered loggers. */
#ifndef VEK_LOGGING_CACHE_H
#define VEK_LOGGING_CACHE_H

#include "vek_logging.h"
#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The logger: appends a deep copy of the event (texts duplicated, env
 * cleared) to the cache. The exception is kept as a new global reference of
 * the process's VM, made with the event's or the calling thread's
 * environment and deleted when the cached event is freed; with no
 * environment at hand the copy carries none. A caller's pending exception
 * stays pending. A copy that cannot be made is dropped with a failsafe
 * line. */
void vek_cachingLogger(vek_log_event_t* event);

/* Unregisters the caching logger, delivers every cached event, oldest first,
 * to the registered loggers (vek_log_to_all_loggers) and empties the cache. */
void vek_flushCachedLogMessages(void);

/* Frees every cached event, leaving an empty cache. */
void vek_cleanCachedLogMessages(void);

/* Hands every cached event, oldest first, to vek_javaVMLogger with the calling
 * thread's environment in the process's running VM (attaching the thread for
 * the duration when needed), then empties the cache. Without a VM, or when
 * the thread cannot be attached, the cache is discarded. */
void vek_pushCachedLogMessagesToVm(void);

#ifndef _WIN32
/* Writes the cache, oldest first, into a new "failed-startup" file-log set
 * (no rotation, one older file, three sets) and registers vek_fileLogger.
 * The directory is the first of install_dir/logs,
 * install_dir/../../state/default/logs and install_dir itself where a file
 * can be created, else the temporary directory. The last line written is
 * "Storing N cached startup log messages into a log file in DIR" while the
 * caching logger stays registered. Does nothing with an empty cache; when no
 * directory can be determined or the log cannot be opened, the cache is kept
 * (failsafe line) and nothing is registered. */
void vek_pushCachedLogMessagesToFile(const char* install_dir);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VEK_LOGGING_CACHE_H */
