// System calls of the installer's driver, one implementation per platform
// (unix/installer_unix.cpp, windows/installer_windows.cpp). The installer
// file is read through the payload reader's calls (payload_platform.h).
#ifndef INSTALLER_INSTALLER_PLATFORM_H
#define INSTALLER_INSTALLER_PLATFORM_H

#include <stdbool.h>
#include <stdint.h>
#include <sys/types.h>

#include "payload_platform.h"

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

// Opens the running executable, which carries the payload, once for the
// whole run; both passes read through this descriptor. Linux: the process's
// own executable link, which stays the running file even when its name was
// given to another one meanwhile. Windows: the module file, through the
// wide-character interface (any name), shared for reading only, so that
// nobody can change, replace or remove it while the installer reads it.
// `name` receives its name for messages (UTF-8). -1 when the system gives no
// answer; the caller then falls back on argv[0].
int platform_open_installer(char* name, size_t name_size);

int platform_process_id(void);
void platform_sleep_seconds(unsigned seconds);
// New text the caller frees with free(), or NULL (errno set).
char* platform_get_cwd(void);
bool platform_chdir(const char* dir);

// What identifies a checked directory, compared again once it is the working
// directory, so that a directory swapped in between is not used.
typedef struct private_dir_id_t {
  uint64_t device;  // Linux: st_dev; Windows: volume serial number
  uint64_t inode;   // Linux: st_ino; Windows: file index
  uint64_t owner;   // Linux: st_uid; Windows: 0 (the owner is judged on the handle)
  uint32_t mode;    // Linux: st_mode; Windows: 0
} private_dir_id_t;

// What stands at the extraction directory's path. Only a real directory (no
// link, no reparse point) owned by the current user that nobody else may
// write is PRIVATE_DIR_OK (Linux: owned by the effective user, no group or
// other write bit; Windows: owner the user's SID, and no entry of its access
// list grants a right to write, delete or change it to anyone but the user,
// the local system and the administrators). `id` is filled for
// PRIVATE_DIR_OK.
enum { PRIVATE_DIR_MISSING = 0, PRIVATE_DIR_OK = 1, PRIVATE_DIR_UNSAFE = 2 };
int platform_check_private_directory(const char* dir, private_dir_id_t* id);
// True when the working directory is the one `id` describes (device, inode,
// owner and mode all unchanged).
bool platform_is_working_directory(const private_dir_id_t* id);
// True when `dir` still names the directory `id` describes (device and
// inode), without following a link: only that directory is removed.
bool platform_is_checked_directory(const char* dir, const private_dir_id_t* id);
// Creates one directory that only the current user may use (Linux: mode
// 0700; Windows: owner the user, a protected access list granting the user
// alone full access, inherited by what is created inside); false with errno
// set (EEXIST when something is there already).
bool platform_create_private_directory(const char* dir);

#ifdef _WIN32
// The decision of platform_check_private_directory on a security
// descriptor: `descriptor` is a SECURITY_DESCRIPTOR, `user` the SID of the
// current user. False for a missing owner or access list (a null access list
// lets everyone in).
bool platform_descriptor_is_private(void* descriptor, void* user);
#endif

// Gives the owner back read, write and search rights on every directory of
// the tree below dir (dir included), never following a symbolic link, so
// that a read-only directory of the payload cannot stop the tree's removal.
// Best effort; Windows: nothing (directory modes are not used there).
void platform_make_tree_removable(const char* dir);

// Puts a stop handler back after a delivery where the platform resets it
// (Windows); nothing elsewhere. Safe inside the handler.
void platform_rearm_interrupt(int signum, void (*handler)(int));

// The signals besides SIGINT that cancel the run like Ctrl+C, from the start
// until the clean-up has finished: Linux SIGTERM (service managers, timeout)
// and SIGHUP (a closed terminal), each unless it was ignored when the
// installer started (nohup); Windows SIGBREAK (Ctrl+Break). Linux also
// ignores SIGPIPE, so that a closed output (installer | head) cannot end the
// run before its clean-up, up to the process's end; the configuration
// program gets the disposition the installer started with back. Failures
// are logged as WARN.
void platform_install_stop_handlers(void (*handler)(int));
void platform_restore_stop_handlers(void);

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
