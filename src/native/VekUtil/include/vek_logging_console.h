/* The console logger: each log event as one line (or one wrapped paragraph)
 * on standard output, or on standard error from VEKLOG_ERROR upwards. */
#ifndef VEK_LOGGING_CONSOLE_H
#define VEK_LOGGING_CONSOLE_H

#include "vek_logging.h"
#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The logger; register it with vek_addLogger(vek_consoleLogger). Writes
 * "timestamp LEVEL [native] message" and, when the event carries a Java
 * exception and an environment, the exception's stack trace. On a stream
 * that is the journal's (the environment's JOURNAL_STREAM, read at each line,
 * names its device and inode) each line is "<p>LEVEL [native]
 * message" instead: no timestamp, and the syslog priority p: 3 for ERROR and
 * FATAL, 4 WARN, 6 INFO, 7 the debug levels (VERBOSE included). Reports
 * nothing. */
void vek_consoleLogger(vek_log_event_t* event);

/* false silences the logger for every level (true by default). No lock;
 * takes effect from the next event. */
void veklog_console_setEnabled(bool enabled);

/* true (the default) wraps lines at 80 columns with continuation lines
 * indented by two blanks; false writes each line exactly as formatted. */
void veklog_console_setWordWrapping(bool enabled);

#ifdef __cplusplus
}
#endif

#endif /* VEK_LOGGING_CONSOLE_H */
