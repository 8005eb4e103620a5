/* Facts about the machine and its processes (Linux). Cached values are
 * computed on first use and kept for the life of the process; make the first
 * calls from one thread. */
#ifndef VEK_SYSINFO_H
#define VEK_SYSINFO_H

#include "vek_types.h"

#ifndef _WIN32
#include <sys/types.h>
#include <time.h>
#endif

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

#ifndef _WIN32

/* The operating-system family this build is for: Linux, a Unix. */
bool vek_isWindows(void);
bool vek_isUnix(void);
bool vek_isLinux(void);
bool vek_isSolaris(void);
bool vek_isAIX(void);
bool vek_isHPUX(void);

/* Both: the number of processors currently online (at least 1). */
int vek_getOnlineProcessors(void);
int vek_getActiveProcessors(void);

/* The machine's hardware identifier (its SMBIOS system UUID) in lower case,
 * from HAL, the kernel's DMI export or the DMI table decoder; NULL when none
 * can be found. Cached; a search that found no source at all is not
 * repeated. Owned by the library: do not free. Runs external programs on
 * first use, one at a time. */
const char* vek_getSystemID(void);

/* Previous readings of a tracker, in clock ticks. */
typedef struct vek_cpu_usage_internal_t {
  int64_t total_time;   /* CPU time of the whole machine */
  int64_t process_time; /* user and system time of the process */
} vek_cpu_usage_internal_t;

/* Tracks the CPU share of one process across measurements. Allocated by the
 * first measurement, then owned by the caller, who passes it back for every
 * later one and releases it with vek_freeCpuUsage. Not to be shared between
 * threads. */
typedef struct vek_cpu_usage_t {
  double percent_cpu_usage;           /* share of the machine's CPU time between the last two
                                         measurements, 0 to 100 */
  time_t last_measurement;            /* time of the last measurement */
  pid_t process_id;                   /* process the tracker belongs to */
  bool available;                     /* percent_cpu_usage is valid */
  vek_cpu_usage_internal_t* internal; /* previous readings */
} vek_cpu_usage_t;

/* Takes a measurement of `processId`. `tracker` points to the tracker
 * pointer: NULL before the first measurement, which creates the tracker and
 * only sets the baseline (available false). A tracker of another process is
 * marked unavailable and taken over. False (logged, an existing tracker
 * marked unavailable) when /proc cannot be read. The percentage is clamped
 * to 0..100. */
bool vek_getCpuUsedByProcess(pid_t processId, vek_cpu_usage_t** tracker);

/* The same measurement without the clamp. */
bool vek_linux_get_cpu_used(pid_t processId, vek_cpu_usage_t** tracker);

/* Frees a tracker and its readings; NULL is ignored. */
void vek_freeCpuUsage(vek_cpu_usage_t* tracker);

/* Resident memory of the process in bytes, or VEK_UINT64_UNKNOWN (logged)
 * when it cannot be read. */
vek_uint64_t vek_getMemoryUsedByProcess(pid_t processId);

#endif /* _WIN32 */

#ifdef __cplusplus
}
#endif

#endif /* VEK_SYSINFO_H */
