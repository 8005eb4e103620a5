// Signal handling on a dedicated thread. So far: the module state and the
// lifecycle handler that drops the inherited signal handling in a forked
// child (installing the block and the signal thread come later).
#include "vek_sighandler.h"

#include <pthread.h>
#include <signal.h>

#include <cstdlib>

#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_mutex.h"

namespace {

// A disposition saved when the block was installed.
struct vek_sig_action_t {
  int signum;                // the signal
  struct sigaction* action;  // heap copy of its disposition before the block
};

vek_list_t* saved_signals = nullptr;             // non-NULL exactly while the block is installed
volatile bool user_signal_handler_installed = false;  // the exit routine is to be used
volatile bool signal_thread_running = false;     // the signal thread is to go on
vek_mutex_t* signal_thread_mutex = nullptr;      // guards signal_thread_running
volatile bool is_child_after_fork = false;       // set in a forked child

void stop_signal_thread() {
  vek_mutex_t* mutex = signal_thread_mutex;
  if (mutex != nullptr && vek_lockMutex(mutex)) {
    signal_thread_running = false;
    vek_unlockMutex(mutex);
  } else {
    signal_thread_running = false;
  }
}

// Gives back the dispositions from before the block and unblocks everything
// in the calling thread.
void restore_saved_dispositions() {
  for (size_t i = 0; i < vek_listGetSize(saved_signals); ++i) {
    auto* saved = static_cast<vek_sig_action_t*>(vek_listGet(saved_signals, i));
    sigaction(saved->signum, saved->action, nullptr);
    free(saved->action);
    free(saved);
  }
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
  vek_listDestroy(saved_signals);
  saved_signals = nullptr;
}

void remove_signal_handling() {
  stop_signal_thread();
  user_signal_handler_installed = false;
  if (saved_signals != nullptr) restore_saved_dispositions();
}

// Only the forking thread survives a fork, so the child has no signal thread:
// it gets back the dispositions from before the block and an empty mask.
void signals_lifecycle(VEK_LIFECYCLE_STAGE stage, JavaVM* /*vm*/) {
  if (stage != VEK_CHILD_AFTER_FORK) return;
  is_child_after_fork = true;
  remove_signal_handling();
}

}  // namespace

extern "C" void vek_initialize_signals(void) { vek_addLifecycleNotification(signals_lifecycle); }
