// A program built on the core layer alone, as the installer is: its start-up,
// logging and the lifecycle's stages must work with every upper module's
// hook slot empty. Prints one line per step; the test matches the whole run.
#include <cstdio>
#include <cstdlib>

#include "vek_lifecycle.h"
#include "vek_logging.h"

namespace {

void print_logger(vek_log_event_t* event) {
  // No VM support linked: no event may carry a Java environment.
  printf("LOG %s env=%s\n", event->text, event->env == nullptr ? "none" : "set");
  fflush(stdout);
}

void print_stage(VEK_LIFECYCLE_STAGE stage, JavaVM*) {
  printf("STAGE %d loggers=%zu\n", static_cast<int>(stage), vek_getNumLoggers());
  fflush(stdout);
}

// Registered before the lifecycle's own exit handler, so run after it: the
// line shows that the shutdown stage came back.
void print_exit() {
  printf("EXIT\n");
  fflush(stdout);
}

}  // namespace

int main() {
  atexit(print_exit);
  vek_lifecycleInit();
  vek_addLogger(print_logger);
  vek_addLifecycleNotification(print_stage);
  veklog(VEK_HERE, VEKLOG_INFO, "started");
  // A VM announced without the VM layer: the core has nobody to tell and
  // must neither attach to it nor call an empty slot.
  vek_lifecycleVMAvailable(reinterpret_cast<JavaVM*>(0x1));
  veklog(VEK_HERE, VEKLOG_INFO, "with a VM");
  vek_removeLogger(print_logger);
  vek_lifecycleVMUnavailable();  // no logger left: the discard logger keeps logging quiet
  veklog(VEK_HERE, VEKLOG_INFO, "unheard");
  return EXIT_SUCCESS;  // the shutdown stage runs at exit, with no file logger to close
}
