/* Native file operations of the Java class com.nimbo.common.io.NativeFile:
 * permission bits, owner, symbolic links and free space that the Java
 * platform library does not give. On Linux a host program binds them with
 * vek_registerNativeIOOperations; on Windows the executable exports them under
 * these JNI names. Failures never log: they leave a pending
 * java.io.IOException for the Java caller (free space reports -1 instead).
 * The natives keep no state and may run on any Java thread at once. */
#ifndef VEK_NATIVEFILE_H
#define VEK_NATIVEFILE_H

#include <jni.h>

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates a symbolic link at `source` pointing to `dest` (the target text is
 * stored as given). JNI_FALSE with an IOException naming both paths when it
 * cannot (for example when `source` exists). Windows: JNI_FALSE, nothing done. */
JNIEXPORT jboolean JNICALL Java_com_nimbo_common_io_NativeFile_createSymlink(JNIEnv* env, jobject clazz, jstring source,
                                                                             jstring dest);

/* The stored target text of the symbolic link `filename` (not resolved), as a
 * new local reference; NULL without exception when it is not a link; NULL
 * with an IOException for a NULL name or when it cannot be examined.
 * Windows: NULL, nothing done. */
JNIEXPORT jstring JNICALL Java_com_nimbo_common_io_NativeFile_getNativeSymlink(JNIEnv* env, jobject clazz,
                                                                               jstring filename);

/* Account name of the owner of `filename` (links followed); Linux gives the
 * decimal user ID when the ID has no account. On failure an IOException and
 * "" (Linux) or NULL (Windows). */
JNIEXPORT jstring JNICALL Java_com_nimbo_common_io_NativeFile_getNativeOwner(JNIEnv* env, jobject clazz,
                                                                             jstring filename);

/* Mode bits (octal 7777 mask) of `filename` itself: a link reports its own
 * bits. Windows synthesises them: 755 for directories and executables, 644
 * for other files, write bits cleared for read-only ones. -1 with an
 * IOException on failure. */
JNIEXPORT jint JNICALL Java_com_nimbo_common_io_NativeFile_getNativePermissions(JNIEnv* env, jobject clazz,
                                                                                jstring filename);

/* chmod(filename, permission); an IOException on failure. Windows maps only
 * write access: no write bit sets the read-only attribute, any write bit
 * clears it. */
JNIEXPORT void JNICALL Java_com_nimbo_common_io_NativeFile_setNativePermissions(JNIEnv* env, jobject clazz,
                                                                                jstring filename, jint permission);

/* Bytes available to an unprivileged user on the file system of `filename`;
 * -1 (no exception) when unknown. */
JNIEXPORT jlong JNICALL Java_com_nimbo_common_io_NativeFile_getNativeAvailableBytes(JNIEnv* env, jobject clazz,
                                                                                    jstring filename);

#ifndef _WIN32
/* Binds the six natives to com/nimbo/common/io/NativeFile and sets its static
 * boolean mEnabled to true. A class without mEnabled still gets its natives
 * (ERROR logged, no exception left pending). Returns false (logged at ERROR,
 * or silently when the class is simply absent) when the class cannot be
 * loaded or the natives cannot be registered. Call on an attached thread. */
bool vek_registerNativeIOOperations(JNIEnv* env);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VEK_NATIVEFILE_H */
