// Local time for log timestamps through the reentrant C library call (so that
// concurrent log calls never share a static result) and the environment.
#include <ctime>

#include "vek_logging_platform.h"

extern "C" char** environ;

namespace vek::logging {

bool local_time(std::time_t when, std::tm* out) { return localtime_r(&when, out) != nullptr; }

char** environment() { return environ; }

}  // namespace vek::logging
