// The system calls behind vek_threadlocal: one implementation per platform
// (unix/vek_threadlocal_unix.cpp, windows/vek_threadlocal_windows.cpp). The
// portable module checks its arguments before calling these; every key
// passed here is non-NULL.
#ifndef VEK_THREADLOCAL_PLATFORM_H
#define VEK_THREADLOCAL_PLATFORM_H

#include "vek_threadlocal.h"

namespace vek::tls {

// A new key record with a fresh system key, or NULL (errno describes why).
vek_threadlocal_key_t* create_key();
bool set_value(vek_threadlocal_key_t* key, const void* data);
void* get_value(vek_threadlocal_key_t* key);
// Deletes the system key and frees the record in every case.
bool delete_key(vek_threadlocal_key_t* key);

}  // namespace vek::tls

#endif  // VEK_THREADLOCAL_PLATFORM_H
