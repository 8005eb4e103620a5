// Host and machine names, processors and file reads on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>

#include "vek_sysinfo_platform.h"

namespace vek::sysinfo {

bool host_name(std::string& out) {
  char buffer[1024] = {};
  // One byte short of the buffer, so that a cut name is still terminated.
  if (gethostname(buffer, sizeof buffer - 1) != 0) return false;
  out = buffer;
  return true;
}

bool machine_name(std::string& out) {
  struct utsname names {};
  if (uname(&names) != 0) return false;
  out = names.machine;
  return true;
}

int online_processors() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count < 1 ? 1 : static_cast<int>(count);
}

long page_size() {
  long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? size : 4096;
}

bool is_readable(const char* path) { return access(path, R_OK) == 0; }

bool is_executable_file(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISREG(info.st_mode) && access(path, X_OK) == 0;
}

ReadOutcome read_start(const char* path, size_t limit, std::string& out, bool& close_failed, int& close_error) {
  out.clear();
  close_failed = false;
  close_error = 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadOutcome::MISSING : ReadOutcome::OPEN_FAILED;
  out.resize(limit);
  size_t filled = 0;
  ReadOutcome outcome = ReadOutcome::READ;
  // /proc files may come in several pieces; stop at the limit or the end.
  while (filled < limit) {
    ssize_t got = read(fd, &out[filled], limit - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      outcome = ReadOutcome::READ_FAILED;
      break;
    }
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  int read_error = errno;
  out.resize(filled);
  if (close(fd) != 0) {
    close_failed = true;
    close_error = errno;
  }
  errno = read_error;
  return outcome;
}

}  // namespace vek::sysinfo
