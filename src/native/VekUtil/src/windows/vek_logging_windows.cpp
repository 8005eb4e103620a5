// Local time for log timestamps through the C runtime's per-call conversion
// (so that concurrent log calls never share a static result) and the
// environment.
#include <cstdlib>
#include <ctime>

#include "vek_logging_platform.h"

namespace vek::logging {

bool local_time(std::time_t when, std::tm* out) { return localtime_s(out, &when) == 0; }

char** environment() { return _environ; }

}  // namespace vek::logging
