/* Talking to the service manager that started the process (Linux only): state
 * notifications over the datagram socket the manager names in NOTIFY_SOCKET,
 * and the interval of the watchdog it expects (WATCHDOG_USEC, WATCHDOG_PID).
 * No library of the manager is needed: the texts go over a plain local
 * socket. The Windows build has none of these functions. */
#ifndef VEK_SERVICE_H
#define VEK_SERVICE_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef _WIN32
/* Takes NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID out of the environment,
 * so that no program this process starts (a daemon's children, a hosted
 * VM's, the process runner's) believes it is the service, and keeps their
 * values for the two functions below. Changes the environment: call it on
 * the main thread before any other thread is started. A later call keeps the
 * values already taken when the variables are gone meanwhile. Returns 1 when
 * NOTIFY_SOCKET was found (now or before), else 0. The process runner leaves
 * these variables out of a child's inherited environment in any case. */
int vek_takeServiceEnvironment(void);

/* Sends `state` (one or more "NAME=value" lines: "READY=1", "STOPPING=1",
 * "RELOADING=1", "STATUS=text", "MAINPID=pid", "WATCHDOG=1") as one datagram
 * to the socket named by NOTIFY_SOCKET: a file path, or an abstract socket
 * name when it begins with '@'. Uses the values taken by
 * vek_takeServiceEnvironment, else the current environment. Returns a
 * positive value when sent; 0 when no service manager listens
 * (NOTIFY_SOCKET unset or empty); a negative errno value on failure
 * (-EINVAL for a NULL or empty state or a socket name that is neither
 * absolute nor abstract or is too long, else the error of the socket calls).
 * Safe to call from any thread; logs nothing and never raises SIGPIPE. */
int vek_notifyServiceManager(const char* state);

/* The manager's watchdog: when it expects "WATCHDOG=1" of this process
 * (WATCHDOG_USEC set and WATCHDOG_PID unset or equal to this process's id),
 * stores the interval in microseconds within which a ping must arrive in
 * `*usec` and returns 1 (send one every half interval); returns 0 when no
 * watchdog applies to this process (`*usec` set to 0), or -EINVAL when a
 * value is malformed or `usec` is NULL. Same sources and thread safety as
 * vek_notifyServiceManager. */
int vek_serviceWatchdogInterval(uint64_t* usec);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VEK_SERVICE_H */
