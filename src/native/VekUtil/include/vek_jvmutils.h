/* Java VM hosting. Every build: finding a VM already running in the process,
 * the calling thread's JNI environment, attaching and detaching threads,
 * class lookup and raising java.io.IOException. Linux builds also: finding
 * the VM library of an installation, the loader path (set by re-executing
 * the process once), the VM option list, starting, joining and destroying a
 * VM, system properties and the Java-side heap dump, thread dump and support
 * bundle.
 *
 * The location and start functions keep process-wide state without locks:
 * call them from the host's start-up thread before other threads use a VM. */
#ifndef VEK_JVMUTILS_H
#define VEK_JVMUTILS_H

#include <jni.h>

#include "vek_list.h"
#include "vek_logging.h"
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

#ifndef _WIN32
/* ---- Locating the VM library ------------------------------------------ */

/* vmPreference values: which VM directories are searched first. Any other
 * value is treated as VEK_PREFER_SERVER_VM (with a WARN line). */
#define VEK_PREFER_CLIENT_VM 1
#define VEK_PREFER_SERVER_VM 2

/* The preferred Java home, searched before the installation. At most 4094
 * characters are kept; NULL or "" means none. */
void vek_setPreferredJavaHome(const char* path);
/* The preferred Java home, or NULL when none is set. Owned by the library. */
const char* vek_getPreferredJavaHome(void);
/* Whether $JAVA_HOME is searched when neither the preferred home nor the
 * installation has a VM library (false by default). */
void vek_setFallbackToEnvJavaHome(bool fallback);

/* Finds the VM library (libjvm.so) for the installation rooted at `basedir`
 * and writes its canonical path into `path` (always terminated within
 * pathLength). Each root (preferred home, `basedir`, then $JAVA_HOME when the
 * fallback is on) is searched in the old jre/lib/<arch>/{client,server,
 * jrockit} layout and then in the jre/lib/{client,server} layout of modular
 * runtimes, then as a modular runtime itself (lib/{client,server}); only a
 * root that is itself a directory named "jre" is then also searched through
 * its parent (never a jre directory beside any other root). Returns false
 * with errno ENOENT when nothing was found, or
 * ENAMETOOLONG when the path did not fit (the cut text is still written). */
bool vek_getJVMLibrary(char* path, size_t pathLength, const char* basedir, int vmPreference);

/* Copy of the path of the VM library loaded by the last successful
 * vek_startJavaVM ("" before one). The caller frees it with free(); NULL when
 * out of memory. */
char* vek_getLoadedVMlibrary(void);

/* Puts the VM library's directory and its parent in front of `dirs` (a list
 * of heap texts the caller owns and may pre-fill; NULL for none) and, on the
 * first pass, sets LD_LIBRARY_PATH to them joined with ':' and re-executes
 * the running program's own file (whatever argv[0] names; argv is passed on
 * unchanged) with VEK_RESTART_IN_PROGRESS=true and VEK_RESTART_STATE holding
 * the user's LD_LIBRARY_PATH. The first pass never returns: a failed
 * re-execution ends the process with status 1. On the second pass (either
 * variable present, or any later call in a process that has restarted) both
 * variables are removed and true is returned; the process runner's children
 * then get the user's LD_LIBRARY_PATH back. Returns false (logged at FATAL,
 * environment untouched) when no VM library is found, and false (ERROR) for
 * a NULL argv. */
bool vek_setJavaLibPath(const char** argv, const char* installDir, int vmPreference, vek_list_t* dirs);

/* True once this process is the re-executed one (for the rest of its life). */
bool vek_hasRestarted(void);

/* ---- VM option lists -------------------------------------------------- */

/* An option list is a vek_list_t whose elements are malloc'ed JavaVMOption
 * records owned by the list (free them with vek_listDeleteAll); the option
 * texts are not copied and must outlive the list. Set the list's comparison
 * to vek_jvmCompareOptions so that find and remove match options by their
 * identity: -Xmx/-Xms/-Xss/-Xbootclasspath/class path/assertion options by
 * kind whatever their values, -D and -XX: options by name. */

/* Appends a new record, even when an equal option is already listed (the VM
 * then honours the first). NULL list or text: ERROR, nothing added. */
