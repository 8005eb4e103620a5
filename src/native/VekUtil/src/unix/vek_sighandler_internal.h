// What other modules of the library need to know about the signal block.
// Private to the library.
#ifndef VEK_SIGHANDLER_INTERNAL_H
#define VEK_SIGHANDLER_INTERNAL_H

#include <signal.h>

namespace vek::signals {

// The signals a program started from this process (without a fork handler
// in between, e.g. through posix_spawn) must have reset to SIG_DFL to start
// with the dispositions from before the block: the block ignores SIGTTIN and
// SIGTTOU, and ignored dispositions survive exec. Empty while no block is
// installed. The spawned program also needs an empty signal mask.
void defaults_for_started_programs(sigset_t* out) noexcept;

}  // namespace vek::signals

#endif  // VEK_SIGHANDLER_INTERNAL_H
