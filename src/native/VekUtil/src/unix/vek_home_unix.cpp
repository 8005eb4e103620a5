// Module file and working directory for vek_home on Linux.
#include <dlfcn.h>
#include <unistd.h>

#include "vek_home.h"
#include "vek_home_platform.h"
#include "vek_types.h"

namespace vek::home {

bool own_module_file(std::string& out) {
  Dl_info info{};
  // Any function of the library will do: its address lies in our module.
  if (dladdr(reinterpret_cast<void*>(&vek_getLibraryPath), &info) == 0 || info.dli_fname == nullptr) return false;
  out = info.dli_fname;
  return true;
}

bool working_directory(std::string& out) {
  char buffer[VEK_PATH_MAX];
  if (getcwd(buffer, sizeof buffer) == nullptr) return false;
  out = buffer;
  return true;
}

}  // namespace vek::home
