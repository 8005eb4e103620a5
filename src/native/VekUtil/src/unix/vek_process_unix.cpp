// Process control on Linux: the launcher's pid file, daemonising, process
// tests, waiting for another process and standard-stream redirection.
//
// The pid file's lockf lock belongs to the whole process and is dropped by
// closing any descriptor of the file, so this process never opens its own
// pid file a second time, and at exit deletes it before unlocking it: a
// launcher starting meanwhile then creates a new file instead of taking over
// one that is about to vanish.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "vek_file.h"
#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_unix_io.h"
#include "vek_logging_console.h"
#include "vek_logging_file.h"
#include "vek_message.h"
#include "vek_process.h"
#include "vek_sighandler.h"
#include "vek_sysinfo.h"
#include "vek_time.h"

// Shared with the launcher requests, which find a running launcher through
// its pid file.
namespace vek::process {

// <state>/.<app>-<host>.pid (sanitised), creating the state directory when it
// is missing; a NULL state directory means vek_getStateLocation(). False
// (errno EINVAL or ENOMEM) without a name or directory.
bool pid_file_path(const char* app_name, const char* state_location, std::string& out) noexcept;

// The process ID in the first line of a pid file. Blanks and a line end after
// the number are allowed (other tools write them). 0 when there is none:
// errno ENOENT when the file cannot be opened, ERANGE when the line is not
// one positive number; an empty file gives 0.
long read_pid_file(const char* path) noexcept;

// Whether a stop request waits until the stopped launcher is gone.
bool wait_for_shutdown_requested() noexcept;

}  // namespace vek::process

namespace {

using vek::DirGuard;
using vek::FdGuard;
using vek::write_all;

constexpr int VEK_DIR_MODE = 0777;        // state directory, reduced by the umask
constexpr mode_t PID_FILE_MODE = 0644;    // readable by every user, so others can tell it runs
constexpr int LOCK_ATTEMPTS = 5;          // opens of a pid file that keeps vanishing under the lock
constexpr size_t PID_LINE_MAX = 255;      // longest pid-file line read
constexpr long DAEMON_SETTLE_MS = 1000;   // the daemon's pause before it carries on
constexpr long WAIT_POLL_MS = 1000;       // vek_waitForExternalProcess polls this often

int lock_file_descriptor = -1;            // open, locked pid file; -1 when none
char* lock_file_name = nullptr;           // heap path of the pid file; NULL when none
std::atomic<bool> wait_for_shutdown{false};  // a stop request waits until the launcher is gone

// Blanks, backslashes, slashes and colons cannot stand in a file name
// portably (a host name may carry ':' or '/').
std::string sanitized(std::string name) {
  for (char& c : name)
    if (c == ' ' || c == '\\' || c == '/' || c == ':') c = '_';
  return name;
}

void ensure_state_directory(const char* state_location) {
  if (vek_doesDirectoryExist(state_location)) return;
  if (mkdir(state_location, VEK_DIR_MODE) != 0 && errno != EEXIST)
    veklog(VEK_HERE, VEKLOG_WARN, "Lock directory '%s' could not be created: %s", state_location, strerror(errno));
}

const char* effective_state_location(const char* state_location) {
  return state_location != nullptr ? state_location : vek_getStateLocation();
}

// The same file as the open descriptor `fd`, not merely the same name.
bool names_descriptor(const char* path, int fd) {
  struct stat by_fd;
  struct stat by_name;
  return fd >= 0 && fstat(fd, &by_fd) == 0 && stat(path, &by_name) == 0 && by_fd.st_dev == by_name.st_dev &&
         by_fd.st_ino == by_name.st_ino;
}

bool holds_pid_file(const char* path) { return names_descriptor(path, lock_file_descriptor); }

void forget_lock_file_name() {
  free(lock_file_name);
  lock_file_name = nullptr;
}

// The lock covers the whole file from offset 0, so it is released from there.
void unlock_pid_file() {
  lseek(lock_file_descriptor, 0, SEEK_SET);
  lockf(lock_file_descriptor, F_ULOCK, 0);
}

void report_lock_failure(const char* operation, const std::string& path, const char* app_name, int error) {
  veklog(VEK_HERE, VEKLOG_FATAL,
         "Could not %s the process lock file %s: %s. Please ensure that the user with UID:GID %ld:%ld has read and "
         "write permission to the daemon PID file. This error means that exclusive access to the product home "
         "directory cannot be guaranteed for the %s process and unexpected behavior may result.",
         operation, path.c_str(), strerror(error), static_cast<long>(getuid()), static_cast<long>(getgid()),
         app_name);
}

// Opens and locks the pid file; -1 with errno on failure (EBUSY when another
// process holds the lock). A file deleted between the open and the lock (its
// launcher was exiting) is opened again, so the lock is never held on a file
// that no other launcher can find any more.
int open_and_lock(const std::string& path, const char* app_name) {
  for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
    FdGuard fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, PID_FILE_MODE));
    if (fd.get() < 0) {
      int error = errno;
      report_lock_failure("open", path, app_name, error);
      errno = error;
      return -1;
    }
    lseek(fd.get(), 0, SEEK_SET);
    if (lockf(fd.get(), F_TLOCK, 0) != 0) {
      report_lock_failure("lock", path, app_name, errno);
      errno = EBUSY;
      return -1;
    }
    if (names_descriptor(path.c_str(), fd.get())) return fd.release();
  }
  report_lock_failure("lock", path, app_name, EBUSY);
  errno = EBUSY;
  return -1;
}

