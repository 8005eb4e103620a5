// Dynamic libraries: the logged entry points; the loader calls live in the
// platform files.
#include "vek_dso.h"

#include <cerrno>

#include "vek_dso_platform.h"
#include "vek_function_slot.h"
#include "vek_logging.h"

extern "C" {
const int VEK_RTLD_LAZY = 1;
const int VEK_RTLD_NOW = 2;
const int VEK_RTLD_GLOBAL = 256;
}

extern "C" void* vek_dsoOpen(const char* name, int flag) {
  errno = 0;
  veklog(VEK_HERE, VEKLOG_DEBUG, "Attempting to dynamically load the library: %s",
         name != nullptr ? name : "(null) (attempting to emulate behaviour of RTLD_DEFAULT)");
  return vek::dso::open_library(name, flag);
}

extern "C" void* vek_dsoSym(void* handle, const char* symbol) {
  errno = 0;
  return vek::dso::find_symbol(handle, symbol);
}

extern "C" vek_dso_func_t vek_dsoSymFunc(void* handle, const char* symbol) {
  return vek::slot_function<vek_dso_func_t>(vek_dsoSym(handle, symbol));
}

extern "C" int vek_dsoClose(void* handle) { return vek::dso::close_library(handle); }

extern "C" const char* vek_dsoError(void) { return vek::dso::last_error(); }
