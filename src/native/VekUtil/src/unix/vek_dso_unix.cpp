// Dynamic libraries over dlopen and friends. The library's flag values equal
// glibc's RTLD_* values, so they pass through unchanged.
#include <dlfcn.h>

#include "vek_dso_platform.h"

static_assert(RTLD_DEFAULT == nullptr && RTLD_LAZY == 1 && RTLD_NOW == 2 && RTLD_GLOBAL == 256,
              "VEK_RTLD_* values must match the system's");

namespace vek::dso {

void* open_library(const char* name, int flag) { return dlopen(name, flag); }

// glibc's RTLD_DEFAULT is the NULL handle, as VEK_RTLD_DEFAULT is.
void* find_symbol(void* handle, const char* symbol) { return dlsym(handle, symbol); }

int close_library(void* handle) { return dlclose(handle); }

const char* last_error() { return dlerror(); }

}  // namespace vek::dso
