/* Thread-local storage keys. Values stored through these calls are heap
 * blocks owned by the key's thread (vek_deleteThreadLocalData frees them). */
#ifndef VEK_THREADLOCAL_H
#define VEK_THREADLOCAL_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vek_threadlocal_key_t vek_threadlocal_key_t;

/* On success *key receives a new key; release it with vek_deleteThreadLocalStorage. */
bool vek_createThreadLocalStorage(vek_threadlocal_key_t** key);
bool vek_setThreadLocalData(vek_threadlocal_key_t* key, const void* data);
/* This thread's value, or NULL when none. */
void* vek_getThreadLocalData(vek_threadlocal_key_t* key);
/* free() this thread's value and clear it; false (with a WARN) when there was none. */
bool vek_deleteThreadLocalData(vek_threadlocal_key_t* key);
/* Deletes the key; the key record is freed in every case. */
bool vek_deleteThreadLocalStorage(vek_threadlocal_key_t* key);

#ifdef __cplusplus
}
#endif

#endif /* VEK_THREADLOCAL_H */
