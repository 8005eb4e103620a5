// External process runner on Linux: starts a program as a child with its own
// working directory, arguments, environment and standard streams, waits for
// it on the calling thread or a background one, feeds its output to handlers,
// and keeps the list of running children so that they can be signalled.
//
// The child itself is started by the spawning engine (vek_spawn_unix), which
// runs on the parent's borrowed memory: the runner prepares everything it
// needs beforehand, down to the log lines the child may have to print (as a
// forked child's console logger would print them, wrapping off), leaving only
// the system's error text to fill in.
#include "vek_runner.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "vek_list.h"
#include "vek_log_line.h"
#include "vek_logging.h"
#include "vek_module_init.h"
#include "vek_mutex.h"
#include "vek_mutex_guard.h"
#include "vek_runner_children.h"
#include "vek_runner_environment.h"
#include "vek_runner_signals.h"
#include "vek_spawn_unix.h"

extern char** environ;

using vek::spawn::ChildLine;
using vek::spawn::ChildPlan;

namespace {

constexpr int CHUNK_SIZE = 1024;  // bytes per read handed to a handler
constexpr int POLL_MS = 500;      // one wait for output; also the quiet time that ends a drain
// Reading after the child's end, at most: what a grandchild keeps writing
// to the inherited pipes must not hold the run.
constexpr std::chrono::seconds DRAIN_LIMIT{3};
constexpr int HIGHEST_SIGNAL = 64;  // signals a child may get back at their default

vek_list_t* active_processes = nullptr;     // handles of running children, compared by pid
vek_mutex_t* process_list_mutex = nullptr;  // "active external process list": the list, `running`, proc->handle
// Bit n-1 set: signal n had its disposition saved by the signal block, and a
// child gets it back at its default.
std::atomic<uint64_t> signals_saved_at_block{0};

// Receives pointers to the list slots.
int compare_pids(const void* a, const void* b) {
  auto* left = *static_cast<vek_process_handle_t* const*>(a);
  auto* right = *static_cast<vek_process_handle_t* const*>(b);
  return left->pid == right->pid ? 0 : 1;
}

const char* display_name(const vek_process_t* proc) { return proc->name != nullptr ? proc->name : proc->exe; }

// ---------------------------------------------------------------------------
// The parent's preparation.

// The logging core's stamp of an event logged now.
std::string timestamp_now() { return vek::logging::timestamp(std::time(nullptr)); }

// The descriptors of one run: the two pipes for handlers. Closed on every
// way out.
class RunPipes {
 public:
  RunPipes() = default;
  ~RunPipes() { close_all(); }
  RunPipes(const RunPipes&) = delete;
  RunPipes& operator=(const RunPipes&) = delete;

  // Output pipe first, then error. Close-on-exec, so that no other child of
  // this process inherits them (a stray write end would keep a pipe open),
  // and above 2, so that the child's redirection cannot overwrite them.
  bool open() { return make(&out_read, &out_write) && make(&err_read, &err_write); }
  void close_write_ends() {
    close_one(&out_write);
    close_one(&err_write);
  }
  void close_all() {
    close_write_ends();
    close_one(&out_read);
    close_one(&err_read);
  }

  int out_read = -1;
  int out_write = -1;
  int err_read = -1;
  int err_write = -1;

