// Allocation failure made real. This program replaces malloc, calloc,
// realloc and the global operator new and delete (which C++ containers use)
// with versions that fail on demand, on the calling thread only. Each row
// runs in a child process, sweeping the point of failure: allocation number
// n fails, for n = 0, 1, 2, ... until a run meets no failure, once with
// every later allocation failing too (memory exhausted) and once with only
// that one failing. Each run must end in the row's success or failure
// result: an exception crossing the C interface ends the child through
// std::terminate, which the row reports. On the logging path a message that
// is not delivered must leave a failsafe line on standard error.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "vek_file.h"
#include "vek_getopt.h"
#include "vek_home.h"
#include "vek_jvmutils.h"
#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_logging.h"
#include "vek_logging_cache.h"
#include "vek_logging_console.h"
#include "vek_message.h"
#include "vek_process.h"
#include "vek_sighandler.h"
#include "vek_string_stuff.h"
#include "vek_sysinfo.h"
#include "vek_test_support.h"

// ---- The failing allocator ------------------------------------------------------

namespace {

using malloc_t = void* (*)(size_t);
using calloc_t = void* (*)(size_t, size_t);
using realloc_t = void* (*)(void*, size_t);
using free_t = void (*)(void*);

// The allocator behind this program's replacements: the C library's, or a
// sanitizer's when one is linked in.
malloc_t real_malloc = nullptr;
calloc_t real_calloc = nullptr;
realloc_t real_realloc = nullptr;
free_t real_free = nullptr;

thread_local long allowed = -1;          // allocations that still succeed; -1: no failures
thread_local bool keep_failing = false;  // after the first failure, every later one fails too
thread_local long injected = 0;          // failures injected since arming
thread_local int paused = 0;             // the test's own work in between

bool fail_now() {
  if (paused > 0 || allowed < 0) return false;
  if (allowed > 0) {
    --allowed;
    return false;
  }
  ++injected;
  if (!keep_failing) allowed = -1;
  return true;
}

void resolve() {
  real_malloc = reinterpret_cast<malloc_t>(dlsym(RTLD_NEXT, "malloc"));
  real_calloc = reinterpret_cast<calloc_t>(dlsym(RTLD_NEXT, "calloc"));
  real_realloc = reinterpret_cast<realloc_t>(dlsym(RTLD_NEXT, "realloc"));
  real_free = reinterpret_cast<free_t>(dlsym(RTLD_NEXT, "free"));
}

// Makes allocation number `after` (counted from now on this thread) fail.
void arm(long after, bool exhausted) {
  injected = 0;
  keep_failing = exhausted;
  allowed = after;
}

long disarm() {
  allowed = -1;
  return injected;
}

// Lets the test allocate while the failures are armed.
struct Paused {
  Paused() { ++paused; }
  ~Paused() { --paused; }
};

}  // namespace

extern "C" void* malloc(size_t size) {
  if (real_malloc == nullptr) resolve();
  if (fail_now()) {
    errno = ENOMEM;
    return nullptr;
  }
  return real_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) {
  // dlsym may itself ask for zeroed memory while resolving: the first few
  // bytes come from a static arena that is never freed.
  static char arena[256];
  static bool resolving = false;
  if (real_calloc == nullptr) {
    if (resolving) return count * size <= sizeof arena ? arena : nullptr;
    resolving = true;
    resolve();
    resolving = false;
  }
  if (fail_now()) {
    errno = ENOMEM;
    return nullptr;
  }
  return real_calloc(count, size);
}

extern "C" void* realloc(void* pointer, size_t size) {
  if (real_realloc == nullptr) resolve();
  if (fail_now()) {
    errno = ENOMEM;
    return nullptr;
  }
  return real_realloc(pointer, size);
}

void* operator new(size_t size) {
  void* p = malloc(size != 0 ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size != 0 ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size != 0 ? size : 1); }
