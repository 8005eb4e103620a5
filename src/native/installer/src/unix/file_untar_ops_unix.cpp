// File-writing operations: the POSIX system calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "../file_untar_ops_platform.h"

namespace {

// Removes what stands at `name` unless it is a directory, which stays (the
// creation that follows then fails on it). An entry replaces what stands at
// its name and never opens or writes through it: a device, a FIFO, a link or
// a file hard-linked elsewhere.
bool remove_non_directory(const char* name) {
  if (unlink(name) == 0 || errno == ENOENT || errno == EISDIR) return true;
  struct stat st;
  return lstat(name, &st) == 0 && S_ISDIR(st.st_mode);  // EPERM on a directory elsewhere
}

// A short name in the directory of `name` for a link made before it
// replaces `name` (rename works within one file system).
std::string link_temporary_name(const char* name, unsigned attempt) {
  const char* slash = strrchr(name, '/');
  std::string directory(name, slash ? static_cast<size_t>(slash - name + 1) : 0);
  return directory + ".vek-link-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
}

// Makes a link under a temporary name beside `from` with `make`, then renames
// it over `from`: whatever stood there is replaced in one step, and a link
// that cannot be made leaves it as it was. A directory at `from` stays.
bool replace_with_link(const char* from, const std::function<int(const char* temporary)>& make) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::string temporary = link_temporary_name(from, attempt);
    if (make(temporary.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (rename(temporary.c_str(), from) == 0) return true;
    int error = errno;
    unlink(temporary.c_str());
    errno = error;
    return false;
  }
  return false;
}

}  // namespace

int platform_open_file(const char* file_name, int mode) {
  if (!create_parent_dirs(file_name) || !remove_non_directory(file_name)) return -1;
  int fd;
  do {
    // O_EXCL with O_NOFOLLOW: whatever appeared at the name since is neither
    // truncated nor followed.
    fd = open(file_name, O_WRONLY | O_CREAT | O_EXCL | O_LARGEFILE | O_NOFOLLOW | O_CLOEXEC,
              static_cast<mode_t>(mode & 07777));
  } while (fd == -1 && errno == EINTR);
  return fd;
}

int platform_write_file(int fd, const char* buf, size_t sz) {
  if (sz > INT_MAX) sz = INT_MAX;
  ssize_t written;
  do {
    written = write(fd, buf, sz);
  } while (written == -1 && errno == EINTR);
  return static_cast<int>(written);
}

// EINTR is not retried: on Linux the descriptor is gone whatever close says.
bool platform_close_file(int fd) { return close(fd) == 0 || errno == EINTR; }

bool platform_make_directory(const char* name, int mode) {
  if (mkdir(name, static_cast<mode_t>((mode & 07777) | S_IRWXU)) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st;
  if (lstat(name, &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = EEXIST;
    return false;
  }
  if ((st.st_mode & S_IRWXU) == S_IRWXU) return true;
  return chmod(name, (st.st_mode & 07777) | S_IRWXU) == 0;
}

// Through a descriptor: O_NOFOLLOW refuses a link put in place of the
// directory, where chmod would follow it.
bool platform_set_directory_mode(const char* name, int mode) {
  int fd;
  do {
    fd = open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return false;
  bool changed = fchmod(fd, static_cast<mode_t>(mode & 07777)) == 0;
  int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  return changed;
}

// umask has no read-only form; the installer runs one thread here.
int platform_creation_mask() {
  mode_t mask = umask(0);
  umask(mask);
  return static_cast<int>(mask);
}

bool platform_make_device(const char* device_name, int mode, int major, int minor) {
  return create_parent_dirs(device_name) && remove_non_directory(device_name) &&
         mknod(device_name, static_cast<mode_t>(mode),
               makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor))) == 0;
}

bool platform_make_symlink(const char* to, const char* from) {
  return create_parent_dirs(from) &&
         replace_with_link(from, [to](const char* temporary) { return symlink(to, temporary); });
}

// A hard link to the file already at its name is there: replacing the name
// first would lose the file.
bool platform_make_hardlink(const char* to, const char* from) {
  if (!create_parent_dirs(from)) return false;
  struct stat target, existing;
  if (lstat(to, &target) == 0 && lstat(from, &existing) == 0 && target.st_dev == existing.st_dev &&
      target.st_ino == existing.st_ino)
    return true;
  return replace_with_link(from, [to](const char* temporary) { return link(to, temporary); });
}

bool platform_is_symlink(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}
