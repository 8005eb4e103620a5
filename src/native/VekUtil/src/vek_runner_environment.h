// The seam between the VM hosting and the process runner (Linux only).
//
// To load the VM a launcher re-executes itself with the runtime's
// directories first on the loader path (vek_setJavaLibPath). That path is
// the VM's need, not the children's: a program the launcher starts (a
// helper, a tool of the system) would otherwise load the runtime's copies
// of libraries it shares with it. The re-execution keeps the loader path
// the user had in its restart state, and the runner's children get that
// one back. The service manager's variables (where it listens, the watchdog
// it expects) name the launcher, not its children: a child never inherits
// them.
#ifndef VEK_RUNNER_ENVIRONMENT_H
#define VEK_RUNNER_ENVIRONMENT_H

#include <string>
#include <vector>

namespace vek::jvm {

// The environment for a child in place of `parent` (NULL-terminated): after
// a restart of vek_setJavaLibPath, `parent` without its LD_LIBRARY_PATH and
// with the user's, if the user had one, and without the service manager's
// variables; NULL-terminated, its entries point into `parent` and
// `storage`. Empty when `parent` stands as it is (no restart, or one that
// left no state of this library's, and no service variable). Throws
// std::bad_alloc.
std::vector<char*> child_environment(char* const* parent, std::string& storage);

using child_environment_t = std::vector<char*> (*)(char* const* parent, std::string& storage);

// The runner's slot for child_environment. The runner sits below the VM
// layer and cannot name it: the VM location fills the slot from a registrar
// in its own object file; empty (no VM location linked, so no restart) means
// every child gets its parent's environment as it is.
extern constinit child_environment_t child_environment_slot;

struct ChildEnvironmentRegistrar {
  explicit ChildEnvironmentRegistrar(child_environment_t fill) noexcept { child_environment_slot = fill; }
};

}  // namespace vek::jvm

namespace vek::service {

// True for an environment entry "NAME=value" of NOTIFY_SOCKET, WATCHDOG_USEC
// or WATCHDOG_PID.
bool is_service_manager_variable(const char* entry);

}  // namespace vek::service

#endif  // VEK_RUNNER_ENVIRONMENT_H