// Through the resolved pointer: the compiler would take a direct free() of
// what operator new returned for a mismatch.
void release(void* p) noexcept {
  if (real_free == nullptr) resolve();
  real_free(p);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }

// ---- Sweeps -----------------------------------------------------------------------

namespace {

constexpr long MAX_SWEEP = 5000;  // more allocations than any row makes

struct Row {
  const char* name;
  std::function<void()> act;           // the library calls, with failures armed
  std::function<std::string()> judge;  // the outcome, with allocation allowed again
  std::string success;                 // the outcome with memory to spare
  std::string failure;                 // the documented failure result
  std::function<void()> prepare = {};  // once per child, before the sweep
};

int report_fd = -1;   // the child's end of the pipe to the test
long current_n = -1;  // the sweep point, for the terminate handler

void report(const std::string& text) { (void)!write(report_fd, text.data(), text.size()); }

[[noreturn]] void terminated() {
  char text[96];
  int n = snprintf(text, sizeof text, "terminated at n=%ld (an exception crossed the C interface)\n", current_n);
  (void)!write(report_fd, text, static_cast<size_t>(n));
  _exit(3);
}

// Runs in the child: every sweep point must give the success or the failure
// outcome, and the last one (no failure met) the success outcome.
void sweep(const Row& row, bool exhausted) {
  std::set_terminate(terminated);
  // The failure lines of the calls swept are expected; logging rows capture
  // standard error themselves.
  int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDERR_FILENO);
  close(null_fd);
  if (row.prepare) row.prepare();
  for (long n = 0; n < MAX_SWEEP; ++n) {
    current_n = n;
    arm(n, exhausted);
    [&]() noexcept { row.act(); }();
    long failures = disarm();
    Paused p;
    std::string outcome = row.judge();
    if (outcome != row.success && outcome != row.failure)
      report("n=" + std::to_string(n) + ": unexpected outcome '" + outcome + "'\n");
    if (failures == 0) {
      if (outcome != row.success) report("without failures: '" + outcome + "'\n");
      return;
    }
  }
  report("no run without failures\n");
}

// The child's report; empty when every sweep point gave an expected outcome.
std::string run_row(const Row& row, bool exhausted) {
  int status = 0;
  std::string text = vektest::inChildWriting(
      [&](int fd) {
        report_fd = fd;
        sweep(row, exhausted);
      },
      &status);
  if (!WIFEXITED(status)) text += "child ended by signal " + std::to_string(WTERMSIG(status)) + "\n";
  return text;
}

void run_rows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    for (bool exhausted : {true, false}) {
      SCOPED_TRACE(std::string(row.name) + (exhausted ? ", memory exhausted" : ", one allocation failing"));
      EXPECT_EQ(run_row(row, exhausted), "");
    }
  }
}

// What a logging row delivered: the recording logger's text, the new output
// of the console (standard output) and of the failsafe logger (standard
// error), both sent to files in the child.
struct LogCapture {
  std::string recorded;
  std::string out_file;
  std::string err_file;
  size_t out_seen = 0;
  size_t err_seen = 0;
};
LogCapture capture;

void record(vek_log_event_t* event) {
  Paused p;
  capture.recorded = event->text;
}

void redirect(int fd, const std::string& file) {
  int target = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  dup2(target, fd);
  close(target);
}

std::string new_text(const std::string& file, size_t& seen) {
  std::string all = vektest::readFile(file);
  std::string fresh = all.substr(std::min(seen, all.size()));
  seen = all.size();
  return fresh;
}

// "delivered" when `fragment` reached the logger (or the console), "failsafe"
// when it did not but a failsafe line appeared, "lost" otherwise.
std::string delivery(const std::string& fragment) {
  std::string out = new_text(capture.out_file, capture.out_seen);
  std::string err = new_text(capture.err_file, capture.err_seen);
  bool delivered = capture.recorded.find(fragment) != std::string::npos || out.find(fragment) != std::string::npos;
  capture.recorded.clear();
  if (delivered) return "delivered";
  return err.find("(-- failsafe logger --)") != std::string::npos ? "failsafe" : "lost";
}

class AllocationFailureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vek_lifecycleInit(); }

  // Prepares a logging child: loggers registered, streams to files.
  std::function<void()> loggingChild(vek_logger_t logger) {
    return [this, logger] {
      capture.out_file = dir_.file("out");
      capture.err_file = dir_.file("err");
      redirect(1, capture.out_file);
      redirect(2, capture.err_file);
      vek_removeAllLoggers();
      vek_addLogger(logger);
      veklog_console_setWordWrapping(false);
    };
  }

  vektest::TempDir dir_;
};

TEST_F(AllocationFailureTest, LoggingDeliversTheMessageOrLeavesAFailsafeLine) {
  const std::string long_text(300, 'L');     // beyond the first message buffer: it has to grow
  const std::string longer_text(3000, 'x');  // beyond the failsafe logger's stack buffer
  static char arg0[] = "program";
  static char arg1[] = "--option-seen-in-the-log";
  static char* argv[] = {arg0, arg1, nullptr};
  setenv("VEK_ALLOC_PROBE", "environment-seen-in-the-log", 1);
  std::vector<Row> rows = {
      {"veklog to a recording logger", [] { veklog(VEK_HERE, VEKLOG_ERROR, "short %d", 42); },
       [] { return delivery("short 42"); }, "delivered", "failsafe", loggingChild(record)},
      {"veklog of a long message", [&] { veklog(VEK_HERE, VEKLOG_ERROR, "%s", long_text.c_str()); },
       [&] { return delivery(long_text); }, "delivered", "failsafe", loggingChild(record)},
      {"veklog to the console logger", [] { veklog(VEK_HERE, VEKLOG_INFO, "console %s", "line"); },
       [] { return delivery("INFO  [native] console line"); }, "delivered", "failsafe",
       loggingChild(vek_consoleLogger)},
      {"the command line", [] { veklog_dumpCmdLineArgs(2, argv, VEKLOG_ERROR, nullptr); },
       [] { return delivery("--option-seen-in-the-log"); }, "delivered", "failsafe", loggingChild(record)},
      {"the environment", [] { veklog_dumpEnvironment(VEKLOG_ERROR, nullptr); },
       [] { return delivery("environment-seen-in-the-log"); }, "delivered", "failsafe", loggingChild(record)},
      // The failsafe logger itself: a line longer than its stack buffer is
      // written whole, or cut, but always written.
      {"a long failsafe line", [&] { vek_internal_log_error(VEK_HERE, "%s", longer_text.c_str()); },
       [&] {
         std::string err = new_text(capture.err_file, capture.err_seen);
         if (err.find("(-- failsafe logger --)") == std::string::npos || err.back() != '\n')
           return std::string("missing");
         return std::string(err.find(longer_text + "\n") != std::string::npos ? "whole" : "cut");
       },
       "whole", "cut", loggingChild(record)},
  };
  run_rows(rows);
}

