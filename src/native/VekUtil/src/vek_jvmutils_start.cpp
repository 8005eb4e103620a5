// Java VM hosting, Linux builds: creating the VM (with the retry for
// options older runtimes took), joining a running one through a class loader
// of its own, destroying it, and the calls into the Java side (system
// properties, heap and thread dumps, support bundle). Part of the
// vek_jvmutils module and logged as it.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vek_dso.h"
#include "vek_jvmutils.h"
#include "vek_jvmutils_internal.h"
#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_message_bridge.h"

using vek::jvm::take_exception;

namespace {

bool creation_failed = false;  // a VM creation failed in this process (see the repair below)

}  // namespace

// ===========================================================================
// JNI helpers of the start, the join and the calls into the Java side.
//
// A Java exception must never stay pending across a log call: the Java VM
// logger calls into Java during the delivery, meets the exception and gives
// up VM logging for the rest of the process. So each exception is taken and
// cleared before it is logged and, where the caller is to see it, thrown
// again after the log line.
// ===========================================================================
namespace {

// Logs `text` with the pending exception (if any), which stays pending.
void log_keeping_exception(JNIEnv* env, VEKLOG_LEVEL level, const char* text) {
  jthrowable pending = take_exception(env);
  veklog_ex(VEK_SOURCE_HERE(jvmutils), level, pending, "%s", text);
  if (pending != nullptr) env->Throw(pending);
}

// Logs `text` with the pending exception (if any), which is cleared.
void log_clearing_exception(JNIEnv* env, VEKLOG_LEVEL level, const std::string& text) {
  veklog_ex(VEK_SOURCE_HERE(jvmutils), level, take_exception(env), "%s", text.c_str());
}

// Logs `with_exception` with the pending exception, or `without` when there
// is none to be had; the exception is cleared.
void log_exception_or(JNIEnv* env, VEKLOG_LEVEL level, const std::string& with_exception, const std::string& without) {
  jthrowable pending = take_exception(env);
  if (pending != nullptr) {
    veklog_ex(VEK_SOURCE_HERE(jvmutils), level, pending, "%s", with_exception.c_str());
  } else {
    veklog(VEK_SOURCE_HERE(jvmutils), level, "%s", without.c_str());
  }
}

// Pops a pushed local frame when the scope ends.
struct LocalFrame {
  JNIEnv* env;
  ~LocalFrame() { env->PopLocalFrame(nullptr); }
};

// Deletes a local reference when the scope ends (exceptions may be pending).
struct LocalRef {
  JNIEnv* env;
  jobject ref;
  ~LocalRef() {
    if (ref != nullptr) env->DeleteLocalRef(ref);
  }
};

}  // namespace

// ===========================================================================
// Starting, joining and destroying the VM (Linux builds only).
// ===========================================================================
namespace {

using create_vm_t = jint(JNICALL*)(JavaVM**, void**, void*);
using OptionArray = std::unique_ptr<JavaVMOption, decltype(&free)>;

// Options that older runtimes accepted and newer ones refuse, removed one at
// a time (in this order) when the VM cannot be created with them. -Xrs is
// not one of them, whatever made the creation fail: without it the VM would
// install its own handlers for the termination signals behind the host's
// back.
const char* const PLATFORM_SPECIFIC_OPTIONS[] = {"-XX:+UseAltSigs"};
constexpr size_t PLATFORM_SPECIFIC_OPTION_COUNT =
    sizeof PLATFORM_SPECIFIC_OPTIONS / sizeof PLATFORM_SPECIFIC_OPTIONS[0];
// Tells the Java side that the runtime is not the one the product bundles.
// A constant: option texts are not owned by the list.
const char* const ALTERNATE_VM_OPTION = "-Dnimbo.common.alternate-vm=true";
constexpr jint JOIN_LOCAL_FRAME_CAPACITY = 6;
constexpr jint PROPERTY_LOCAL_FRAME_CAPACITY = 6;
constexpr jint DUMP_LOCAL_FRAME_CAPACITY = 2;

// The VM library one start works with.
struct VmLibrary {
  const char* path;  // full path of the library file
  void* handle;      // from vek_dsoOpen, or VEK_RTLD_DEFAULT when it was loaded before
  bool loaded_here;  // this start opened it, so it may close and reopen it
};

const char* loader_error_text() {
  const char* text = vek_dsoError();
  return text != nullptr ? text : "unknown error";
}

// Opens the library unless the process already holds one.
bool open_vm_library(VmLibrary& vm_library) {
  if (vek_isJVMLoaded()) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG,
           "A copy of the JVM library was previously loaded. No need to load another.");
    vm_library.handle = VEK_RTLD_DEFAULT;
    vm_library.loaded_here = false;
    return true;
  }
  vm_library.handle = vek_dsoOpen(vm_library.path, VEK_RTLD_NOW | VEK_RTLD_GLOBAL);
  if (vm_library.handle == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "Unable to load Java VM shared library to start JVM: %s",
           loader_error_text());
    return false;
  }
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG, "Loaded Java VM shared library %s", vm_library.path);
  vm_library.loaded_here = true;
  return true;
}

