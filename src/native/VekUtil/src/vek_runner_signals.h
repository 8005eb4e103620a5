// The seam between the signal module and the process runner (Linux only).
//
// A child must start with the signal dispositions the process had before the
// signal block was installed, as a forked child gets them back from the
// signal module. The runner's child borrows the parent's memory until it
// executes its program and so cannot run the signal module's fork handling;
// instead the signal module tells the runner, when it installs the block,
// which signals' dispositions it saved, and the runner's child resets those
// to their default (a saved handler does not survive exec, and an ignored
// signal is never saved). When the block is removed it passes NULL.
#ifndef VEK_RUNNER_SIGNALS_H
#define VEK_RUNNER_SIGNALS_H

#include <signal.h>

namespace vek::runner {

// Records `saved` (copied; NULL or an empty set forgets it). Safe from any
// thread; takes no lock.
void set_signals_saved_at_block(const sigset_t* saved);

}  // namespace vek::runner

#endif  // VEK_RUNNER_SIGNALS_H
