// System information: names of this machine, computed once and cached.
#include "vek_sysinfo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vek_logging.h"
#include "vek_sysinfo_platform.h"

namespace {

char* cached_hostname = nullptr;  // heap, never freed; null until first asked
char* cached_archname = nullptr;  // heap, never freed; null until first asked

// Keeps a heap copy of `value`; when even that fails, the constant fallback
// is answered (and the next call tries again).
const char* cache(char*& slot, const std::string& value, const char* fallback) {
  slot = strdup(value.c_str());
  return slot != nullptr ? slot : fallback;
}

}  // namespace

extern "C" const char* vek_getHostname(void) {
  if (cached_hostname != nullptr) return cached_hostname;
  try {
    std::string name;
    if (!vek::sysinfo::host_name(name)) {
      veklog(VEK_HERE, VEKLOG_WARN, "Could not determine a local host name: %s ", strerror(errno));
      name = "localhost";
    }
    const char* result = cache(cached_hostname, name, "localhost");
    veklog(VEK_HERE, VEKLOG_DEBUG, "Using '%s' as the local computer name.", result);
    return result;
  } catch (...) {
    return "localhost";
  }
}

extern "C" const char* vek_getArchName(void) {
  if (cached_archname != nullptr) return cached_archname;
  try {
    std::string name;
    if (!vek::sysinfo::machine_name(name)) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not determine the machine name for this system: %s", strerror(errno));
      name = "unknown";
    }
    const char* result = cache(cached_archname, name, "unknown");
    veklog(VEK_HERE, VEKLOG_DEBUG, "Determined that the actual host architecture is %s", result);
    return result;
  } catch (...) {
    return "unknown";
  }
}
