// Logging core: threshold, the four log calls, dispatch of one event to every
// registered logger, the registry, the failsafe logger and the reaction to
// the process lifecycle (Java VM coming and going, shutdown). What the upper
// layers do at those stages reaches the core through vek_logging_hooks.h.
#include "vek_logging.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "vek_file.h"
#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_log_line.h"
#include "vek_logging_hooks.h"
#include "vek_logging_platform.h"
#include "vek_module_init.h"
#include "vek_mutex.h"
#include "vek_mutex_guard.h"
#include "vek_string_stuff.h"
#include "vek_threadlocal.h"

namespace {

constexpr size_t FIRST_MESSAGE_BUFFER = 100;
constexpr size_t LOGGER_LIST_GROWTH = 3;
constexpr size_t TIMESTAMP_BUFFER = 25;
constexpr size_t FAILSAFE_HEAD_BUFFER = 512;   // "(-- failsafe logger --) file:line "
constexpr size_t FAILSAFE_LINE_BUFFER = 2048;  // a whole failsafe line without the heap

// The threshold is read without a lock on every call; atomic only so that
// concurrent reads and writes are defined, with no ordering promised.
std::atomic<int> log_level{VEKLOG_INFO};
vek_list_t* logger_list = nullptr;        // registered loggers, in registration order
vek_mutex_t* LOGGER_LIST_LOCK = nullptr;  // guards logger_list
vek_mutex_t* JAVA_VM_LOCK = nullptr;      // guards java_vm
JavaVM* java_vm = nullptr;                // the VM announced by the lifecycle
// Marks, per thread, "inside a delivery"; created on the first delivery.
std::atomic<vek_threadlocal_key_t*> logging_lock{nullptr};

// Any non-null value marks "inside a delivery"; it is never freed.
char in_delivery_marker;

using unique_text = std::unique_ptr<char, decltype(&free)>;

void* logger_to_data(vek_logger_t logger) {
  logger_function_converter converter;
  converter.function = logger;
  return converter.data;
}

vek_logger_t data_to_logger(void* data) {
  logger_function_converter converter;
  converter.data = data;
  return converter.function;
}

JavaVM* registered_vm() {
  VekMutexGuard guard(JAVA_VM_LOCK);
  return java_vm;
}

void set_registered_vm(JavaVM* vm) {
  VekMutexGuard guard(JAVA_VM_LOCK);
  java_vm = vm;
}

bool threshold_allows_debug() { return log_level.load(std::memory_order_relaxed) <= VEKLOG_DEBUG; }

// Formats into a heap buffer grown until the whole text fits; null (after a
// failsafe line) when memory runs out. Each pass restarts from `args`.
char* msg_formatter(const char* format, va_list args) {
  size_t capacity = FIRST_MESSAGE_BUFFER;
  char* buffer = static_cast<char*>(malloc(capacity));
  if (buffer == nullptr) {
    vek_internal_log_error(VEK_HERE, "Could not allocate space for a log message buffer of %d bytes: %s",
                           static_cast<int>(capacity), strerror(errno));
    return nullptr;
  }
  for (;;) {
    va_list pass;
    va_copy(pass, args);
    int n = vsnprintf(buffer, capacity, format, pass);
    va_end(pass);
    size_t next = capacity;
    if (n < 0 || static_cast<size_t>(n) == capacity || static_cast<size_t>(n) + 1 == capacity) {
      next = capacity * 2;
    } else if (static_cast<size_t>(n) > capacity) {
      next = static_cast<size_t>(n) + 2;
    } else {
      return buffer;
    }
    char* grown = static_cast<char*>(realloc(buffer, next));
    if (grown == nullptr) {
      vek_internal_log_error(VEK_HERE, "Could not reallocate log buffer to %d bytes: %s", static_cast<int>(next),
                             strerror(errno));
      free(buffer);
      return nullptr;
    }
    buffer = grown;
    capacity = next;
  }
}

bool registry_is_empty() {
  VekMutexGuard guard(LOGGER_LIST_LOCK);
  return logger_list == nullptr || vek_listGetSize(logger_list) == 0;
}

// "YYYY-MM-DD hh:mm:ss.000" in local time; zeros when the conversion fails.
void format_timestamp(std::time_t when, char (&out)[TIMESTAMP_BUFFER]) {
  std::tm local = {};
  if (!vek::logging::local_time(when, &local)) local = std::tm{};
  // Formatted with room for any int so the compiler can prove no truncation;
  // real dates always fit the 23 characters.
  char wide[96];
  snprintf(wide, sizeof wide, "%04d-%02d-%02d %02d:%02d:%02d.000", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  size_t length = strnlen(wide, TIMESTAMP_BUFFER - 1);
  memcpy(out, wide, length);
  out[length] = '\0';
}

void dispatch_event(const char* file, int line, VEKLOG_LEVEL level, jthrowable except, const char* source,
                    const char* text) {
  unique_text short_name(vek_truncate_filename(file), &free);
  const char* shown = short_name ? short_name.get() : (file != nullptr ? file : "");
  if (registry_is_empty()) {
    if (threshold_allows_debug())
      vek_internal_log_error(VEK_HERE, "[DEBUG] No loggers registered. Message '%s:%d %s' not recorded", shown, line,
                             text);
    return;
  }
  if (text[0] == '\0') {
    if (threshold_allows_debug())
      vek_internal_log_error(VEK_HERE, "[DEBUG] empty log message from %s:%d ignored", shown, line);
    return;
  }
  char timestamp_text[TIMESTAMP_BUFFER] = {};
  std::time_t now = std::time(nullptr);
  format_timestamp(now, timestamp_text);  // on the stack: an event is logged without the heap where it can be
  vek_log_event_t event = {level, file != nullptr ? file : "", shown, line, text, now, timestamp_text, source, nullptr,
                           except};
  vek_log_to_all_loggers(&event);
}

void log_formatted(const char* file, int line, VEKLOG_LEVEL level, jthrowable except, const char* source,
                   const char* format, va_list args) {
  if (format == nullptr) format = "";
  char* text = msg_formatter(format, args);
  if (text == nullptr) return;
  dispatch_event(file, line, level, except, source, text);
  free(text);
}

// The thread-local marker key, created on the first delivery. A creation
// that failed (out of memory) is tried again by the next delivery instead of
// silencing logging for good; of two threads creating it at once, one wins.
vek_threadlocal_key_t* delivery_marker_key() {
  vek_threadlocal_key_t* key = logging_lock.load();
  if (key != nullptr) return key;
  vek_threadlocal_key_t* created = nullptr;
  if (!vek_createThreadLocalStorage(&created)) return nullptr;
  vek_setThreadLocalData(created, nullptr);
  if (logging_lock.compare_exchange_strong(key, created)) return created;
  vek_deleteThreadLocalStorage(created);
  return key;
}

std::vector<vek_logger_t> registered_loggers() {
  std::vector<vek_logger_t> copy;
  VekMutexGuard guard(LOGGER_LIST_LOCK);
  if (logger_list == nullptr) return copy;
  size_t count = vek_listGetSize(logger_list);
  copy.reserve(count);
  for (size_t i = 0; i < count; ++i) copy.push_back(data_to_logger(vek_listGet(logger_list, i)));
  return copy;
}

void report_not_logged(const vek_log_event_t* event) {
  vek_internal_log_error(
      VEK_HERE, "[ERROR] Problem detected during logging process. Message '%s:%d %s' not properly logged",
      event->filename != nullptr ? event->filename : "", event->line, event->text != nullptr ? event->text : "");
}

// A logger is a C function, but one written in C++ may throw: the event is
// then reported as not logged and the other loggers still get it.
void call_logger(vek_logger_t logger, vek_log_event_t* event) noexcept {
  try {
    logger(event);
  } catch (...) {
    report_not_logged(event);
  }
}

void deliver_to_each_logger(vek_log_event_t* event) noexcept {
  try {
    for (vek_logger_t logger : registered_loggers()) call_logger(logger, event);
  } catch (...) {
    report_not_logged(event);  // the copy of the registry could not be made
  }
}

// Gives the event this thread's Java environment while a VM is registered;
// returns true when the thread had to be attached for it.
bool attach_event_to_vm(vek_log_event_t* event) {
  event->env = nullptr;
  JavaVM* vm = registered_vm();
  // Without the VM support linked nothing can have started a VM.
  if (vm == nullptr || vek::logging::hooks.get_env == nullptr) return false;
  event->env = vek::logging::hooks.get_env(vm);
  if (event->env != nullptr) return false;
  JNIEnv* env = nullptr;
  if (!vek::logging::hooks.attach_thread(vm, &env)) {
    vek_internal_log_error(VEK_HERE, "Could not obtain current environment pointer from the Java VM");
    return false;
  }
  event->env = env;
  return true;
}

void lifecycle_change(VEK_LIFECYCLE_STAGE stage, JavaVM* vm) {
  switch (stage) {
    case VEK_VM_AVAILABLE:
      set_registered_vm(vm);
      if (vek::logging::hooks.vm_available != nullptr) vek::logging::hooks.vm_available();
      break;
    case VEK_VM_UNAVAILABLE:
      set_registered_vm(nullptr);
      if (vek::logging::hooks.vm_unavailable != nullptr) vek::logging::hooks.vm_unavailable();
      // Keep messages accepted silently instead of reported as unrecorded.
      if (vek_getNumLoggers() == 0) vek_addLogger(vek_discardLogger);
      break;
    case VEK_CHILD_AFTER_FORK: break;
    case VEK_SHUTDOWN:
      if (vek::logging::hooks.shutdown != nullptr) vek::logging::hooks.shutdown();
      break;
  }
}

// Appends "\n  " and each text to `out`.
void append_indented(std::string& out, const char* item) {
  out += "\n  ";
  out += item;
}

// vek_truncate_filename; throws when out of memory.
char* truncate_filename(const char* path) {
  std::string rest = path;
  for (const char* suffix : {".cpp", ".c", ".h", ".hpp"}) {
    size_t n = strlen(suffix);
    if (rest.size() >= n && rest.compare(rest.size() - n, n, suffix) == 0) {
      rest.erase(rest.size() - n);
      break;
    }
  }
  for (const char* marker : {"/native-test/", "/native/", "\\native-test\\", "\\native\\"}) {
    size_t at = rest.find(marker);
    if (at != std::string::npos) {
      rest.erase(0, at + strlen(marker));
      break;
    }
  }
  if (!rest.empty()) {
    std::vector<char> normalised(rest.size() * 2, '\0');
    if (vek_normalizePath(rest.c_str(), normalised.data(), normalised.size() - 1)) return strdup(normalised.data());
  }
  return strdup(rest.c_str());
}

}  // namespace

extern "C" void vek_setLogLevel(VEKLOG_LEVEL level) { log_level.store(level, std::memory_order_relaxed); }

extern "C" VEKLOG_LEVEL vek_getLogLevel(void) {
  return static_cast<VEKLOG_LEVEL>(log_level.load(std::memory_order_relaxed));
}

extern "C" const char* veklog_getLevelText(VEKLOG_LEVEL level) {
  switch (level) {
    case VEKLOG_DEBUG2: return "DEBUG2";
    case VEKLOG_DEBUG: return "DEBUG";
    case VEKLOG_VERBOSE: return "VERBOSE";
    case VEKLOG_INFO: return "INFO";
    case VEKLOG_WARN: return "WARN";
    case VEKLOG_ERROR: return "ERROR";
    case VEKLOG_FATAL: return "FATAL";
    default: return "UNKNOWN";
  }
}

// The four log calls differ only in the exception and the source tag.
#define VEK_LOG_BODY(except, source)                                \
  do {                                                              \
    if (level < log_level.load(std::memory_order_relaxed)) return;  \
    va_list args;                                                   \
    va_start(args, format);                                         \
    log_formatted(file, line, level, except, source, format, args); \
    va_end(args);                                                   \
  } while (0)

extern "C" void veklog(const char* file, int line, VEKLOG_LEVEL level, const char* format, ...) {
  VEK_LOG_BODY(nullptr, nullptr);
}

extern "C" void veklog_ex(const char* file, int line, VEKLOG_LEVEL level, jthrowable except, const char* format, ...) {
  VEK_LOG_BODY(except, nullptr);
}

extern "C" void veklog_src(const char* file, int line, VEKLOG_LEVEL level, const char* source, const char* format,
                           ...) {
  VEK_LOG_BODY(nullptr, source);
}

extern "C" void veklog_src_ex(const char* file, int line, VEKLOG_LEVEL level, jthrowable except, const char* source,
                              const char* format, ...) {
  VEK_LOG_BODY(except, source);
}

extern "C" bool vek_addLogger(vek_logger_t logger) {
  if (logger == nullptr) return false;
  VekMutexGuard guard(LOGGER_LIST_LOCK);
  return logger_list != nullptr && vek_listAdd(logger_list, logger_to_data(logger));
}

extern "C" bool vek_removeLogger(vek_logger_t logger) {
  if (logger == nullptr) return false;
  VekMutexGuard guard(LOGGER_LIST_LOCK);
  return logger_list != nullptr && vek_listRemove(logger_list, logger_to_data(logger));
}

extern "C" bool vek_isLoggerAdded(vek_logger_t logger) {
  if (logger == nullptr) return false;
  VekMutexGuard guard(LOGGER_LIST_LOCK);
  return logger_list != nullptr && vek_listFind(logger_list, logger_to_data(logger)) >= 0;
}

extern "C" size_t vek_getNumLoggers(void) {
  VekMutexGuard guard(LOGGER_LIST_LOCK);
  return logger_list != nullptr ? vek_listGetSize(logger_list) : 0;
}

extern "C" void vek_removeAllLoggers(void) {
  VekMutexGuard guard(LOGGER_LIST_LOCK);
  if (logger_list != nullptr) vek_listRemoveAll(logger_list);
}

extern "C" void vek_discardLogger(vek_log_event_t* event) { (void)event; }

extern "C" void vek_log_to_all_loggers(vek_log_event_t* event) {
  if (event == nullptr) return;
  vek_threadlocal_key_t* key = delivery_marker_key();
  // Without the key re-entrance could not be detected, and a logger that
  // logs would recurse without end: refuse rather than risk that.
  if (key == nullptr || vek_getThreadLocalData(key) != nullptr) {
    report_not_logged(event);
    return;
  }
  vek_setThreadLocalData(key, &in_delivery_marker);
  bool attached_here = attach_event_to_vm(event);
  deliver_to_each_logger(event);
  if (attached_here) {
    JavaVM* vm = registered_vm();
    if (vm != nullptr) vek::logging::hooks.detach_thread(vm);
  }
  vek_setThreadLocalData(key, nullptr);
}

// The failsafe logger must still speak when memory has run out, and it is
// what the message formatter calls when it cannot allocate: the line is built
// in a stack buffer, and on the heap only when it is longer (cut to the stack
// buffer when even that fails). One write per line, so that concurrent
// failsafe lines do not interleave.
extern "C" void vek_internal_log_error(const char* file, int line, const char* format, ...) {
  unique_text short_name(vek_truncate_filename(file), &free);
  char head[FAILSAFE_HEAD_BUFFER];
  int head_written = snprintf(head, sizeof head, "(-- failsafe logger --) %s:%d ",
                              short_name ? short_name.get() : (file != nullptr ? file : ""), line);
  size_t head_length = head_written < 0 ? 0 : std::min(static_cast<size_t>(head_written), sizeof head - 1);
  if (format == nullptr) format = "";
  char stack_line[FAILSAFE_LINE_BUFFER];
  memcpy(stack_line, head, head_length);
  size_t room = sizeof stack_line - head_length - 1;  // keeps one byte for the line end
  va_list args;
  va_start(args, format);
  va_list pass;
  va_copy(pass, args);
  int text_written = vsnprintf(stack_line + head_length, room, format, pass);
  va_end(pass);
  size_t text_length = text_written < 0 ? 0 : static_cast<size_t>(text_written);
  unique_text heap_line(nullptr, &free);
  if (text_length >= room) {
    heap_line.reset(static_cast<char*>(malloc(head_length + text_length + 2)));
    if (heap_line) {
      memcpy(heap_line.get(), head, head_length);
      vsnprintf(heap_line.get() + head_length, text_length + 1, format, args);
    } else {
      text_length = room - 1;
    }
  }
  va_end(args);
  char* out = heap_line ? heap_line.get() : stack_line;
  out[head_length + text_length] = '\n';
  fwrite(out, 1, head_length + text_length + 1, stderr);
  fflush(stderr);
}

extern "C" char* vek_truncate_filename(const char* path) {
  if (path == nullptr) return nullptr;
  try {
    return truncate_filename(path);
  } catch (...) {
    return nullptr;
  }
}

extern "C" void veklog_dumpCmdLineArgs(int argc, char** argv, VEKLOG_LEVEL level, const char* comment) {
  if (level < log_level.load(std::memory_order_relaxed)) return;
  const char* heading = comment != nullptr ? comment : "Command line options";
  try {
    std::string text;
    for (int i = 0; argv != nullptr && i < argc && argv[i] != nullptr; ++i) append_indented(text, argv[i]);
    if (text.empty()) return;
    veklog(VEK_HERE, level, "%s: %s", heading, text.c_str());
  } catch (...) {
    vek_internal_log_error(VEK_HERE, "Could not log the %s: %s", heading, strerror(ENOMEM));
  }
}

extern "C" void veklog_dumpEnvironment(VEKLOG_LEVEL level, const char* comment) {
  if (level < log_level.load(std::memory_order_relaxed)) return;
  const char* heading = comment != nullptr ? comment : "Current process environment";
  try {
    std::string text;
    char** entries = vek::logging::environment();
    for (size_t i = 0; entries != nullptr && entries[i] != nullptr; ++i) append_indented(text, entries[i]);
    veklog(VEK_HERE, level, "%s:%s", heading, text.c_str());
  } catch (...) {
    vek_internal_log_error(VEK_HERE, "Could not log the %s: %s", heading, strerror(ENOMEM));
  }
}

extern "C" void vek_initialize_logging(void) {
  if (LOGGER_LIST_LOCK == nullptr) LOGGER_LIST_LOCK = vek_createMutex("logger list");
  if (JAVA_VM_LOCK == nullptr) JAVA_VM_LOCK = vek_createMutex("java vm");
  vek_list_t* list = vek_listCreate(LOGGER_LIST_GROWTH);
  {
    VekMutexGuard guard(LOGGER_LIST_LOCK);
    if (logger_list == nullptr) {
      logger_list = list;
      list = nullptr;
    }
  }
  if (list != nullptr) vek_listDestroy(list);
  if (vek::logging::hooks.initialise != nullptr) vek::logging::hooks.initialise();
  vek_addLifecycleNotification(lifecycle_change);
}

constinit vek::logging::Hooks vek::logging::hooks = {};

std::string vek::logging::timestamp(std::time_t when) {
  char text[TIMESTAMP_BUFFER] = {};
  format_timestamp(when, text);
  return text;
}

vek::logging::HookRegistrar::HookRegistrar(const Hooks& fill) noexcept {
  if (fill.get_env != nullptr) hooks.get_env = fill.get_env;
  if (fill.attach_thread != nullptr) hooks.attach_thread = fill.attach_thread;
  if (fill.detach_thread != nullptr) hooks.detach_thread = fill.detach_thread;
  if (fill.vm_available != nullptr) hooks.vm_available = fill.vm_available;
  if (fill.vm_unavailable != nullptr) hooks.vm_unavailable = fill.vm_unavailable;
  if (fill.initialise != nullptr) hooks.initialise = fill.initialise;
  if (fill.shutdown != nullptr) hooks.shutdown = fill.shutdown;
}

namespace {
const vek::ModuleInitialiser logging_start(vek::ModuleRank::logging, vek_initialize_logging);
}  // namespace
