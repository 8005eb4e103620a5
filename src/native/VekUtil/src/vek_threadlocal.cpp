// Thread-local storage keys: argument checks and the free-on-delete rule;
// the system calls live in the platform files.
#include "vek_threadlocal.h"

#include <cstdlib>

#include "vek_logging.h"
#include "vek_threadlocal_platform.h"

// __LINE__ names the line of the check that found the NULL key.
#define VEK_TLS_REPORT_NULL_KEY(operation) \
  veklog(VEK_HERE, VEKLOG_DEBUG, "(internal line %d) NULL vek_threadlocal_key_t passed to " operation "()", __LINE__)

extern "C" bool vek_createThreadLocalStorage(vek_threadlocal_key_t** key) {
  if (key == nullptr) {
    VEK_TLS_REPORT_NULL_KEY("vek_createThreadLocalStorage");
    return false;
  }
  vek_threadlocal_key_t* created = vek::tls::create_key();
  if (created == nullptr) return false;
  *key = created;
  return true;
}

extern "C" bool vek_setThreadLocalData(vek_threadlocal_key_t* key, const void* data) {
  if (key == nullptr) {
    VEK_TLS_REPORT_NULL_KEY("vek_setThreadLocalData");
    return false;
  }
  return vek::tls::set_value(key, data);
}

extern "C" void* vek_getThreadLocalData(vek_threadlocal_key_t* key) {
  if (key == nullptr) {
    VEK_TLS_REPORT_NULL_KEY("vek_getThreadLocalData");
    return nullptr;
  }
  return vek::tls::get_value(key);
}

extern "C" bool vek_deleteThreadLocalData(vek_threadlocal_key_t* key) {
  if (key == nullptr) {
    VEK_TLS_REPORT_NULL_KEY("vek_deleteThreadLocalData");
    return false;
  }
  void* value = vek::tls::get_value(key);
  if (value == nullptr) {
    veklog(VEK_HERE, VEKLOG_WARN, "(internal line %d) Could not free thread local data, no data present", __LINE__);
    return false;
  }
  free(value);
  return vek::tls::set_value(key, nullptr);
}

extern "C" bool vek_deleteThreadLocalStorage(vek_threadlocal_key_t* key) {
  if (key == nullptr) {
    VEK_TLS_REPORT_NULL_KEY("vek_deleteThreadLocalStorage");
    return false;
  }
  return vek::tls::delete_key(key);
}
