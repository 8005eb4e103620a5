// A small launcher for the process-control and signal suites: a real
// separate process that initialises the library as a product launcher does
// and then runs the steps named on its command line, in order, reporting on
// standard output (one line per event, written unbuffered). Steps:
//   console                       register the console logger
//   file-log:DIR | log:TEXT       configure and register the file logger | log TEXT at INFO
//   handler:SIG | ignore:SIG      earlier disposition: a handler that prints "handler N" | SIG_IGN
//   siginfo-default:SIG           earlier disposition: SIG_DFL with the SA_SIGINFO flag
//   block                         vek_installSignalBlock
//   ended                         until a routine's non-zero answer has ended the handling (5 s at most)
//   routine:R[:MS]                exit routine printing "routine N", then waiting MS ms, and returning R
//   discard:SIG | keep:SIG        vek_setSignalDiscarded true | false
//   thread                        start a thread that only sleeps (it inherits the block)
//   fork-report                   fork a child that reports its mask and dispositions
//   record:APP:DIR                vek_recordLauncherStartup, prints "record true|false <errno>"
//   running:APP:DIR:any|local     vek_isLauncherRunning, prints "running true|false"
//   threaddump:APP:DIR | stop:APP:DIR
//                                 the launcher request to APP (itself, say), prints "threaddump|stop true|false"
//   fork-exit | fork-record:APP:DIR
//                                 fork a child that, without announcing the fork, ends with exit() at once |
//                                 after vek_recordLauncherStartup (it prints "child record ...")
//   open-fds                      open descriptors 3, 4, 9 and 40 on /dev/null where they are free
//   daemon:NAME:DIR               vek_daemonizeProcess; the caller prints "daemon R" and exits
//   report:FILE                   write the process's facts (ids, directory, descriptors, mask) to FILE
//   shutdown-log:FILE             also append "shutdown PID" to FILE at the shutdown stage
//   slow-unlink                   every unlink() from now on waits 300 ms first, to widen a race window
//   ready | say:TEXT | wait (until standard input ends) | sleep:MS
// At the shutdown stage it prints "shutdown PID".
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_logging_console.h"
#include "vek_logging_file.h"
#include "vek_process.h"
#include "vek_sighandler.h"

namespace {

int routine_result = 0;
int routine_delay_ms = 0;
std::string shutdown_log;
bool slow_unlink = false;

void say(const std::string& line) {
  std::string text = line + "\n";
  (void)!write(STDOUT_FILENO, text.data(), text.size());
}

// Async-signal-safe: the earlier handler may run in signal context.
void print_handler(int signal_number) {
  char text[] = "handler 00\n";
  text[8] = static_cast<char>('0' + signal_number / 10);
  text[9] = static_cast<char>('0' + signal_number % 10);
  (void)!write(STDOUT_FILENO, text, sizeof text - 1);
}

int exit_routine(int signal_number) {
  // The answer is decided on entry: a routine registered meanwhile must not
  // change it.
  const int result = routine_result;
  const int delay_ms = routine_delay_ms;
  say("routine " + std::to_string(signal_number));
  usleep(static_cast<useconds_t>(delay_ms) * 1000);
  return result;
}

void on_lifecycle(VEK_LIFECYCLE_STAGE stage, JavaVM*) {
  if (stage != VEK_SHUTDOWN) return;
  std::string line = "shutdown " + std::to_string(getpid());
  say(line);
  if (shutdown_log.empty()) return;
  std::ofstream(shutdown_log, std::ios::app) << line << "\n";
}

int signal_number(const std::string& name) {
  if (name == "INT") return SIGINT;
  if (name == "TERM") return SIGTERM;
  if (name == "QUIT") return SIGQUIT;
  if (name == "HUP") return SIGHUP;
  if (name == "TTOU") return SIGTTOU;
  return atoi(name.c_str());
}

std::vector<std::string> fields(const std::string& step) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t colon; (colon = step.find(':', start)) != std::string::npos; start = colon + 1)
    parts.push_back(step.substr(start, colon - start));
  parts.push_back(step.substr(start));
  return parts;
}

const char* disposition(int signal_number) {
  struct sigaction current = {};
  sigaction(signal_number, nullptr, &current);
  if (current.sa_handler == SIG_DFL) return "default";
  if (current.sa_handler == SIG_IGN) return "ignored";
  return "handler";
}

std::string blocked_signals() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  std::string names;
  for (int s = 1; s < 32; ++s)
    if (sigismember(&mask, s) == 1) names += (names.empty() ? "" : ",") + std::to_string(s);
  return names.empty() ? "none" : names;
}

