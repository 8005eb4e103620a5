// Lifecycle notifications. The registry is process-wide and its last stage
// runs at exit, so every case runs in a fresh process: this test program
// re-runs itself with one scenario selected through the environment, and the
// scenario prints one line per event for the parent to check.
#include "vek_lifecycle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "vek_logging.h"

namespace {

constexpr const char* kScenarioVariable = "VEK_LIFECYCLE_SCENARIO";
const std::string kFatalLine = "You must change your code to call vek_lifecycleInit()";

// ---- scenario side: runs in the re-executed process ----------------------

const char* role = "main";  // which process of a scenario printed a line

const char* stage_name(VEK_LIFECYCLE_STAGE stage) {
  switch (stage) {
    case VEK_VM_AVAILABLE: return "VM_AVAILABLE";
    case VEK_VM_UNAVAILABLE: return "VM_UNAVAILABLE";
    case VEK_CHILD_AFTER_FORK: return "CHILD_AFTER_FORK";
    case VEK_SHUTDOWN: return "SHUTDOWN";
  }
  return "?";
}

void print_line(const std::string& line) {
  fputs(line.c_str(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void handler_a(VEK_LIFECYCLE_STAGE stage, JavaVM*) {
  print_line(std::string("EVENT ") + role + " a " + stage_name(stage));
}

void handler_b(VEK_LIFECYCLE_STAGE stage, JavaVM*) {
  print_line(std::string("EVENT ") + role + " b " + stage_name(stage));
}

void print_logger(vek_log_event_t* event) { print_line(std::string("LOG ") + event->text); }

// Lazy initialisation by the first registration, a duplicate registration,
// and an exit while a VM is marked available.
void scenario_lazy_init() {
  vek_setLogLevel(VEKLOG_DEBUG);  // the FATAL line reaches standard error before any logger exists
  vek_addLifecycleNotification(handler_a);
  vek_lifecycleInit();
  vek_addLogger(print_logger);
  vek_addLifecycleNotification(handler_b);
  vek_addLifecycleNotification(handler_a);
  vek_lifecycleVMAvailable(nullptr);
  exit(0);
}

// Explicit initialisation twice, a removed handler, SetDaemonized(false) in a
// process that never forked.
void scenario_explicit_init() {
  vek_setLogLevel(VEKLOG_DEBUG);
  vek_lifecycleInit();
  vek_addLogger(print_logger);
  vek_addLifecycleNotification(handler_a);
  vek_addLifecycleNotification(handler_b);
  vek_lifecycleInit();
  vek_removeLifecycleNotification(handler_b);
  vek_lifecycleSetDaemonized(false);
  vek_lifecycleVMAvailable(nullptr);
  vek_lifecycleVMUnavailable();
  exit(0);
}

#ifndef _WIN32
// Forks a child that announces itself as one, optionally calls
// vek_lifecycleSetDaemonized(daemonized), and exits normally.
void fork_and_exit_child(const char* child_role, bool call_daemonized, bool daemonized) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    role = child_role;
    vek_lifecycleChildAfterFork();
    if (call_daemonized) vek_lifecycleSetDaemonized(daemonized);
    exit(0);
  }
  waitpid(pid, nullptr, 0);
}

void scenario_fork() {
  vek_lifecycleInit();
  vek_addLifecycleNotification(handler_a);
  fork_and_exit_child("child", false, false);
  fork_and_exit_child("notdaemon", true, false);
  fork_and_exit_child("daemon", true, true);
  exit(0);
}
#endif

struct Scenario {
  const char* name;
  void (*run)();
};

const Scenario kScenarios[] = {
    {"lazy_init", scenario_lazy_init},
    {"explicit_init", scenario_explicit_init},
#ifndef _WIN32
    {"fork", scenario_fork},
#endif
};

// Only run when re-executed by run_scenario below.
TEST(LifecycleScenario, DISABLED_Run) {
  const char* selected = getenv(kScenarioVariable);
  ASSERT_NE(selected, nullptr);
  for (const auto& scenario : kScenarios) {
    if (std::string(selected) == scenario.name) scenario.run();
  }
  FAIL() << "unknown scenario " << selected;
}

// ---- parent side ----------------------------------------------------------

std::string own_executable() {
#ifdef _WIN32
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
#else
  char path[4096] = {};
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
#endif
}

void set_scenario(const char* name) {
#ifdef _WIN32
  _putenv_s(kScenarioVariable, name);
#else
  if (name[0] != '\0')
    setenv(kScenarioVariable, name, 1);
  else
    unsetenv(kScenarioVariable);
#endif
}

// Everything the scenario wrote to standard output and standard error, one
// entry per line.
std::vector<std::string> run_scenario(const char* name) {
  set_scenario(name);
  std::string command =
      "\"" + own_executable() + "\" --gtest_also_run_disabled_tests --gtest_filter=LifecycleScenario.DISABLED_Run 2>&1";
#ifdef _WIN32
  command = "\"" + command + "\"";  // cmd.exe strips one outer pair of quotes
  FILE* output = _popen(command.c_str(), "r");
#else
  FILE* output = popen(command.c_str(), "r");
#endif
  std::string text;
  if (output != nullptr) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), output)) > 0) text.append(buffer, n);