// Replaces the content of the locked file by this process's ID ("%ld", no
// newline).
bool write_own_pid(int fd) {
  lseek(fd, 0, SEEK_SET);
  if (ftruncate(fd, 0) != 0) veklog(VEK_HERE, VEKLOG_ERROR, "Could not truncate pid file: %s", strerror(errno));
  char text[32];
  int length = snprintf(text, sizeof text, "%ld", static_cast<long>(getpid()));
  return length > 0 && write_all(fd, text, static_cast<size_t>(length));
}

// Another process holds a lock on the file open read-only (or read-write) as
// `fd`; a lock of this process does not count.
bool locked_by_other_process(int fd) {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  return fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// The file could not be opened for writing (typically another user's
// launcher): judge by the process ID in it. A process that exists but cannot
// be signalled belongs to someone else and is taken as the launcher; one
// this user may signal is the launcher only while the file's lock is held,
// for the ID may have been reused since a launcher died.
bool unwritable_pid_file_is_live(const char* path) {
  long pid = vek::process::read_pid_file(path);
  if (pid <= 0) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0) return errno != ESRCH;
  FdGuard fd(open(path, O_RDONLY | O_CLOEXEC));
  return fd.get() >= 0 && locked_by_other_process(fd.get());
}

// Scan for other hosts' pid files in a state directory shared between hosts:
// ".<app>-<host>.pid" with a non-empty host name.
bool launcher_runs_elsewhere(const std::string& state_location, const std::string& app, const std::string& path) {
  DirGuard dir(opendir(state_location.c_str()));
  if (dir.get() == nullptr) {
    veklog(VEK_HERE, VEKLOG_WARN, "Could not open state directory %s to check for lock files: %s",
           state_location.c_str(), strerror(errno));
    return false;
  }
  const std::string prefix = "." + sanitized(app) + "-";
  const std::string suffix = ".pid";
  const std::string own_host = sanitized(vek_getHostname());
  while (struct dirent* entry = readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    std::string host = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (host != own_host) {
      veklog(VEK_HERE, VEKLOG_DEBUG,
             "It appears as though a %s process is already running in %s. That process was most likely started on "
             "%s.",
             app.c_str(), state_location.c_str(), host.c_str());
      return true;
    }
    veklog(VEK_HERE, VEKLOG_DEBUG, "Stale PID file %s (any system) ignored", path.c_str());
  }
  return false;
}

bool is_launcher_running(const char* app_name, const char* state_location, bool any_system) {
  std::string path;
  if (!vek::process::pid_file_path(app_name, state_location, path)) return false;
  errno = 0;
  // Opening and closing our own file would drop our lock.
  if (holds_pid_file(path.c_str())) return true;
  int open_error = 0;
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    FdGuard fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
    open_error = fd.get() < 0 ? errno : 0;
    if (fd.get() >= 0) {
      lseek(fd.get(), 0, SEEK_SET);
      if (lockf(fd.get(), F_TEST, 0) != 0 && (errno == EAGAIN || errno == EACCES)) return true;
      veklog(VEK_HERE, VEKLOG_DEBUG, "Stale PID file %s ignored", path.c_str());
    }
  }
  if (open_error == EACCES && unwritable_pid_file_is_live(path.c_str())) return true;
  if (!any_system) return false;
  return launcher_runs_elsewhere(effective_state_location(state_location), app_name, path);
}

// ---- Daemonising ---------------------------------------------------------------