 private:
  static void close_one(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  static bool lift(int* fd) {
    if (*fd > 2) return true;
    int moved = fcntl(*fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    close(*fd);
    *fd = moved;
    return true;
  }
  static bool make(int* read_end, int* write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    *read_end = fds[0];
    *write_end = fds[1];
    return lift(read_end) && lift(write_end);
  }
};

// The child's plan with the storage it points into; lives until the child has
// executed its program.
class PreparedChild {
 public:
  PreparedChild(const vek_process_t* proc, const RunPipes& pipes) {
    plan_ = ChildPlan{};
    plan_.sys.call = &syscall;
    plan_.sys.error_location = &__errno_location;
    plan_.sys.error_text = &strerrordesc_np;
    plan_.exe = proc->exe;
    build_vectors(proc);
    plan_.dir = proc->dir;
    plan_.stdin_file = proc->stdin_file;
    plan_.redirect = proc->redirect;
    plan_.out_write = pipes.out_write;
    plan_.err_write = pipes.err_write;
    plan_.file_handle = -1;
    plan_.default_signals = signals_saved_at_block.load();
    choose_streams(proc);
    prepare_lines(proc);
  }
  PreparedChild(const PreparedChild&) = delete;
  PreparedChild& operator=(const PreparedChild&) = delete;

  ChildPlan* plan() { return &plan_; }

 private:
  void build_vectors(const vek_process_t* proc) {
    size_t count = proc->args != nullptr ? vek_listGetSize(proc->args) : 0;
    for (size_t i = 0; i < count; ++i) {
      auto* arg = static_cast<char*>(vek_listGet(proc->args, i));
      if (arg != nullptr) argv_.push_back(arg);
    }
    if (argv_.empty()) argv_.push_back(proc->exe);
    argv_.push_back(nullptr);
    plan_.argv = argv_.data();
    if (proc->env == nullptr) {
      plan_.envp = environ;  // read once here: another thread may replace it later
      // The loader path the user had, not the one the VM's restart set.
      if (vek::jvm::child_environment_slot != nullptr)
        envp_ = vek::jvm::child_environment_slot(plan_.envp, loader_path_entry_);
      if (!envp_.empty()) plan_.envp = envp_.data();
      return;
    }
    size_t entries = vek_listGetSize(proc->env);
    for (size_t i = 0; i < entries; ++i) {
      auto* entry = static_cast<char*>(vek_listGet(proc->env, i));
      if (entry != nullptr) envp_.push_back(entry);
    }
    envp_.push_back(nullptr);
    plan_.envp = envp_.data();
  }

  // The kept descriptors: the pipes' write ends for handlers, the caller's
  // descriptor, or the three standard streams.
  void choose_streams(const vek_process_t* proc) {
    switch (proc->redirect) {
      case VEK_REDIRECT_HANDLER:
        plan_.keep[0] = std::min(plan_.out_write, plan_.err_write);
        plan_.keep[1] = std::max(plan_.out_write, plan_.err_write);
        plan_.keep_count = 2;
        break;
      case VEK_REDIRECT_FD:
        plan_.file_handle = proc->output.file_handle;
        plan_.keep[0] = plan_.file_handle;
        plan_.keep_count = 1;
        break;
      case VEK_REDIRECT_FILE:
        plan_.stdout_file = proc->output.files.stdout_file;
        plan_.stderr_file = proc->output.files.stderr_file;
        [[fallthrough]];
      default:
        plan_.keep[0] = 0;
        plan_.keep[1] = 1;
        plan_.keep[2] = 2;
        plan_.keep_count = 3;
        break;
    }
  }

  void prepare_lines(const vek_process_t* proc) {
    std::string name = display_name(proc);
    std::string stamp = timestamp_now();
    line(&plan_.chdir_warning, stamp, VEKLOG_WARN,
         "Could not change to specified working directory " + std::string(proc->dir != nullptr ? proc->dir : "") +
             " for " + name + ": ");
    line(&plan_.stdout_warning, stamp, VEKLOG_WARN,
         "Could not redirect standard output to " + file_name(plan_.stdout_file) + ": ");
    line(&plan_.stderr_warning, stamp, VEKLOG_WARN,
         "Could not redirect standard error to " + file_name(plan_.stderr_file) + ": ");
    line(&plan_.out_handler_warning, stamp, VEKLOG_WARN, "Could not redirect standard output to handler: ");
    line(&plan_.err_handler_warning, stamp, VEKLOG_WARN, "Could not redirect standard error to handler: ");
    line(&plan_.exec_error, stamp, VEKLOG_ERROR, "Failed to execute new process '" + std::string(proc->exe) + "': ");
    plan_.exec_error.tail = " (errno ";
    plan_.exec_error.tail_size = 8;
    plan_.exec_error.with_number = true;
  }
  static std::string file_name(const char* name) { return name != nullptr ? name : "/dev/null"; }

  // The console line up to the error text; left out when the threshold
  // would drop it.
  void line(ChildLine* out, const std::string& stamp, VEKLOG_LEVEL level, const std::string& message) {
    *out = ChildLine{nullptr, 0, "\n", 1, false};
    if (level < vek_getLogLevel()) return;
    texts_.push_back(std::make_unique<std::string>(vek::logging::console_line(stamp.c_str(), level, message)));
    out->head = texts_.back()->c_str();
    out->head_size = texts_.back()->size();
  }

  ChildPlan plan_;
  std::vector<char*> argv_;
  std::vector<char*> envp_;
  std::string loader_path_entry_;                    // the user's LD_LIBRARY_PATH entry in envp_, if any
  std::vector<std::unique_ptr<std::string>> texts_;  // stable addresses for the lines' heads
};

// ---------------------------------------------------------------------------
// The parent's run.

// Lets vek_startProcess sleep until its run has published a handle, or has
// failed before it could.
struct StartNotice {
  std::mutex mutex;
  std::condition_variable changed;
  bool settled = false;  // a handle was published or will never be
};

// Settles a start notice once: when the handle is published, or on any way
// out of the run before that.
class Settler {
 public:
  explicit Settler(std::shared_ptr<StartNotice> notice) : notice_(std::move(notice)) {}
  ~Settler() { settle(); }
  Settler(const Settler&) = delete;
  Settler& operator=(const Settler&) = delete;

  void settle() {
    if (!notice_) return;
    {
      std::lock_guard<std::mutex> lock(notice_->mutex);
      notice_->settled = true;
    }
    notice_->changed.notify_all();
    notice_.reset();
  }

 private:
  std::shared_ptr<StartNotice> notice_;
};

void publish(vek_process_t* proc, vek_process_handle_t* handle, bool active) {
  VekMutexGuard guard(process_list_mutex);
  proc->handle = handle;
  if (active) vek_listAdd(active_processes, handle);
}

// The child has ended: it leaves the active list before it is reaped, so
// that vek_signalProcess (which signals under the same mutex) never reaches
// a pid the system may already have given to another process.
void retire(vek_process_handle_t* handle) {
  VekMutexGuard guard(process_list_mutex);
  vek_listRemove(active_processes, handle);
  handle->running = false;
}

// Blocks until the child has ended, without reaping it.
bool await_end(pid_t pid) {
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool has_ended(pid_t pid) {
  siginfo_t info;
  info.si_pid = 0;
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

bool reap(pid_t pid, int* status) {
  while (waitpid(pid, status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// One readiness report of one pipe: a chunk to its handler, its end, or an
// error event without data, after which the pipe is no longer watched.
void take_output(pollfd* watched, vek_data_handler_t handler, vek_process_handle_t* handle, const char* stream) {
  if (watched->fd < 0 || watched->revents == 0) return;
  if ((watched->revents & (POLLIN | POLLHUP)) == 0) {
    if ((watched->revents & POLLNVAL) == 0) close(watched->fd);
    watched->fd = -1;
    return;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "handling process %s data", stream);
  char chunk[CHUNK_SIZE];
  ssize_t got = read(watched->fd, chunk, sizeof chunk);
  if (got > 0) {
    if (handler != nullptr) handler(handle, chunk, static_cast<int>(got));
  } else if (got == 0) {
    close(watched->fd);
    watched->fd = -1;
  } else if (errno != EINTR && errno != EAGAIN) {
    veklog(VEK_HERE, VEKLOG_WARN, "Failure reading stream from external process: %s", strerror(errno));
  }
}

// Feeds the child's output to the handlers until both pipes are at their end,
// or until the child has ended and a whole wait brings nothing more. A
// grandchild may hold the pipes open for as long as it likes, and write to
// them all the while: once the child has ended, reading stops after
// DRAIN_LIMIT at the latest, and the cut is logged.
void pump_output(const vek_process_t* proc, vek_process_handle_t* handle, RunPipes* pipes) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Beginning to monitor output from '%s' (pid %ld)", display_name(proc),
         static_cast<long>(handle->pid));
  pipes->close_write_ends();
  pollfd watched[2] = {{pipes->out_read, POLLIN, 0}, {pipes->err_read, POLLIN, 0}};
  pipes->out_read = pipes->err_read = -1;  // owned by `watched` from here
  bool ended = false;
  bool cut = false;
  std::chrono::steady_clock::time_point drain_end;
  while (watched[0].fd >= 0 || watched[1].fd >= 0) {
    int wait_ms = POLL_MS;
    if (ended) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(drain_end - std::chrono::steady_clock::now());
      cut = left.count() <= 0;  // output still came on the last wait
      if (cut) break;
      wait_ms = static_cast<int>(std::min<long long>(POLL_MS, left.count()));
    }
    int ready = poll(watched, 2, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not read from child process '%s' (pid %ld): %s", display_name(proc),
             static_cast<long>(handle->pid), strerror(errno));
      break;
    }
    if (ready == 0 && ended) {
      cut = wait_ms < POLL_MS;  // the limit, not a whole quiet wait, ended it
      break;
    }
    take_output(&watched[0], proc->output.handlers.stdout_handler, handle, "stdout");
    take_output(&watched[1], proc->output.handlers.stderr_handler, handle, "stderr");
    if (!ended && has_ended(handle->pid)) {
      ended = true;
      drain_end = std::chrono::steady_clock::now() + DRAIN_LIMIT;
    }
  }
  for (pollfd& w : watched)
    if (w.fd >= 0) close(w.fd);
  if (cut)
    veklog(VEK_HERE, VEKLOG_WARN,
           "Output of '%s' (pid %ld) was cut: it ended, but a process it left behind still writes to its output "
           "streams; reading stopped %ld seconds after its end.",
           display_name(proc), static_cast<long>(handle->pid), static_cast<long>(DRAIN_LIMIT.count()));
}

void decode_status(const vek_process_t* proc, int status, vek_process_result_t* result) {
  if (WIFSIGNALED(status)) {
    result->exit_signal = WTERMSIG(status);
    veklog(VEK_HERE, VEKLOG_WARN,
           "External process '%s' terminated after receiving a signal %d, which it did not handle.", display_name(proc),
           result->exit_signal);
    if (WCOREDUMP(status)) {
      veklog(VEK_HERE, VEKLOG_ERROR, "External process runner produced a core dump");
      result->core_dumped = true;
    }
  } else if (WIFEXITED(status)) {
    result->exit_code = WEXITSTATUS(status);
  }
}

// Checks what can be checked before a child exists: the description, the
// working directory and the caller's descriptor.
bool check_description(const vek_process_t* proc) {
  if (proc == nullptr || proc->exe == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Cannot start a process without a description and an executable. This is an internal programming error");
    return false;
  }
  veklog(VEK_HERE, VEKLOG_VERBOSE, "Attempting to execute '%s'", proc->exe);
  struct stat info;
  if (proc->dir != nullptr && (stat(proc->dir, &info) != 0 || !S_ISDIR(info.st_mode))) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot start %s process, the specified working directory %s does not exist.",
           display_name(proc), proc->dir);
    return false;
  }
  if (proc->redirect == VEK_REDIRECT_FD && fcntl(proc->output.file_handle, F_GETFD) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot start %s process, descriptor %d to redirect to is not open: %s",
           display_name(proc), proc->output.file_handle, strerror(errno));
    return false;
  }
  return true;
}

// Waits for the started child (feeding its output to the handlers) and fills
// `result`. False when the wait failed.
bool follow_child(vek_process_t* proc, vek_process_handle_t* handle, RunPipes* pipes, vek_process_result_t* result) {
  auto started = std::chrono::steady_clock::now();
  *result = vek_process_result_t{-1, -1, false, 0.0};
  if (proc->redirect == VEK_REDIRECT_HANDLER) {
    pump_output(proc, handle, pipes);
  } else {
    veklog(VEK_HERE, VEKLOG_DEBUG, "Waiting for '%s' (pid %ld) to finish", display_name(proc),
           static_cast<long>(handle->pid));
  }
  int status = 0;
  bool waited = await_end(handle->pid);
  int wait_error = errno;
  // Taken off the list even when the wait failed: a pid that cannot be
  // waited for is not a child to signal any more.
  retire(handle);
  if (waited && !reap(handle->pid, &status)) {
    waited = false;
    wait_error = errno;
  }
  vek::runner::release(handle->pid);
  if (!waited) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not wait for the external process to finish: %s", strerror(wait_error));
    return false;
  }
  decode_status(proc, status, result);
  result->run_time = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  veklog(VEK_HERE, VEKLOG_DEBUG, "'%s' has finished, exit code %d, duration %g seconds", display_name(proc),
         result->exit_code, result->run_time);
  return true;
}

