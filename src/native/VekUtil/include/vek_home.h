/* Install and executable locations of the running program (Linux). The
 * values are process-wide, set during start-up from the main thread before
 * other threads read them; nothing here takes a lock. */
#ifndef VEK_HOME_H
#define VEK_HOME_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The installation directory in its canonical form, or NULL while none was
 * set. Owned by the library (a process-wide buffer): do not free. */
const char* vek_getInstallDir(void);

/* Sets the installation directory. A name that is not an existing directory
 * is ignored (logged at ERROR) and the old value kept; double quotes around
 * an existing directory are removed with a WARN line. NULL is ignored with
 * an ERROR line. */
void vek_setInstallDir(const char* dir);

/* Full canonical path of the running executable, found from `argv0` (an
 * absolute path, a path relative to the working directory, or a bare name
 * searched on PATH), or with `argv0` NULL the file of the module that holds
 * this library's code (for a program that links the library, its own file
 * as the system knows it, whatever argv[0] and the working directory are
 * by then). The first answer is cached: later calls return the
 * same pointer whatever they pass. Owned by the library: do not free. NULL
 * when it could not be determined (not cached; the next call tries again). */
const char* vek_getExecutablePath(const char* argv0);

/* The file of the module holding the library code: the executable when the
 * library is linked into it, the shared library when built as one. Ignores
 * `libname`; shares vek_getExecutablePath's cache. */
const char* vek_getLibraryPath(const char* libname);

#ifdef __cplusplus
}
#endif

#endif /* VEK_HOME_H */
