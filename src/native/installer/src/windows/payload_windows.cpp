// System calls of the payload reader on Windows.
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <string>

#include "file_io_windows.h"
#include "payload_platform.h"
#include "wide_text_windows.h"

int open_shared_for_reading(const std::wstring& path) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
    return -1;
  }
  int fd = _open_osfhandle((intptr_t)handle, _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

int platform_open_readonly(const char* path) { return open_shared_for_reading(installer_wide(path)); }

void platform_close(int fd) { _close(fd); }

// 64-bit status call: installers above 2 GiB keep their true size.
int64_t platform_file_size(int fd) {
  struct _stati64 st;
  if (_fstati64(fd, &st) != 0) return -1;
  return (int64_t)st.st_size;
}

int64_t platform_seek(int fd, int64_t offset, int whence) { return _lseeki64(fd, offset, whence); }

ssize_t platform_read(int fd, void* buf, size_t count) {
  unsigned int chunk = count > (1u << 30) ? (1u << 30) : (unsigned int)count;
  return _read(fd, buf, chunk);
}

// No positioned read in the C runtime: seek, read, and put the cursor back,
// which the table of contents uses as its reading position.
ssize_t platform_read_at(int fd, void* buf, size_t count, int64_t offset) {
  int64_t saved = _lseeki64(fd, 0, SEEK_CUR);
  if (saved < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
  size_t have = 0;
  ssize_t result = 0;
  while (have < count) {
    ssize_t got = platform_read(fd, (char*)buf + have, count - have);
    if (got < 0) {
      result = -1;
      break;
    }
    if (got == 0) break;
    have += (size_t)got;
  }
  int error = errno;
  _lseeki64(fd, saved, SEEK_SET);
  errno = error;
  return result < 0 ? -1 : (ssize_t)have;
}

// The processors of the process's affinity mask.
unsigned platform_processor_count(void) {
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) || process_mask == 0) return 1;
  unsigned count = 0;
  for (; process_mask != 0; process_mask &= process_mask - 1) ++count;
  return count;
}

void platform_with_signals_blocked(void (*start)(void* arg), void* arg) { start(arg); }