void vek_addJavaVMOption(vek_list_t* list, const char* optionString, const void* extra);
/* Removes and frees the record of the first equal option (not its text).
 * NULL list or text: ERROR. */
void vek_removeJavaVMOption(vek_list_t* list, const char* optionString);
/* Index of the first equal option, or (size_t)-1. */
size_t vek_findJavaVMOption(vek_list_t* list, const char* optionString);
/* Comparison over two list slots holding JavaVMOption pointers; 0 means the
 * options are the same option. */
int vek_jvmCompareOptions(const void* left, const void* right);
/* New array of copies of the records, in list order, for JavaVMInitArgs.
 * The caller frees it with free(). NULL (logged) for a NULL list or when out
 * of memory. */
JavaVMOption* vek_getJavaVMOptionsFromList(vek_list_t* options);
/* Megabytes given by the first option equal to `opt` ("-Xmx", "-Xms",
 * "-Xss"): digits with an optional unit k, m, g or t (either case; none
 * means bytes), rounded down. (unsigned long)-1 when absent, malformed or
 * too large. */
unsigned long vek_getMemoryOptionValue(vek_list_t* options, const char* opt);
/* One log line at `log_level`: "Java VM options" and each option on its own
 * indented line. */
void vek_logJavaVMOptions(vek_list_t* options, VEKLOG_LEVEL log_level);

/* ---- Starting, joining and destroying a VM ---------------------------- */

/* Loads the VM library of `installDir` (vek_getJVMLibrary with the preferred
 * home and the fallback) and creates a VM with `options` at `jni_version`.
 * When creation fails and the library was loaded by this call, it is tried
 * once more without -XX:+UseAltSigs (either sign), which is removed from
 * `options`; -Xrs always stays. The -D options that a VM created on the
 * second try lost are set again after its start, logged at WARN as too late
 * for whatever read them while it started. When the library was found only under $JAVA_HOME,
 * -Dnimbo.common.alternate-vm=true is appended to `options`. On success the
 * VM is announced (VEK_VM_AVAILABLE) and 0 is returned; -1 on any failure
 * (logged). `jvm` and `env` may be NULL. */
jint vek_startJavaVM(JavaVM** jvm, JNIEnv** env, const char* installDir, vek_list_t* options, int vmPreference,
                     int jni_version);
/* Whether JNI_CreateJavaVM is already resolvable in the process. */
bool vek_isJVMLoaded(void);
/* Joins the VM running in the process: announces it (VEK_VM_AVAILABLE),
 * attaches the calling thread and creates a java.net.URLClassLoader over the
 * `classpathCount` URL texts of `classpath`. *classloader receives a global
 * reference the caller deletes with DeleteGlobalRef. `jvm` and `env` are
 * optional outputs. False (logged) on failure; a Java exception met while
 * looking up the JDK classes stays pending for the caller. */
bool vek_loadFromExistingVM(JavaVM** jvm, JNIEnv** env, jobject* classloader, const char** classpath,
                            size_t classpathCount);
/* Announces VEK_VM_UNAVAILABLE, then destroys the VM (waiting for its
 * non-daemon threads). False (logged) for NULL or when the VM reports an
 * error. */
bool vek_destroyJavaVM(JavaVM* jvm);

/* ---- Calls into the Java side ----------------------------------------- */

/* System.setProperty(name, value): 0, or -1 (logged, exception cleared). */
int vek_setJavaSystemProperty(JNIEnv* env, const char* name, const char* value);
/* Heap dump through com.nimbo.common.util15.SunHeapDump.dumpHeap into
 * `path` (which must not exist and must end in ".hprof"); live objects only
 * when `onlyLive`. False (logged, exception cleared) on failure. */
bool vek_generateHeapDump(JNIEnv* env, const char* path, bool onlyLive);
/* com.nimbo.common.support.BundleManager.bundleRequested(). A Java exception
 * it throws is logged and left pending for the caller. */
void vek_generateSupportBundle(JNIEnv* env);
/* com.nimbo.common.launcher15.ThreadDump.dumpStack(); failures are logged at
 * VERBOSE and cleared. */
void vek_generateJVMThreadDump(JNIEnv* env);
#endif /* !_WIN32 */

#ifdef __cplusplus
}
#endif

#endif /* VEK_JVMUTILS_H */
