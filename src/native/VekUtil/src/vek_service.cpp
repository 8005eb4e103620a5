// The service-manager notification: where the manager listens and what
// watchdog it expects, read from the environment once the launcher took them
// out of it (so that its children do not inherit them), or straight from the
// environment otherwise. The sending itself is the platform file's.
#include "vek_service.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "vek_runner_environment.h"
#include "vek_service_platform.h"

namespace {

constexpr const char* NOTIFY_SOCKET = "NOTIFY_SOCKET";
constexpr const char* WATCHDOG_USEC = "WATCHDOG_USEC";
constexpr const char* WATCHDOG_PID = "WATCHDOG_PID";
constexpr const char* const SERVICE_VARIABLES[] = {NOTIFY_SOCKET, WATCHDOG_USEC, WATCHDOG_PID};

// What vek_takeServiceEnvironment took; one instance, under its mutex.
struct ServiceEnvironment {
  std::mutex mutex;           // guards the fields below
  bool taken = false;         // the variables were taken: the fields, not the environment, count
  std::string notify_socket;  // NOTIFY_SOCKET's value, empty when it was unset
  std::string watchdog_usec;  // WATCHDOG_USEC's value, empty when it was unset
  std::string watchdog_pid;   // WATCHDOG_PID's value, empty when it was unset
};

// Never destroyed: a thread may notify while the process exits.
ServiceEnvironment& service = *new ServiceEnvironment;

std::string variable(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

// The value of one of the variables: the taken copy, or the environment's.
std::string service_value(const char* name, const std::string ServiceEnvironment::*field) {
  std::lock_guard<std::mutex> lock(service.mutex);
  return service.taken ? service.*field : variable(name);
}

// A whole decimal number without sign; false for anything else (empty,
// signed, trailing text, overflow).
bool parse_unsigned(const std::string& text, uint64_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = parsed;
  return true;
}

}  // namespace

namespace vek::service {

bool is_service_manager_variable(const char* entry) {
  for (const char* name : SERVICE_VARIABLES) {
    const size_t length = strlen(name);
    if (strncmp(entry, name, length) == 0 && entry[length] == '=') return true;
  }
  return false;
}

}  // namespace vek::service

extern "C" int vek_takeServiceEnvironment(void) {
  try {
    std::lock_guard<std::mutex> lock(service.mutex);
    // A variable set again since an earlier call (by the program) replaces the copy.
    const bool notify_set = getenv(NOTIFY_SOCKET) != nullptr;
    if (!service.taken || notify_set) {
      service.notify_socket = variable(NOTIFY_SOCKET);
      service.watchdog_usec = variable(WATCHDOG_USEC);
      service.watchdog_pid = variable(WATCHDOG_PID);
    }
    service.taken = true;
    for (const char* name : SERVICE_VARIABLES) vek::service::remove_environment_variable(name);
    return service.notify_socket.empty() ? 0 : 1;
  } catch (...) {
    return 0;  // out of memory: the environment stays as it was
  }
}

extern "C" int vek_notifyServiceManager(const char* state) {
  try {
    const std::string socket_name = service_value(NOTIFY_SOCKET, &ServiceEnvironment::notify_socket);
    if (socket_name.empty()) return 0;
    if (state == nullptr || state[0] == '\0') return -EINVAL;
    return vek::service::send_datagram(socket_name, state);
  } catch (...) {
    return -ENOMEM;
  }
}

extern "C" int vek_serviceWatchdogInterval(uint64_t* usec) {
  if (usec == nullptr) return -EINVAL;
  *usec = 0;
  try {
    const std::string interval = service_value(WATCHDOG_USEC, &ServiceEnvironment::watchdog_usec);
    const std::string pid = service_value(WATCHDOG_PID, &ServiceEnvironment::watchdog_pid);
    if (interval.empty()) return 0;
    uint64_t value = 0;
    uint64_t owner = 0;
    if (!parse_unsigned(interval, &value) || value == 0) return -EINVAL;
    if (!pid.empty() && (!parse_unsigned(pid, &owner) || owner == 0)) return -EINVAL;
    // The manager addresses the watchdog to one process; its children (or a
    // daemon's parent) that see the variables are not meant.
    if (!pid.empty() && owner != static_cast<uint64_t>(vek::service::current_process_id())) return 0;
    *usec = value;
    return 1;
  } catch (...) {
    return -ENOMEM;
  }
}