int await_daemon_launcher(pid_t launcher, const char* name) {
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(launcher, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not wait for daemon launcher process to get started: %s", strerror(errno));
  } else {
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : status;
    if (code == 0) {
      veklog(VEK_HERE, VEKLOG_INFO, "Daemon process for '%s' started.", name);
      return -1;
    }
    veklog(VEK_HERE, VEKLOG_ERROR, "Exit code from daemon launcher process (%d) indicates errors. Please check the logs",
           code);
  }
  veklog(VEK_HERE, VEKLOG_FATAL, "Could not start as a daemon. Please check the logs.");
  return 0;
}

// The first child forks the daemon and ends at once, without exit handlers:
// the caller waits for it alone, and the daemon, orphaned, is re-parented
// away from the caller.
void run_daemon_launcher() {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Daemon launcher process started");
  vek_lifecycleChildAfterFork();
  vek_lifecycleSetDaemonized(true);
  pid_t daemon = fork();
  if (daemon < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not fork() a second process to run as a daemon: %s", strerror(errno));
    _exit(1);
  }
  if (daemon > 0) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "Daemon process created successfully, launcher process exiting");
    _exit(0);
  }
}

// Closes every descriptor from 3 up except `keep`, as listed in
// /proc/self/fd; false when that list cannot be read.
bool close_listed_descriptors(int keep) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return false;
  int own = dirfd(dir);
  while (struct dirent* entry = readdir(dir)) {
    if (!isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    int fd = atoi(entry->d_name);
    if (fd > 2 && fd != keep && fd != own) close(fd);
  }
  closedir(dir);
  return true;
}

// Without /proc: close_range, or a loop up to the soft limit.
void close_descriptors_from_3(int keep) {
  if (close_listed_descriptors(keep)) return;
  unsigned first = 3;
  bool ranged = true;
  if (keep >= 3) {
    if (keep > 3) ranged = close_range(first, static_cast<unsigned>(keep) - 1, 0) == 0;
    first = static_cast<unsigned>(keep) + 1;
  }
  if (ranged && close_range(first, ~0U, 0) == 0) return;
  long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = 3; fd < limit; ++fd)
    if (fd != keep) close(static_cast<int>(fd));
}

// `direction` completes the message: "stdin from", "stdout to", ...
void redirect_to_null(int target, int flags, const char* direction) {
  int fd = open("/dev/null", flags);
  if (fd < 0 || (fd != target && dup2(fd, target) < 0))
    veklog(VEK_HERE, VEKLOG_WARN, "Could not redirect %s /dev/null: %s.", direction, strerror(errno));
  if (fd >= 0 && fd != target) close(fd);
}

void redirect_standard_streams() {
  redirect_to_null(STDIN_FILENO, O_RDONLY, "stdin from");
  redirect_to_null(STDOUT_FILENO, O_WRONLY, "stdout to");
  redirect_to_null(STDERR_FILENO, O_WRONLY, "stderr to");
  clearerr(stdin);
  clearerr(stdout);
  clearerr(stderr);
}

// The daemon leads a new session (and with it a new process group), so no
// terminal's hang-up or job control reaches it. setsid cannot fail for the
// second child, which leads no group; should it, a group of its own is the
// least it needs.
void leave_callers_session(const char* name) {
  if (setsid() >= 0 || getpgrp() == getpid()) return;
  if (setpgid(0, 0) != 0) {
    veklog(VEK_HERE, VEKLOG_FATAL, "Unable to create a new process group for the '%s' daemon: %s. Cannot continue.",
           name, strerror(errno));
    exit(1);
  }
}

int become_daemon(const char* name, const char* basedir, bool block_was_installed) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Daemon process started");
  veklog_console_setEnabled(false);
  if (block_was_installed) vek_installSignalBlock();
  if (basedir == nullptr || chdir(basedir) != 0) {
    if (basedir == nullptr) errno = EINVAL;
    veklog(VEK_HERE, VEKLOG_FATAL, "Unable to change to daemon base directory %s: %s. '%s' daemon shutting down.",
           basedir != nullptr ? basedir : "(null)", strerror(errno), name);
    exit(1);
  }
  close_descriptors_from_3(lock_file_descriptor);
  redirect_standard_streams();
  // The file log's descriptor went with the others: its number must not be
  // left to the next file opened (the pid file), which would get the lines.
  veklog_file_reclaimAfterFork();
  leave_callers_session(name);
  vek_sleepMS(DAEMON_SETTLE_MS);
  return 1;
}

// ---- Redirection -------------------------------------------------------------------

bool redirect_stream_to_file(const char* file, int target, FILE* stream) {
  if (file == nullptr) {
    errno = EINVAL;
    return false;
  }
  FdGuard fd(open(file, O_WRONLY | O_NOCTTY | O_APPEND | O_CLOEXEC));
  if (fd.get() < 0) return false;
  fflush(stream);
  if (dup2(fd.get(), target) < 0) return false;
  int flags = fcntl(target, F_GETFD);
  if (flags < 0 || fcntl(target, F_SETFD, flags & ~FD_CLOEXEC) != 0) return false;
  clearerr(stream);
  return setvbuf(stream, nullptr, _IONBF, 0) == 0;
}

