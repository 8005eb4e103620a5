// Millisecond sleep.
#include "vek_time.h"

#include "vek_time_platform.h"

extern "C" void vek_sleepMS(long milliseconds) {
  if (milliseconds < 1) return;
  vek::time::sleep_ms(milliseconds);
}
