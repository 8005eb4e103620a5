/* The file logger: appends log events to files in a log directory, grouped in
 * sets named by the local time of their configuration, rotated by size, with
 * old files and sets purged. One file log per process. The Windows build
 * carries only the module's mutex and its clean-up at exit. */
#ifndef VEK_LOGGING_FILE_H
#define VEK_LOGGING_FILE_H

#include "vek_logging.h"
#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the module's "file logger" mutex unless it exists; called by
 * vek_initialize_logging. Failures go to the failsafe logger. */
void vek_file_init_logging(void);

/* Closes an open log file, resets the module to its unconfigured state and
 * destroys the mutex; called at the VEK_SHUTDOWN lifecycle stage. Log calls
 * racing with it write nothing; the mutex is destroyed only once no thread
 * uses it (a mutex still in use at exit is left alone). In a forked child
 * the parent's threads count for nothing: it does not wait for them. */
void vek_file_cleanup_at_exit(void);

#ifndef _WIN32
/* Starts a new set in `dir` (created with its parents, mode 0755, when
 * missing) and opens its file 001: files are named
 * dir/prefix_YYYY-MM-DD_HHMMSS_NNN.log, the set time being the first second
 * not used by an existing set of `prefix`. Every file is created as a new
 * file: a name already taken, by anything, is skipped (the next second for
 * a set's first file, the next index in a rotation) and never opened. Files
 * are mode 0644 (less the umask), 0600 in a directory that other users can
 * write to, such as the temporary directory. Older sets of `prefix` beyond
 * num_sets - 1 are deleted; only the caller's own regular files with names
 * of that exact form count as sets, so other files in the directory (other
 * users' look-alikes included) are never touched. A file reaching
 * `max_size` bytes (0: never) is rotated to the next index, and `set_count`
 * older files of the set are kept beside the current one. Counts below 1
 * mean 3.
 * Returns true when the file is open; false (reported through the failsafe
 * logger) leaves the module unconfigured. Register vek_fileLogger yourself. */
bool veklog_file_configureLog(const char* dir, const char* prefix, vek_uint64_t max_size, int set_count, int num_sets);

/* The logger: one line "timestamp level [native] {source} text" per event,
 * never wrapped; nothing while no file is open. */
void vek_fileLogger(vek_log_event_t* event);

/* Full name of the open log file as a new text the caller frees with free();
 * NULL when no file is open or memory runs out. */
char* veklog_file_getCurrentFile(void);

/* Closes the file and forgets the configuration; the logger then writes
 * nothing until the next configuration. */
void veklog_file_closeLog(void);

/* In a child after fork: gives the child a descriptor of its own on the same
 * file, opened for appending, when the name still leads to that file, the
 * caller's own with a single link. The inherited descriptor is closed only
 * when it is still the log's (a daemon that closed its descriptors before
 * has it forgotten instead). Does nothing when no file is open; when the
 * file cannot be reopened the logger falls silent (failsafe line). */
void veklog_file_reclaimAfterFork(void);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VEK_LOGGING_FILE_H */
