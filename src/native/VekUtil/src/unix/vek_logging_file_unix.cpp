// POSIX calls behind the file logger: safe opening of log files and probes
// in directories that other users may be able to write to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "vek_logging_file_platform.h"
#include "vek_unix_io.h"

namespace {

constexpr mode_t kLogFileMode = 0644;

// Closes without disturbing the errno of the failure being reported.
void close_quietly(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

// Creates `path` exclusively and removes it again; EEXIST when taken.
bool probe_exclusive(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kLogFileMode);
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

int open_append(const char* path) {
  int fd;
  do {
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
              kLogFileMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close_quietly(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  // Non-blocking was only for the open; writes to a regular file never
  // return EAGAIN, but leave nothing surprising behind.
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

bool write_all(int fd, const char* data, size_t size) { return vek::write_all(fd, data, size); }

bool remove_file(const char* path) { return unlink(path) == 0; }

bool can_create_file_in(const char* dir, const char* name) {
  std::string probe = std::string(dir) + "/" + name;
  if (probe_exclusive(probe)) return true;
  return errno == EEXIST && probe_unique(dir, name);
}

}  // namespace vek::logfile
