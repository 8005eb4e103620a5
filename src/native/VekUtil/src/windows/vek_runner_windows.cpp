// The Windows build has no runner functions; it keeps the same list and
// mutex as Linux so that both builds start the library the same way.
#include "vek_runner.h"

#include "vek_list.h"
#include "vek_module_init.h"
#include "vek_mutex.h"

namespace {

vek_list_t* active_processes = nullptr;     // always empty on Windows
vek_mutex_t* process_list_mutex = nullptr;  // "active external process list"

}  // namespace

extern "C" void vek_initialize_process_runner(void) {
  if (active_processes != nullptr) return;
  active_processes = vek_listCreate(1);
  process_list_mutex = vek_createMutex("active external process list");
}

namespace {
const vek::ModuleInitialiser runner_start(vek::ModuleRank::process_runner, vek_initialize_process_runner);
}  // namespace