// One attempt at creating the VM. Negative on failure; *jvm may then still
// hold a VM object that the caller must destroy.
jint start_vm(const VmLibrary& vm_library, JavaVMOption* options, size_t count, JavaVM** jvm, JNIEnv** env) {
  auto create = reinterpret_cast<create_vm_t>(vek_dsoSymFunc(vm_library.handle, "JNI_CreateJavaVM"));
  if (create == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "Could not find the function JNI_CreateJavaVM() in the JVM shared library. No JVM can be started: %s.",
           loader_error_text());
    return -1;
  }
  if (options == nullptr) return -1;
  JavaVMInitArgs args{};
  args.version = requested_jni_version;
  args.nOptions = static_cast<jint>(count);
  args.options = options;
  args.ignoreUnrecognized = JNI_FALSE;
  *jvm = nullptr;
  *env = nullptr;
  jint result = create(jvm, reinterpret_cast<void**>(env), &args);
  if (result >= 0 && *jvm != nullptr && *env != nullptr) return result;
  creation_failed = true;
  return result < 0 ? result : -1;
}

// After a failed creation: without each platform-specific option in turn,
// on a freshly loaded library. The result of the last attempt, or -1.
jint retry_without_platform_options(VmLibrary& vm_library, vek_list_t* options, OptionArray& array, JavaVM** jvm,
                                    JNIEnv** env) {
  jint result = -1;
  for (size_t i = 0; i < PLATFORM_SPECIFIC_OPTION_COUNT; ++i) {
    const char* option = PLATFORM_SPECIFIC_OPTIONS[i];
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_INFO, "Attempting to start the Java VM without the %s option", option);
    vek_removeJavaVMOption(options, option);
    array.reset(vek_getJavaVMOptionsFromList(options));
    if (*jvm != nullptr) vek_destroyJavaVM(*jvm);
    *jvm = nullptr;
    if (vm_library.handle != nullptr) vek_dsoClose(vm_library.handle);
    vm_library.handle = vek_dsoOpen(vm_library.path, VEK_RTLD_NOW | VEK_RTLD_GLOBAL);
    if (vm_library.handle == nullptr) {
      // A null handle would search the whole process: no attempt without the library.
      veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "Unable to load Java VM shared library to start JVM: %s",
             loader_error_text());
      result = -1;
      continue;
    }
    result = start_vm(vm_library, array.get(), vek_listGetSize(options), jvm, env);
    if (result >= 0) break;
    bool last = i + 1 == PLATFORM_SPECIFIC_OPTION_COUNT;
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_WARN, "Unable to create Java VM; Result: %d. %s", static_cast<int>(result),
           last ? "Could not create the Java VM even after removing all platform specific options."
                : "Removing options that could be platform specific and trying again.");
    result = -1;
  }
  return result;
}

// ---- Repairing a VM created after a failed attempt ----------------------
//
// The VM library keeps the system properties of a failed creation: the next
// creation in the same process appends a fresh set behind the stale one and
// every -D option updates only the stale entry, so the VM runs with the
// defaults of the fresh set, among them an empty java.class.path (Java 9
// and later; unloading the library does not reset it, as the library stays
// mapped). After a creation that followed a failed one (the retry, or a
// later start in the same process) every -D option the VM does not show is
// set again, and a lost class path is handed to the system class loader.

