// The Java VM logger: each event goes to LogCategory.logRaw in the hosted VM.
// It runs inside a log delivery, so its own faults go to the failsafe logger;
// on a fault it hands over to the console logger for the rest of the process.
#include "vek_logging_vm.h"

#include <mutex>

#include "vek_jvmutils.h"
#include "vek_logging_console.h"
#include "vek_logging_hooks.h"

namespace {

constexpr jint LOCAL_FRAME_CAPACITY = 32;

const char* const LOG_CATEGORY_CLASS = "com/nimbo/common/log/LogCategory";
const char* const LOG_LEVEL_CLASS = "com/nimbo/common/log/LogLevel";

// Looked up once per process and never released. Written only under
// lookup_mutex; gLogCategory_logRaw is set last and marks the lookup done.
jclass gLogCategoryClass = nullptr;
jclass gLogLevelClass = nullptr;
jmethodID gLogLevel_valueOf = nullptr;
jmethodID gLogCategory_getInstanceMID = nullptr;
jmethodID gLogCategory_logRaw = nullptr;
std::mutex lookup_mutex;

// The Java side found by one thread's lookup, before it is published.
struct JavaSide {
  jclass category_class = nullptr;
  jclass level_class = nullptr;
  jmethodID value_of = nullptr;
  jmethodID get_instance = nullptr;
  jmethodID log_raw = nullptr;
};

void disable_vm_logging(const char* error_text) {
  vek_internal_log_error(
      VEK_HERE,
      "[FATAL] An unexpected native logging error occured which may cause undesired behavior. You may want to "
      "contact customer support if you see this error again: %s. Removing the the Java VM logger and replacing it "
      "with a console logger. All further log messages from native or JNI code will be written to the console and "
      "not to any log file. You are strongly advised to restart the Java VM as soon as possible to clear this "
      "error condition.",
      error_text);
  vek_removeLogger(vek_javaVMLogger);
  if (!vek_isLoggerAdded(vek_consoleLogger)) {
    vek_setLogLevel(VEKLOG_DEBUG);
    vek_addLogger(vek_consoleLogger);
  }
}

// Describes (and so clears) a pending Java exception and gives up on VM
// logging with `error_text`; false when nothing was pending.
bool failed_with_exception(JNIEnv* env, const char* error_text) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionDescribe();
  disable_vm_logging(error_text);
  return true;
}

// Finds `name` and makes a global reference to it; null after disabling VM
// logging with the matching text.
jclass global_class(JNIEnv* env, const char* name, const char* not_found_text, const char* global_ref_text) {
  jclass local = vek_findClass(env, nullptr, name);
  if (failed_with_exception(env, not_found_text)) return nullptr;
  if (local == nullptr) {
    disable_vm_logging(not_found_text);
    return nullptr;
  }
  auto global = static_cast<jclass>(env->NewGlobalRef(local));
  if (failed_with_exception(env, global_ref_text)) return nullptr;
  if (global == nullptr) disable_vm_logging(global_ref_text);
  return global;
}

// Looks up the Java side in the stated order; false after disabling.
bool look_up_java_side(JNIEnv* env, JavaSide& side) {
  side.category_class = global_class(env, LOG_CATEGORY_CLASS, "Could not find class com/nimbo/common/log/LogCategory",
                                     "Could not create new global reference for LogCategory class");
  if (side.category_class == nullptr) return false;
  side.level_class = global_class(env, LOG_LEVEL_CLASS, "Could not find class com/nimbo/common/log/LogLevel",
                                  "Could not create new global reference for LogLevel class");
  if (side.level_class == nullptr) return false;
  struct MethodStep {
    jmethodID* out;
    jclass cls;
    bool is_static;
    const char* name;
    const char* signature;
    const char* error_text;
  };
  const MethodStep steps[] = {
      {&side.value_of, side.level_class, true, "valueOf", "(I)Lcom/nimbo/common/log/LogLevel;",
       "Could not find static method valueOf() in LogLevel"},
      {&side.get_instance, side.category_class, true, "getInstance",
       "(Ljava/lang/String;)Lcom/nimbo/common/log/LogCategory;",
       "Could not find static method getInstance() in LogCategory"},
      {&side.log_raw, side.category_class, false, "logRaw",
       "(Lcom/nimbo/common/log/LogLevel;Ljava/lang/String;Ljava/lang/Throwable;ZLjava/lang/String;)V",
       "Could not find method logRaw() in LogCategory class"},
  };
  for (const MethodStep& step : steps) {
    *step.out = step.is_static ? env->GetStaticMethodID(step.cls, step.name, step.signature)
                               : env->GetMethodID(step.cls, step.name, step.signature);
    if (failed_with_exception(env, step.error_text)) return false;
    if (*step.out == nullptr) {
      disable_vm_logging(step.error_text);
      return false;
    }
  }
  return true;
}

