// The system calls behind the service-manager notification.
#ifndef VEK_SERVICE_PLATFORM_H
#define VEK_SERVICE_PLATFORM_H

#include <string>

namespace vek::service {

// Sends `text` as one datagram to the socket `name` (a path, or an abstract
// name when it begins with '@'). Returns 1 when sent, else a negative errno.
int send_datagram(const std::string& name, const std::string& text);

// This process's id.
long current_process_id();

// Removes `name` from the environment.
void remove_environment_variable(const char* name);

}  // namespace vek::service

#endif  // VEK_SERVICE_PLATFORM_H