// ---- Lifecycle ---------------------------------------------------------------------

// The pid file belongs to the parent: the child holds no lock (locks are not
// inherited) and must never delete the file. The descriptor stays open; a
// daemon closes it with the other inherited ones.
void forget_parent_pid_file() {
  if (lock_file_descriptor != -1) {
    unlock_pid_file();
    lock_file_descriptor = -1;
  }
  forget_lock_file_name();
}

// Deleted while still locked: see the top of this file.
void release_pid_file() {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Running cleanup routines after exit() called");
  if (lock_file_name != nullptr) {
    if (lock_file_descriptor == -1 || holds_pid_file(lock_file_name)) {
      struct stat info;
      if (stat(lock_file_name, &info) == 0) {
        unlink(lock_file_name);
        veklog(VEK_HERE, VEKLOG_DEBUG, "Deleting PID file %s", lock_file_name);
      }
    }
    forget_lock_file_name();
  }
  if (lock_file_descriptor != -1) {
    unlock_pid_file();
    close(lock_file_descriptor);
    lock_file_descriptor = -1;
    veklog(VEK_HERE, VEKLOG_DEBUG, "Unlocking PID file");
  }
}

void process_lifecycle(VEK_LIFECYCLE_STAGE stage, JavaVM* /*vm*/) {
  if (stage == VEK_CHILD_AFTER_FORK) forget_parent_pid_file();
  if (stage == VEK_SHUTDOWN) release_pid_file();
}

}  // namespace

