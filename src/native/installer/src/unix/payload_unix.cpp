// System calls of the payload reader on Linux.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload_platform.h"

int platform_open_readonly(const char* path) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void platform_close(int fd) { close(fd); }

int64_t platform_file_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return (int64_t)st.st_size;
}

int64_t platform_seek(int fd, int64_t offset, int whence) { return (int64_t)lseek(fd, (off_t)offset, whence); }

ssize_t platform_read(int fd, void* buf, size_t count) {
  ssize_t got;
  do {
    got = read(fd, buf, count);
  } while (got < 0 && errno == EINTR);
  return got;
}

ssize_t platform_read_at(int fd, void* buf, size_t count, int64_t offset) {
  size_t have = 0;
  while (have < count) {
    ssize_t got = pread(fd, (char*)buf + have, count - have, (off_t)offset + (off_t)have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    have += (size_t)got;
  }
  return (ssize_t)have;
}

// The affinity mask, not the machine's count: a process confined to fewer
// processors gains nothing from more workers.
unsigned platform_processor_count(void) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0) return (unsigned)CPU_COUNT(&set);
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? (unsigned)online : 1u;
}

void platform_with_signals_blocked(void (*start)(void* arg), void* arg) {
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  start(arg);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}
