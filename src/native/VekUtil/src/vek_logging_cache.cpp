// The caching logger: deep copies of events kept until a real destination
// exists, then replayed to the registered loggers or into the Java VM.
#include "vek_logging_cache.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "vek_jvmutils.h"
#include "vek_list.h"
#include "vek_logging_vm.h"
#include "vek_mutex_guard.h"

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

char* copy_text(const char* text, bool& ok) {
  if (text == nullptr) return nullptr;
  char* copy = strdup(text);
  if (copy == nullptr) ok = false;
  return copy;
}

void free_event(vek_log_event_t* event) {
  if (event == nullptr) return;
  free(const_cast<char*>(event->filename));
  free(const_cast<char*>(event->short_filename));
  free(const_cast<char*>(event->text));
  free(const_cast<char*>(event->timestamp_text));
  free(const_cast<char*>(event->source));
  free(event);
}

vek_log_event_t* copy_event(const vek_log_event_t* event) {
  auto* copy = static_cast<vek_log_event_t*>(calloc(1, sizeof(vek_log_event_t)));
  if (copy == nullptr) return nullptr;
  bool ok = true;
  copy->level = event->level;
  copy->line = event->line;
  copy->timestamp = event->timestamp;
  copy->filename = copy_text(event->filename, ok);
  copy->short_filename = copy_text(event->short_filename, ok);
  copy->text = copy_text(event->text, ok);
  copy->timestamp_text = copy_text(event->timestamp_text, ok);
  copy->source = copy_text(event->source, ok);
  copy->except = event->except;
  copy->env = nullptr;
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

}  // namespace

extern "C" void vek_cachingLogger(vek_log_event_t* event) {
  if (event == nullptr) return;
  vek_log_event_t* copy = copy_event(event);
  if (copy == nullptr) {
    vek_internal_log_error(VEK_HERE, "Could not cache log message '%s:%d %s': out of memory",
                           event->short_filename, event->line, event->text);
    return;
  }
  VekMutexGuard guard(messages_mutex());
  if (messages == nullptr) messages = vek_listCreate(CACHE_GROWTH);
  if (messages == nullptr || !vek_listAdd(messages, copy)) {
    vek_internal_log_error(VEK_HERE, "Could not cache log message '%s:%d %s': out of memory",
                           copy->short_filename, copy->line, copy->text);
    free_event(copy);
  }
}

extern "C" void vek_flushCachedLogMessages(void) {
  vek_removeLogger(vek_cachingLogger);
  for (vek_log_event_t* event : take_cached_events()) {
    vek_log_to_all_loggers(event);
    free_event(event);
  }
}

extern "C" void vek_cleanCachedLogMessages(void) {
  for (vek_log_event_t* event : take_cached_events()) free_event(event);
}

extern "C" void vek_pushCachedLogMessagesToVm(void) {
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
  for (vek_log_event_t* event : take_cached_events()) {
    if (env != nullptr) {
      event->env = env;
      vek_javaVMLogger(event);
    }
    free_event(event);
  }
  if (attached_here) vek_detachThreadFromJVM(vm);
}
