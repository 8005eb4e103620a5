// Holds a library mutex for one scope. Private to the library's modules.
#ifndef VEK_MUTEX_GUARD_H
#define VEK_MUTEX_GUARD_H

#include "vek_mutex.h"

// A missing mutex (its module not initialised yet) is not taken, and a lock
// that failed is not released; the mutex layer has reported the failure.
class VekMutexGuard {
 public:
  explicit VekMutexGuard(vek_mutex_t* mutex) : mutex_(mutex != nullptr && vek_lockMutex(mutex) ? mutex : nullptr) {}
  ~VekMutexGuard() {
    if (mutex_ != nullptr) vek_unlockMutex(mutex_);
  }
  VekMutexGuard(const VekMutexGuard&) = delete;
  VekMutexGuard& operator=(const VekMutexGuard&) = delete;

 private:
  vek_mutex_t* mutex_;
};

#endif  // VEK_MUTEX_GUARD_H