const char* const CLASS_PATH_PROPERTY = "java.class.path";

// System.getProperty(key); false (exception cleared) when it cannot be read.
bool read_system_property(JNIEnv* env, const std::string& key, std::string& value, bool& present) {
  LocalRef system{env, env->FindClass("java/lang/System")};
  auto system_class = static_cast<jclass>(system.ref);
  jmethodID get = system_class != nullptr
                      ? env->GetStaticMethodID(system_class, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;")
                      : nullptr;
  LocalRef java_key{env, get != nullptr ? env->NewStringUTF(key.c_str()) : nullptr};
  LocalRef read{env, java_key.ref != nullptr ? env->CallStaticObjectMethod(system_class, get, java_key.ref) : nullptr};
  if (take_exception(env) != nullptr || java_key.ref == nullptr) return false;
  present = read.ref != nullptr;
  value.clear();
  if (!present) return true;
  const char* utf = env->GetStringUTFChars(static_cast<jstring>(read.ref), nullptr);
  if (utf == nullptr) return false;
  value = utf;
  env->ReleaseStringUTFChars(static_cast<jstring>(read.ref), utf);
  return true;
}

// Appends each entry of `class_path` to the system class loader's search
// path through the method the VM itself uses for agents' class paths.
bool extend_system_class_path(JNIEnv* env, const std::string& class_path) {
  jclass loader_class = env->FindClass("java/lang/ClassLoader");
  jmethodID get_system = loader_class != nullptr
                             ? env->GetStaticMethodID(loader_class, "getSystemClassLoader", "()Ljava/lang/ClassLoader;")
                             : nullptr;
  jobject loader = get_system != nullptr ? env->CallStaticObjectMethod(loader_class, get_system) : nullptr;
  jmethodID append = loader != nullptr
                         ? env->GetMethodID(env->GetObjectClass(loader), "appendToClassPathForInstrumentation",
                                            "(Ljava/lang/String;)V")
                         : nullptr;
  if (append == nullptr) {
    log_clearing_exception(env, VEKLOG_ERROR, "The system class loader of this Java VM cannot be given the class path");
    return false;
  }
  size_t start = 0;
  while (start <= class_path.size()) {
    size_t end = class_path.find(':', start);
    if (end == std::string::npos) end = class_path.size();
    std::string entry = class_path.substr(start, end - start);
    start = end + 1;
    if (entry.empty()) continue;
    jstring java_entry = env->NewStringUTF(entry.c_str());
    if (java_entry != nullptr) env->CallVoidMethod(loader, append, java_entry);
    if (java_entry == nullptr || env->ExceptionCheck()) {
      log_clearing_exception(env, VEKLOG_ERROR, "Could not add '" + entry + "' to the class path of the Java VM");
      return false;
    }
    env->DeleteLocalRef(java_entry);
  }
  return true;
}

// Logs at WARN which properties were set only after the start: whatever the
// VM and the class libraries read while starting saw them missing.
void report_late_properties(const std::vector<std::string>& keys) {
  if (keys.empty()) return;
  std::string joined;
  for (const std::string& key : keys) joined += (joined.empty() ? "" : ", ") + key;
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_WARN,
         "The Java VM was created again and lost system properties given as options; they were set again after it "
         "started, too late for anything that read them while it started: %s",
         joined.c_str());
}

