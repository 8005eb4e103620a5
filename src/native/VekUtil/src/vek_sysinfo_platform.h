// The system calls behind vek_sysinfo (unix/vek_sysinfo_unix.cpp).
#ifndef VEK_SYSINFO_PLATFORM_H
#define VEK_SYSINFO_PLATFORM_H

#include <string>

namespace vek::sysinfo {

// False with errno set when the system cannot tell.
bool host_name(std::string& out);
bool machine_name(std::string& out);

}  // namespace vek::sysinfo

#endif  // VEK_SYSINFO_PLATFORM_H
