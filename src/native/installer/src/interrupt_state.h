// Whether the run was cancelled: set by the driver's signal handler, read by
// the payload reader before every read and by the driver between steps. The
// one piece of state the two share, kept apart so that the reader does not
// depend on the driver.
#ifndef INSTALLER_INTERRUPT_STATE_H
#define INSTALLER_INTERRUPT_STATE_H

#include <stdbool.h>

// Records that signal `signum` cancelled the run; the first one is kept for
// the message. Async-signal-safe: the only call a handler makes.
void interrupt_note(int signum);
// True once any cancelling signal was noted; never reset.
bool interrupt_received(void);
// Logs "CTRL+C received" (or the signal's number) once, outside the
// handler, when an interrupt was noted; nothing otherwise.
void log_interrupt_once(void);

#endif  // INSTALLER_INTERRUPT_STATE_H
