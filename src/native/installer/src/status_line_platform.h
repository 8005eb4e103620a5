// System calls of the status line, one implementation per platform
// (unix/status_line_unix.cpp, windows/status_line_windows.cpp).
#ifndef INSTALLER_STATUS_LINE_PLATFORM_H
#define INSTALLER_STATUS_LINE_PLATFORM_H

#include <stdbool.h>
#include <stdint.h>

// Whether standard output is a terminal (a console on Windows).
bool platform_stdout_is_terminal(void);
// A monotonic clock in milliseconds.
uint64_t platform_monotonic_ms(void);

#endif  // INSTALLER_STATUS_LINE_PLATFORM_H
