// The system calls behind vek_logging_file: one implementation per platform
// (unix/vek_logging_file_unix.cpp, windows/vek_logging_file_windows.cpp). The
// Windows build keeps only the module's mutex and its clean-up, so it needs
// nothing but close_file and the fork hook (a no-op there).
//
// Log directories may be shared with other users (the temporary directory
// takes the failed-startup log), so a log file is only ever created new:
// whatever already has its name (another user's file, a link, a FIFO) is
// never opened, written or deleted.
#ifndef VEK_LOGGING_FILE_PLATFORM_H
#define VEK_LOGGING_FILE_PLATFORM_H

#include <cstddef>

namespace vek::logfile {

// Closes a descriptor of a log file; false with errno on failure.
bool close_file(int fd);

// Has `reset` run in the child of every later fork (registered once; a
// later call replaces the function).
void at_fork_in_child(void (*reset)());

#ifndef _WIN32
// Identity of an open log file, to know it again after a fork.
struct FileId {
  unsigned long long device = 0;  // st_dev
  unsigned long long inode = 0;   // st_ino
};

// Creates `path` as a new file for appending, with `mode` less the umask,
// close-on-exec. An entry of any kind already there (a link too, followed
// or not) is EEXIST. Returns the descriptor and fills `id`; -1 with errno.
int create_new(const char* path, int mode, FileId& id);

// Opens the existing `path` for appending when it is still the file `id`:
// a regular file of the caller's own with a single link, reached without
// a link. Returns the descriptor, or -1 with errno (ESTALE when the name
// now leads to another file, EPERM when the file is another user's or has
// more links, ELOOP for a link).
int reopen_own(const char* path, const FileId& id);

// Whether descriptor `fd` still refers to the file `id`: a daemon closes
// every inherited descriptor, and the number may since be another file's.
bool refers_to(int fd, const FileId& id);

// Whether `path` is, without following a link, a regular file of the
// caller's own: only such files belong to the caller's log sets.
bool is_own_file(const char* path);

// Whether users other than the owner can make entries in `dir` (writable
// by group or others, or sticky as temporary directories are): files of a
// log there are created readable by the caller alone.
bool is_shared_directory(const char* dir);

// Writes all `size` bytes, going on after short writes and interruptions;
// false with errno when the system refuses.
bool write_all(int fd, const char* data, size_t size);

// Deletes a file (a link as a link); false with errno.
bool remove_file(const char* path);

// True when a new file can be created in `dir`. The probe `dir`/`name` is
// created exclusively, never through a link, and deleted again; an entry
// already there is left untouched and a uniquely named probe beside it
// decides instead.
bool can_create_file_in(const char* dir, const char* name);
#endif

}  // namespace vek::logfile

#endif  // VEK_LOGGING_FILE_PLATFORM_H
