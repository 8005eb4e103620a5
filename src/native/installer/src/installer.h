// The installer's run: main, the interrupt flag that the payload reader
// polls, and the hand-off to the configuration program. The payload format
// itself (table of contents, entry readers) is declared in payload.h, which
// this header includes for the modules that use both.
#ifndef INSTALLER_INSTALLER_H
#define INSTALLER_INSTALLER_H

#include <signal.h>
#include <stdbool.h>

#include "payload.h"

// Set by the interrupt handler and never reset; read on every payload read.
extern volatile sig_atomic_t sigint_received;
// Logs "CTRL+C received" once, outside the handler, when the flag is set.
void log_interrupt_once(void);

// Starts the configuration program ("./bin/zorva", Windows "./bin/zorva.exe",
// relative to the working directory) with "--internal-install" and the
// user's arguments, and NIMBO_DISABLE_WATCHDOG=1 in the environment. True
// exactly when it ran and exited with 0.
bool configure_zorva(int argc, const char** argv);

// Logs, after the configuration program was refused for want of permission,
// that the temporary directory may not allow programs to run and which
// variable chooses another one.
void log_run_permission_hint(const char* program);

// One whole installation run: 0 when the configuration program succeeded,
// -1 otherwise. main is nothing but this call.
int installer_main(int argc, const char** argv);

#endif  // INSTALLER_INSTALLER_H
