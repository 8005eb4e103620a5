/* Named mutexes. On Linux every mutex is fork-safe: in a forked child each
 * library mutex is replaced on first use by a fresh child-side mutex, so a
 * lock held by a parent thread at the moment of the fork cannot deadlock the
 * child, nor one held by a thread of that child deadlock its own children.
 * Failures are reported through the failsafe logger (Linux) or veklog
 * (Windows). Linux mutexes are not recursive. */
#ifndef VEK_MUTEX_H
#define VEK_MUTEX_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vek_mutex_t vek_mutex_t;

/* New unlocked mutex; `name` is copied and used only in messages. Returns
 * NULL on failure. Release with vek_destroyMutex. */
vek_mutex_t* vek_createMutex(const char* name);
bool vek_lockMutex(vek_mutex_t* mutex);
bool vek_unlockMutex(vek_mutex_t* mutex);
/* Destroys the mutex; the record and its name are freed in every case. */
bool vek_destroyMutex(vek_mutex_t* mutex);

#ifdef __cplusplus
}
#endif

#endif /* VEK_MUTEX_H */
