// File-writing operations: the Windows runtime calls. Devices and links
// cannot be made here; they are reported and skipped.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>

#include "../file_untar_ops_platform.h"
#include "vek_log_source.h"
#include "../printable_name.h"
#include "vek_file.h"
#include "vek_logging.h"
#include "wide_text_windows.h"

VEK_LOG_SOURCE(file_untar_ops);

namespace {

// Deletes the file at `name`, read-only or not; true when none stands there
// any more or a directory does (the creation that follows fails on it).
bool remove_file_at(const std::wstring& name) {
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileW(name.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace

// The entry's mode is not used: extracted files are always writable. Names
// are UTF-8 and go through the wide-character calls. Whatever file stands at
// the name is deleted first and the new one created, never reopened.
int platform_open_file(const char* file_name, int) {
  if (!create_parent_dirs(file_name)) return -1;
  std::wstring name = installer_wide(file_name);
  if (name.empty()) {
    errno = EINVAL;
    return -1;
  }
  if (!remove_file_at(name)) {
    errno = EACCES;
    return -1;
  }
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? EEXIST
            : error == ERROR_PATH_NOT_FOUND                             ? ENOENT
                                                                        : EACCES;
    return -1;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

int platform_write_file(int fd, const char* buf, size_t sz) {
  if (sz > INT_MAX) sz = INT_MAX;
  return _write(fd, buf, static_cast<unsigned>(sz));
}

bool platform_close_file(int fd) { return _close(fd) == 0; }

// Directory modes are not used here: directories stay writable.
bool platform_make_directory(const char* name, int mode) { return vek_createDirectory(name, mode); }

bool platform_set_directory_mode(const char*, int) { return true; }

int platform_creation_mask() { return 0; }

bool platform_make_device(const char* device_name, int, int, int) {
  veklog(VEK_SOURCE_HERE(file_untar_ops), VEKLOG_WARN, "cannot create %s; devices are not supported on windows",
         printable_name(device_name).c_str());
  return true;
}

bool platform_make_symlink(const char* to, const char* from) {
  veklog(VEK_SOURCE_HERE(file_untar_ops), VEKLOG_WARN, "cannot symlink %s -> %s; symlinks are not supported on windows",
         printable_name(from).c_str(), printable_name(to).c_str());
  return true;
}

bool platform_make_hardlink(const char* to, const char* from) {
  veklog(VEK_SOURCE_HERE(file_untar_ops), VEKLOG_WARN, "cannot link %s -> %s; hard links are not supported on windows",
         printable_name(from).c_str(), printable_name(to).c_str());
  return true;
}

bool platform_is_symlink(const char* path) {
  DWORD attributes = GetFileAttributesW(installer_wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
