// Process control on Linux. So far: the pid-file state and the lifecycle
// handler that keeps a forked child away from the parent's pid file and
// removes this process's own pid file at exit (recording the pid file,
// daemonising and the process tests come later).
#include "vek_process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "vek_lifecycle.h"
#include "vek_logging.h"

namespace {

int lock_file_descriptor = -1;    // open, locked pid file; -1 when none
char* lock_file_name = nullptr;   // heap path of the pid file; NULL when none

// The lock covers the whole file from offset 0, so it is released from there.
void unlock_pid_file() {
  lseek(lock_file_descriptor, 0, SEEK_SET);
  lockf(lock_file_descriptor, F_ULOCK, 0);
}

void forget_parent_pid_file() {
  if (lock_file_descriptor != -1) {
    unlock_pid_file();
    lock_file_descriptor = -1;  // the descriptor itself stays open
  }
  free(lock_file_name);
  lock_file_name = nullptr;
}

void release_pid_file() {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Running cleanup routines after exit() called");
  if (lock_file_descriptor != -1) {
    unlock_pid_file();
    close(lock_file_descriptor);
    lock_file_descriptor = -1;
    veklog(VEK_HERE, VEKLOG_DEBUG, "Unlocking PID file");
  }
  if (lock_file_name != nullptr) {
    struct stat info;
    if (stat(lock_file_name, &info) == 0) {
      unlink(lock_file_name);
      veklog(VEK_HERE, VEKLOG_DEBUG, "Deleting PID file %s", lock_file_name);
    }
    free(lock_file_name);
    lock_file_name = nullptr;
  }
}

void process_lifecycle(VEK_LIFECYCLE_STAGE stage, JavaVM* /*vm*/) {
  if (stage == VEK_CHILD_AFTER_FORK) forget_parent_pid_file();
  if (stage == VEK_SHUTDOWN) release_pid_file();
}

}  // namespace

extern "C" void vek_initialize_process(void) { vek_addLifecycleNotification(process_lifecycle); }