// Sets again every -D option the VM does not show; false (logged) when a
// lost class path could not be restored.
bool restore_lost_properties(JNIEnv* env, vek_list_t* options) {
  if (env->PushLocalFrame(PROPERTY_LOCAL_FRAME_CAPACITY) != JNI_OK) return false;
  LocalFrame frame{env};
  std::vector<std::string> set_late;
  size_t count = vek_listGetSize(options);
  for (size_t i = 0; i < count; ++i) {
    std::string_view option = vek::jvm::option_in_slot(&options->data[i]);
    if (vek::jvm::option_kind(option) != vek::jvm::SYSTEM_PROPERTY_OPTION) continue;
    std::string_view setting = option.substr(2);
    size_t equals = setting.find('=');
    std::string key(setting.substr(0, equals));
    std::string wanted(equals == std::string_view::npos ? "" : setting.substr(equals + 1));
    std::string shown;
    bool present = false;
    if (key.empty() || !read_system_property(env, key, shown, present) || (present && shown == wanted)) continue;
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG,
           "Restoring system property %s, which the Java VM lost when it was created again", key.c_str());
    set_late.push_back(key);
    if (vek_setJavaSystemProperty(env, key.c_str(), wanted.c_str()) != 0 && key == CLASS_PATH_PROPERTY) return false;
    if (key == CLASS_PATH_PROPERTY && !extend_system_class_path(env, wanted)) return false;
  }
  report_late_properties(set_late);
  return true;
}
}  // namespace

extern "C" bool vek_isJVMLoaded(void) { return vek_dsoSym(VEK_RTLD_DEFAULT, "JNI_CreateJavaVM") != nullptr; }

extern "C" jint vek_startJavaVM(JavaVM** jvm, JNIEnv** env, const char* installDir, vek_list_t* options,
                                int vmPreference, int jni_version) try {
  requested_jni_version = jni_version;
  JavaVM* own_vm = nullptr;
  JNIEnv* own_env = nullptr;
  if (jvm == nullptr) jvm = &own_vm;
  if (env == nullptr) env = &own_env;
  if (installDir == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_FATAL,
           "(INTERNAL) The installation directory for the application was not passed to vek_startJavaVM(). No VM "
           "can be started without this.");
    return -1;
  }
  if (options == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_FATAL,
           "(INTERNAL) No option list was passed to vek_startJavaVM(). No VM can be started "
           "without one.");
    return -1;
  }
  char library[VEK_PATH_MAX];
  if (!vek::jvm::find_vm_library(library, sizeof library, installDir, vmPreference)) return -1;
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG, "Will try to load Java VM shared library '%s'", library);
  VmLibrary vm_library{library, nullptr, false};
  if (!open_vm_library(vm_library)) return -1;

  if (vek::jvm::found_only_under_java_home()) vek_addJavaVMOption(options, ALTERNATE_VM_OPTION, nullptr);
  OptionArray array(vek_getJavaVMOptionsFromList(options), &free);
  jint result = start_vm(vm_library, array.get(), vek_listGetSize(options), jvm, env);
  if (result < 0) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_WARN,
           "Unable to create Java VM; Result: %d. Removing options that could be platform specific and trying again.",
           static_cast<int>(result));
    result = vm_library.loaded_here ? retry_without_platform_options(vm_library, options, array, jvm, env) : -1;
  }
  if (result < 0) return -1;
  // A retry, or any start after an earlier failed one in this process.
  if (creation_failed && !restore_lost_properties(*env, options)) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "The Java VM lost its class path when it was created again and it could not be restored. The VM is not "
           "usable.");
    vek_destroyJavaVM(*jvm);
    *jvm = nullptr;
    *env = nullptr;
    return -1;
  }
  vek::jvm::set_loaded_library(library);
  vek::message::connect_java_bridge();  // the hosted VM answers launcher messages
  vek_lifecycleVMAvailable(*jvm);
  return result;
} catch (...) {
  vek::jvm::report_out_of_memory("vek_startJavaVM");
  return -1;
}

extern "C" bool vek_destroyJavaVM(JavaVM* jvm) {
  if (jvm == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "(internal) Java VM object passed to vek_stopJavaVM() was NULL");
    return false;
  }
  // Listeners (loggers, message processors) stop using the VM first.
  vek_lifecycleVMUnavailable();
  jint result = jvm->DestroyJavaVM();
  if (result != JNI_OK) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_VERBOSE, "Could not stop Java VM: DestroyJavaVM() reports error code %d",
           static_cast<int>(result));
    return false;
  }
  return true;
}

