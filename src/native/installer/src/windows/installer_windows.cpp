// System calls of the installer module on Windows.
#include <windows.h>

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "installer_platform.h"
#include "vek_logging.h"

int platform_open_readonly(const char* path) { return _open(path, _O_RDONLY | _O_BINARY); }

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

int platform_process_id(void) { return (int)GetCurrentProcessId(); }

void platform_sleep_seconds(unsigned seconds) { Sleep(seconds * 1000); }

char* platform_get_cwd(void) {
  char buffer[260];
  if (!_getcwd(buffer, sizeof(buffer))) return nullptr;
  return _strdup(buffer);
}

bool platform_chdir(const char* dir) { return _chdir(dir) == 0; }

int platform_check_private_directory(const char* dir) {
  DWORD attributes = GetFileAttributesA(dir);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PRIVATE_DIR_MISSING
                                                                          : PRIVATE_DIR_UNSAFE;
  }
  bool real_directory =
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  return real_directory ? PRIVATE_DIR_OK : PRIVATE_DIR_UNSAFE;
}

bool platform_create_private_directory(const char* dir) {
  if (CreateDirectoryA(dir, nullptr)) return true;
  errno = GetLastError() == ERROR_ALREADY_EXISTS ? EEXIST : EACCES;
  return false;
}

// The C runtime resets a handler to the default once it has run.
void platform_rearm_interrupt(void (*handler)(int)) { signal(SIGINT, handler); }

void platform_install_bus_error_handler(void) {}

void platform_restore_bus_error_handler(void) {}

// Quotes one argument so that the C runtime of the started program splits
// it back exactly: backslashes before a quote (or before the closing quote)
// are doubled and the quote itself escaped; other backslashes stay single.
char* copy_arg(const char* arg) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char* c = arg; *c; ++c) {
    if (*c == '\\') {
      ++backslashes;
      continue;
    }
    if (*c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    quoted += *c;
    backslashes = 0;
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return _strdup(quoted.c_str());
}

int platform_run_configuration(char** args) {
  std::string command_line;
  for (char** arg = args; *arg; ++arg) {
    if (arg != args) command_line += ' ';
    command_line += *arg;
  }
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  if (!CreateProcessA(args[0], &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = (DWORD)-1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return (int)exit_code;
}

void platform_make_tree_removable(const char*) {}
