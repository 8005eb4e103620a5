// The registry of the process runner's children; see vek_runner_children.h.
#include "vek_runner_children.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// The runner's children and the starts under way; one instance.
struct RunnerChildren {
  std::mutex mutex;            // guards the fields below
  int starts_in_progress = 0;  // begin_start calls not yet ended
  std::vector<pid_t> pids;     // children the runner will reap itself
};

// Never destroyed: the signal thread may ask while the process exits.
RunnerChildren& children = *new RunnerChildren;

}  // namespace

namespace vek::runner {

void begin_start() {
  std::lock_guard<std::mutex> lock(children.mutex);
  ++children.starts_in_progress;
}

void end_start(pid_t pid) {
  std::lock_guard<std::mutex> lock(children.mutex);
  --children.starts_in_progress;
  // Out of memory the pid stays unrecorded: nobody else reaps it while a
  // start is in progress, and after that the runner's wait fails on ECHILD
  // and is logged.
  try {
    if (pid > 0) children.pids.push_back(pid);
  } catch (...) {
  }
}

void release(pid_t pid) {
  std::lock_guard<std::mutex> lock(children.mutex);
  auto found = std::find(children.pids.begin(), children.pids.end(), pid);
  if (found != children.pids.end()) children.pids.erase(found);
}

bool may_reap(pid_t pid) {
  std::lock_guard<std::mutex> lock(children.mutex);
  return children.starts_in_progress == 0 &&
         std::find(children.pids.begin(), children.pids.end(), pid) == children.pids.end();
}

}  // namespace vek::runner
