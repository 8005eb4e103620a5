// The console logger: one line (or wrapped paragraph) per event on standard
// output, errors and worse on standard error. A stream that is the journal's
// (JOURNAL_STREAM names its device and inode) gets each line with its syslog
// priority in front and without the logger's timestamp: the journal keeps
// its own.
#include "vek_logging_console.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
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

// The journal's stream as JOURNAL_STREAM names it ("device:inode").
struct JournalStream {
  bool named = false;    // the variable is set and well formed
  uintmax_t device = 0;  // st_dev of the stream
  uintmax_t inode = 0;   // st_ino of the stream
};

// Reads the decimal number at `*text` and moves past it; false when none
// stands there or it does not fit. (No sscanf: the Windows build would carry
// a whole scanf for a variable only Linux sets.)
bool read_decimal(const char** text, uintmax_t* value) {
  const char* at = *text;
  uintmax_t result = 0;
  if (*at < '0' || *at > '9') return false;
  for (; *at >= '0' && *at <= '9'; ++at) {
    const auto digit = static_cast<uintmax_t>(*at - '0');
    if (result > (UINTMAX_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *text = at;
  *value = result;
  return true;
}

JournalStream journal_stream() {
  JournalStream named;
  const char* value = getenv("JOURNAL_STREAM");
  if (value == nullptr || !read_decimal(&value, &named.device) || *value != ':') return named;
  ++value;
  named.named = read_decimal(&value, &named.inode) && *value == '\0';
  return named;
}

// Asked at each line: a daemon redirects its streams after its first lines,
// and a program may set the variable late. The journal takes standard
// output and standard error from one stream each; only a line written to
// that stream gets the journal's form.
bool is_journal(FILE* stream) {
  const JournalStream journal = journal_stream();
  struct stat info;
  return journal.named && fstat(fileno(stream), &info) == 0 && static_cast<uintmax_t>(info.st_dev) == journal.device &&
         static_cast<uintmax_t>(info.st_ino) == journal.inode;
}

// The syslog priority of a level, as the journal reads it at a line's start.
const char* journal_priority(int level) {
  if (level >= VEKLOG_ERROR) return "<3>";
  if (level >= VEKLOG_WARN) return "<4>";
  if (level >= VEKLOG_INFO) return "<6>";
  return "<7>";
}

// Every line of `text` (a wrapped paragraph has several, each a journal
// entry of its own) gets the prefix.
std::string prefix_lines(const std::string& text, const char* prefix) {
  std::string prefixed;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    prefixed += prefix;
    prefixed.append(text, start, end - start);
    start = end;
  }
  return prefixed;
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

// The journal stamps each line itself: without a timestamp (nor the blank after it).
std::string format_line(const vek_log_event_t* event, bool journal) {
  const char* timestamp = event->timestamp_text != nullptr ? event->timestamp_text : "";
  return vek::logging::console_line(journal ? nullptr : timestamp, event->level, message_part(event)) + "\n";
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
  const bool journal = is_journal(stream);
  std::string text = format_line(event, journal);
  if (word_wrap_enabled.load(std::memory_order_relaxed)) text = wrap(text);
  if (text.empty() || text.back() != '\n') text += '\n';
  if (journal) text = prefix_lines(text, journal_priority(event->level));

  VekMutexGuard guard(mutex);
  fwrite(text.data(), 1, text.size(), stream);
  fflush(stream);
  if (event->except != nullptr && event->env != nullptr) print_java_stack_trace(event->env, event->except);
}

}  // namespace

std::string vek::logging::console_line(const char* timestamp, VEKLOG_LEVEL level, const std::string& message) {
  std::string level_text = veklog_getLevelText(level);
  if (level_text.size() < LEVEL_COLUMNS) level_text.resize(LEVEL_COLUMNS, ' ');
  std::string stamp = timestamp != nullptr ? std::string(timestamp) + " " : std::string();
  return stamp + level_text + " [native] " + message;
}

// Out of memory the line cannot be formatted: the failsafe logger carries
// the message instead.
extern "C" void vek_consoleLogger(vek_log_event_t* event) {
  if (event == nullptr || !console_log_enabled.load(std::memory_order_relaxed)) return;
  try {
    write_event(event);
  } catch (...) {
    vek_internal_log_error(VEK_HERE, "Could not write a log line to the console (%s): %s %s", strerror(ENOMEM),
                           veklog_getLevelText(event->level), event->text != nullptr ? event->text : "");
  }
}

extern "C" void veklog_console_setEnabled(bool enabled) {
  console_log_enabled.store(enabled, std::memory_order_relaxed);
}

extern "C" void veklog_console_setWordWrapping(bool enabled) {
  word_wrap_enabled.store(enabled, std::memory_order_relaxed);
}
