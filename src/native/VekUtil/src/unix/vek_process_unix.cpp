// Process control on Linux: the launcher's pid file, daemonising, process
// tests, waiting for another process and standard-stream redirection.
//
// The pid file's lockf lock belongs to the whole process and is dropped by
// closing any descriptor of the file, so this process never opens its own
// pid file a second time, and at exit deletes it before unlocking it: a
// launcher starting meanwhile then creates a new file instead of taking over
// one that is about to vanish. The launcher requests, which find a launcher
// through its pid file, are in vek_launcher_requests_unix.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "vek_file.h"
#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_logging_console.h"
#include "vek_logging_file.h"
#include "vek_module_init.h"
#include "vek_pid_file.h"
#include "vek_process.h"
#include "vek_sighandler.h"
#include "vek_sysinfo.h"
#include "vek_time.h"
#include "vek_unix_io.h"

VEK_LOG_SOURCE(process) = __FILE__;

namespace {

using vek::DirGuard;
using vek::FdGuard;
using vek::write_all;

constexpr int VEK_DIR_MODE = 0777;            // state directory, reduced by the umask
constexpr mode_t PID_FILE_MODE = 0644;        // readable by every user, so others can tell it runs
constexpr int LOCK_ATTEMPTS = 5;              // opens of a pid file that keeps vanishing under the lock
constexpr size_t PID_LINE_MAX = 255;          // longest pid-file line read
constexpr long PID_LIMIT_FALLBACK = 4194304;  // the kernel's largest pid limit, when /proc cannot tell
constexpr long DAEMON_SETTLE_MS = 1000;       // the daemon's pause before it carries on
constexpr long WAIT_POLL_MS = 1000;           // vek_waitForExternalProcess polls this often

int lock_file_descriptor = -1;               // open, locked pid file; -1 when none
char* lock_file_name = nullptr;              // heap path of the pid file; NULL when none
pid_t lock_file_creator = 0;                 // the process that recorded the pid file (and alone removes it)
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

// Opens a pid file as the file logger opens its files, for a state directory
// others may write to: no link at the last component (a planted link would
// have the file's target truncated), close-on-exec, no terminal, and only a
// regular file with one name (EINVAL, EMLINK otherwise). Non-blocking only
// for the open, so that a FIFO planted there cannot hold it.
int open_pid_file(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  FdGuard guard(fd);
  struct stat info;
  if (fstat(fd, &info) != 0) return -1;
  if (!S_ISREG(info.st_mode) || info.st_nlink != 1) {
    errno = S_ISREG(info.st_mode) ? EMLINK : EINVAL;
    return -1;
  }
  int status = fcntl(fd, F_GETFL);
  if (status >= 0) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  return guard.release();
}

// The same file as the open descriptor `fd`, not merely the same name.
bool names_descriptor(const char* path, int fd) {
  struct stat by_fd;
  struct stat by_name;
  return fd >= 0 && fstat(fd, &by_fd) == 0 && stat(path, &by_name) == 0 && by_fd.st_dev == by_name.st_dev &&
         by_fd.st_ino == by_name.st_ino;
}

void forget_lock_file_name() {
  free(lock_file_name);
  lock_file_name = nullptr;
}

// The lock covers the whole file from offset 0, so it is released from there.
void unlock_pid_file() {
  lseek(lock_file_descriptor, 0, SEEK_SET);
  lockf(lock_file_descriptor, F_ULOCK, 0);
}

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

// A child forked without announcing it still carries its parent's pid-file
// state: only the process that recorded the file may act on it.
void forget_pid_file_of_other_process() {
  if ((lock_file_descriptor != -1 || lock_file_name != nullptr) && lock_file_creator != getpid())
    forget_parent_pid_file();
}

bool holds_pid_file(const char* path) {
  forget_pid_file_of_other_process();
  return names_descriptor(path, lock_file_descriptor);
}

void report_lock_failure(const char* operation, const std::string& path, const char* app_name, int error) {
  veklog(VEK_HERE, VEKLOG_FATAL,
         "Could not %s the process lock file %s: %s. Please ensure that the user with UID:GID %ld:%ld has read and "
         "write permission to the daemon PID file. This error means that exclusive access to the product home "
         "directory cannot be guaranteed for the %s process and unexpected behavior may result.",
         operation, path.c_str(), strerror(error), static_cast<long>(getuid()), static_cast<long>(getgid()), app_name);
}

// Opens and locks the pid file; -1 with errno on failure (EBUSY when another
// process holds the lock). A file deleted between the open and the lock (its
// launcher was exiting) is opened again, so the lock is never held on a file
// that no other launcher can find any more.
int open_and_lock(const std::string& path, const char* app_name) {
  for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
    FdGuard fd(open_pid_file(path.c_str(), O_RDWR | O_CREAT, PID_FILE_MODE));
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

// The system's pid limit: IDs run from 1 to one below it.
long pid_limit() {
  FdGuard fd(open("/proc/sys/kernel/pid_max", O_RDONLY | O_CLOEXEC));
  char text[32] = {};
  ssize_t n = fd.get() >= 0 ? pread(fd.get(), text, sizeof text - 1, 0) : -1;
  long limit = n > 0 ? strtol(text, nullptr, 10) : 0;
  return limit > 1 && limit <= PID_LIMIT_FALLBACK ? limit : PID_LIMIT_FALLBACK;
}

// The pid in `line`: decimal digits from 1 to below the pid limit, blanks
// and a line end after them. Anything else (a sign, "4294967295", which a
// 64-bit long would hand to kill() as -1, text) gives 0.
long parse_pid(const char* line) {
  const long limit = pid_limit();
  long value = 0;
  const char* at = line;
  for (; *at >= '0' && *at <= '9'; ++at) {
    value = value * 10 + (*at - '0');
    if (value >= limit) return 0;
  }
  if (at == line) return 0;
  for (; *at != '\0'; ++at)
    if (!isspace(static_cast<unsigned char>(*at))) return 0;
  return value;
}

// The first line of the file open as `fd`, read from its start without
// moving the descriptor's offset; see vek::process::read_pid_file.
long read_pid_from(int fd, const char* path) {
  char line[PID_LINE_MAX + 1] = {};
  size_t length = 0;
  while (length < PID_LINE_MAX) {
    ssize_t n = pread(fd, line + length, PID_LINE_MAX - length, static_cast<off_t>(length));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    length += static_cast<size_t>(n);
  }
  line[length] = '\0';
  if (char* newline = strchr(line, '\n')) newline[1] = '\0';
  if (line[0] == '\0') return 0;
  long pid = parse_pid(line);
  if (pid == 0) {
    veklog(VEK_HERE, VEKLOG_WARN, "The pid file %s holds no process ID from 1 to %ld; it is ignored.", path,
           pid_limit() - 1);
    errno = ERANGE;
  }
  return pid;
}

// The process that holds a lock on the file open as `fd`, 0 when none does;
// a lock of this process does not count.
pid_t lock_holder(int fd) {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return 0;
  return probe.l_pid;
}

// The file could not be opened for writing (typically another user's
// launcher): judge by the process ID in it. A process that exists but cannot
// be signalled belongs to someone else and is taken as the launcher; one
// this user may signal is the launcher only while the file's lock is held,
// for the ID may have been reused since a launcher died.
bool unwritable_pid_file_is_live(const char* path) {
  FdGuard fd(open_pid_file(path, O_RDONLY));
  if (fd.get() < 0) return false;
  long pid = read_pid_from(fd.get(), path);
  if (pid <= 0) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0) return errno != ESRCH;
  return lock_holder(fd.get()) != 0;
}

// ".<app>-<rest>.pid" names, for an application whose name may share a
// prefix with others ("app" and "app-x") on hosts whose names may carry '-'.
// `rest` is read as this host's file of a longer application name when it
// can be ("x-<this host>"); what else cannot be told apart counts as a
// launcher elsewhere, the safe side.
bool other_application_here(const std::string& rest, const std::string& own_host) {
  const size_t host_at = rest.size() - own_host.size();
  return rest.size() > own_host.size() + 1 && rest.compare(host_at, own_host.size(), own_host) == 0 &&
         rest[host_at - 1] == '-';
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
    if (other_application_here(host, own_host)) continue;
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
  if (lstat(path.c_str(), &info) == 0) {
    FdGuard fd(open_pid_file(path.c_str(), O_RDWR));
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
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Exit code from daemon launcher process (%d) indicates errors. Please check the logs", code);
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

// Deleted while still locked: see the top of this file. A forked child that
// ends with exit() without having announced the fork finds its parent's
// state here and leaves the parent's file alone.
void release_pid_file() {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Running cleanup routines after exit() called");
  forget_pid_file_of_other_process();
  if (lock_file_name != nullptr) {
    if (holds_pid_file(lock_file_name)) {
      unlink(lock_file_name);
      veklog(VEK_HERE, VEKLOG_DEBUG, "Deleting PID file %s", lock_file_name);
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
  FdGuard fd(path != nullptr ? open_pid_file(path, O_RDONLY) : -1);
  if (fd.get() < 0) {
    errno = ENOENT;
    return 0;
  }
  return read_pid_from(fd.get(), path);
}

PidFileHolder pid_file_holder(const std::string& path) noexcept {
  if (holds_pid_file(path.c_str())) return {getpid(), getpid(), geteuid(), 0};
  FdGuard fd(open_pid_file(path.c_str(), O_RDONLY));
  if (fd.get() < 0) return {0, 0, 0, ENOENT};
  const long pid = read_pid_from(fd.get(), path.c_str());
  if (pid <= 0) return {0, 0, 0, ERANGE};
  struct stat info;
  // The holder is the file's launcher only when it is the process the file
  // names: another (a reused ID, a launcher in another pid namespace whose
  // IDs differ from ours) is never signalled in its name.
  if (lock_holder(fd.get()) != static_cast<pid_t>(pid) || fstat(fd.get(), &info) != 0) return {pid, 0, 0, ESRCH};
  return {pid, pid, info.st_uid, 0};
}

bool wait_for_shutdown_requested() noexcept { return wait_for_shutdown.load(); }

}  // namespace vek::process

extern "C" bool vek_recordLauncherStartup(const char* app_name, const char* state_location) {
  try {
    std::string path;
    if (!vek::process::pid_file_path(app_name, state_location, path)) return false;
    forget_pid_file_of_other_process();
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
    lock_file_creator = getpid();
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

namespace {
const vek::ModuleInitialiser process_start(vek::ModuleRank::process, vek_initialize_process);
}  // namespace