// ===========================================================================
// Joining a running VM and calls into the Java side (Linux builds only).
// ===========================================================================
namespace {

// Fills a new java.net.URL[] from the class-path texts; null after logging.
jobjectArray make_url_array(JNIEnv* env, const char** classpath, size_t count) {
  jclass url_class = env->FindClass("java/net/URL");
  if (url_class == nullptr) {
    log_keeping_exception(env, VEKLOG_ERROR, "Could not find an instance of the class java.net.URL");
    return nullptr;
  }
  jmethodID constructor = env->GetMethodID(url_class, "<init>", "(Ljava/lang/String;)V");
  if (constructor == nullptr) {
    log_keeping_exception(env, VEKLOG_ERROR, "Could not access required constructor in java.net.URL");
    return nullptr;
  }
  jobjectArray urls = env->NewObjectArray(static_cast<jsize>(count), url_class, nullptr);
  if (urls == nullptr || env->ExceptionCheck()) {
    log_keeping_exception(env, VEKLOG_ERROR, "Could not create array of java.net.URL object for the new classpath");
    return nullptr;
  }
  for (size_t i = 0; i < count; ++i) {
    const char* entry = classpath[i] != nullptr ? classpath[i] : "";
    jstring text = env->NewStringUTF(entry);
    jobject url = text != nullptr ? env->NewObject(url_class, constructor, text) : nullptr;
    if (url == nullptr || env->ExceptionCheck()) {
      log_clearing_exception(env, VEKLOG_ERROR, "Exception generated while create new java.net.URL object");
      return nullptr;
    }
    env->SetObjectArrayElement(urls, static_cast<jsize>(i), url);
    if (env->ExceptionCheck()) {
      log_clearing_exception(env, VEKLOG_ERROR,
                             std::string("Exception generated while setting URL classpath element '") + entry + "'");
      return nullptr;
    }
    env->DeleteLocalRef(url);
    env->DeleteLocalRef(text);
  }
  return urls;
}

// A new URLClassLoader over the class path (a local reference); null after logging.
jobject make_url_class_loader(JNIEnv* env, const char** classpath, size_t count) {
  jobjectArray urls = make_url_array(env, classpath, count);
  if (urls == nullptr) return nullptr;
  jclass loader_class = env->FindClass("java/net/URLClassLoader");
  if (loader_class == nullptr) {
    log_keeping_exception(env, VEKLOG_ERROR, "Could not find the class java.net.URLClassLoader");
    return nullptr;
  }
  jmethodID factory = env->GetStaticMethodID(loader_class, "newInstance", "([Ljava/net/URL;)Ljava/net/URLClassLoader;");
  if (factory == nullptr) {
    log_keeping_exception(env, VEKLOG_ERROR, "Could not access required constructor in java.net.URLClassLoader");
    return nullptr;
  }
  jobject loader = env->CallStaticObjectMethod(loader_class, factory, urls);
  if (loader == nullptr || env->ExceptionCheck()) {
    log_clearing_exception(env, VEKLOG_ERROR, "Exception occurred at URLClassLoader.newInstance()");
    return nullptr;
  }
  return loader;
}

// A class of the Java side, looked up without the logging of vek_findClass
// (a missing class is reported by the caller's own text); the exception of
// a failed lookup is cleared.
jclass find_java_side_class(JNIEnv* env, const char* slash_name) {
  jclass found = env->FindClass(slash_name);
  if (found == nullptr) take_exception(env);
  return found;
}

const char* const HEAP_DUMP_CLASS = "com.nimbo.common.util15.SunHeapDump";
const char* const BUNDLE_CLASS = "com/nimbo/common/support/BundleManager";
const char* const THREAD_DUMP_CLASS = "com/nimbo/common/launcher15/ThreadDump";

}  // namespace

