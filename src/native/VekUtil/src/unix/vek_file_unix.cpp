// POSIX system calls behind vek_file, and the Linux-only operations
// (vek_getMaxOpenFiles, vek_findExe, vek_copyFile).
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vek_file.h"
#include "vek_file_platform.h"
#include "vek_logging.h"
#include "vek_unix_io.h"

namespace {

using vek::DirGuard;
using vek::FdGuard;
using vek::write_all;

constexpr size_t kCopyBufferSize = 8192;

// Restores the process umask when it goes.
class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : saved_(umask(mask)) {}
  ~UmaskGuard() { umask(saved_); }
  UmaskGuard(const UmaskGuard&) = delete;
  UmaskGuard& operator=(const UmaskGuard&) = delete;

 private:
  mode_t saved_;
};

ssize_t read_some(int fd, char* buffer, size_t size) {
  ssize_t n;
  do {
    n = read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool same_file(const char* a, const char* b) {
  struct stat sa;
  struct stat sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool copy_content(int in, int out, const char* src, const char* dst) {
  char buffer[kCopyBufferSize];
  for (;;) {
    ssize_t n = read_some(in, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      // A read error is not the end of the file: the copy would be short.
      veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Error reading %s during copy: %s", src, strerror(errno));
      return false;
    }
    if (!write_all(out, buffer, static_cast<size_t>(n))) {
      veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Error writing to %s during copy: %s", dst, strerror(errno));
      return false;
    }
  }
}

// The permission bits of the file whose content was copied. A link is
// followed: its own mode (0777) would make the copy writable by everyone.
bool copy_permissions(const char* src, int out, const char* dst) {
  struct stat st;
  if (stat(src, &st) != 0) {
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Could not lstat file %s: %s", src, strerror(errno));
    return false;
  }
  if (fchmod(out, st.st_mode & 07777) != 0) {
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Could not set permissions on %s: %s", dst, strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

namespace vek::file {

bool is_full_path(const char* path) { return path[0] == '/'; }

bool is_network_path(const char*) { return false; }

bool full_path(const char* path, std::string& out) {
  char resolved[VEK_PATH_MAX];
  if (realpath(path, resolved) == nullptr) return false;
  out = resolved;
  return true;
}

bool stat_path(const char* path, bool& is_directory, bool& owner_exec, vek_uint64_t& size) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  is_directory = S_ISDIR(st.st_mode);
  owner_exec = (st.st_mode & S_IXUSR) != 0;
  size = static_cast<vek_uint64_t>(st.st_size);
  return true;
}

bool directory_exists(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  errno = S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  return errno == 0;
}

bool file_exists(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  errno = S_ISDIR(st.st_mode) ? EISDIR : 0;
  return errno == 0;
}

void set_missing_name_error() { errno = ENOENT; }

bool make_directory(const char* path, int mode) { return mkdir(path, static_cast<mode_t>(mode)) == 0; }

bool list_directory(const char* path, std::vector<std::string>& names) {
  DirGuard dir(opendir(path));
  if (dir.get() == nullptr) return false;
  errno = 0;
  while (struct dirent* entry = readdir(dir.get())) names.emplace_back(entry->d_name);
  return errno == 0;
}

bool entry_kind(const char* path, EntryKind& kind) {
  struct stat st;
  if (lstat(path, &st) != 0) return false;
  kind = S_ISDIR(st.st_mode) ? EntryKind::kDirectory : EntryKind::kOther;
  return true;
}

bool remove_file(const char* path) { return unlink(path) == 0; }

bool remove_empty_directory(const char* path) { return rmdir(path) == 0; }

std::vector<std::string> fixed_temp_candidates() { return {"/tmp", "/usr/tmp", "/var/tmp"}; }

bool working_directory(std::string& out) {
  char buffer[VEK_PATH_MAX] = {};
  if (getcwd(buffer, sizeof buffer - 1) == nullptr) return false;
  out = buffer;
  return true;
}

int make_temp_file_handle(char* template_name) {
  int fd = -1;
  {
    UmaskGuard owner_only(077);
    if (template_name == nullptr || strlen(template_name) < 6 ||
        strcmp(template_name + strlen(template_name) - 6, "XXXXXX") != 0) {
      veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR,
             "The last 6 characters of the template for the temporary file name must be XXXXXX");
      errno = EINVAL;
    } else {
      fd = mkstemp(template_name);
    }
  }
  if (fd == -1) {
    int error = errno;
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Couldn't open temporary file %s: %s",
           template_name != nullptr ? template_name : "(null)", strerror(error));
    errno = error;
  }
  return fd;
}

FILE* open_stream(int fd) { return fdopen(fd, "w+b"); }

void close_descriptor(int fd) { close(fd); }

vek_uint64_t available_bytes(const char* name) {
  struct statvfs vfs;
  if (name == nullptr || statvfs(name, &vfs) != 0) return VEK_UINT64_UNKNOWN;
  // f_bavail counts fragments; f_frsize is their size (0 on old kernels).
  vek_uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  return static_cast<vek_uint64_t>(vfs.f_bavail) * unit;
}

bool no_exec_file_system(const char* name) {
  struct statvfs vfs;
  return statvfs(name, &vfs) == 0 && (vfs.f_flag & ST_NOEXEC) != 0;
}

}  // namespace vek::file

extern "C" {

unsigned int vek_getMaxOpenFiles(void) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR,
           "Could not query the operating system to determine the maxmim number of open files "
           "allowed: %s",
           strerror(errno));
    return UINT_MAX;
  }
  return limit.rlim_max > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(limit.rlim_max);
}

