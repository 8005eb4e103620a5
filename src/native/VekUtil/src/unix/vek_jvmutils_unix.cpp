// Environment and re-execution for the VM location of vek_jvmutils on Linux.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "vek_jvmutils_platform.h"

namespace vek::jvm {

bool set_environment(const char* name, const char* value) { return setenv(name, value, 1) == 0; }

bool unset_environment(const char* name) { return unsetenv(name) == 0; }

void execute_self(char* const* argv) {
  // Anything still buffered would be lost with the old image.
  std::fflush(nullptr);
  // The kernel's link to the running file: the same program even when its
  // name now leads elsewhere.
  execv("/proc/self/exe", argv);
}

}  // namespace vek::jvm
