// The system calls behind vek_logging: one implementation per platform
// (unix/vek_logging_unix.cpp, windows/vek_logging_windows.cpp).
#ifndef VEK_LOGGING_PLATFORM_H
#define VEK_LOGGING_PLATFORM_H

#include <ctime>

namespace vek::logging {

// Thread-safe conversion of `when` to local broken-down time; false on failure.
bool local_time(std::time_t when, std::tm* out);

// The process environment as the C runtime holds it: NULL-terminated
// "NAME=value" entries.
char** environment();

}  // namespace vek::logging

#endif  // VEK_LOGGING_PLATFORM_H
