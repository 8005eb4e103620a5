/* The always-present corner of Java VM hosting: finding a VM already running
 * in the process, the calling thread's JNI environment, attaching and
 * detaching threads, class lookup and raising java.io.IOException. */
#ifndef VEK_JVMUTILS_H
#define VEK_JVMUTILS_H

#include <jni.h>

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The first VM reported by JNI_GetCreatedJavaVMs, or NULL (logged). */
JavaVM* vek_getCreatedJavaVM(void);
/* The calling thread's environment, or NULL when it is not attached. */
JNIEnv* vek_getEnvFromJVM(JavaVM* vm);
/* Attaches the calling thread unless it already is; *env receives the
 * environment. Returns false (logged) on failure. */
bool vek_attachThreadToJVM(JavaVM* vm, JNIEnv** env);
bool vek_detachThreadFromJVM(JavaVM* vm);
#ifndef _WIN32
/* An environment for the calling thread, attaching it when needed;
 * *was_attached tells whether the caller must detach later. NULL when there
 * is no VM or attaching failed. */
JNIEnv* vek_acquireJNIEnv(bool* was_attached);
#endif
/* `name` in slash form; `classloader` may be NULL. Returns a local reference
 * or NULL (logged). */
jclass vek_findClass(JNIEnv* env, jobject classloader, const char* name);
/* Raises java.io.IOException with the formatted message (cut to 2047 characters). */
void vek_throwIOException(JNIEnv* env, const char* format, ...) VEK_PRINTF_FORMAT(2, 3);

/* JNI version every GetEnv call asks for; 0x00010002 until a VM host sets it. */
extern int requested_jni_version;

#ifdef __cplusplus
}
#endif

#endif /* VEK_JVMUTILS_H */