// One whole run. `notice` (may be empty) is settled as soon as the handle is
// published, or when the run ends without one.
bool run_child(vek_process_t* proc, vek_process_result_t* result, std::shared_ptr<StartNotice> notice) {
  Settler settler(std::move(notice));
  if (!check_description(proc)) return false;
  RunPipes pipes;
  if (proc->redirect == VEK_REDIRECT_HANDLER && !pipes.open()) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not created pipe'd file descriptors for the new process: %s",
           strerror(errno));
    return false;
  }
  std::unique_ptr<vek_process_handle_t, decltype(&free)> handle(
      static_cast<vek_process_handle_t*>(calloc(1, sizeof(vek_process_handle_t))), &free);
  if (!handle) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not start %s: out of memory", display_name(proc));
    return false;
  }
  handle->threadid = pthread_self();
  int error = 0;
  {
    PreparedChild child(proc, pipes);
    vek::runner::begin_start();  // a reaping signal thread leaves the child to us from here
    handle->pid = clone_child(child.plan(), &error);
    vek::runner::end_start(handle->pid);
  }
  if (handle->pid < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not execute fork() call while attempting to start new process for %s: %s",
           display_name(proc), strerror(error));
    handle->pid = -1;
    handle->running = false;
    pipes.close_all();
    publish(proc, handle.release(), false);
    return false;
  }
  handle->running = true;
  vek_process_handle_t* published = handle.release();
  publish(proc, published, true);
  settler.settle();
  vek_process_result_t local;
  return follow_child(proc, published, &pipes, result != nullptr ? result : &local);
}