void fork_report() {
  pid_t child = fork();
  if (child == 0) {
    vek_lifecycleChildAfterFork();
    say("child mask " + blocked_signals());
    for (const char* name : {"INT", "TERM", "QUIT", "HUP", "TTOU"})
      say(std::string("child ") + name + " " + disposition(signal_number(name)));
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

void say_recorded(const std::string& who, bool recorded, int error) {
  say(who + "record " + (recorded ? "true" : std::string("false ") + strerrorname_np(error)));
}

// The child of a launcher that knows nothing of the library's fork
// handling: it ends through exit(), so exit processing runs in it.
void fork_and_exit(const std::vector<std::string>& f) {
  pid_t child = fork();
  if (child == 0) {
    if (f[0] == "fork-record") {
      bool recorded = vek_recordLauncherStartup(f[1].c_str(), f[2].c_str());
      say_recorded("child ", recorded, errno);
    }
    exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

void* sleeper(void*) {
  for (;;) pause();
  return nullptr;
}

void write_report(const std::string& file) {
  std::string text = "pid " + std::to_string(getpid()) + "\nsid " + std::to_string(getsid(0)) + "\npgid " +
                     std::to_string(getpgrp()) + "\ncwd " + std::filesystem::current_path().string() + "\nblock " +
                     (vek_isSignalBlockInstalled() ? "yes" : "no") + "\nmask " + blocked_signals() + "\n";
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target.string() != "/proc/" + std::to_string(getpid()) + "/fd")
      text += "fd " + entry.path().filename().string() + " " + target.string() + "\n";
  }
  std::string temporary = file + ".tmp";
  std::ofstream(temporary) << text;
  std::filesystem::rename(temporary, file);
}

void wait_for_end_of_input() {
  char buffer[64];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
}

void run(const std::string& step) {
  std::vector<std::string> f = fields(step);
  const std::string& what = f[0];
  if (what == "console") {
    vek_addLogger(vek_consoleLogger);
  } else if (what == "file-log") {
    say(std::string("file-log ") + (veklog_file_configureLog(f[1].c_str(), "probe", 0, 3, 3) ? "true" : "false"));
    vek_addLogger(vek_fileLogger);
  } else if (what == "log") {
    veklog(VEK_HERE, VEKLOG_INFO, "%s", f[1].c_str());
  } else if (what == "handler") {
    struct sigaction action = {};
    action.sa_handler = print_handler;
    sigaction(signal_number(f[1]), &action, nullptr);
  } else if (what == "ignore") {
    signal(signal_number(f[1]), SIG_IGN);
  } else if (what == "siginfo-default") {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    action.sa_flags = SA_SIGINFO;
    sigaction(signal_number(f[1]), &action, nullptr);
  } else if (what == "block") {
    vek_installSignalBlock();
  } else if (what == "ended") {
    // The routine prints before it returns: only the block's own state
    // tells that the signal thread has acted on its answer.
    for (int i = 0; i < 500 && vek_isSignalBlockInstalled(); ++i) usleep(10000);
  } else if (what == "routine") {
    routine_result = atoi(f[1].c_str());
    routine_delay_ms = f.size() > 2 ? atoi(f[2].c_str()) : 0;
    say(std::string("register ") + std::to_string(vek_registerSignalHandlers(exit_routine)));
  } else if (what == "discard" || what == "keep") {
    say(std::string("discard ") + (vek_setSignalDiscarded(signal_number(f[1]), what == "discard") ? "true" : "false"));
  } else if (what == "thread") {
    pthread_t thread;
    pthread_create(&thread, nullptr, sleeper, nullptr);
  } else if (what == "fork-report") {
    fork_report();
  } else if (what == "record") {
    bool recorded = vek_recordLauncherStartup(f[1].c_str(), f[2].c_str());
    say_recorded("", recorded, errno);
  } else if (what == "running") {
    say(std::string("running ") +
        (vek_isLauncherRunning(f[1].c_str(), f[2].c_str(), f[3] == "any") ? "true" : "false"));
  } else if (what == "threaddump") {
    say(std::string("threaddump ") +
        (vek_sendLauncherThreadDumpRequest(f[1].c_str(), f[1].c_str(), f[2].c_str()) ? "true" : "false"));
  } else if (what == "stop") {
    bool stopped = vek_stopNamedLauncher(f[1].c_str(), f[1].c_str(), f[2].c_str(), false);
    say(std::string("stop ") + (stopped ? "true" : "false"));
  } else if (what == "fork-exit" || what == "fork-record") {
    fork_and_exit(f);
  } else if (what == "open-fds") {
    int null_fd = open("/dev/null", O_RDONLY);
    for (int fd : {3, 4, 9, 40})
      if (fd != null_fd && fcntl(fd, F_GETFD) < 0) dup2(null_fd, fd);
  } else if (what == "daemon") {
    int result = vek_daemonizeProcess(f[1].c_str(), f[2].c_str());
    if (result != 1) {
      say("daemon " + std::to_string(result));
      exit(result == -1 ? 0 : 3);
    }
  } else if (what == "report") {
    write_report(f[1]);
  } else if (what == "shutdown-log") {
    shutdown_log = f[1];
  } else if (what == "slow-unlink") {
    slow_unlink = true;
  } else if (what == "ready") {
    say("ready");
  } else if (what == "say") {
    say(f[1]);
  } else if (what == "wait") {
    wait_for_end_of_input();
  } else if (what == "sleep") {
    usleep(static_cast<useconds_t>(atoi(f[1].c_str())) * 1000);
  } else {
    say("unknown step " + step);
    exit(99);
  }
}

}  // namespace

// Replaces the C library's unlink for this program (the library is linked
// into it statically).
extern "C" int unlink(const char* path) {
  if (slow_unlink) usleep(300000);
  return unlinkat(AT_FDCWD, path, 0);
}

int main(int argc, char** argv) {
  vek_lifecycleInit();
  vek_addLifecycleNotification(on_lifecycle);
  for (int i = 1; i < argc; ++i) run(argv[i]);
  return 0;
}
