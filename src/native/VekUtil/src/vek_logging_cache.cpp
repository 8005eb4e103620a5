// The caching logger: deep copies of events kept until a real destination
// exists, then replayed to the registered loggers, into the Java VM, or
// (Linux) into a failed-startup log file in the installation.
#include "vek_logging_cache.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "vek_dso.h"
#include "vek_jvmutils.h"
#include "vek_list.h"
#include "vek_logging_hooks.h"
#include "vek_logging_vm.h"
#include "vek_mutex_guard.h"

#ifndef _WIN32
#include "vek_file.h"
#include "vek_logging_file.h"
#include "vek_logging_file_platform.h"
#endif

namespace {

constexpr size_t CACHE_GROWTH = 10;

vek_list_t* messages = nullptr;  // cached vek_log_event_t*, oldest first

// Loggers run concurrently on several threads, so appends are serialised;
// replays take the whole cache out under the lock and deliver without it.
// A library mutex, so that a forked child never inherits it locked.
vek_mutex_t* messages_mutex() {
  static vek_mutex_t* mutex = vek_createMutex("log message cache");
  return mutex;
}

// A cached copy: the event as loggers receive it, and the VM that its
// exception belongs to. The event comes first, so the cache's
// vek_log_event_t* is also the CachedEvent*.
struct CachedEvent {
  vek_log_event_t event;  // deep copy; except is a global reference (or null), env is null
  JavaVM* vm;             // the VM of event.except; null without one
};
static_assert(std::is_standard_layout_v<CachedEvent>, "a cached event must convert to and from its first member");

using get_created_vms_t = jint(JNICALL*)(JavaVM**, jsize, jsize*);

// This thread's environment in the process's VM, found without logging
// (this runs inside a delivery); null when there is none.
JNIEnv* quiet_thread_env() {
  int saved_errno = errno;
  auto get_created = reinterpret_cast<get_created_vms_t>(vek_dsoSymFunc(VEK_RTLD_DEFAULT, "JNI_GetCreatedJavaVMs"));
  errno = saved_errno;
  JavaVM* vm = nullptr;
  jsize count = 0;
  if (get_created == nullptr || get_created(&vm, 1, &count) != JNI_OK || count < 1 || vm == nullptr) return nullptr;
  void* env = nullptr;
  return vm->GetEnv(&env, requested_jni_version) == JNI_OK ? static_cast<JNIEnv*>(env) : nullptr;
}

// The event's exception as a global reference, which outlives the caller's
// local frame (a local one would be stale, or another object, by the time
// the cache is replayed); null when no environment is at hand to make one.
jthrowable keep_exception(const vek_log_event_t* event, JavaVM** vm) {
  if (event->except == nullptr) return nullptr;
  JNIEnv* env = event->env != nullptr ? event->env : quiet_thread_env();
  if (env == nullptr) return nullptr;
  // The caller may log with its exception pending ("throw, log, return"),
  // and JNI allows neither call below while one is.
  jthrowable callers = env->ExceptionOccurred();
  if (callers != nullptr) env->ExceptionClear();
  jthrowable global = nullptr;
  if (env->GetJavaVM(vm) == JNI_OK) global = static_cast<jthrowable>(env->NewGlobalRef(event->except));
  env->ExceptionClear();
  if (callers != nullptr) {
    env->Throw(callers);
    env->DeleteLocalRef(callers);
  }
  return global;
}

// Deletes a cached exception's global reference on whatever thread frees
// the event, attached for the moment when it has no environment.
void release_exception(CachedEvent* cached) {
  if (cached->event.except == nullptr || cached->vm == nullptr) return;
  void* env = nullptr;
  bool attached_here = false;
  if (cached->vm->GetEnv(&env, requested_jni_version) != JNI_OK) {
    attached_here = cached->vm->AttachCurrentThread(&env, nullptr) == JNI_OK;
    if (!attached_here) return;  // the VM is gone, and its references with it
  }
  static_cast<JNIEnv*>(env)->DeleteGlobalRef(cached->event.except);
  if (attached_here) cached->vm->DetachCurrentThread();
}

char* copy_text(const char* text, bool& ok) {
  if (text == nullptr) return nullptr;
  char* copy = strdup(text);
  if (copy == nullptr) ok = false;
  return copy;
}

void free_event(vek_log_event_t* event) {
  if (event == nullptr) return;
  auto* cached = reinterpret_cast<CachedEvent*>(event);
  release_exception(cached);
  free(const_cast<char*>(event->filename));
  free(const_cast<char*>(event->short_filename));
  free(const_cast<char*>(event->text));
  free(const_cast<char*>(event->timestamp_text));
  free(const_cast<char*>(event->source));
  free(cached);
}

vek_log_event_t* copy_event(const vek_log_event_t* event) {
  auto* cached = static_cast<CachedEvent*>(calloc(1, sizeof(CachedEvent)));
  if (cached == nullptr) return nullptr;
  vek_log_event_t* copy = &cached->event;
  bool ok = true;
  copy->level = event->level;
  copy->line = event->line;
  copy->timestamp = event->timestamp;
  copy->filename = copy_text(event->filename, ok);
  copy->short_filename = copy_text(event->short_filename, ok);
  copy->text = copy_text(event->text, ok);
  copy->timestamp_text = copy_text(event->timestamp_text, ok);
  copy->source = copy_text(event->source, ok);
  copy->env = nullptr;
  if (ok) copy->except = keep_exception(event, &cached->vm);
  if (ok) return copy;
  free_event(copy);
  return nullptr;
}

// Empties the cache into a vector, oldest first; the caller owns the events.
std::vector<vek_log_event_t*> take_cached_events() {
  std::vector<vek_log_event_t*> taken;
  VekMutexGuard guard(messages_mutex());
  if (messages == nullptr) messages = vek_listCreate(CACHE_GROWTH);
  if (messages == nullptr) return taken;
  size_t count = vek_listGetSize(messages);
  taken.reserve(count);
  for (size_t i = 0; i < count; ++i) taken.push_back(static_cast<vek_log_event_t*>(vek_listGet(messages, i)));
  vek_listRemoveAll(messages);
  return taken;
}

#ifndef _WIN32

size_t cached_count() {
  VekMutexGuard guard(messages_mutex());
  return messages != nullptr ? vek_listGetSize(messages) : 0;
}

constexpr const char* const LOG_DIRS[] = {"logs", "../../state/default/logs", "."};
constexpr const char FAILED_STARTUP_PREFIX[] = "failed-startup";
constexpr const char FAILED_STARTUP_PROBE[] = "failed-startup.log";

// The first of the installation's log directories where a new file can be
// created, else the temporary directory; "" when not even that is known.
// The probe never truncates or deletes a file it did not create.
std::string get_log_dir(const char* install_dir) {
  if (install_dir != nullptr) {
    for (const char* entry : LOG_DIRS) {
      std::string dir = std::string(install_dir) + "/" + entry;
      if (vek::logfile::can_create_file_in(dir.c_str(), FAILED_STARTUP_PROBE)) return dir;
    }
  }
  const char* temp = vek_getTempDir();
  return temp != nullptr ? temp : "";
}

std::string normalized_dir(const std::string& dir) {
  char buffer[VEK_PATH_MAX];
  return vek_normalizePath(dir.c_str(), buffer, sizeof buffer) ? std::string(buffer) : dir;
}

#endif  // !_WIN32

}  // namespace