// Publishes this thread's lookup unless another thread was first, in which
// case this thread's global references are dropped again. No lock is held
// while calling into Java, so a lookup that logs cannot deadlock.
bool init_logging(JNIEnv* env) {
  {
    std::lock_guard<std::mutex> guard(lookup_mutex);
    if (gLogCategory_logRaw != nullptr) return true;
  }
  JavaSide side;
  bool found = look_up_java_side(env, side);
  std::lock_guard<std::mutex> guard(lookup_mutex);
  if (found && gLogCategory_logRaw == nullptr) {
    gLogCategoryClass = side.category_class;
    gLogLevelClass = side.level_class;
    gLogLevel_valueOf = side.value_of;
    gLogCategory_getInstanceMID = side.get_instance;
    gLogCategory_logRaw = side.log_raw;
    return true;
  }
  if (side.category_class != nullptr) env->DeleteGlobalRef(side.category_class);
  if (side.level_class != nullptr) env->DeleteGlobalRef(side.level_class);
  return found;
}

// The category for the event's source file as a global reference the
// caller deletes; null when the call must end (disabled or silently).
jobject get_category_from_filename(JNIEnv* env, const char* short_filename) {
  jstring name = env->NewStringUTF(short_filename != nullptr ? short_filename : "");
  if (failed_with_exception(env, "Could not create a Java String for the source filename") || name == nullptr)
    return nullptr;
  jobject category = env->CallStaticObjectMethod(gLogCategoryClass, gLogCategory_getInstanceMID, name);
  if (failed_with_exception(env, "Could not get an instance of the LogCategory class for the source filename") ||
      category == nullptr)
    return nullptr;
  jobject global = env->NewGlobalRef(category);
  if (failed_with_exception(env, "Could not create a new global reference for the LogCategory instance"))
    return nullptr;
  return global;
}

// A Java string of `text`; null when the call must end.
jstring java_text(JNIEnv* env, const char* text, const char* exception_text, const char* null_format) {
  jstring result = env->NewStringUTF(text);
  if (failed_with_exception(env, exception_text)) return nullptr;
  if (result == nullptr) vek_internal_log_error(VEK_HERE, null_format, text);
  return result;
}

void send_event(JNIEnv* env, const vek_log_event_t* event) {
  jobject category = get_category_from_filename(env, event->short_filename);
  if (category == nullptr) return;
  // Each event takes its own global reference; releasing it here keeps a
  // long-running VM from filling its global reference table.
  struct CategoryRef {
    JNIEnv* env;
    jobject ref;
    ~CategoryRef() { env->DeleteGlobalRef(ref); }
  } category_ref{env, category};

  const char* text = event->text != nullptr ? event->text : "";
  jstring jtext = java_text(env, text, "Could not create a Java string to hold the log text",
                            "[ERROR] Could not convert native text '%s' into a Java string for logging");
  if (jtext == nullptr) return;
  jstring jsource = nullptr;
  if (event->source != nullptr) {
    jsource = java_text(env, event->source, "Could not create a Java string to hold the log source text",
                        "[ERROR] Could not convert native source '%s' into a Java string for logging");
    if (jsource == nullptr) return;
  }
  jobject level = env->CallStaticObjectMethod(gLogLevelClass, gLogLevel_valueOf, static_cast<jint>(event->level));
  if (failed_with_exception(env, "Failed when trying to send log text into the Java VM")) return;
  env->CallVoidMethod(category, gLogCategory_logRaw, level, jtext, event->except, JNI_FALSE, jsource);
  failed_with_exception(env, "Failed when trying to send log text into the Java VM");
}

}  // namespace

// Native code that throws and then logs ("throw, log, return") hands over
// with its exception pending. It is no failure of this logger: it is set
// aside for the delivery (JNI allows almost no call while one is pending)
// and thrown again before returning, so the caller's Java code still sees it.
extern "C" void vek_javaVMLogger(vek_log_event_t* event) {
  if (event == nullptr || event->env == nullptr) return;
  JNIEnv* env = event->env;
  jthrowable callers = env->ExceptionOccurred();
  if (callers != nullptr) env->ExceptionClear();
  if (env->PushLocalFrame(LOCAL_FRAME_CAPACITY) == JNI_OK) {
    if (init_logging(env)) send_event(env, event);
    env->PopLocalFrame(nullptr);
  } else {
    env->ExceptionClear();  // the push's own OutOfMemoryError
    vek_internal_log_error(VEK_HERE,
                           "[ERROR] No local references left to send a log message into the Java VM. Message "
                           "'%s:%d %s' dropped",
                           event->short_filename != nullptr ? event->short_filename : "", event->line,
                           event->text != nullptr ? event->text : "");
  }
  // Made before the frame was pushed, so still valid after it was popped.
  if (callers == nullptr) return;
  env->Throw(callers);
  env->DeleteLocalRef(callers);  // the pending exception holds its own
}

namespace {

void forget_gone_vm() { vek_removeLogger(vek_javaVMLogger); }

const vek::logging::HookRegistrar vm_logger_hooks({.vm_unavailable = forget_gone_vm});

}  // namespace
