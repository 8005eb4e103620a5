// Module file and working directory for vek_home on Linux.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include "vek_home.h"
#include "vek_home_platform.h"
#include "vek_types.h"

namespace {

// The kernel's link to the running program's file: right whatever argv[0]
// said and wherever the program has moved since it started.
bool own_executable_file(std::string& out) {
  char buffer[VEK_PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return false;
  out.assign(buffer, static_cast<size_t>(length));
  return true;
}

}  // namespace

namespace vek::home {

bool own_module_file(std::string& out) {
  Dl_info info{};
  struct link_map* module = nullptr;
  // Any function of the library will do: its address lies in our module.
  bool found = dladdr1(reinterpret_cast<void*>(&vek_getLibraryPath), &info, reinterpret_cast<void**>(&module),
                       RTLD_DL_LINKMAP) != 0 &&
               info.dli_fname != nullptr;
  // For the main program the loader answers with argv[0] as typed (a bare
  // name when started through PATH, or relative to a directory the program
  // may have left since); a fully static program gets no answer at all.
  bool in_main_program = !found || module == nullptr || module->l_name == nullptr || module->l_name[0] == '\0';
  if (in_main_program || info.dli_fname[0] != '/') return own_executable_file(out);
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
