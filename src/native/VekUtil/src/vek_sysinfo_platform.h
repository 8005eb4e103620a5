// The system calls behind vek_sysinfo (unix/vek_sysinfo_unix.cpp).
#ifndef VEK_SYSINFO_PLATFORM_H
#define VEK_SYSINFO_PLATFORM_H

#include <cstddef>
#include <string>

namespace vek::sysinfo {

// False with errno set when the system cannot tell.
bool host_name(std::string& out);
bool machine_name(std::string& out);

// Processors online, at least 1.
int online_processors();

// Bytes of a memory page.
long page_size();

bool is_readable(const char* path);
bool is_executable_file(const char* path);

// How reading the start of a file went.
enum class ReadOutcome {
  READ,         // `out` holds what was read (possibly nothing)
  MISSING,      // the file does not exist
  OPEN_FAILED,  // it could not be opened (errno set)
  READ_FAILED,  // it was opened but could not be read (errno set)
};

// Up to `limit` bytes from the start of `path`. `close_failed` tells whether
// closing the file failed (errno set to the reason).
ReadOutcome read_start(const char* path, size_t limit, std::string& out, bool& close_failed, int& close_error);

}  // namespace vek::sysinfo

#endif  // VEK_SYSINFO_PLATFORM_H