TEST_F(AllocationFailureTest, CallsReturnTheirResultOrTheirFailureResult) {
  const std::string text = "one two three four five six seven eight nine ten eleven twelve";
  char* out = nullptr;
  bool flag = false;
  vek_list_t* list = nullptr;
  auto text_or_null = [&] {
    std::string r = out != nullptr ? out : "NULL";
    free(out);
    out = nullptr;
    return r;
  };
  static const vek_option options[] = {
      {"all", VEK_NO_ARGUMENT, nullptr, 'a'}, {"base", VEK_REQUIRED_ARGUMENT, nullptr, 'b'}, {nullptr, 0, nullptr, 0}};
  const std::string dir = dir_.str();
  std::vector<Row> rows = {
      {"vek_truncate_filename", [&] { out = vek_truncate_filename("/w/src/native/VekUtil/src/vek_list.cpp"); },
       text_or_null, "VekUtil/src/vek_list", "NULL"},
      {"vek_stringLineWrap", [&] { out = vek_stringLineWrap(text.c_str(), "  ", 20); }, text_or_null,
       "one two three four\n  five six seven\n  eight nine ten\n  eleven twelve", "NULL"},
      {"vek_joinStringList",
       [&] {
         static const char* comma[] = {",", nullptr};
         vek_list_t* parts = vek_stringTokenizeEx("x,y,z", comma, true);
         out = parts != nullptr ? vek_joinStringList(parts, "+") : nullptr;
         if (parts != nullptr) {
           vek_listDeleteAll(parts);
           vek_listDestroy(parts);
         }
       },
       text_or_null, "x+y+z", "NULL"},
      {"vek_getDirName", [&] { out = vek_getDirName("/a/b/c"); }, text_or_null, "/a/b", "NULL"},
      {"vek_normalizePath",
       [&] {
         static char buffer[64];
         buffer[0] = '\0';
         flag = vek_normalizePath("/a/./b/../c", buffer, sizeof buffer);
         out = flag ? strdup(buffer) : nullptr;  // a failed copy shows as a failure too
       },
       text_or_null, "/a/c", "NULL"},
      {"vek_getDirectoryContents", [&] { list = vek_getDirectoryContents("/"); },
       [&] {
         std::string r = list != nullptr ? "list" : "NULL";
         if (list != nullptr) {
           vek_listDeleteAll(list);
           vek_listDestroy(list);
         }
         list = nullptr;
         return r;
       },
       "list", "NULL"},
      {"vek_getopt_getShortOptions", [&] { out = vek_getopt_getShortOptions(options); }, text_or_null, ":ab:", "NULL"},
      {"vek_recordLauncherStartup", [&] { flag = vek_recordLauncherStartup("swept", dir.c_str()); },
       [&] { return std::string(flag ? "true" : "false"); }, "true", "false", [] { vek_getHostname(); }},
      {"vek_isLauncherRunning of another host's launcher",
       [&] { flag = vek_isLauncherRunning("swept", dir.c_str(), true); },
       [&] { return std::string(flag ? "true" : "false"); }, "true", "false",
       [&] { vektest::writeFile(dir + "/.swept-elsewhere.pid", "1"); }},
      {"vek_findExe", [&] { out = vek_findExe(const_cast<char*>("sh")); }, text_or_null, "/bin/sh", "NULL",
       [] { setenv("PATH", "/nonexistent:/bin", 1); }},
      {"vek_getExecutablePath",
       [&] {
         const char* found = vek_getExecutablePath("sh");
         out = found != nullptr ? strdup(found) : nullptr;
       },
       text_or_null, std::filesystem::canonical("/bin/sh").string(), "NULL",
       [] { setenv("PATH", "/nonexistent:/bin", 1); }},
      {"vek_getTempDir",
       [&] {
         const char* temp = vek_getTempDir();
         out = temp != nullptr ? strdup(temp) : nullptr;
       },
       text_or_null, dir, "NULL", [&] { setenv("TMPDIR", dir.c_str(), 1); }},
      {"vek_installSignalBlock", [] { vek_installSignalBlock(); },
       [] { return std::string(vek_isSignalBlockInstalled() ? "installed" : "not installed"); }, "installed",
       "not installed"},
  };
  run_rows(rows);
}

// A processor that answers every request OK, for a launcher that is this
// very process (its requests come back to it through its own server).
vek_message_t* answer_ok(vek_message_t*, bool already_handled) {
  if (already_handled) return nullptr;
  Paused p;  // the server's connection threads are not swept
  vek_message_t* reply = vek_createEmptyMessage();
  reply->type = VEK_MESSAGE_OK;
  vek_setMessageTextPayload(reply, "done");
  return reply;
}

