// The console logger: one line (or wrapped paragraph) per event on standard
// output, errors and worse on standard error.
#include "vek_logging_console.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "vek_log_line.h"
#include "vek_mutex.h"
#include "vek_mutex_guard.h"
#include "vek_string_stuff.h"

namespace {

constexpr int WRAP_COLUMNS = 80;
constexpr size_t LEVEL_COLUMNS = 5;

std::atomic<bool> console_log_enabled{true};
std::atomic<bool> word_wrap_enabled{true};

std::atomic<vek_mutex_t*> console_mutex{nullptr};  // "console logger": keeps lines whole

// Created on the first event; a creation that failed is tried again by the
// next one, and of two first events on different threads one mutex wins.
vek_mutex_t* write_mutex() {
  vek_mutex_t* mutex = console_mutex.load();
  if (mutex != nullptr) return mutex;
  vek_mutex_t* created = vek_createMutex("console logger");
  if (created == nullptr) return nullptr;
  if (console_mutex.compare_exchange_strong(mutex, created)) return created;
  vek_destroyMutex(created);
  return mutex;
}

std::string message_part(const vek_log_event_t* event) {
  std::string part;
  if (event->source != nullptr) {
    part = "{";
    part += event->source;
    part += "} ";
  }
  part += event->text != nullptr ? event->text : "";
  return part;
}

std::string format_line(const vek_log_event_t* event) {
  return vek::logging::console_line(event->timestamp_text, event->level, message_part(event)) + "\n";
}

std::string wrap(const std::string& line) {
  std::unique_ptr<char, decltype(&free)> wrapped(vek_stringLineWrap(line.c_str(), "  ", WRAP_COLUMNS), &free);
  return wrapped ? std::string(wrapped.get()) : line;
}

// Lets the Java VM print the event's exception; called with write_mutex held
// so that the trace stays next to its line. A caller that threw and then
// logs keeps its exception: it is set aside for the printing (JNI allows
// almost no call while one is pending) and thrown again afterwards.
void print_java_stack_trace(JNIEnv* env, jthrowable except) {
  jthrowable callers = env->ExceptionOccurred();
  env->ExceptionClear();
  if (env->PushLocalFrame(2) == JNI_OK) {
    jclass cls = env->GetObjectClass(except);
    jmethodID print = cls != nullptr ? env->GetMethodID(cls, "printStackTrace", "()V") : nullptr;
    if (cls != nullptr && print != nullptr) env->CallVoidMethod(except, print);
    // Whatever the lookup or the printing raised must not stay pending for
    // the loggers that run after this one.
    env->ExceptionClear();
    env->PopLocalFrame(nullptr);
  } else {
    env->ExceptionClear();
  }
  if (callers != nullptr) {
    env->Throw(callers);
    env->DeleteLocalRef(callers);
  }
}

void write_event(vek_log_event_t* event) {
  vek_mutex_t* mutex = write_mutex();
  FILE* stream = event->level >= VEKLOG_ERROR ? stderr : stdout;
  std::string text = format_line(event);
  if (word_wrap_enabled.load(std::memory_order_relaxed)) text = wrap(text);
  if (text.empty() || text.back() != '\n') text += '\n';

  VekMutexGuard guard(mutex);
  fwrite(text.data(), 1, text.size(), stream);
  fflush(stream);
  if (event->except != nullptr && event->env != nullptr) print_java_stack_trace(event->env, event->except);
}

}  // namespace

std::string vek::logging::console_line(const char* timestamp, VEKLOG_LEVEL level, const std::string& message) {
  std::string level_text = veklog_getLevelText(level);
  if (level_text.size() < LEVEL_COLUMNS) level_text.resize(LEVEL_COLUMNS, ' ');
  return std::string(timestamp != nullptr ? timestamp : "") + " " + level_text + " [native] " + message;
}

// Out of memory the line cannot be formatted: the failsafe logger carries
// the message instead.
extern "C" void vek_consoleLogger(vek_log_event_t* event) {
  if (event == nullptr || !console_log_enabled.load(std::memory_order_relaxed)) return;
  try {
    write_event(event);
  } catch (...) {
    vek_internal_log_error(VEK_HERE, "Could not write a log line to the console (%s): %s %s",
                           strerror(ENOMEM), veklog_getLevelText(event->level),
                           event->text != nullptr ? event->text : "");
  }
}

extern "C" void veklog_console_setEnabled(bool enabled) {
  console_log_enabled.store(enabled, std::memory_order_relaxed);
}

extern "C" void veklog_console_setWordWrapping(bool enabled) {
  word_wrap_enabled.store(enabled, std::memory_order_relaxed);
}
