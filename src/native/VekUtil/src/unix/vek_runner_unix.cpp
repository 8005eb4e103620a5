// External process runner on Linux. So far: the list of active processes and
// its mutex (starting, waiting for and signalling children come later).
#include "vek_runner.h"

#include "vek_list.h"
#include "vek_mutex.h"

namespace {

vek_list_t* active_processes = nullptr;     // handles of running children, compared by pid
vek_mutex_t* process_list_mutex = nullptr;  // "active external process list"

// Receives pointers to the list slots.
int compare_pids(const void* a, const void* b) {
  auto* left = *static_cast<vek_process_handle_t* const*>(a);
  auto* right = *static_cast<vek_process_handle_t* const*>(b);
  return left->pid == right->pid ? 0 : 1;
}

}  // namespace

extern "C" void vek_initialize_process_runner(void) {
  if (active_processes != nullptr) return;
  active_processes = vek_listCreate(1);
  vek_listSetCompare(active_processes, compare_pids);
  process_list_mutex = vek_createMutex("active external process list");
}
