// File-writing operations: the Windows runtime calls. Devices and links
// cannot be made here; they are reported and skipped.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>

#include "../file_untar_ops_platform.h"
#include "vek_file.h"
#include "vek_logging.h"

// The entry's mode is not used: extracted files are always writable.
int platform_open_file(const char* file_name, int) {
  if (!create_parent_dirs(file_name)) return -1;
  return _open(file_name, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

int platform_write_file(int fd, const char* buf, size_t sz) {
  if (sz > INT_MAX) sz = INT_MAX;
  return _write(fd, buf, static_cast<unsigned>(sz));
}

bool platform_close_file(int fd) {
  return _close(fd) == 0;
}

// Directory modes are not used here: directories stay writable.
bool platform_make_directory(const char* name, int mode) {
  return vek_createDirectory(name, mode);
}

bool platform_set_directory_mode(const char*, int) {
  return true;
}

int platform_creation_mask() {
  return 0;
}

bool platform_make_device(const char* device_name, int, int, int) {
  veklog(FILE_UNTAR_OPS_HERE, VEKLOG_WARN, "cannot create %s; devices are not supported on windows", device_name);
  return true;
}

bool platform_make_symlink(const char* to, const char* from) {
  veklog(FILE_UNTAR_OPS_HERE, VEKLOG_WARN, "cannot symlink %s -> %s; symlinks are not supported on windows", from, to);
  return true;
}

bool platform_make_hardlink(const char* to, const char* from) {
  veklog(FILE_UNTAR_OPS_HERE, VEKLOG_WARN, "cannot link %s -> %s; hard links are not supported on windows", from, to);
  return true;
}

bool platform_is_symlink(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
