// The Windows build's file logger has no log file of its own; only the
// module's mutex and clean-up exist, and they need only this.
#include <io.h>

#include "vek_logging_file_platform.h"

namespace vek::logfile {

bool close_file(int fd) { return _close(fd) == 0; }

void at_fork_in_child(void (*)()) {}  // no fork on Windows

}  // namespace vek::logfile
