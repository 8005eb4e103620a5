// Thread-local keys over pthread keys. One process-wide lock serialises the
// key operations; errno is kept as the pthread call left it.
#include <pthread.h>

#include <cerrno>
#include <cstdlib>

#include "vek_threadlocal_platform.h"

struct vek_threadlocal_key_t {
  pthread_key_t key;  // the pthread key; created without destructor
};

namespace {

pthread_mutex_t gTLSMutex = PTHREAD_MUTEX_INITIALIZER;

// Runs one pthread call under gTLSMutex. A pthread call reports its error
// as the result, so errno is set from it and survives the unlock.
template <typename Call>
int locked_call(Call call) {
  pthread_mutex_lock(&gTLSMutex);
  int result = call();
  pthread_mutex_unlock(&gTLSMutex);
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