namespace vek::process {

bool pid_file_path(const char* app_name, const char* state_location, std::string& out) noexcept {
  state_location = effective_state_location(state_location);
  if (app_name == nullptr || state_location == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "No %s given for the pid file. This is an internal programming error",
           app_name == nullptr ? "application name" : "state directory");
    errno = EINVAL;
    return false;
  }
  try {
    ensure_state_directory(state_location);
    out = std::string(state_location) + "/." + sanitized(std::string(app_name) + "-" + vek_getHostname() + ".pid");
    return true;
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
}

long read_pid_file(const char* path) noexcept {
  FdGuard fd(path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : -1);
  if (fd.get() < 0) {
    errno = ENOENT;
    return 0;
  }
  char line[PID_LINE_MAX + 1] = {};
  size_t length = 0;
  while (length < PID_LINE_MAX) {
    ssize_t n = read(fd.get(), line + length, PID_LINE_MAX - length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    length += static_cast<size_t>(n);
  }
  line[length] = '\0';
  if (char* newline = strchr(line, '\n')) newline[1] = '\0';
  if (line[0] == '\0') return 0;
  errno = 0;
  char* end = nullptr;
  long value = strtol(line, &end, 10);
  bool number = end != line && errno == 0;
  while (number && *end != '\0' && isspace(static_cast<unsigned char>(*end))) ++end;
  if (!number || *end != '\0' || value <= 0 || value == LONG_MAX) {
    errno = ERANGE;
    return 0;
  }
  return value;
}

bool wait_for_shutdown_requested() noexcept { return wait_for_shutdown.load(); }

}  // namespace vek::process

extern "C" bool vek_recordLauncherStartup(const char* app_name, const char* state_location) {
  try {
    std::string path;
    if (!vek::process::pid_file_path(app_name, state_location, path)) return false;
    if (lock_file_descriptor != -1) {
      if (holds_pid_file(path.c_str())) return true;
      veklog(VEK_HERE, VEKLOG_ERROR, "This process already holds the pid file %s; %s not recorded",
             lock_file_name != nullptr ? lock_file_name : "", path.c_str());
      errno = EBUSY;
      return false;
    }
    char* name = strdup(path.c_str());
    if (name == nullptr) return false;
    int fd = open_and_lock(path, app_name);
    if (fd < 0) {
      free(name);
      return false;
    }
    lock_file_descriptor = fd;
    lock_file_name = name;
    veklog(VEK_HERE, VEKLOG_DEBUG, "Recorded %s process startup into a pid file", app_name);
    if (write_own_pid(fd)) return true;
    // A locked file without an ID would block every other launcher without
    // telling anyone who holds it.
    int error = errno;
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not write the process ID into the pid file %s: %s", name, strerror(error));
    release_pid_file();
    errno = error;
    return false;
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
}

extern "C" bool vek_isLauncherRunning(const char* app_name, const char* state_location, bool anySystem) {
  try {
    return is_launcher_running(app_name, state_location, anySystem);
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
}

extern "C" int vek_daemonizeProcess(const char* daemonName, const char* basedir) {
  const char* name = daemonName != nullptr ? daemonName : "";
  bool block_was_installed = vek_isSignalBlockInstalled();
  // Buffered output would otherwise be written once by each process.
  fflush(nullptr);
  errno = 0;
  pid_t launcher = fork();
  if (launcher < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not fork() a process to run the a daemon: %s", strerror(errno));
    veklog(VEK_HERE, VEKLOG_FATAL, "Could not start as a daemon. Please check the logs.");
    return 0;
  }
  if (launcher > 0) return await_daemon_launcher(launcher, name);
  run_daemon_launcher();
  return become_daemon(name, basedir, block_was_installed);
}

extern "C" bool vek_isProcessRunning(pid_t pid) {
  if (pid < 1) return false;
  if (kill(pid, 0) == 0) return true;
  return errno != ESRCH;
}

namespace {

// glibc's ctermid names "/dev/tty" whether or not there is a terminal: only
// opening it tells.
bool has_controlling_terminal() {
  char name[L_ctermid] = {};
  if (ctermid(name) == nullptr || name[0] == '\0') return false;
  FdGuard tty(open(name, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  return tty.get() >= 0;
}

// Reads zero bytes from standard input, non-blocking and with SIGTTIN
// ignored so that a background process is not stopped by the probe.
bool standard_input_open() {
  int flags = fcntl(STDIN_FILENO, F_GETFL);
  if (flags < 0) return false;
  struct sigaction ignore = {};
  struct sigaction saved = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGTTIN, &ignore, &saved);
  fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK);
  char byte;
  bool closed = read(STDIN_FILENO, &byte, 0) < 0 && errno == EBADF;
  fcntl(STDIN_FILENO, F_SETFL, flags);
  sigaction(SIGTTIN, &saved, nullptr);
  return !closed;
}

}  // namespace

extern "C" bool vek_isProcessInForeground(void) {
  if (!has_controlling_terminal() || !standard_input_open()) return false;
  pid_t foreground = 0;
  if (isatty(STDIN_FILENO)) {
    foreground = tcgetpgrp(STDIN_FILENO);
    if (foreground < 0) {
      veklog(VEK_HERE, VEKLOG_WARN, "Could not check to see if this is a background process (tcgetpgrp): %s",
             strerror(errno));
      foreground = getpgrp();
    }
  }
  return getpgrp() == foreground;
}

extern "C" pid_t vek_getParentProcessID(void) { return getppid(); }

extern "C" bool vek_waitForExternalProcess(pid_t pid, time_t timeout, double* waittime) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Waiting for process %ld to exit", static_cast<long>(pid));
  time_t start = time(nullptr);
  for (;;) {
    double elapsed = difftime(time(nullptr), start);
    if (!vek_isProcessRunning(pid)) {
      if (waittime != nullptr) *waittime = elapsed;
      return true;
    }
    vek_sleepMS(WAIT_POLL_MS);
    if (timeout != 0 && elapsed >= static_cast<double>(timeout)) {
      if (waittime != nullptr) *waittime = elapsed;
      return false;
    }
  }
}

extern "C" bool vek_redirectStdOutToFile(const char* file) {
  return redirect_stream_to_file(file, STDOUT_FILENO, stdout);
}

extern "C" bool vek_redirectStdErrToFile(const char* file) {
  return redirect_stream_to_file(file, STDERR_FILENO, stderr);
}

extern "C" void vek_setWaitForShutdown(bool waiting) { wait_for_shutdown.store(waiting); }

extern "C" void vek_initialize_process(void) { vek_addLifecycleNotification(process_lifecycle); }

// ---- Launcher requests ----------------------------------------------------------
// A control tool asks a running launcher, found by its pid file and reached
// through its socket file, for a thread dump, a heap dump, a support bundle,
// a new debug level or a stop. The thread dump and the stop fall back to a
// signal when the message cannot be delivered.

namespace {

constexpr size_t REQUEST_TEXT_MAX = 1024;  // a sender description is cut to this buffer
constexpr long SHUTDOWN_POLL_MS = 1000;    // a waiting stop tests the launcher this often

// The log lines of one kind of request; formats take the arguments named.
struct RequestLog {
  const char* not_running;      // WARN
  const char* not_transmitted;  // ERROR (app); NULL: the caller falls back
  const char* transmitted;      // INFO
  const char* response;         // DEBUG (reply text)
  const char* not_successful;   // WARN (reply text)
};

// The sender description of a request: "<prefix>: <full name> (<user>/<uid>),
// process ID <pid>", or the UID form when the password entry cannot be read.
std::string sender_text(const char* with_user, const char* without_user) {
  char text[REQUEST_TEXT_MAX];
  const uid_t uid = getuid();
  passwd entry;
  passwd* found = nullptr;
  char strings[16384];
  const int error = getpwuid_r(uid, &entry, strings, sizeof strings, &found);
  if (found == nullptr) {
    veklog(VEK_HERE, VEKLOG_WARN, "Could not get current user information: %s",
           error != 0 ? strerror(error) : "this user has no password entry");
    snprintf(text, sizeof text, without_user, static_cast<unsigned long>(uid), static_cast<unsigned long>(getpid()));
  } else {
    snprintf(text, sizeof text, with_user, entry.pw_gecos != nullptr ? entry.pw_gecos : "", entry.pw_name,
             static_cast<unsigned long>(uid), static_cast<unsigned long>(getpid()));
  }
  return text;
}

enum class RequestOutcome { NOT_RUNNING, NO_REPLY, DONE, NOT_HANDLED };

using message_ptr = std::unique_ptr<vek_message_t, decltype(&vek_destroyMessage)>;
using text_ptr = std::unique_ptr<char, decltype(&free)>;

// Sends a request that expects a reply to the socket file of `app_name`;
// null when it could not be sent or no reply came.
message_ptr send_to_launcher(const char* app_name, const char* state_location, int type, const std::string& payload) {
  message_ptr none(nullptr, vek_destroyMessage);
  text_ptr path(vek_getMessagePath(app_name, state_location), free);
  message_ptr request(vek_createEmptyMessage(), vek_destroyMessage);
  if (path == nullptr || request == nullptr) return none;
  request->type = type;
  request->response_expected = 1;
  vek_setMessageTextPayload(request.get(), payload.c_str());
  return message_ptr(vek_sendMessage(path.get(), request.get()), vek_destroyMessage);
}

// The common steps of a request: running test, send, and the log of its outcome.
RequestOutcome send_request(const char* app_name, const char* unique_name, const char* state_location, int type,
                            const std::string& payload, const RequestLog& log) {
  if (!vek_isLauncherRunning(unique_name, state_location, false)) {
    veklog(VEK_HERE, VEKLOG_WARN, "%s", log.not_running);
    return RequestOutcome::NOT_RUNNING;
  }
  message_ptr reply = send_to_launcher(app_name, state_location, type, payload);
  if (reply == nullptr) {
    if (log.not_transmitted != nullptr) veklog(VEK_HERE, VEKLOG_ERROR, log.not_transmitted, app_name);
    return RequestOutcome::NO_REPLY;
  }
  text_ptr text(vek_getMessagePayloadAsText(reply.get()), free);
  const char* reply_text = text != nullptr ? text.get() : "";
  if (reply->type != VEK_MESSAGE_OK) {
    veklog(VEK_HERE, VEKLOG_WARN, log.not_successful, reply_text);
    return RequestOutcome::NOT_HANDLED;
  }
  veklog(VEK_HERE, VEKLOG_INFO, "%s", log.transmitted);
  veklog(VEK_HERE, VEKLOG_DEBUG, log.response, reply_text);
  return RequestOutcome::DONE;
}

// The launcher's process ID from its pid file; 0 when there is none.
long launcher_pid(const char* unique_name, const char* state_location, std::string& pid_file) {
  if (!vek::process::pid_file_path(unique_name, state_location, pid_file)) return 0;
  return vek::process::read_pid_file(pid_file.c_str());
}

// The thread dump's fallback: SIGQUIT to the process in the pid file.
bool signal_thread_dump(const char* app_name, const char* unique_name, const char* state_location) {
  veklog(VEK_HERE, VEKLOG_WARN,
         "Could not transmit the thread dump request using the standard communications channel. Trying as a signal");
  std::string pid_file;
  const long pid = launcher_pid(unique_name, state_location, pid_file);
  if (pid <= 0) {
    veklog(VEK_HERE, VEKLOG_WARN,
           "Could not determine the %s process ID from its lock file '%s', so no thread dump could be requested.",
           unique_name, pid_file.c_str());
    return false;
  }
  if (kill(static_cast<pid_t>(pid), SIGQUIT) != 0) {
    if (errno == EPERM) {
      veklog(VEK_HERE, VEKLOG_WARN,
             "Could not transmit the thread dump request as a signal as you are not the owner of the destination "
             "process %s running in %s.",
             app_name, state_location);
    } else {
      veklog(VEK_HERE, VEKLOG_WARN, "Could not send thread dump request to the launcher with pid %lu: %s",
             static_cast<unsigned long>(pid), strerror(errno));
    }
    return false;
  }
  veklog(VEK_HERE, VEKLOG_INFO, "Thread dump request sent to the application process with id %lu",
         static_cast<unsigned long>(pid));
  return true;
}

// The stop message; true when the launcher answered that it stops.
bool send_stop_message(const char* app_name, const char* unique_name, const char* state_location, long pid) {
  text_ptr path(vek_getMessagePath(app_name, state_location), free);
  if (path == nullptr || !vek_doesFileExist(path.get())) {
    veklog(VEK_HERE, VEKLOG_WARN,
           "Could not find the inter-launcher communications socket file at %s, falling back to secondary shutdown "
           "method(s)",
           path != nullptr ? path.get() : "(unknown)");
    return false;
  }
  const std::string payload =
      sender_text("Shutdown request from: %s (%s/%lu), process ID %lu", "Shutdown request from UID %lu, process ID %lu");
  veklog(VEK_HERE, VEKLOG_INFO, "Sending stop request to '%s' process running in %s (pid %lu).", unique_name,
         state_location, static_cast<unsigned long>(pid));
  message_ptr reply = send_to_launcher(app_name, state_location, VEK_MESSAGE_SHUTDOWN, payload);
  if (reply == nullptr) return false;
  text_ptr text(vek_getMessagePayloadAsText(reply.get()), free);
  const char* reply_text = text != nullptr ? text.get() : "";
  if (reply->type != VEK_MESSAGE_OK) {
    veklog(VEK_HERE, VEKLOG_WARN, "Shutdown request transmitted, but not handled: %s", reply_text);
    return false;
  }
  veklog(VEK_HERE, VEKLOG_INFO, "Shutdown request transmitted.");
  veklog(VEK_HERE, VEKLOG_DEBUG, "Shutdown request transmitted. The response was: %s", reply_text);
  return true;
}

enum class SignalOutcome { SENT, FAILED, NOT_SENT };

// The stop's fallback: SIGTERM to the process in the pid file.
SignalOutcome signal_stop(const char* unique_name, const char* state_location, long pid, const std::string& pid_file,
                          int pid_error) {
  if (pid <= 0) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Could not determine %s process ID from lock file '%s': %s. The application cannot be stopped "
           "automatically so you will have to use the kill(1) command to stop it.",
           unique_name, pid_file.c_str(), strerror(pid_error));
    return SignalOutcome::NOT_SENT;
  }
  if (kill(static_cast<pid_t>(pid), SIGTERM) == 0) {
    veklog(VEK_HERE, VEKLOG_INFO, "Sent stop signal to '%s' process running in %s (pid %lu).", unique_name,
           state_location, static_cast<unsigned long>(pid));
    return SignalOutcome::SENT;
  }
  if (errno == EPERM) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Could not transmit the shutdown request as a signal as you are not the owner of the destination process "
           "%s running in %s.",
           unique_name, state_location);
    return SignalOutcome::NOT_SENT;
  }
  veklog(VEK_HERE, VEKLOG_ERROR, "Could not send kill signal to process '%s': %s", unique_name, strerror(errno));
  return SignalOutcome::FAILED;
}

