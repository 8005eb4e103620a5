// The Java VM of the JVM test suites: the real libjvm of the build's target,
// loaded into the test process with its symbols global (so that the library's
// lookup of JNI_GetCreatedJavaVMs in the default scope finds it) and one VM
// per process with the compiled test classes on its class path.
//
// The VM is created on first use rather than by a gtest Environment: a
// process can never create a second VM, and the tests of what happens
// without a VM must run before one exists. CTest runs every test case in a
// process of its own, so each case sees exactly the state it asks for.
#ifndef VEK_TEST_JVM_H
#define VEK_TEST_JVM_H

#include <dlfcn.h>
#include <jni.h>

#include <cstdio>
#include <string>
#include <vector>

#ifndef VEK_TEST_JVM_LIB
#error "JVM suites are built with VEK_TEST_JVM_LIB (vek_add_gtest ... JVM)"
#endif

// The VM relies on SIGSEGV for its own null checks and safepoints, and its
// heap is no business of the leak checker: let an AddressSanitizer build
// pass those signals on. Read by the sanitizer runtime at start-up; unused
// in other builds.
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "handle_segv=0:allow_user_segv_handler=1:detect_leaks=0";
}

namespace vektest {

// dlopen handle of the VM library (loaded once), or null with a message.
inline void* loadJvmLibrary() {
  static void* handle = [] {
    void* h = dlopen(VEK_TEST_JVM_LIB, RTLD_NOW | RTLD_GLOBAL);
    if (h == nullptr) std::fprintf(stderr, "cannot load %s: %s\n", VEK_TEST_JVM_LIB, dlerror());
    return h;
  }();
  return handle;
}

// The process's test VM, created on the first call on the calling thread
// (which stays attached); null when it cannot be created.
inline JavaVM* testJvm() {
  static JavaVM* vm = []() -> JavaVM* {
    void* lib = loadJvmLibrary();
    if (lib == nullptr) return nullptr;
    using create_t = jint (*)(JavaVM**, void**, void*);
    auto create = reinterpret_cast<create_t>(dlsym(lib, "JNI_CreateJavaVM"));
    if (create == nullptr) return nullptr;
    std::vector<std::string> texts = {std::string("-Djava.class.path=") + VEK_TEST_CLASSES_DIR, "-Xmx64m", "-Xrs",
                                      "-XX:+UseSerialGC", "-XX:TieredStopAtLevel=1"};
    std::vector<JavaVMOption> options;
    for (auto& t : texts) options.push_back({t.data(), nullptr});
    JavaVMInitArgs args = {};
    args.version = JNI_VERSION_1_8;
    args.nOptions = static_cast<jint>(options.size());
    args.options = options.data();
    args.ignoreUnrecognized = JNI_FALSE;
    JavaVM* created = nullptr;
    void* env = nullptr;
    jint rc = create(&created, &env, &args);
    if (rc != JNI_OK) {
      std::fprintf(stderr, "JNI_CreateJavaVM failed: %d\n", static_cast<int>(rc));
      return nullptr;
    }
    return created;
  }();
  return vm;
}

// The calling thread's environment in the test VM (the thread must be attached).
inline JNIEnv* testEnv() {
  JavaVM* vm = testJvm();
  void* env = nullptr;
  if (vm == nullptr || vm->GetEnv(&env, JNI_VERSION_1_2) != JNI_OK) return nullptr;
  return static_cast<JNIEnv*>(env);
}

// The message of a throwable, or "" when it has none.
inline std::string messageOf(JNIEnv* env, jthrowable thrown) {
  jclass cls = env->GetObjectClass(thrown);
  jmethodID get_message = env->GetMethodID(cls, "getMessage", "()Ljava/lang/String;");
  auto message = static_cast<jstring>(env->CallObjectMethod(thrown, get_message));
  std::string out;
  if (env->ExceptionCheck()) {
    env->ExceptionClear();
  } else if (message != nullptr) {
    const char* utf = env->GetStringUTFChars(message, nullptr);
    out = utf;
    env->ReleaseStringUTFChars(message, utf);
  }
  return out;
}

// Takes and clears the pending exception; null when none is pending.
inline jthrowable takeException(JNIEnv* env) {
  jthrowable thrown = env->ExceptionOccurred();
  if (thrown != nullptr) env->ExceptionClear();
  return thrown;
}

// Calls a static method returning an object; null (exception cleared) on failure.
inline jobject callStatic(JNIEnv* env, const char* cls_name, const char* method, const char* signature,
                          jobject arg = nullptr) {
  jclass cls = env->FindClass(cls_name);
  if (cls == nullptr) {
    env->ExceptionClear();
    return nullptr;
  }
  jmethodID mid = env->GetStaticMethodID(cls, method, signature);
  if (mid == nullptr) {
    env->ExceptionClear();
    return nullptr;
  }
  jobject result = env->CallStaticObjectMethod(cls, mid, arg);
  if (env->ExceptionCheck()) {
    env->ExceptionClear();
    return nullptr;
  }
  return result;
}

}  // namespace vektest

#endif  // VEK_TEST_JVM_H
