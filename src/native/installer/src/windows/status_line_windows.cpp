// System calls of the status line on Windows.
#include <windows.h>

#include "status_line_platform.h"

bool platform_stdout_is_terminal(void) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

uint64_t platform_monotonic_ms(void) { return (uint64_t)GetTickCount64(); }
