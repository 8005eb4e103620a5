// System calls of the payload decoder's workers on Windows.
#include <windows.h>

#include "payload_platform.h"

// The processors of the process's affinity mask.
unsigned platform_processor_count(void) {
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) || process_mask == 0) return 1;
  unsigned count = 0;
  for (; process_mask != 0; process_mask &= process_mask - 1) ++count;
  return count;
}

void platform_with_signals_blocked(void (*start)(void* arg), void* arg) { start(arg); }
