// The spawning engine of the process runner: the child's side from the clone
// to execve, and the clone itself (vek_spawn_unix.h).
#include "vek_spawn_unix.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "vek_runner.h"

using vek::spawn::ChildLine;
using vek::spawn::ChildPlan;

namespace {

constexpr size_t CHILD_STACK_SIZE = 64 * 1024;  // the borrowing child's own stack
constexpr int KERNEL_SIGSET_BYTES = 8;          // sigset size the kernel's rt_sig* calls take
constexpr int HIGHEST_SIGNAL = 64;              // signals the child puts back at their default

// ---------------------------------------------------------------------------
// The child side. Runs on the borrowed memory until execve: system calls
// through ChildCalls only, nothing allocated, nothing instrumented (the
// sanitizers' bookkeeping belongs to the parent's thread).

#define VEK_CHILD_SIDE __attribute__((no_sanitize("address", "thread", "undefined"), noinline))

// The kernel's layout of a signal disposition for rt_sigaction (x86 and x86-64).
struct kernel_sigaction {
  void* handler;
  unsigned long flags;
  void* restorer;
  uint64_t mask;
};

VEK_CHILD_SIDE int child_errno(const ChildPlan* p) { return *p->sys.error_location(); }

VEK_CHILD_SIDE size_t child_length(const char* text) {
  size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

// Prints a prepared line with the text (and, for the exec failure, the
// number) of `error`, as one write.
VEK_CHILD_SIDE void child_print(const ChildPlan* p, int fd, const ChildLine* line, int error) {
  if (line->head == nullptr) return;
  const char* text = p->sys.error_text(error);
  if (text == nullptr) text = "Unknown error";
  char digits[16];
  size_t n = sizeof digits;
  unsigned value = error < 0 ? 0u : static_cast<unsigned>(error);
  do {
    digits[--n] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n > 0);
  struct iovec parts[5];
  parts[0].iov_base = const_cast<char*>(line->head);
  parts[0].iov_len = line->head_size;
  parts[1].iov_base = const_cast<char*>(text);
  parts[1].iov_len = child_length(text);
  parts[2].iov_base = const_cast<char*>(line->tail);
  parts[2].iov_len = line->tail_size;
  parts[3].iov_base = digits + n;
  parts[3].iov_len = sizeof digits - n;
  parts[4].iov_base = const_cast<char*>(")\n");
  parts[4].iov_len = 2;
  p->sys.call(SYS_writev, fd, parts, line->with_number ? 5 : 3);
}

// Puts `fd` at `target` and closes the original; nothing when already there.
VEK_CHILD_SIDE bool child_move(const ChildPlan* p, long fd, int target) {
  if (fd == target) return true;
  if (p->sys.call(SYS_dup3, fd, target, 0) < 0) return false;
  p->sys.call(SYS_close, fd);
  return true;
}

VEK_CHILD_SIDE long child_open(const ChildPlan* p, const char* path, int flags) {
  return p->sys.call(SYS_openat, AT_FDCWD, path, flags | O_NOCTTY, 0600);
}

// Opens a file the caller named. The parent waits while the child borrows
// its memory, so the open must not block: a FIFO without a partner (or a
// device waiting for a line) would hold the caller for as long as nobody
// comes. Opened without blocking, a FIFO with no reader fails (ENXIO) and
// one with no writer reads as empty; the program then gets ordinary
// blocking I/O.
VEK_CHILD_SIDE long child_open_named(const ChildPlan* p, const char* path, int flags) {
  long fd = child_open(p, path, flags | O_NONBLOCK);
  if (fd < 0) return fd;
  long status = p->sys.call(SYS_fcntl, fd, F_GETFL);
  if (status >= 0) p->sys.call(SYS_fcntl, fd, F_SETFL, status & ~static_cast<long>(O_NONBLOCK));
  return fd;
}

VEK_CHILD_SIDE bool child_is_kept(const ChildPlan* p, long fd) {
  for (int i = 0; i < p->keep_count; ++i)
    if (p->keep[i] == fd) return true;
  return false;
}

// Closes what /proc/self/fd lists; false when it cannot be read.
VEK_CHILD_SIDE bool child_close_listed(const ChildPlan* p) {
  long dir = child_open(p, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  alignas(8) char buffer[2048];
  for (;;) {
    long got = p->sys.call(SYS_getdents64, dir, buffer, sizeof buffer);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      // struct linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
      unsigned short record = *reinterpret_cast<unsigned short*>(buffer + at + 16);
      const char* name = buffer + at + 19;
      long fd = 0;
      bool number = *name != '\0';
      for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') number = false;
        fd = fd * 10 + (*name - '0');
      }
      if (number && fd != dir && !child_is_kept(p, fd)) p->sys.call(SYS_close, fd);
      at += record;
    }
  }
  p->sys.call(SYS_close, dir);
  return true;
}

// Closes every inherited descriptor but the kept ones: close_range on the
// gaps, else what /proc/self/fd lists, else every number below the soft
// open-file limit.
VEK_CHILD_SIDE void child_close_inherited(const ChildPlan* p) {
  bool closed = true;
  unsigned long first = 0;
  for (int i = 0; i < p->keep_count; ++i) {
    unsigned long kept = static_cast<unsigned long>(p->keep[i]);
    if (kept > first && p->sys.call(SYS_close_range, first, kept - 1, 0) != 0) closed = false;
    first = kept + 1;
  }
  if (closed && p->sys.call(SYS_close_range, first, ~0U, 0) == 0) return;
  if (child_close_listed(p)) return;
  uint64_t limits[2] = {1024, 1024};  // struct rlimit64: soft, hard
  p->sys.call(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, limits);
  long top = limits[0] > (1u << 20) ? (1L << 20) : static_cast<long>(limits[0]);
  for (long fd = 0; fd < top; ++fd)
    if (!child_is_kept(p, fd)) p->sys.call(SYS_close, fd);
}

// No handler of the parent may run on the borrowed memory, and the program
// must start with the dispositions from before the signal block: handlers and
// the block's saved signals go back to their default (ignored ones stay).
VEK_CHILD_SIDE void child_reset_signals(const ChildPlan* p) {
  for (int sig = 1; sig <= HIGHEST_SIGNAL; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    kernel_sigaction current;
    if (p->sys.call(SYS_rt_sigaction, sig, nullptr, &current, KERNEL_SIGSET_BYTES) != 0) continue;
    bool saved = (p->default_signals >> (sig - 1)) & 1u;
    bool handled =
        current.handler != reinterpret_cast<void*>(SIG_DFL) && current.handler != reinterpret_cast<void*>(SIG_IGN);
    if (!saved && !handled) continue;
    kernel_sigaction to_default;
    to_default.handler = reinterpret_cast<void*>(SIG_DFL);
    to_default.flags = 0;
    to_default.restorer = nullptr;
    to_default.mask = 0;
    p->sys.call(SYS_rt_sigaction, sig, &to_default, nullptr, KERNEL_SIGSET_BYTES);
  }
}

// Opens an output file for appending (or /dev/null) and puts it at `target`;
// a file that cannot be opened is reported and replaced by /dev/null.
VEK_CHILD_SIDE void child_open_output(const ChildPlan* p, const char* name, int target, const ChildLine* warning) {
  long fd =
      name != nullptr ? child_open_named(p, name, O_WRONLY | O_CREAT | O_APPEND) : child_open(p, "/dev/null", O_WRONLY);
  if (fd < 0) {
    child_print(p, 1, warning, child_errno(p));
    fd = child_open(p, "/dev/null", O_WRONLY);
  }
  if (fd >= 0) child_move(p, fd, target);
}

// Puts a pipe's write end at `target`, or /dev/null when that fails.
VEK_CHILD_SIDE void child_attach_pipe(const ChildPlan* p, int write_end, int target, const ChildLine* warning) {
  if (child_move(p, write_end, target)) return;
  child_print(p, 1, warning, child_errno(p));
  long fd = child_open(p, "/dev/null", O_WRONLY);
  if (fd >= 0) child_move(p, fd, target);
}

VEK_CHILD_SIDE void child_redirect(const ChildPlan* p) {
  switch (p->redirect) {
    case VEK_REDIRECT_FILE:
      child_open_output(p, p->stdout_file, 1, &p->stdout_warning);
      child_open_output(p, p->stderr_file, 2, &p->stderr_warning);
      break;
    case VEK_REDIRECT_HANDLER:
      child_attach_pipe(p, p->out_write, 1, &p->out_handler_warning);
      child_attach_pipe(p, p->err_write, 2, &p->err_handler_warning);
      break;
    case VEK_REDIRECT_NONE: {
      long fd = child_open(p, "/dev/null", O_WRONLY);
      if (fd < 0) break;
      for (int target = 1; target <= 2; ++target)
        if (fd != target) p->sys.call(SYS_dup3, fd, target, 0);
      if (fd > 2) p->sys.call(SYS_close, fd);
      break;
    }
    case VEK_REDIRECT_FD:
      for (int target = 0; target <= 2; ++target)
        if (p->file_handle != target) p->sys.call(SYS_dup3, p->file_handle, target, 0);
      if (p->file_handle > 2) p->sys.call(SYS_close, p->file_handle);
      break;
    default:  // VEK_REDIRECT_INHERIT
      break;
  }
}

// The child's whole life before its program: the same steps, in the same
// order, as a forked child of this runner would take.
VEK_CHILD_SIDE int child_main(void* arg) {
  const ChildPlan* p = static_cast<const ChildPlan*>(arg);
  child_reset_signals(p);
  child_close_inherited(p);
  if (p->dir != nullptr && p->sys.call(SYS_chdir, p->dir) != 0) child_print(p, 1, &p->chdir_warning, child_errno(p));
  if (p->stdin_file != nullptr) {
    long fd = child_open_named(p, p->stdin_file, O_RDONLY);
    if (fd < 0) fd = child_open(p, "/dev/null", O_RDONLY);
    if (fd >= 0) child_move(p, fd, 0);
  }
  child_redirect(p);
  for (int fd = 0; fd <= 2; ++fd) p->sys.call(SYS_fcntl, fd, F_SETFD, 0);
  p->sys.call(SYS_setsid);
  uint64_t empty_mask = 0;
  p->sys.call(SYS_rt_sigprocmask, SIG_SETMASK, &empty_mask, nullptr, KERNEL_SIGSET_BYTES);
  p->sys.call(SYS_execve, p->exe, p->argv, p->envp);
  child_print(p, 2, &p->exec_error, child_errno(p));
  p->sys.call(SYS_exit_group, 1);
  return 1;
}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer's clone interceptor does its fork bookkeeping in the child,
// which here would rewrite the parent's own bookkeeping in the shared memory;
// the C library's entry point does not.
using clone_function = int (*)(int (*)(void*), void*, int, void*, ...);
clone_function library_clone() {
  static clone_function found = [] {
    void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    void* symbol = libc != nullptr ? dlsym(libc, "clone") : nullptr;
    return symbol != nullptr ? reinterpret_cast<clone_function>(symbol) : &clone;
  }();
  return found;
}
#else
constexpr auto library_clone = [] { return &clone; };
#endif

}  // namespace

pid_t vek::spawn::clone_child(ChildPlan* plan, int* error) {
  void* stack = mmap(nullptr, CHILD_STACK_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) {
    *error = errno;
    return -1;
  }
  uint64_t all = ~uint64_t{0};
  uint64_t saved = 0;
  // The raw call also blocks the C library's own signals, which pthread_sigmask leaves open.
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &saved, KERNEL_SIGSET_BYTES);
  int saved_errno = errno;  // the child writes this thread's errno
  pid_t pid =
      library_clone()(child_main, static_cast<char*>(stack) + CHILD_STACK_SIZE, CLONE_VM | CLONE_VFORK | SIGCHLD, plan);
  *error = errno;
  errno = saved_errno;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &saved, nullptr, KERNEL_SIGSET_BYTES);
  munmap(stack, CHILD_STACK_SIZE);
  return pid;
}