void wait_until_stopped(const char* unique_name, const char* state_location, long pid) {
  veklog(VEK_HERE, VEKLOG_INFO, "Waiting for the '%s' process (pid %lu) to shutdown", unique_name,
         static_cast<unsigned long>(pid));
  while (vek_isLauncherRunning(unique_name, state_location, false)) vek_sleepMS(SHUTDOWN_POLL_MS);
  veklog(VEK_HERE, VEKLOG_INFO, "The '%s' process (pid %lu) has completed its shutdown sequence", unique_name,
         static_cast<unsigned long>(pid));
}

const char* state_or_default(const char* state_location) {
  return state_location != nullptr ? state_location : vek_getStateLocation();
}

}  // namespace

extern "C" bool vek_sendLauncherThreadDumpRequest(const char* app_name, const char* unique_name,
                                                  const char* state_location) {
  state_location = state_or_default(state_location);
  if (app_name == nullptr || unique_name == nullptr || state_location == nullptr) return false;
  static const RequestLog log = {
      "Could not send thread dump request, the application does not appear to be running", nullptr,
      "Thread dump request transmitted.", "Thread dump request transmitted. The response was: %s",
      "Thread dump request transmitted, but not handled: %s"};
  const std::string payload = sender_text("Thread dump request from: %s (%s/%lu), process ID %lu",
                                          "Thread dump request from UID %lu, process ID %lu");
  switch (send_request(app_name, unique_name, state_location, VEK_MESSAGE_THREAD_DUMP, payload, log)) {
    case RequestOutcome::DONE:
      break;
    case RequestOutcome::NO_REPLY:
      if (!signal_thread_dump(app_name, unique_name, state_location)) return false;
      break;
    case RequestOutcome::NOT_RUNNING:
    case RequestOutcome::NOT_HANDLED:
      return false;
  }
  const char* shown = vek_getStateLocation();
  veklog(VEK_HERE, VEKLOG_INFO, "A thread dump text file should now be available in the application's state directory: %s",
         shown != nullptr ? shown : state_location);
  return true;
}