extern "C" void vek_cachingLogger(vek_log_event_t* event) {
  if (event == nullptr) return;
  vek_log_event_t* copy = copy_event(event);
  if (copy == nullptr) {
    vek_internal_log_error(VEK_HERE, "Could not cache log message '%s:%d %s': out of memory", event->short_filename,
                           event->line, event->text);
    return;
  }
  VekMutexGuard guard(messages_mutex());
  if (messages == nullptr) messages = vek_listCreate(CACHE_GROWTH);
  if (messages == nullptr || !vek_listAdd(messages, copy)) {
    vek_internal_log_error(VEK_HERE, "Could not cache log message '%s:%d %s': out of memory", copy->short_filename,
                           copy->line, copy->text);
    free_event(copy);
  }
}

// Taking the cache out copies it: out of memory, the messages stay cached
// (nothing is taken) and the failsafe line says so, for no exception may
// reach a C caller.
extern "C" void vek_flushCachedLogMessages(void) try {
  vek_removeLogger(vek_cachingLogger);
  for (vek_log_event_t* event : take_cached_events()) {
    vek_log_to_all_loggers(event);
    free_event(event);
  }
} catch (...) {
  vek_internal_log_error(VEK_HERE, "Could not flush the cached log messages: out of memory");
}

extern "C" void vek_cleanCachedLogMessages(void) try {
  for (vek_log_event_t* event : take_cached_events()) free_event(event);
} catch (...) {
  vek_internal_log_error(VEK_HERE, "Could not clean the cached log messages: out of memory");
}

extern "C" void vek_pushCachedLogMessagesToVm(void) try {
  const std::vector<vek_log_event_t*> events = take_cached_events();  // before attaching: it may throw
  JavaVM* vm = vek_getCreatedJavaVM();
  JNIEnv* env = nullptr;
  bool attached_here = false;
  if (vm != nullptr) {
    env = vek_getEnvFromJVM(vm);
    if (env == nullptr) {
      attached_here = vek_attachThreadToJVM(vm, &env);
      if (!attached_here)
        vek_internal_log_error(VEK_HERE,
                               "Could not obtain current environment pointer from the Java VM. Cached log messages "
                               "will not be appended to the log file.");
    }
  }
  for (vek_log_event_t* event : events) {
    if (env != nullptr) {
      event->env = env;
      vek_javaVMLogger(event);
    }
    free_event(event);
  }
  if (attached_here) vek_detachThreadFromJVM(vm);
} catch (...) {
  vek_internal_log_error(VEK_HERE, "Could not push the cached log messages to the Java VM: out of memory");
}

#ifndef _WIN32
extern "C" void vek_pushCachedLogMessagesToFile(const char* install_dir) {
  size_t count = cached_count();
  if (count == 0) return;
  try {
    std::string dir = get_log_dir(install_dir);
    // Without a directory, or without a file in it, the cache stays for a
    // later flush or push instead of being thrown away.
    if (dir.empty()) {
      vek_internal_log_error(VEK_HERE, "No directory for the cached startup log messages; they are kept in memory");
      return;
    }
    dir = normalized_dir(dir);
    if (!veklog_file_configureLog(dir.c_str(), FAILED_STARTUP_PREFIX, 0, 1, 3)) return;
    veklog(VEK_HERE, VEKLOG_INFO, "Storing %d cached startup log messages into a log file in %s",
           static_cast<int>(count), dir.c_str());
    for (vek_log_event_t* event : take_cached_events()) {
      event->env = nullptr;
      vek_fileLogger(event);
      free_event(event);
    }
    vek_addLogger(vek_fileLogger);
  } catch (...) {
    vek_internal_log_error(VEK_HERE, "Could not store the cached startup log messages: out of memory");
  }
}
#endif

namespace {

// Once a VM is there, the lines cached before it go to it, and the cache
// stops collecting.
void hand_cache_to_vm() {
  if (vek_removeLogger(vek_cachingLogger)) vek_pushCachedLogMessagesToVm();
}

const vek::logging::HookRegistrar cache_hooks({.vm_available = hand_cache_to_vm});

}  // namespace
