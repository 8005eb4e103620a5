// Lifecycle notifications: the one registry through which modules learn that
// a Java VM came or went, that the process is a freshly forked child, or that
// it is exiting. The first initialisation also starts the modules the program
// links, in their fixed order (vek_module_init.h), so that their handlers are
// called in that order.
#include "vek_lifecycle.h"

#include <cstdlib>

#include "vek_function_slot.h"
#include "vek_list.h"
#include "vek_logging.h"
#include "vek_module_init.h"
#include "vek_mutex.h"
#include "vek_mutex_guard.h"

namespace {

// Initialisers of the linked modules, by rank; null where the program does
// not link the module. Constant-initialised: registrars may run before or
// after this object's own dynamic initialisation.
using module_initialiser_t = void (*)();
constinit module_initialiser_t module_initialisers[vek::MODULE_RANK_COUNT] = {};

vek_list_t* methods = nullptr;      // handlers in registration order; not owned
vek_mutex_t* LIST_MUTEX = nullptr;  // "Lifecycle methods": guards methods
bool atexit_registered = false;     // initialisation has run
bool vm_available = false;          // between VEK_VM_AVAILABLE and VEK_VM_UNAVAILABLE
bool is_child_after_fork = false;   // forked child: no shutdown notification

void* as_slot(vek_lifecycle_t proc) { return vek::function_slot(proc); }

vek_lifecycle_t as_handler(void* slot) { return vek::slot_function<vek_lifecycle_t>(slot); }

void notify(VEK_LIFECYCLE_STAGE stage, JavaVM* vm);

void exit_handler() {
  // A forked child must not run the parent's shutdown work (deleting the pid
  // file, closing shared logs).
  if (is_child_after_fork) return;
  if (vm_available) {
    vm_available = false;
    notify(VEK_VM_UNAVAILABLE, nullptr);
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Calling all registered lifecycle methods for VEK_SHUTDOWN");
  notify(VEK_SHUTDOWN, nullptr);
  VekMutexGuard lock(LIST_MUTEX);
  vek_listDestroy(methods);
  methods = nullptr;
}

// Runs once per process. The flag is set before the module initialisers run
// because their own registrations come back here.
void initialise(bool explicit_call) {
  if (atexit_registered) return;
  methods = vek_listCreate(1);
  atexit_registered = true;
  atexit(exit_handler);
  LIST_MUTEX = vek_createMutex("Lifecycle methods");
  for (auto initialise_module : module_initialisers)
    if (initialise_module != nullptr) initialise_module();
  // Logged once logging exists, so that the line can reach a logger.
  if (!explicit_call) {
    veklog(VEK_HERE, VEKLOG_FATAL,
           "You must change your code to call vek_lifecycleInit() at the beginning of your main() "
           "method. Initialization will be done automatically for now.");
  }
}

// Calls every handler in registration order. After the exit handler has
// destroyed the registry there is nobody left to tell.
void notify(VEK_LIFECYCLE_STAGE stage, JavaVM* vm) {
  initialise(false);
  VekMutexGuard lock(LIST_MUTEX);
  if (methods == nullptr) return;
  size_t count = vek_listGetSize(methods);
  for (size_t i = 0; i < count; ++i) {
    as_handler(vek_listGet(methods, i))(stage, vm);
  }
}

}  // namespace

vek::ModuleInitialiser::ModuleInitialiser(ModuleRank rank, void (*initialise)()) noexcept {
  int slot = static_cast<int>(rank);
  if (slot >= 0 && slot < MODULE_RANK_COUNT) module_initialisers[slot] = initialise;
}

extern "C" void vek_lifecycleInit(void) { initialise(true); }

extern "C" void vek_addLifecycleNotification(vek_lifecycle_t proc) {
  initialise(false);
  VekMutexGuard lock(LIST_MUTEX);
  if (methods != nullptr && proc != nullptr) vek_listAdd(methods, as_slot(proc));
}

extern "C" void vek_removeLifecycleNotification(vek_lifecycle_t proc) {
  initialise(false);
  VekMutexGuard lock(LIST_MUTEX);
  if (methods != nullptr && proc != nullptr) vek_listRemove(methods, as_slot(proc));
}

extern "C" void vek_lifecycleVMAvailable(JavaVM* vm) {
  initialise(false);
  vm_available = true;
  notify(VEK_VM_AVAILABLE, vm);
}

extern "C" void vek_lifecycleVMUnavailable(void) {
  initialise(false);
  vm_available = false;
  notify(VEK_VM_UNAVAILABLE, nullptr);
}

extern "C" void vek_lifecycleChildAfterFork(void) {
  initialise(false);
  // The parent's VM does not exist in the child: a daemon that exits later
  // must not announce its loss a second time.
  vm_available = false;
  notify(VEK_VM_UNAVAILABLE, nullptr);
  is_child_after_fork = true;
  notify(VEK_CHILD_AFTER_FORK, nullptr);
}

extern "C" void vek_lifecycleSetDaemonized(bool is_daemon) {
  initialise(false);
  if (is_daemon) is_child_after_fork = false;
}
