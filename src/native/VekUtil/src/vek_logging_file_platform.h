// The system calls behind vek_logging_file: one implementation per platform
// (unix/vek_logging_file_unix.cpp, windows/vek_logging_file_windows.cpp). The
// Windows build keeps only the module's mutex and its clean-up, so it needs
// nothing but close_file.
#ifndef VEK_LOGGING_FILE_PLATFORM_H
#define VEK_LOGGING_FILE_PLATFORM_H

#include <cstddef>

namespace vek::logfile {

// Closes a descriptor opened by open_append; false with errno on failure.
bool close_file(int fd);

#ifndef _WIN32
// Opens `path` for appending, creating it with mode 0644 (less the umask).
// Log directories may be shared with other users, so the descriptor is
// close-on-exec, a symbolic link at the last component is refused (ELOOP),
// and anything but a regular file is refused without blocking (a FIFO would
// hang the writer). Returns the descriptor, or -1 with errno.
int open_append(const char* path);

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
