/* Levelled logging: log calls carrying their source file and line, fanned out
 * to registered logger functions, with a failsafe line on standard error for
 * code on the logging path itself. */
#ifndef VEK_LOGGING_H
#define VEK_LOGGING_H

#include <time.h>
#include <jni.h>

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A larger value is more severe. A call is delivered when its level is at or
 * above the threshold (VEKLOG_INFO by default). */
typedef enum {
  VEKLOG_DEBUG2 = 500,
  VEKLOG_DEBUG = 1000,
  VEKLOG_VERBOSE = 1500,
  VEKLOG_INFO = 2000,
  VEKLOG_WARN = 3000,
  VEKLOG_ERROR = 4000,
  VEKLOG_FATAL = 5000,
  VEKLOG_UNKNOWN = 10000
} VEKLOG_LEVEL;

/* What a logger receives. The event and its texts belong to the logging core
 * and live only while the loggers are called: a logger that keeps an event
 * must copy it. */
typedef struct vek_log_event_t {
  VEKLOG_LEVEL level;         /* level of the call */
  const char* filename;       /* source path exactly as the caller passed it */
  const char* short_filename; /* shortened source name, e.g. "VekUtil/src/vek_list" */
  int line;                   /* the caller's line number */
  const char* text;           /* the fully formatted message, never empty */
  time_t timestamp;           /* seconds since the epoch when the event was built */
  const char* timestamp_text; /* local time "YYYY-MM-DD hh:mm:ss.000" */
  const char* source;         /* optional tag naming the message's origin, or NULL */
  JNIEnv* env;                /* the thread's Java environment while a VM is registered, else NULL */
  jthrowable except;          /* optional Java exception to report, or NULL */
} vek_log_event_t;

typedef void (*vek_logger_t)(vek_log_event_t* event);

/* Converts between a logger and the untyped slots of the registry list. */
typedef union logger_function_converter {
  vek_logger_t function;
  void* data;
} logger_function_converter;

/* Supplies the caller's source path and line: veklog(VEK_HERE, VEKLOG_INFO, "..."). */
#define VEK_HERE __FILE__, __LINE__

/* Threshold; neither call takes a lock. */
void vek_setLogLevel(VEKLOG_LEVEL level);
VEKLOG_LEVEL vek_getLogLevel(void);

/* Constant text of a level ("DEBUG2" ... "FATAL"); "UNKNOWN" for any other
 * value. Never NULL; not to be freed. */
const char* veklog_getLevelText(VEKLOG_LEVEL level);

/* Log calls. None reports failure; what cannot be logged goes to the failsafe
 * logger or is dropped. A call below the threshold does nothing. */
void veklog(const char* file, int line, VEKLOG_LEVEL level, const char* format, ...) VEK_PRINTF_FORMAT(4, 5);
void veklog_ex(const char* file, int line, VEKLOG_LEVEL level, jthrowable except, const char* format, ...)
    VEK_PRINTF_FORMAT(5, 6);
void veklog_src(const char* file, int line, VEKLOG_LEVEL level, const char* source, const char* format, ...)
    VEK_PRINTF_FORMAT(5, 6);
void veklog_src_ex(const char* file, int line, VEKLOG_LEVEL level, jthrowable except, const char* source,
                   const char* format, ...) VEK_PRINTF_FORMAT(6, 7);

/* Registry of loggers, in registration order. A logger is held at most once.
 * vek_addLogger returns false when the registry could not grow;
 * vek_removeLogger returns true when the logger was registered. */
bool vek_addLogger(vek_logger_t logger);
bool vek_removeLogger(vek_logger_t logger);
bool vek_isLoggerAdded(vek_logger_t logger);
size_t vek_getNumLoggers(void);
void vek_removeAllLoggers(void);

/* A logger that accepts every event and does nothing. */
void vek_discardLogger(vek_log_event_t* event);

/* Delivers an already built event to every registered logger. */
void vek_log_to_all_loggers(vek_log_event_t* event);

/* The failsafe logger: "(-- failsafe logger --) file:line message\n" straight
 * to standard error, without lock, logger or threshold. */
void vek_internal_log_error(const char* file, int line, const char* format, ...) VEK_PRINTF_FORMAT(3, 4);

/* Log the command line or the environment as one message at `level`.
 * `comment` may be NULL for the default heading. */
void veklog_dumpCmdLineArgs(int argc, char** argv, VEKLOG_LEVEL level, const char* comment);
void veklog_dumpEnvironment(VEKLOG_LEVEL level, const char* comment);

/* Called once by vek_lifecycleInit before the other modules start. */
void vek_initialize_logging(void);

/* The shortened source name of `path` (suffix dropped, everything up to the
 * first "/native/" or "/native-test/" dropped, normalised). Returns a new text
 * the caller frees with free(), or NULL when out of memory. */
char* vek_truncate_filename(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* VEK_LOGGING_H */
