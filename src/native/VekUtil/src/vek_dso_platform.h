// The system calls behind vek_dso: one implementation per platform
// (unix/vek_dso_unix.cpp, windows/vek_dso_windows.cpp).
#ifndef VEK_DSO_PLATFORM_H
#define VEK_DSO_PLATFORM_H

namespace vek::dso {

// NULL name: the main program.
void* open_library(const char* name, int flag);
// NULL handle (VEK_RTLD_DEFAULT): search everything already loaded.
void* find_symbol(void* handle, const char* symbol);
int close_library(void* handle);
const char* last_error();

}  // namespace vek::dso

#endif  // VEK_DSO_PLATFORM_H
