// The system call behind vek_sleepMS: one implementation per platform
// (unix/vek_time_unix.cpp, windows/vek_time_windows.cpp).
#ifndef VEK_TIME_PLATFORM_H
#define VEK_TIME_PLATFORM_H

namespace vek::time {

// Sleeps the full time; `milliseconds` is at least 1.
void sleep_ms(long milliseconds);

}  // namespace vek::time

#endif  // VEK_TIME_PLATFORM_H
