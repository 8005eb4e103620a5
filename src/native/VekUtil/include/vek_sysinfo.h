/* Facts about the machine (Linux). Cached values are computed on first use
 * and kept for the life of the process; make the first calls from one
 * thread. */
#ifndef VEK_SYSINFO_H
#define VEK_SYSINFO_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The host name, cached on first use; "localhost" when the system cannot
 * tell (logged at WARN). Never NULL; owned by the library: do not free. */
const char* vek_getHostname(void);

/* The machine architecture (uname's machine field), cached on first use;
 * "unknown" when the system cannot tell (logged at ERROR). Never NULL; owned
 * by the library: do not free. */
const char* vek_getArchName(void);

#ifdef __cplusplus
}
#endif

#endif /* VEK_SYSINFO_H */
