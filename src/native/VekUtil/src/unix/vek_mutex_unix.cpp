// Fork-safe named mutexes over pthreads.
//
// A process that forks while another thread holds a library mutex must not
// deadlock in the child: only the forking thread survives, so nobody would
// ever release that lock. Every mutex therefore carries a second, child-side
// mutex that a forked child uses instead, initialised fresh on its first use
// there. A child that forks in turn (a daemon's child, forked while one of
// the daemon's threads holds a child-side mutex) must not inherit that lock
// either: each fork starts a new generation, and the child-side mutex is
// initialised afresh on its first use in each. Errors go to the failsafe
// logger because the regular logger itself locks these mutexes.
#include "vek_mutex.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "vek_logging.h"

struct vek_mutex_t {
  pthread_mutex_t mutex;         // used in the process that created the record
  pthread_mutex_t childs_mutex;  // used instead once the process is a forked child
  char* name;                    // copy of the creation name; only for messages
  // 2g once childs_mutex is ready for fork generation g (0: never), 2g + 1
  // while a thread of generation g initialises it.
  std::atomic<unsigned> child_created;
  int child_init_result;  // pthread_mutex_init result for childs_mutex
};

namespace {

// Forks since the creating process, counted by the atfork handler in each
// child; 0 in the creating process. Never cleared: a child's own children
// keep using the child-side mutexes, each generation its fresh ones.
std::atomic<unsigned> fork_generation{0};

void mark_child_has_forked() { fork_generation.fetch_add(1); }

// One registration is enough: the handler is inherited by every child, and
// registering once per mutex would grow the atfork table without bound.
void register_fork_handler_once() {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] { pthread_atfork(nullptr, nullptr, &mark_child_has_forked); });
}

const char* name_of(const vek_mutex_t* mutex) { return mutex->name != nullptr ? mutex->name : "(unnamed)"; }

// Initialises the child-side mutex once per fork generation, even when two
// threads of the child reach it at the same time. A state left by an older
// generation (ready, or half initialised when the fork came) is stale: the
// thread that held or was initialising it does not exist here.
void init_child_mutex(vek_mutex_t* mutex, unsigned generation) {
  const unsigned ready = 2 * generation;
  for (unsigned state = mutex->child_created.load(); state != ready; state = mutex->child_created.load()) {
    if (state == ready + 1) {
      sched_yield();
    } else if (mutex->child_created.compare_exchange_strong(state, ready + 1)) {
      mutex->child_init_result = pthread_mutex_init(&mutex->childs_mutex, nullptr);
      mutex->child_created.store(ready);
    }
  }
}

// The pthread mutex to use in this process: the original one, or in a forked
// child the child-side twin (initialised on its first use in this generation).
pthread_mutex_t* select_mutex(vek_mutex_t* mutex) {
  const unsigned generation = fork_generation.load();
  if (generation == 0) return &mutex->mutex;
  init_child_mutex(mutex, generation);
  return &mutex->childs_mutex;
}

bool report_null(const char* operation) {
  vek_internal_log_error(VEK_HERE, "WARN: NULL mutex passed to %s(). This is an internal programming error", operation);
  return false;
}

}  // namespace

extern "C" vek_mutex_t* vek_createMutex(const char* name) {
  register_fork_handler_once();
  auto* mutex = static_cast<vek_mutex_t*>(calloc(1, sizeof(vek_mutex_t)));
  if (mutex == nullptr) {
    vek_internal_log_error(VEK_HERE, "WARN: Could not create mutex %s: %s", name ? name : "(unnamed)",
                           strerror(ENOMEM));
    return nullptr;
  }
  new (&mutex->child_created) std::atomic<unsigned>(0);
  int result;
  if (fork_generation.load() != 0) {
    select_mutex(mutex);
    result = mutex->child_init_result;
  } else {
    result = pthread_mutex_init(&mutex->mutex, nullptr);
  }
  if (result != 0) {
    vek_internal_log_error(VEK_HERE, "WARN: Could not create mutex %s: %s", name ? name : "(unnamed)",
                           strerror(result));
    free(mutex);
    return nullptr;
  }
  mutex->name = name != nullptr ? strdup(name) : nullptr;
  return mutex;
}

extern "C" bool vek_lockMutex(vek_mutex_t* mutex) {
  if (mutex == nullptr) return report_null("vek_lockMutex");
  int result = pthread_mutex_lock(select_mutex(mutex));
  if (result != 0) {
    vek_internal_log_error(VEK_HERE, "WARN: Could not acquire mutex %s lock: %s", name_of(mutex), strerror(result));
    return false;
  }
  return true;
}

extern "C" bool vek_unlockMutex(vek_mutex_t* mutex) {
  if (mutex == nullptr) return report_null("vek_unlockMutex");
  int result = pthread_mutex_unlock(select_mutex(mutex));
  if (result != 0) {
    vek_internal_log_error(VEK_HERE, "WARN: Could not release mutex %s lock: %s", name_of(mutex), strerror(result));
    return false;
  }
  return true;
}

extern "C" bool vek_destroyMutex(vek_mutex_t* mutex) {
  if (mutex == nullptr) return report_null("vek_destroyMutex");
  int result = pthread_mutex_destroy(select_mutex(mutex));
  if (result != 0) {
    vek_internal_log_error(VEK_HERE, "WARN: Could not destroy %s mutex: %s", name_of(mutex), strerror(result));
  }
  free(mutex->name);
  free(mutex);
  return result == 0;
}