#ifdef _WIN32
    _pclose(output);
#else
    pclose(output);
#endif
  }
  set_scenario("");
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> events_of(const std::vector<std::string>& lines) {
  std::vector<std::string> events;
  for (const auto& line : lines)
    if (line.rfind("EVENT ", 0) == 0) events.push_back(line.substr(6));
  return events;
}

size_t count_containing(const std::vector<std::string>& lines, const std::string& fragment) {
  return static_cast<size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& line) { return line.find(fragment) != std::string::npos; }));
}

// Index of the first line containing `fragment`, or lines.size().
size_t index_of(const std::vector<std::string>& lines, const std::string& fragment) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(fragment) != std::string::npos) return i;
  return lines.size();
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

TEST(Lifecycle, LazyInitialisationWarnsOnceAndRegistersAfterTheModules) {
  auto lines = run_scenario("lazy_init");
  SCOPED_TRACE(joined(lines));
  EXPECT_EQ(count_containing(lines, kFatalLine), 1u);
  const std::vector<std::string> expected = {
      "main a VM_AVAILABLE",   "main b VM_AVAILABLE",    // the duplicate of a is held once
      "main a VM_UNAVAILABLE", "main b VM_UNAVAILABLE",  // raised at exit before the shutdown
      "main a SHUTDOWN",       "main b SHUTDOWN",
  };
  EXPECT_EQ(events_of(lines), expected);
  size_t shutdown_announced = index_of(lines, "LOG Calling all registered lifecycle methods for VEK_SHUTDOWN");
  EXPECT_LT(shutdown_announced, index_of(lines, "EVENT main a SHUTDOWN"));
  EXPECT_GT(shutdown_announced, index_of(lines, "EVENT main b VM_UNAVAILABLE"));
#ifndef _WIN32
  // The lazily registered handler comes after the modules' own: the process
  // control and messaging handlers have already run when it is called.
  EXPECT_LT(index_of(lines, "LOG Running cleanup routines after exit() called"),
            index_of(lines, "EVENT main a SHUTDOWN"));
  EXPECT_LT(index_of(lines, "LOG Cleaning up any messaging sockets."), index_of(lines, "EVENT main a SHUTDOWN"));
#endif
}

TEST(Lifecycle, SecondInitialisationChangesNothing) {
  auto lines = run_scenario("explicit_init");
  SCOPED_TRACE(joined(lines));
  EXPECT_EQ(count_containing(lines, kFatalLine), 0u);
  // A re-run initialisation would have emptied the registry and lost a.
  const std::vector<std::string> expected = {"main a VM_AVAILABLE", "main a VM_UNAVAILABLE", "main a SHUTDOWN"};
  EXPECT_EQ(events_of(lines), expected);
}

#ifndef _WIN32
TEST(Lifecycle, ForkedChildGetsNoShutdownUnlessDaemonised) {
  auto lines = run_scenario("fork");
  SCOPED_TRACE(joined(lines));
  const std::vector<std::string> expected = {
      "child a VM_UNAVAILABLE",     "child a CHILD_AFTER_FORK",
      "notdaemon a VM_UNAVAILABLE", "notdaemon a CHILD_AFTER_FORK",
      "daemon a VM_UNAVAILABLE",    "daemon a CHILD_AFTER_FORK",
      "daemon a SHUTDOWN",          "main a SHUTDOWN",
  };
  EXPECT_EQ(events_of(lines), expected);
}
#endif

}  // namespace
