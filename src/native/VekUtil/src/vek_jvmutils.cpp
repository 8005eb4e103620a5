// Java VM hosting. Every build: the VM already running in the process,
// per-thread environments, class lookup and java.io.IOException. Linux
// builds also: locating the VM library, setting the loader path and the VM
// option lists (vek_jvmutils_location.cpp); starting, joining and destroying
// the VM and the calls into the Java side (vek_jvmutils_start.cpp).
#include "vek_jvmutils.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "vek_dso.h"
#include "vek_jvmutils_internal.h"
#include "vek_logging.h"
#include "vek_logging_hooks.h"

VEK_LOG_SOURCE(jvmutils) = __FILE__;

int requested_jni_version = JNI_VERSION_1_2;

jthrowable vek::jvm::take_exception(JNIEnv* env) {
  if (!env->ExceptionCheck()) return nullptr;
  jthrowable pending = env->ExceptionOccurred();
  env->ExceptionClear();
  return pending;
}

void vek::jvm::report_out_of_memory(const char* function) noexcept {
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "(internal) %s() could not complete: out of memory", function);
  errno = ENOMEM;
}

namespace {

constexpr size_t IO_EXCEPTION_MESSAGE_BUFFER = 2048;

using get_created_vms_t = jint(JNICALL*)(JavaVM**, jsize, jsize*);

using vek::jvm::take_exception;

void log_loader_problem(JNIEnv* env, const char* text) {
  veklog_ex(VEK_HERE, VEKLOG_ERROR, take_exception(env), "%s", text);
}

// A class loader's loadClass takes the binary name ("a.b.C"); callers of
// vek_findClass use the slash form of JNI.
jclass load_with_classloader(JNIEnv* env, jobject classloader, const char* name) {
  jclass loader_class = env->GetObjectClass(classloader);
  if (loader_class == nullptr) {
    log_loader_problem(env, "(internal) Could not get object class from classloader instance");
    return nullptr;
  }
  jmethodID load_class = env->GetMethodID(loader_class, "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;");
  env->DeleteLocalRef(loader_class);
  if (load_class == nullptr) {
    log_loader_problem(env, "(internal) Could not get correct method ID from classloader instance");
    return nullptr;
  }
  std::unique_ptr<char, decltype(&free)> binary_name(strdup(name), &free);
  if (!binary_name) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) Could not copy the class name %s: %s", name, strerror(ENOMEM));
    return nullptr;
  }
  for (char* c = binary_name.get(); *c != '\0'; ++c)
    if (*c == '/') *c = '.';
  jstring java_name = env->NewStringUTF(binary_name.get());
  if (java_name == nullptr) return nullptr;
  jobject found = env->CallObjectMethod(classloader, load_class, java_name);
  env->DeleteLocalRef(java_name);
  return static_cast<jclass>(found);
}

}  // namespace

extern "C" JavaVM* vek_getCreatedJavaVM(void) {
  auto get_created_vms = reinterpret_cast<get_created_vms_t>(vek_dsoSymFunc(VEK_RTLD_DEFAULT, "JNI_GetCreatedJavaVMs"));
  if (get_created_vms == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Could not initialize from an existing JVM. The function 'JNI_GetCreatedJavaVMs' is not available "
           "in the current address space.");
    return nullptr;
  }
  JavaVM* vm = nullptr;
  jsize count = 0;
  jint result = get_created_vms(&vm, 1, &count);
  if (result != JNI_OK) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Could not initialize from an existing JVM. JNI_GetCreatedJavaVMs reports error code %d\n",
           static_cast<int>(result));
    return nullptr;
  }
  if (count < 1 || vm == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Could not initialize from an existing JVM. No Java VMs have been started in the current address space");
    return nullptr;
  }
  return vm;
}

extern "C" JNIEnv* vek_getEnvFromJVM(JavaVM* vm) {
  if (vm == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) JVM object passed to vek_getEnvFromJVM() was NULL");
    return nullptr;
  }
  void* env = nullptr;
  if (vm->GetEnv(&env, requested_jni_version) != JNI_OK) return nullptr;
  return static_cast<JNIEnv*>(env);
}

