/* The Java VM logger: hands each log event to the Java logging framework
 * (com/nimbo/common/log/LogCategory.logRaw) through JNI. */
#ifndef VEK_LOGGING_VM_H
#define VEK_LOGGING_VM_H

#include "vek_logging.h"
#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The logger. An event without a Java environment is dropped. When the Java
 * side cannot be reached the logger writes a failsafe paragraph, unregisters
 * itself and registers the console logger at threshold VEKLOG_DEBUG instead;
 * the failing event is not delivered elsewhere. An exception the caller left
 * pending is no failure: it is set aside for the delivery and pending again
 * afterwards. When no local references are left for the delivery, the event
 * is dropped with a failsafe line. */
void vek_javaVMLogger(vek_log_event_t* event);

#ifdef __cplusplus
}
#endif

#endif /* VEK_LOGGING_VM_H */
