// POSIX calls behind the file logger: log files created only as new files,
// reopened only when still the caller's own, and probes, in directories
// that other users may be able to write to.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "vek_logging_file_platform.h"
#include "vek_unix_io.h"

namespace {

constexpr mode_t kProbeMode = 0644;
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;

void (*child_reset)() = nullptr;  // what at_fork_in_child registered

void run_child_reset() {
  if (child_reset != nullptr) child_reset();
}

// Closes without disturbing the errno of the failure being reported.
void close_quietly(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

bool same_file(const struct stat& st, const vek::logfile::FileId& id) {
  return static_cast<unsigned long long>(st.st_dev) == id.device &&
         static_cast<unsigned long long>(st.st_ino) == id.inode;
}

// Creates `path` exclusively and removes it again; EEXIST when taken.
bool probe_exclusive(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kProbeMode);
  if (fd < 0) return false;
  close(fd);
  unlink(path.c_str());
  return true;
}

// A uniquely named probe for a directory whose usual probe name is taken.
bool probe_unique(const std::string& dir, const char* name) {
  std::string pattern = dir + "/" + name + ".XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  unlink(pattern.c_str());
  return true;
}

}  // namespace

namespace vek::logfile {

bool close_file(int fd) { return close(fd) == 0; }

void at_fork_in_child(void (*reset)()) {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  child_reset = reset;
  pthread_once(&once, [] { pthread_atfork(nullptr, nullptr, &run_child_reset); });
}

int create_new(const char* path, int mode, FileId& id) {
  int fd;
  do {
    // O_EXCL: neither an existing file nor a link (not even a dangling one) is opened.
    fd = open(path, kAppendFlags | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close_quietly(fd);
    return -1;
  }
  id.device = static_cast<unsigned long long>(st.st_dev);
  id.inode = static_cast<unsigned long long>(st.st_ino);
  return fd;
}

int reopen_own(const char* path, const FileId& id) {
  int fd;
  do {
    // Non-blocking for the open only: a FIFO put at the name must not hang it.
    fd = open(path, kAppendFlags | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close_quietly(fd);
    return -1;
  }
  int refusal = 0;
  if (!S_ISREG(st.st_mode) || !same_file(st, id))
    refusal = ESTALE;
  else if (st.st_uid != geteuid() || st.st_nlink != 1)
    refusal = EPERM;
  if (refusal != 0) {
    close(fd);
    errno = refusal;
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

bool refers_to(int fd, const FileId& id) {
  struct stat st;
  return fd >= 0 && fstat(fd, &st) == 0 && same_file(st, id);
}

bool is_own_file(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

bool is_shared_directory(const char* dir) {
  struct stat st;
  if (stat(dir, &st) != 0) return true;  // unknown: assume the worst
  return (st.st_mode & (S_IWGRP | S_IWOTH | S_ISVTX)) != 0;
}

bool write_all(int fd, const char* data, size_t size) { return vek::write_all(fd, data, size); }

bool remove_file(const char* path) { return unlink(path) == 0; }

bool can_create_file_in(const char* dir, const char* name) {
  std::string probe = std::string(dir) + "/" + name;
  if (probe_exclusive(probe)) return true;
  return errno == EEXIST && probe_unique(dir, name);
}

}  // namespace vek::logfile
