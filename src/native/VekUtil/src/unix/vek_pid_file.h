// The launcher's pid file as the launcher requests see it. Private to the
// process-control files of the library.
#ifndef VEK_PID_FILE_H
#define VEK_PID_FILE_H

#include <sys/types.h>

#include <string>

#include "vek_log_source.h"

// The launcher requests are part of process control and log under its name.
VEK_LOG_SOURCE(process);

namespace vek::process {

// <state>/.<app>-<host>.pid (sanitised), creating the state directory when it
// is missing; a NULL state directory means vek_getStateLocation(). False
// (errno EINVAL or ENOMEM) without a name or directory.
bool pid_file_path(const char* app_name, const char* state_location, std::string& out) noexcept;

// The process ID in the first line of a pid file: decimal digits only, from
// 1 to the system's pid limit; blanks and a line end may follow. 0 when there
// is none: errno ENOENT when the file cannot be opened (or is no regular
// file), ERANGE when the line is no such number (logged); an empty file
// gives 0.
long read_pid_file(const char* path) noexcept;

// The launcher behind a pid file: the process that holds the file's lock.
struct PidFileHolder {
  long named;   // the valid ID in the file, or 0
  long pid;     // `named` when that very process holds the lock; 0 otherwise
  uid_t owner;  // the file's owner; valid with a pid
  int error;    // with no pid: ENOENT (no file), ERANGE (no valid ID), ESRCH (its process holds no lock)
};

// Finds the holder without a second descriptor on this process's own pid
// file, whose lock closing one would drop.
PidFileHolder pid_file_holder(const std::string& path) noexcept;

// Whether a stop request waits until the stopped launcher is gone.
bool wait_for_shutdown_requested() noexcept;

}  // namespace vek::process

#endif  // VEK_PID_FILE_H
