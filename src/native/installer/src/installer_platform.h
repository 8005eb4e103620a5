// System calls of the installer module, one implementation per platform
// (unix/installer_unix.cpp, windows/installer_windows.cpp).
#ifndef INSTALLER_INSTALLER_PLATFORM_H
#define INSTALLER_INSTALLER_PLATFORM_H

#include <stdbool.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef _WIN32
// No bus-error handler on Windows: the return point is never taken.
#define INSTALLER_BUS_ERROR_RETURN() 0
#define INSTALLER_CONFIG_PROGRAM "./bin/zorva.exe"
#define INSTALLER_DIR_FORMAT "%s\\%d"
#define INSTALLER_DRIVE_LETTERS 1
#else
#include <setjmp.h>
// Where the bus-error handler jumps back to (value 1); set in main's frame.
extern sigjmp_buf sigbus_ctx;
#define INSTALLER_BUS_ERROR_RETURN() sigsetjmp(sigbus_ctx, 1)
#define INSTALLER_CONFIG_PROGRAM "./bin/zorva"
#define INSTALLER_DIR_FORMAT "%s/%d"
#define INSTALLER_DRIVE_LETTERS 0
#endif

// Descriptor I/O on the installer file. Reads loop on EINTR; read_at loops on
// short reads until count bytes or the end of the file.
int platform_open_readonly(const char* path);
void platform_close(int fd);
int64_t platform_file_size(int fd);                        // -1 on failure
int64_t platform_seek(int fd, int64_t offset, int whence);  // new position, -1 on failure
ssize_t platform_read(int fd, void* buf, size_t count);
ssize_t platform_read_at(int fd, void* buf, size_t count, int64_t offset);

int platform_process_id(void);
void platform_sleep_seconds(unsigned seconds);
// New text the caller frees with free(), or NULL (errno set).
char* platform_get_cwd(void);
bool platform_chdir(const char* dir);

// What stands at the extraction directory's path. Only a real directory (no
// link) of the effective user that neither group nor others may write is
// PRIVATE_DIR_OK (Windows: any real directory).
enum { PRIVATE_DIR_MISSING = 0, PRIVATE_DIR_OK = 1, PRIVATE_DIR_UNSAFE = 2 };
int platform_check_private_directory(const char* dir);
// Creates one directory that only its owner may enter (mode 0700); false
// with errno set (EEXIST when something is there already).
bool platform_create_private_directory(const char* dir);

// Gives the owner back read, write and search rights on every directory of
// the tree below dir (dir included), never following a symbolic link, so
// that a read-only directory of the payload cannot stop the tree's removal.
// Best effort; Windows: nothing (directory modes are not used there).
void platform_make_tree_removable(const char* dir);

// Puts the interrupt handler back after a delivery where the platform resets
// it (Windows); nothing elsewhere. Safe inside the handler.
void platform_rearm_interrupt(void (*handler)(int));

// Linux: bus-error handler and file-creation mask 022; Windows: nothing.
void platform_install_bus_error_handler(void);
void platform_restore_bus_error_handler(void);

// The form in which one user argument is handed to the configuration program.
char* copy_arg(const char* arg);
// Runs the configuration program with args (null-terminated, args[0] its
// path) and waits: its exit code, or -1 when it could not run or died by a
// signal.
int platform_run_configuration(char** args);

#endif  // INSTALLER_INSTALLER_PLATFORM_H