// ---------------------------------------------------------------------------
// Background runs.

struct BackgroundRun {
  vek_process_t* proc;
  std::shared_ptr<StartNotice> notice;
};

// The thread's result: a heap vek_process_result_t, or NULL when the run failed.
void* background_main(void* arg) {
  std::unique_ptr<BackgroundRun> run(static_cast<BackgroundRun*>(arg));
  auto* result = static_cast<vek_process_result_t*>(calloc(1, sizeof(vek_process_result_t)));
  try {
    if (result == nullptr) {
      Settler(run->notice).settle();
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not start %s: out of memory", display_name(run->proc));
      return nullptr;
    }
    if (run_child(run->proc, result, run->notice)) return result;
  } catch (...) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not run %s: out of memory", display_name(run->proc));
  }
  free(result);
  return nullptr;
}

// Waits for the background run to settle and answers its handle, or NULL
// (the thread joined) when it failed before its child ran.
vek_process_handle_t* await_start(vek_process_t* proc, pthread_t thread, const std::shared_ptr<StartNotice>& notice) {
  {
    std::unique_lock<std::mutex> lock(notice->mutex);
    notice->changed.wait(lock, [&] { return notice->settled; });
  }
  vek_process_handle_t* handle;
  {
    VekMutexGuard guard(process_list_mutex);
    handle = proc->handle;
    if (handle != nullptr && handle->pid == -1) proc->handle = nullptr;
  }
  if (handle != nullptr && handle->pid != -1) return handle;
  void* value = nullptr;
  pthread_join(thread, &value);
  free(value);
  free(handle);
  return nullptr;
}