extern "C" bool vek_sendLauncherHeapDumpRequest(const char* app_name, const char* unique_name,
                                                const char* state_location, const char* filename, bool onlyLive) {
  state_location = state_or_default(state_location);
  if (app_name == nullptr || unique_name == nullptr || state_location == nullptr || filename == nullptr) return false;
  static const RequestLog log = {
      "Could not send heap dump request, the application does not appear to be running",
      "Could not transmit the heap dump request to the %s", "Heap dump request transmitted.",
      "Heap dump request transmitted. The response was: %s",
      "Heap dump request transmitted, but was not successful: %s"};
  // Only the sender description is cut to its buffer: the file name and the
  // flag reach the launcher whole.
  const std::string payload = std::string(filename) + "\n" + (onlyLive ? "true" : "false") + "\n" +
                              sender_text("heap dump request from: %s (%s/%lu), process ID %lu",
                                          "Heap dump request from: UID %lu, process ID %lu");
  return send_request(app_name, unique_name, state_location, VEK_MESSAGE_HEAP_DUMP, payload, log) ==
         RequestOutcome::DONE;
}

extern "C" bool vek_sendLauncherSupportBundleRequest(const char* app_name, const char* unique_name,
                                                     const char* state_location) {
  state_location = state_or_default(state_location);
  if (app_name == nullptr || unique_name == nullptr || state_location == nullptr) return false;
  static const RequestLog log = {
      "Could not send support bundle request, the application does not appear to be running",
      "Could not transmit the support bundle request to the %s", "Support bundle request transmitted.",
      "Support bundle request transmitted. The response was: %s",
      "Support bundle request transmitted, but not handled: %s"};
  const std::string payload = sender_text("Support bundle request from: %s (%s/%lu), process ID %lu",
                                          "Support bundle request from: UID %lu, process ID %lu");
  return send_request(app_name, unique_name, state_location, VEK_MESSAGE_SUPPORT_BUNDLE, payload, log) ==
         RequestOutcome::DONE;
}

