// Scope guards for POSIX descriptors and directory streams, and a complete
// write, shared by the system-call files.
#ifndef VEK_UNIX_IO_H
#define VEK_UNIX_IO_H

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace vek {

// Closes a descriptor when it goes; release() hands it over.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() { close_now(); }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now; keeps errno of an earlier failure when `keep_errno` is set.
  bool close_now(bool keep_errno = true) {
    if (fd_ < 0) return true;
    int saved = errno;
    bool ok = close(fd_) == 0;
    fd_ = -1;
    if (keep_errno) errno = saved;
    return ok;
  }

 private:
  int fd_;
};

// Closes a directory stream when it goes.
class DirGuard {
 public:
  explicit DirGuard(DIR* dir) : dir_(dir) {}
  ~DirGuard() {
    if (dir_ != nullptr) closedir(dir_);
  }
  DirGuard(const DirGuard&) = delete;
  DirGuard& operator=(const DirGuard&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// Writes all `size` bytes, going on after short writes and interruptions;
// false with errno set (EIO when the system wrote nothing and gave no error).
inline bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace vek

#endif  // VEK_UNIX_IO_H
