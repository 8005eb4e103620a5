// Thread-local keys over Win32 TLS indexes (TlsAlloc and friends need no lock).
#include <windows.h>

#include <cstdlib>

#include "vek_threadlocal_platform.h"

struct vek_threadlocal_key_t {
  DWORD key;  // TLS index from TlsAlloc
};

namespace vek::tls {

vek_threadlocal_key_t* create_key() {
  auto* record = static_cast<vek_threadlocal_key_t*>(calloc(1, sizeof(vek_threadlocal_key_t)));
  if (record == nullptr) return nullptr;
  record->key = TlsAlloc();
  if (record->key == TLS_OUT_OF_INDEXES) {
    free(record);
    return nullptr;
  }
  return record;
}

bool set_value(vek_threadlocal_key_t* key, const void* data) {
  return TlsSetValue(key->key, const_cast<void*>(data)) != FALSE;
}

void* get_value(vek_threadlocal_key_t* key) { return TlsGetValue(key->key); }

bool delete_key(vek_threadlocal_key_t* key) {
  bool freed = TlsFree(key->key) != FALSE;
  free(key);
  return freed;
}

}  // namespace vek::tls