bool compute_has_nptl() {
  auto configured = [](int name) {
    char text[256] = {};
    size_t needed = confstr(name, text, sizeof text);
    return needed > 0 ? std::string(text) : std::string();
  };
  std::string libc = configured(_CS_GNU_LIBC_VERSION);
  if (libc.empty()) {
    libc = std::string("glibc ") + gnu_get_libc_version() + " " + gnu_get_libc_release();
    libc.resize(std::min<size_t>(libc.size(), 31));
  }
  std::string threads = configured(_CS_GNU_LIBPTHREAD_VERSION);
  if (threads.empty()) threads = "linuxthreads";
  // That release could report NPTL while running the old library.
  if (libc == "glibc 2.3.2" && threads.find("NPTL") != std::string::npos && sysconf(_SC_THREAD_THREADS_MAX) >= 1)
    threads = "linuxthreads";
  return threads.find("NPTL") != std::string::npos;
}

}  // namespace

namespace vek::runner {

void set_signals_saved_at_block(const sigset_t* saved) {
  uint64_t bits = 0;
  for (int sig = 1; saved != nullptr && sig <= HIGHEST_SIGNAL; ++sig)
    if (sigismember(saved, sig) == 1) bits |= uint64_t{1} << (sig - 1);
  signals_saved_at_block.store(bits);
}

}  // namespace vek::runner

