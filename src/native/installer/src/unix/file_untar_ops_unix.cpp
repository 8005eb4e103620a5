// File-writing operations: the POSIX system calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "../file_untar_ops_platform.h"

int platform_open_file(const char* file_name, int mode) {
  if (!create_parent_dirs(file_name)) return -1;
  int fd;
  do {
    // O_NOFOLLOW: a symbolic link made behind the path check is still not followed.
    fd = open(file_name, O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE | O_NOFOLLOW | O_CLOEXEC,
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
bool platform_close_file(int fd) {
  return close(fd) == 0 || errno == EINTR;
}

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
  return create_parent_dirs(device_name) &&
         mknod(device_name, static_cast<mode_t>(mode), makedev(static_cast<unsigned>(major),
                                                               static_cast<unsigned>(minor))) == 0;
}

bool platform_make_symlink(const char* to, const char* from) {
  return create_parent_dirs(from) && symlink(to, from) == 0;
}

bool platform_make_hardlink(const char* to, const char* from) {
  return create_parent_dirs(from) && link(to, from) == 0;
}

bool platform_is_symlink(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}
