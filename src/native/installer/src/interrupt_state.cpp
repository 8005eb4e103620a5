// The cancelled-run flag and its one-time message. Logged under the driver's
// name: the message is the driver's report of the interrupt.
#include "interrupt_state.h"

#include <signal.h>

#include "module_log.h"

namespace {

volatile sig_atomic_t interrupted = 0;   // written by the handler, never reset
volatile sig_atomic_t stop_signal = 0;   // the first signal that cancelled the run
bool interrupt_logged = false;           // main thread only: the message went out

}  // namespace

void interrupt_note(int signum) {
  if (!interrupted) stop_signal = signum;
  interrupted = 1;
}

bool interrupt_received(void) { return interrupted != 0; }

void log_interrupt_once(void) {
  if (!interrupted || interrupt_logged) return;
  interrupt_logged = true;
  if (stop_signal == SIGINT || stop_signal == 0) {
    veklog(MODULE_HERE("installer"), VEKLOG_VERBOSE, "CTRL+C received");
  } else {
    veklog(MODULE_HERE("installer"), VEKLOG_VERBOSE, "signal %d received", (int)stop_signal);
  }
}
