/* Dynamic libraries: thin wrappers over dlopen/dlsym (LoadLibrary and
 * GetProcAddress on Windows). */
#ifndef VEK_DSO_H
#define VEK_DSO_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*vek_dso_func_t)(void);

/* Flags exported as integers so that callers need no system header. */
extern const int VEK_RTLD_LAZY;   /* 1 */
extern const int VEK_RTLD_NOW;    /* 2 */
extern const int VEK_RTLD_GLOBAL; /* 256 */
/* Pseudo-handle: search everything already loaded into the process. */
#define VEK_RTLD_DEFAULT ((void*)0)

/* Handle of the loaded library, or NULL (see vek_dsoError). A NULL name
 * gives the main program. */
void* vek_dsoOpen(const char* name, int flag);
/* Address of the symbol, or NULL when not found. */
void* vek_dsoSym(void* handle, const char* symbol);
vek_dso_func_t vek_dsoSymFunc(void* handle, const char* symbol);
/* The platform's result: 0 on success. */
int vek_dsoClose(void* handle);
/* The platform's text for the last loading error; owned by the platform, not
 * to be freed; may be NULL. */
const char* vek_dsoError(void);

#ifdef __cplusplus
}
#endif

#endif /* VEK_DSO_H */
