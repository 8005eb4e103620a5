// The process runner's own children, for a process that reaps the others
// (the first process of a container). The runner reaps each of its children
// itself, with waitpid on its pid, to learn its exit status; whoever reaps
// ended children in general must leave those alone, or the runner's wait
// fails and the status is lost.
#ifndef VEK_RUNNER_CHILDREN_H
#define VEK_RUNNER_CHILDREN_H

#include <sys/types.h>

namespace vek::runner {

// Called before the runner creates a child: until end_start, no ended child
// is anybody's to reap (the new one may end before its pid is known).
void begin_start();
// The creation returned `pid` (or failed, with pid <= 0): the pid is the
// runner's until release(pid).
void end_start(pid_t pid);
// The runner has reaped `pid` (or given it up).
void release(pid_t pid);
// False while a start is in progress or `pid` is the runner's.
bool may_reap(pid_t pid);

}  // namespace vek::runner

#endif  // VEK_RUNNER_CHILDREN_H
