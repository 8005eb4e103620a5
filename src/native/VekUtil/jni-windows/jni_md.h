/* Machine-dependent JNI types for 64-bit Windows (mingw-w64 and MSVC), used in
 * place of the Linux jni_md.h that the build's JDK headers carry. */
#ifndef VEK_JNI_MD_WINDOWS_H
#define VEK_JNI_MD_WINDOWS_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

/* jint is 32 bits: `long` is 32 bits on 64-bit Windows. */
typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif /* VEK_JNI_MD_WINDOWS_H */