extern "C" bool vek_loadFromExistingVM(JavaVM** jvm, JNIEnv** env, jobject* classloader, const char** classpath,
                                       size_t classpathCount) try {
  if (classloader == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "(internal) Classloader object passed to vek_loadFromExistingVM() was NULL");
    return false;
  }
  *classloader = nullptr;
  if (jvm != nullptr) *jvm = nullptr;
  if (env != nullptr) *env = nullptr;
  if (classpath == nullptr && classpathCount > 0) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "(internal) NULL class path with %lu entries passed to vek_loadFromExistingVM()",
           static_cast<unsigned long>(classpathCount));
    return false;
  }
  JavaVM* vm = vek_getCreatedJavaVM();
  if (vm == nullptr) return false;
  if (jvm != nullptr) *jvm = vm;
  vek::message::connect_java_bridge();
  vek_lifecycleVMAvailable(vm);
  JNIEnv* attached = nullptr;
  if (!vek_attachThreadToJVM(vm, &attached)) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "Could not attach to existing JVM");
    return false;
  }
  if (env != nullptr) *env = attached;
  if (attached->PushLocalFrame(JOIN_LOCAL_FRAME_CAPACITY) != JNI_OK) {
    log_keeping_exception(attached, VEKLOG_ERROR, "Could not reserve local references to build the class loader");
    return false;
  }
  jobject loader = make_url_class_loader(attached, classpath, classpathCount);
  if (loader != nullptr) *classloader = attached->NewGlobalRef(loader);
  attached->PopLocalFrame(nullptr);
  return *classloader != nullptr;
} catch (...) {
  vek::jvm::report_out_of_memory("vek_loadFromExistingVM");
  return false;
}

extern "C" int vek_setJavaSystemProperty(JNIEnv* env, const char* name, const char* value) try {
  if (env == nullptr || name == nullptr || value == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "(internal) NULL argument passed to vek_setJavaSystemProperty()");
    return -1;
  }
  const std::string failure_text = std::string("Exception generated setting system property ") + name + "=" + value;
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_VERBOSE, "Setting Java system: property %s=%s", name, value);
  if (env->PushLocalFrame(PROPERTY_LOCAL_FRAME_CAPACITY) != JNI_OK) {
    log_clearing_exception(env, VEKLOG_ERROR, failure_text);
    return -1;
  }
  LocalFrame frame{env};
  jstring java_name = env->NewStringUTF(name);
  jstring java_value = java_name != nullptr ? env->NewStringUTF(value) : nullptr;
  if (java_value == nullptr) {
    log_clearing_exception(env, VEKLOG_ERROR, failure_text);
    return -1;
  }
  jclass system = vek_findClass(env, nullptr, "java/lang/System");
  if (system == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "Could not load class java.lang.System to set a system property");
    return -1;
  }
  jmethodID set_property =
      env->GetStaticMethodID(system, "setProperty", "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;");
  if (set_property == nullptr) {
    log_clearing_exception(env, VEKLOG_ERROR, "Could not load the setproperty() method in java.lang.System");
    return -1;
  }
  env->CallStaticObjectMethod(system, set_property, java_name, java_value);
  if (!env->ExceptionCheck()) return 0;
  jthrowable thrown = env->ExceptionOccurred();
  env->ExceptionDescribe();  // prints the exception and clears it
  veklog_ex(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, thrown, "%s", failure_text.c_str());
  return -1;
} catch (...) {
  vek::jvm::report_out_of_memory("vek_setJavaSystemProperty");
  return -1;
}

extern "C" bool vek_generateHeapDump(JNIEnv* env, const char* path, bool onlyLive) try {
  if (env == nullptr || path == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "(internal) NULL argument passed to vek_generateHeapDump()");
    return false;
  }
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG, "Attempting to create a heap dump in %s (live objects only = %s)",
         path, onlyLive ? "true" : "false");
  std::string slash_name = HEAP_DUMP_CLASS;
  for (char& c : slash_name)
    if (c == '.') c = '/';
  LocalRef dump_class{env, find_java_side_class(env, slash_name.c_str())};
  if (dump_class.ref == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "No heap dump can be generated from this virtual machine as the required Java class (%s) could not be "
           "located",
           HEAP_DUMP_CLASS);
    return false;
  }
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG, "Found %s", HEAP_DUMP_CLASS);
  auto cls = static_cast<jclass>(dump_class.ref);
  jmethodID dump_heap = env->GetStaticMethodID(cls, "dumpHeap", "(Ljava/lang/String;Z)V");
  if (dump_heap == nullptr) {
    std::string text =
        std::string("An unexpected error occurred; Unable to access ") + HEAP_DUMP_CLASS + ".dumpHeap() method.";
    log_exception_or(env, VEKLOG_ERROR, text + " Please refer to the log file(s) for more information.",
                     text + " No further information is available.");
    return false;
  }
  if (env->PushLocalFrame(DUMP_LOCAL_FRAME_CAPACITY) == JNI_OK) {
    jstring java_path = env->NewStringUTF(path);
    if (java_path != nullptr)
      env->CallStaticVoidMethod(cls, dump_heap, java_path, static_cast<jboolean>(onlyLive ? JNI_TRUE : JNI_FALSE));
    env->PopLocalFrame(nullptr);
  }
  if (!env->ExceptionCheck()) return true;
  const std::string text = "An unexpected error occurred; Exception thrown while requesting heap dump.";
  log_exception_or(env, VEKLOG_ERROR, text + " Please refer to the log file(s) for more information.",
                   text + " No further information is available.");
  return false;
} catch (...) {
  vek::jvm::report_out_of_memory("vek_generateHeapDump");
  return false;
}

