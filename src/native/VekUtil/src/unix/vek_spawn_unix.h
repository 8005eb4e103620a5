// The spawning engine of the process runner on Linux.
//
// Children are started with a vfork-style clone, not fork: the child borrows
// the parent's memory until it executes the program, so a start costs the
// same from a small process as from a launcher hosting a Java VM of several
// gigabytes, whose page tables fork would copy. The borrowing child may only
// make system calls and use its own stack: no heap, no lock, no logging. The
// caller (vek_runner_unix) therefore prepares one plain record, ChildPlan,
// with everything the child needs.
#ifndef VEK_SPAWN_UNIX_H
#define VEK_SPAWN_UNIX_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace vek::spawn {

// What the child gets: one plain record, read by the child only.

// A log line the child may print, split around the system's error text; for
// the failed execution the errno number follows as well. `head` is NULL when
// the threshold drops the line.
struct ChildLine {
  const char* head;  // "timestamp LEVEL [native] message up to the error text"
  size_t head_size;
  const char* tail;  // after the error text: "\n", or " (errno " before the number
  size_t tail_size;
  bool with_number;  // the errno number and ")\n" follow the tail
};

// The system calls the child makes go through these pointers, taken in the
// parent: a first call through the procedure linkage table would have the
// dynamic linker resolve it in the child, writing into the shared memory.
struct ChildCalls {
  long (*call)(long, ...);         // syscall(2)
  int* (*error_location)();        // this thread's errno
  const char* (*error_text)(int);  // text of an errno value, from a constant table
};

struct ChildPlan {
  ChildCalls sys;
  const char* exe;          // program to execute
  char* const* argv;        // NULL-terminated
  char* const* envp;        // NULL-terminated; the parent's environment when none was given
  const char* dir;          // working directory, or NULL
  const char* stdin_file;   // or NULL
  int redirect;             // vek_redirect_type_t
  const char* stdout_file;  // VEK_REDIRECT_FILE: names (NULL is /dev/null)
  const char* stderr_file;
  int out_write;  // VEK_REDIRECT_HANDLER: the pipes' write ends (both above 2)
  int err_write;
  int file_handle;  // VEK_REDIRECT_FD
  int keep[3];      // descriptors kept open, ascending
  int keep_count;
  uint64_t default_signals;  // bit n-1: signal n back to its default
  ChildLine chdir_warning;
  ChildLine stdout_warning;
  ChildLine stderr_warning;
  ChildLine out_handler_warning;
  ChildLine err_handler_warning;
  ChildLine exec_error;
};

// Starts the child. All signals stay blocked in the calling thread while the
// child borrows its memory, so that no handler of the parent runs in the
// child; the child unblocks them just before it executes. Returns the pid,
// or -1 with `error` set.
pid_t clone_child(ChildPlan* plan, int* error);

}  // namespace vek::spawn

#endif  // VEK_SPAWN_UNIX_H
