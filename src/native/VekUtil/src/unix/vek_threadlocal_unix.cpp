// Thread-local keys over pthread keys. One process-wide, fork-safe lock
// serialises the key operations; errno is kept as the pthread call left it.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "vek_threadlocal_platform.h"

struct vek_threadlocal_key_t {
  pthread_key_t key;  // the pthread key; created without destructor
};

namespace {

// Every log delivery passes through here, so a fork while another thread
// holds the lock must not leave the child's lock taken for ever: as with the
// library's own mutexes, a forked child switches to a fresh twin. A child
// that forks again re-initialises the twin for its own child (only the
// forking thread survives, so nobody else can be using it).
pthread_mutex_t gTLSMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t gTLSChildMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> tls_child_has_forked{false};

void tls_after_fork_in_child() {
  if (tls_child_has_forked.exchange(true)) pthread_mutex_init(&gTLSChildMutex, nullptr);
}

pthread_mutex_t* tls_mutex() {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] { pthread_atfork(nullptr, nullptr, &tls_after_fork_in_child); });
  return tls_child_has_forked.load() ? &gTLSChildMutex : &gTLSMutex;
}

// Runs one pthread call under the lock. A pthread call reports its error
// as the result, so errno is set from it and survives the unlock.
template <typename Call>
int locked_call(Call call) {
  pthread_mutex_t* mutex = tls_mutex();
  pthread_mutex_lock(mutex);
  int result = call();
  pthread_mutex_unlock(mutex);
  if (result != 0) errno = result;
  return result;
}

}  // namespace

namespace vek::tls {

vek_threadlocal_key_t* create_key() {
  auto* record = static_cast<vek_threadlocal_key_t*>(calloc(1, sizeof(vek_threadlocal_key_t)));
  if (record == nullptr) return nullptr;
  if (locked_call([record] { return pthread_key_create(&record->key, nullptr); }) != 0) {
    free(record);
    return nullptr;
  }
  return record;
}

bool set_value(vek_threadlocal_key_t* key, const void* data) {
  return locked_call([key, data] { return pthread_setspecific(key->key, data); }) == 0;
}

void* get_value(vek_threadlocal_key_t* key) {
  void* value = nullptr;
  locked_call([key, &value] {
    value = pthread_getspecific(key->key);
    return 0;
  });
  return value;
}

bool delete_key(vek_threadlocal_key_t* key) {
  int result = locked_call([key] { return pthread_key_delete(key->key); });
  int saved_errno = errno;
  free(key);
  errno = saved_errno;
  return result == 0;
}

}  // namespace vek::tls
