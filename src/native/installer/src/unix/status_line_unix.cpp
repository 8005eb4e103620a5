// System calls of the status line on Linux.
#include <time.h>
#include <unistd.h>

#include "status_line_platform.h"

bool platform_stdout_is_terminal(void) { return isatty(STDOUT_FILENO) == 1; }

uint64_t platform_monotonic_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}
