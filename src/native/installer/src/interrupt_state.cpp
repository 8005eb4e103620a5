// The cancelled-run flag and its one-time message. Logged under the driver's
// name: the message is the driver's report of the interrupt.
#include "interrupt_state.h"

#include <signal.h>

#include "vek_log_source.h"

// The installer's messages, the driver's and these alike, are logged under
// the driver's name; defined here, in the lowest layer that logs under it.
VEK_LOG_SOURCE(installer) = "src/native/installer/src/installer.cpp";

namespace {

volatile sig_atomic_t interrupted = 0;  // written by the handler, never reset
volatile sig_atomic_t stop_signal = 0;  // the first signal that cancelled the run
bool interrupt_logged = false;          // main thread only: the message went out

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
    veklog(VEK_SOURCE_HERE(installer), VEKLOG_VERBOSE, "CTRL+C received");
  } else {
    veklog(VEK_SOURCE_HERE(installer), VEKLOG_VERBOSE, "signal %d received", (int)stop_signal);
  }
}