// The launcher requests, the VM library search, the VM option log and the
// log cache build texts and lists in C++: running out of memory there must
// end in the failure result, not in an exception through the C interface.
TEST_F(AllocationFailureTest, LauncherRequestsVmSearchAndLogCacheReturnTheirFailureResult) {
  const std::string dir = dir_.str();
  auto as_text = [](bool result) { return std::string(result ? "true" : "false"); };
  bool flag = false;
  // A launcher of "swept" that is this process, serving its socket file. The
  // fallbacks' SIGQUIT and SIGTERM to itself are ignored.
  auto launcher = [dir] {
    signal(SIGQUIT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    vek_getHostname();
    // The C library sets up its user database on first use and dereferences
    // a failed allocation there: that first use is made with memory to spare.
    getpwuid(getuid());
    vek_addMessageProcessor(answer_ok);
    char* socket_path = vek_getMessagePath("swept", dir.c_str());
    if (!vek_recordLauncherStartup("swept", dir.c_str()) || vek_startMessageServer(socket_path) < 0) _exit(4);
    free(socket_path);
  };
  const std::string java_home = dir + "/jh";
  auto fake_runtime = [java_home] {
    std::filesystem::create_directories(java_home + "/lib/server");
    vektest::writeFile(java_home + "/lib/server/libjvm.so", "");
    setenv("JAVA_HOME", java_home.c_str(), 1);
    vek_setFallbackToEnvJavaHome(true);
  };
  // Cached messages to take out, made before each sweep point's failures.
  auto cache_messages = [] {
    Paused p;
    vek_addLogger(vek_cachingLogger);  // a flush removes it
    for (int i = 0; i < 3; ++i) veklog(VEK_HERE, VEKLOG_ERROR, "cached %d", i);
  };
  auto use_cache = [] {
    vek_removeAllLoggers();
    vek_addLogger(vek_cachingLogger);
  };
  auto done = [] { return std::string("done"); };
  std::vector<Row> rows = {
      {"vek_sendLauncherSupportBundleRequest",
       [&] { flag = vek_sendLauncherSupportBundleRequest("swept", "swept", dir.c_str()); },
       [&] { return as_text(flag); }, "true", "false", launcher},
      {"vek_sendLauncherThreadDumpRequest",
       [&] { flag = vek_sendLauncherThreadDumpRequest("swept", "swept", dir.c_str()); }, [&] { return as_text(flag); },
       "true", "false", launcher},
      {"vek_stopNamedLauncher", [&] { flag = vek_stopNamedLauncher("swept", "swept", dir.c_str(), false); },
       [&] { return as_text(flag); }, "true", "false", launcher},
      {"vek_getJVMLibrary",
       [&] {
         char library[4096];
         flag = vek_getJVMLibrary(library, sizeof library, "/nonexistent", VEK_PREFER_SERVER_VM);
       },
       [&] { return as_text(flag); }, "true", "false", fake_runtime},
      {"vek_logJavaVMOptions",
       [] {
         vek_list_t* options = nullptr;
         {
           Paused p;
           options = vek_listCreate(2);
           vek_addJavaVMOption(options, "-Xmx64m", nullptr);
           vek_addJavaVMOption(options, "-Dswept=yes", nullptr);
         }
         vek_logJavaVMOptions(options, VEKLOG_ERROR);
         Paused p;
         vek_listDeleteAll(options);
         vek_listDestroy(options);
       },
       done, "done", "done"},
      {"vek_cleanCachedLogMessages",
       [&] {
         cache_messages();
         vek_cleanCachedLogMessages();
       },
       done, "done", "done", use_cache},
      {"vek_flushCachedLogMessages",
       [&] {
         cache_messages();
         vek_flushCachedLogMessages();
       },
       done, "done", "done", use_cache},
  };
  run_rows(rows);
}

}  // namespace
