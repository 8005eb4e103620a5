// Millisecond sleep over nanosleep, resumed for the remaining time whenever a
// signal interrupts it.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "vek_logging.h"
#include "vek_time_platform.h"

namespace vek::time {

void sleep_ms(long milliseconds) {
  struct timespec request = {};
  request.tv_sec = milliseconds / 1000;
  request.tv_nsec = (milliseconds % 1000) * 1000000L;
  struct timespec remaining = {};
  while (nanosleep(&request, &remaining) != 0) {
    if (errno != EINTR) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not wait for %ld milliseconds: %s", milliseconds, strerror(errno));
      return;
    }
    request = remaining;
  }
}

}  // namespace vek::time
