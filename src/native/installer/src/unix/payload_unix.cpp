// System calls of the payload decoder's workers on Linux.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include "payload_platform.h"

// The affinity mask, not the machine's count: a process confined to fewer
// processors gains nothing from more workers.
unsigned platform_processor_count(void) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0) return (unsigned)CPU_COUNT(&set);
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? (unsigned)online : 1u;
}

void platform_with_signals_blocked(void (*start)(void* arg), void* arg) {
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  start(arg);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}
