// The console line, written in one place: the console logger prints it, and
// the process runner prepares the same line before a fork for the child to
// print without the logging core (vek_runner_unix).
#ifndef VEK_LOG_LINE_H
#define VEK_LOG_LINE_H

#include <ctime>
#include <string>

#include "vek_logging.h"

namespace vek::logging {

// "YYYY-MM-DD hh:mm:ss.000" in local time, the stamp of every event; zeros
// when the conversion fails. Throws std::bad_alloc.
std::string timestamp(std::time_t when);

// "timestamp LEVEL [native] message", the level padded to five columns,
// without the line end; "LEVEL [native] message" when `timestamp` is NULL.
// Throws std::bad_alloc.
std::string console_line(const char* timestamp, VEKLOG_LEVEL level, const std::string& message);

}  // namespace vek::logging

#endif  // VEK_LOG_LINE_H
