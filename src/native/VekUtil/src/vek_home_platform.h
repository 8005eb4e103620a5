// The system calls behind vek_home (unix/vek_home_unix.cpp).
#ifndef VEK_HOME_PLATFORM_H
#define VEK_HOME_PLATFORM_H

#include <string>

namespace vek::home {

// File name of the loaded module that holds this library's code, as the
// loader recorded it; false when the loader cannot tell.
bool own_module_file(std::string& out);

// The working directory; false (errno set) when it cannot be read.
bool working_directory(std::string& out);

}  // namespace vek::home

#endif  // VEK_HOME_PLATFORM_H
