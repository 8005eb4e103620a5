// The installer's driver: the run and the hand-off to the configuration
// program. It uses the payload reader (payload.h) and the interrupt state
// (interrupt_state.h); neither uses it.
#ifndef INSTALLER_INSTALLER_H
#define INSTALLER_INSTALLER_H

#include <stdbool.h>

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
// -1 otherwise. main (installer_main.cpp) is nothing but this call.
int installer_main(int argc, const char** argv);

#endif  // INSTALLER_INSTALLER_H
