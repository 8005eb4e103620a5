/* External process runner: starts programs as child processes and keeps the
 * list of those still running so that they can be signalled. The Windows
 * build keeps only the list (vek_initialize_process_runner); starting,
 * waiting for and signalling children are Linux functions. */
#ifndef VEK_RUNNER_H
#define VEK_RUNNER_H

#include "vek_list.h"
#include "vek_types.h"

#ifndef _WIN32
#include <pthread.h>
#include <sys/types.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the list of active processes and its mutex, once. Called by
 * vek_lifecycleInit. */
void vek_initialize_process_runner(void);

#ifndef _WIN32

/* How the child's standard streams are set up. */
typedef enum {
  VEK_REDIRECT_NONE = 0,    /* output and error go to /dev/null; input inherited */
  VEK_REDIRECT_INHERIT = 1, /* all three inherited from the parent */
  VEK_REDIRECT_FILE = 2,    /* output and error appended to output.files (a NULL name is /dev/null) */
  VEK_REDIRECT_HANDLER = 3, /* output and error read through pipes and passed to output.handlers;
                               input is closed unless stdin_file is given */
  VEK_REDIRECT_FD = 4       /* input, output and error become copies of output.file_handle */
} vek_redirect_type_t;

/* A started child. Created by the runner; never freed by it: the caller
 * releases it with free() once the run has ended (after vek_waitForProcess
 * for a background run). */
typedef struct vek_process_handle_t {
  pthread_t threadid; /* thread that runs the wait */
  pid_t pid;          /* child process id; -1 when the child could not be started */
  bool running;       /* true until the wait has seen the child end; read it through
                         vek_isProcessHandleActive */
} vek_process_handle_t;

/* Called with each chunk (at most 1024 bytes, not terminated) that the child
 * wrote, on the thread that runs the wait, in arrival order. */
typedef void (*vek_data_handler_t)(vek_process_handle_t* handle, const char* data, int size);

/* One run, described by the caller and owned by the caller; it must stay
 * valid (texts and lists included) until the run has ended. */
typedef struct vek_process_t {
  char* name;       /* display name used in messages */
  char* exe;        /* path of the executable; the PATH is not searched */
  char* dir;        /* working directory of the child, or NULL for the current one */
  vek_list_t* args; /* char*: the whole argument vector, program name first; NULL gives { exe } */
  vek_list_t* env;  /* char* "name=value": the child's whole environment, or NULL to inherit
                       (with the user's own LD_LIBRARY_PATH after vek_setJavaLibPath's restart) */
  char* stdin_file; /* file opened as standard input (/dev/null when it cannot be), or NULL */
  vek_redirect_type_t redirect;
  union {
    struct {
      char* stdout_file; /* appended to; created with mode 0600 */
      char* stderr_file; /* may name the same file as stdout_file */
    } files;
    struct {
      vek_data_handler_t stdout_handler; /* NULL discards the stream */
      vek_data_handler_t stderr_handler;
    } handlers;
    int file_handle; /* an open descriptor of the caller */
  } output;
  vek_process_handle_t* handle; /* set by the runner once the child was started, or could not be
                                   (pid -1); the caller frees it (see vek_process_handle_t) */
} vek_process_t;

/* Outcome of a run. */
typedef struct vek_process_result_t {
  int exit_code;    /* 0-255 for a normal exit; -1 otherwise (1 when the program could not be executed) */
  int exit_signal;  /* the signal that ended the child, or -1 */
  bool core_dumped; /* the child dumped core */
  double run_time;  /* seconds from start to end */
} vek_process_result_t;

/* Runs the child to its end on the calling thread. True when the child was
 * started and waited for, with `result` (may be NULL) filled; false (logged)
 * when the working directory does not exist, the pipes or the child could
 * not be made, or the wait failed. The child's start cost does not depend on
 * the size of the calling process. */
bool vek_execProcess(vek_process_t* proc, vek_process_result_t* result);

/* Runs vek_execProcess on a new joinable thread and returns proc->handle as
 * soon as the child has been started; NULL (logged) when the thread or the
 * child could not be started, in which case proc->handle is NULL too. A
 * non-NULL handle must be passed to vek_waitForProcess exactly once. */
vek_process_handle_t* vek_startProcess(vek_process_t* proc);

/* Joins the background run of `handle` and copies its result into `result`
 * (may be NULL). False (logged) for a NULL handle, a failed join or a run
 * that failed. */
bool vek_waitForProcess(vek_process_handle_t* handle, vek_process_result_t* result);

/* The handle exists, its child was started and has not yet been seen to end. */
bool vek_isProcessHandleActive(vek_process_handle_t* handle);

/* Sends `signal_number` to a child that is still running. False (logged)
 * for a handle that is not active or a signal that could not be sent. */
bool vek_signalProcess(vek_process_handle_t* handle, int signal_number);

/* Whether the C library's thread implementation is NPTL (computed once). */
bool vek_linux_has_nptl(void);

#endif /* _WIN32 */

#ifdef __cplusplus
}
#endif

#endif /* VEK_RUNNER_H */