char* vek_findExe(char* input) {
  if (input == nullptr) {
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Provided executable name was NULL in vek_findExe()");
    return nullptr;
  }
  if (vek_isFullPath(input)) {
    veklog(VEK_SOURCE_HERE(file), VEKLOG_DEBUG, "Executable '%s' is already a full path", input);
    return strdup(input);
  }
  try {
    const char* search = getenv("PATH");
    std::string path = search != nullptr ? search : "/bin:/usr/bin";
    size_t start = 0;
    while (start <= path.size()) {
      size_t end = path.find(':', start);
      if (end == std::string::npos) end = path.size();
      if (end > start) {
        std::string candidate = path.substr(start, end - start) + "/" + input;
        if (vek_isFileExecutable(candidate.c_str())) {
          veklog(VEK_SOURCE_HERE(file), VEKLOG_VERBOSE, "Found %s on the system path at %s", input, candidate.c_str());
          return strdup(candidate.c_str());
        }
      }
      start = end + 1;
    }
  } catch (...) {
    return nullptr;
  }
  veklog(VEK_SOURCE_HERE(file), VEKLOG_WARN, "Could not find %s on the system path", input);
  return strdup(input);
}

bool vek_copyFile(const char* src, const char* dst) {
  errno = 0;
  FdGuard in(src != nullptr ? open(src, O_RDONLY) : -1);
  if (in.get() < 0) {
    if (src == nullptr) errno = EINVAL;
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Could not open %s for reading during copy: %s",
           src != nullptr ? src : "(null)", strerror(errno));
    return false;
  }
  // Opening the destination truncates it: were it the source, its content
  // would be gone before the first read.
  if (dst != nullptr && same_file(src, dst)) {
    errno = EINVAL;
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Could not open %s for writing during copy: %s", dst,
           "source and destination are the same file");
    return false;
  }
  errno = 0;
  FdGuard out(dst != nullptr ? open(dst, O_WRONLY | O_CREAT | O_TRUNC, 0666) : -1);
  if (out.get() < 0) {
    if (dst == nullptr) errno = EINVAL;
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Could not open %s for writing during copy: %s",
           dst != nullptr ? dst : "(null)", strerror(errno));
    return false;
  }
  errno = 0;
  if (!copy_content(in.get(), out.get(), src, dst)) return false;
  if (!copy_permissions(src, out.get(), dst)) return false;
  if (!out.close_now(false)) {
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Error writing to %s during copy: %s", dst, strerror(errno));
    return false;
  }
  errno = 0;
  return true;
}

}  // extern "C"
