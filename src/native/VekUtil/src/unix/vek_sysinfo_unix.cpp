// Host and machine names on Linux.
#include <sys/utsname.h>
#include <unistd.h>

#include "vek_sysinfo_platform.h"

namespace vek::sysinfo {

bool host_name(std::string& out) {
  char buffer[1024] = {};
  // One byte short of the buffer, so that a cut name is still terminated.
  if (gethostname(buffer, sizeof buffer - 1) != 0) return false;
  out = buffer;
  return true;
}

bool machine_name(std::string& out) {
  struct utsname names{};
  if (uname(&names) != 0) return false;
  out = names.machine;
  return true;
}

}  // namespace vek::sysinfo