extern "C" bool vek_sendLauncherSetDebugMessage(const char* app_name, const char* unique_name,
                                                const char* state_location, int type, const char* requested_level) {
  state_location = state_or_default(state_location);
  if (app_name == nullptr || unique_name == nullptr || state_location == nullptr || requested_level == nullptr)
    return false;
  static const RequestLog log = {
      "Could not send request to change global debug level, the application does not appear to be running",
      "Could not transmit the request to change debug level to %s", "Request to change debug level transmitted",
      "Request to change debug level transmitted. The response was: %s",
      "Request to change debug level transmitted, but was not successful: %s"};
  return send_request(app_name, unique_name, state_location, type, requested_level, log) == RequestOutcome::DONE;
}

extern "C" bool vek_stopNamedLauncher(const char* app_name, const char* unique_name, const char* state_location,
                                      bool force) {
  state_location = state_or_default(state_location);
  if (app_name == nullptr || unique_name == nullptr || state_location == nullptr) return false;
  std::string pid_file;
  const long pid = launcher_pid(unique_name, state_location, pid_file);
  const int pid_error = errno;
  if (!force && !vek_isLauncherRunning(unique_name, state_location, false)) {
    veklog(VEK_HERE, VEKLOG_WARN, "%s process does not seem to be running in %s. Will not try to stop it.", unique_name,
           state_location);
    return true;
  }
  bool stopped = send_stop_message(app_name, unique_name, state_location, pid);
  if (!stopped) {
    const SignalOutcome signalled = signal_stop(unique_name, state_location, pid, pid_file, pid_error);
    if (signalled == SignalOutcome::FAILED) return false;
    stopped = signalled == SignalOutcome::SENT;
  }
  // Only a stop that was carried out is waited for: after a failed one the
  // launcher may run on for ever.
  if (stopped && vek::process::wait_for_shutdown_requested()) wait_until_stopped(unique_name, state_location, pid);
  return stopped;
}