extern "C" void vek_initialize_process_runner(void) {
  if (active_processes != nullptr) return;
  active_processes = vek_listCreate(1);
  vek_listSetCompare(active_processes, compare_pids);
  process_list_mutex = vek_createMutex("active external process list");
}

extern "C" bool vek_execProcess(vek_process_t* proc, vek_process_result_t* result) {
  try {
    return run_child(proc, result, nullptr);
  } catch (...) {
    // Only the preparation allocates; no child exists yet.
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not start %s: out of memory", proc != nullptr ? display_name(proc) : "");
    return false;
  }
}

extern "C" vek_process_handle_t* vek_startProcess(vek_process_t* proc) {
  if (proc == nullptr) return nullptr;
  try {
    {
      VekMutexGuard guard(process_list_mutex);
      proc->handle = nullptr;
    }
    auto notice = std::make_shared<StartNotice>();
    auto* run = new BackgroundRun{proc, notice};
    pthread_t thread;
    int failed = pthread_create(&thread, nullptr, background_main, run);
    if (failed != 0) {
      delete run;
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not start a new thread for the %s process: %s", display_name(proc),
             strerror(failed));
      return nullptr;
    }
    return await_start(proc, thread, notice);
  } catch (...) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not start a new thread for the %s process: %s", display_name(proc),
           strerror(ENOMEM));
    return nullptr;
  }
}

extern "C" bool vek_waitForProcess(vek_process_handle_t* handle, vek_process_result_t* result) {
  if (handle == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Cannot wait for process: the provided handle does not represent a successfully launched process.");
    return false;
  }
  void* value = nullptr;
  int failed = pthread_join(handle->threadid, &value);
  if (failed != 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not wait for the background process to exit: %s", strerror(failed));
    return false;
  }
  if (value == nullptr) return false;
  auto* produced = static_cast<vek_process_result_t*>(value);
  if (result != nullptr) *result = *produced;
  free(produced);
  return true;
}

extern "C" bool vek_isProcessHandleActive(vek_process_handle_t* handle) {
  if (handle == nullptr) return false;
  VekMutexGuard guard(process_list_mutex);
  return handle->running && handle->pid != -1;
}

extern "C" bool vek_signalProcess(vek_process_handle_t* handle, int signal_number) {
  if (!vek_isProcessHandleActive(handle)) {
    veklog(VEK_HERE, VEKLOG_WARN,
           "Cannot signal process: the provided handle does not represent a process that was successfully started "
           "and is still running.");
    return false;
  }
  bool nptl = vek_linux_has_nptl();
  VekMutexGuard guard(process_list_mutex);
  vek_process_handle_t probe = *handle;
  if (vek_listFind(active_processes, &probe) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not find request process ID in the active process list.");
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Sending signal %d to process %d", signal_number, static_cast<int>(handle->pid));
  if (handle->pid < 2) return false;
  // Without NPTL the child's threads are processes of its own group (it leads a new session).
  pid_t target = nptl ? handle->pid : -handle->pid;
  if (kill(target, signal_number) != 0) {
    veklog(VEK_HERE, VEKLOG_WARN, "Could not send signal %d to process %d: %s", signal_number,
           static_cast<int>(handle->pid), strerror(errno));
    return false;
  }
  return true;
}

extern "C" bool vek_linux_has_nptl(void) {
  static const bool has_nptl = [] {
    try {
      return compute_has_nptl();
    } catch (...) {
      return true;  // every C library this builds against has it
    }
  }();
  return has_nptl;
}

namespace {
const vek::ModuleInitialiser runner_start(vek::ModuleRank::process_runner, vek_initialize_process_runner);
}  // namespace

constinit vek::jvm::child_environment_t vek::jvm::child_environment_slot = nullptr;