extern "C" void vek_generateSupportBundle(JNIEnv* env) try {
  if (env == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "(internal) NULL JNIEnv passed to vek_generateSupportBundle()");
    return;
  }
  LocalRef bundle_class{env, find_java_side_class(env, BUNDLE_CLASS)};
  if (bundle_class.ref == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "No support bundle can be generated from this virtual machine as the required Java class "
           "(com.nimbo.common.support.BundleManager) could not be located");
    return;
  }
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG, "Found com.nimbo.common.support.BundleManager");
  auto cls = static_cast<jclass>(bundle_class.ref);
  jmethodID requested = env->GetStaticMethodID(cls, "bundleRequested", "()V");
  if (requested == nullptr) {
    const std::string text = "An unexpected error occurred; Unable to access BundleManager.bundleRequested() method";
    log_exception_or(env, VEKLOG_FATAL, text, text + ". No further information is available.");
    return;
  }
  env->CallStaticVoidMethod(cls, requested);
  if (!env->ExceptionCheck()) return;
  // The caller decides what the failed request means: it sees the exception.
  jthrowable thrown = take_exception(env);
  if (thrown != nullptr) {
    veklog_ex(VEK_SOURCE_HERE(jvmutils), VEKLOG_FATAL, thrown,
              "An unexpected error occurred; Exception thrown while requesting support bundle");
    env->Throw(thrown);
  } else {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_FATAL,
           "An unexpected error occurred; Exception thrown while requesting support bundle. No further information "
           "is available.");
  }
} catch (...) {
  vek::jvm::report_out_of_memory("vek_generateSupportBundle");
}

extern "C" void vek_generateJVMThreadDump(JNIEnv* env) try {
  if (env == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "(internal) NULL JNIEnv passed to vek_generateJVMThreadDump()");
    return;
  }
  LocalRef dump_class{env, env->FindClass(THREAD_DUMP_CLASS)};
  if (dump_class.ref == nullptr) {
    const std::string text =
        "Could not locate the com/nimbo/common/launcher15/ThreadDump class so no thread dumps will be written the "
        "file system.";
    log_exception_or(env, VEKLOG_VERBOSE, text, text + " No further information isavailable");
    return;
  }
  auto cls = static_cast<jclass>(dump_class.ref);
  jmethodID dump_stack = env->GetStaticMethodID(cls, "dumpStack", "()V");
  if (dump_stack == nullptr) {
    const std::string text =
        "Could not locate the method dumpStack in com/nimbo/common/launcher15/ThreadDump so no thread dumps will be "
        "written the file system.";
    log_exception_or(env, VEKLOG_VERBOSE, text, text + " No further information is available.");
    return;
  }
  env->CallStaticVoidMethod(cls, dump_stack);
  if (!env->ExceptionCheck()) return;
  const std::string text = "An unexpected error occurred; Exception thrown while generating thread dump";
  log_exception_or(env, VEKLOG_VERBOSE, text, text + ". No further information is available.");
} catch (...) {
  vek::jvm::report_out_of_memory("vek_generateJVMThreadDump");
}
