// The system calls behind vek_home (unix/vek_home_unix.cpp).
#ifndef VEK_HOME_PLATFORM_H
#define VEK_HOME_PLATFORM_H

#include <string>

namespace vek::home {

// File name of the loaded module that holds this library's code: a shared
// library's as the loader recorded it, the running program's own file (the
// kernel's link, not argv[0]) when the library is linked into the program;
// false when neither can be told.
bool own_module_file(std::string& out);

// The working directory; false (errno set) when it cannot be read.
bool working_directory(std::string& out);

}  // namespace vek::home

#endif  // VEK_HOME_PLATFORM_H