extern "C" bool vek_attachThreadToJVM(JavaVM* vm, JNIEnv** env) {
  if (vm == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) JVM object passed to vek_attachThreadToJVM() was NULL");
    return false;
  }
  if (env == nullptr) return false;
  *env = nullptr;
  void* current = nullptr;
  if (vm->GetEnv(&current, requested_jni_version) != JNI_OK || current == nullptr) {
    jint result = vm->AttachCurrentThread(&current, nullptr);
    if (result != JNI_OK) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not attach to JVM thread. Error code: %d", static_cast<int>(result));
      return false;
    }
  }
  *env = static_cast<JNIEnv*>(current);
  return true;
}

extern "C" bool vek_detachThreadFromJVM(JavaVM* vm) {
  if (vm == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) JVM object passed to vek_detachThreadFromJVM() was NULL");
    return false;
  }
  jint result = vm->DetachCurrentThread();
  if (result != JNI_OK) {
    veklog(VEK_HERE, VEKLOG_WARN, "Could not detach current thread from VM. Error code %d", static_cast<int>(result));
    return false;
  }
  return true;
}

#ifndef _WIN32
extern "C" JNIEnv* vek_acquireJNIEnv(bool* was_attached) {
  JavaVM* vm = vek_getCreatedJavaVM();
  if (vm == nullptr) return nullptr;
  bool attached_here = false;
  JNIEnv* env = vek_getEnvFromJVM(vm);
  if (env == nullptr) {
    if (!vek_attachThreadToJVM(vm, &env)) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not obtain current environment pointer from the Java VM");
      if (was_attached != nullptr) *was_attached = false;
      return nullptr;
    }
    attached_here = true;
  }
  if (was_attached != nullptr) *was_attached = attached_here;
  return env;
}
#endif

extern "C" jclass vek_findClass(JNIEnv* env, jobject classloader, const char* name) {
  if (env == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) NULL JNIEnv passed to vek_findClass()");
    return nullptr;
  }
  if (name == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) NULL class name passed to vek_findClass()");
    return nullptr;
  }
  if (classloader != nullptr) {
    jclass found = load_with_classloader(env, classloader, name);
    if (found != nullptr && !env->ExceptionCheck()) return found;
  }
  // The loader's ClassNotFoundException is expected here: fall back quietly.
  env->ExceptionClear();
  jclass found = env->FindClass(name);
  jthrowable failure = take_exception(env);
  if (failure != nullptr)
    veklog_ex(VEK_HERE, VEKLOG_ERROR, failure, "(internal) Could not find or load class %s", name);
  return found;
}

extern "C" void vek_throwIOException(JNIEnv* env, const char* format, ...) {
  if (env == nullptr || format == nullptr) return;
  char message[IO_EXCEPTION_MESSAGE_BUFFER];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);

  jclass io_exception = env->FindClass("java/io/IOException");
  if (io_exception == nullptr) {
    env->ExceptionClear();
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not find exception class java.io.Exception to report:\n%s\n", message);
    return;
  }
  jmethodID constructor = env->GetMethodID(io_exception, "<init>", "(Ljava/lang/String;)V");
  if (constructor == nullptr) {
    env->ExceptionClear();
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not find correct constructor in java.io.Exception to report:\n%s\n", message);
    return;
  }
  jstring text = env->NewStringUTF(message);
  jobject exception = text != nullptr ? env->NewObject(io_exception, constructor, text) : nullptr;
  if (exception == nullptr) {
    env->ExceptionClear();
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not create and instance of java.io.Exception to report:\n%s\n", message);
    return;
  }
  env->Throw(static_cast<jthrowable>(exception));
}

namespace {

// Log events get this thread's Java environment from here while a VM is
// registered: the logging core cannot name the VM support itself.
void detach_for_logging(JavaVM* vm) { vek_detachThreadFromJVM(vm); }

const vek::logging::HookRegistrar vm_environment_hooks({
    .get_env = vek_getEnvFromJVM,
    .attach_thread = vek_attachThreadToJVM,
    .detach_thread = detach_for_logging,
});

}  // namespace
