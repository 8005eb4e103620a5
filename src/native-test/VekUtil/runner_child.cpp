// Helper child for the process runner and system information tests. The
// first argument names what it does:
//   write <out bytes> <err bytes> <burst>  the two stream patterns, in alternating bursts, then exit 0
//   grandchild <seconds>                   print "grandchild <pid>" and exit 0, leaving a grandchild
//                                          that holds both streams open for <seconds>
//   chatty <seconds>                       print "grandchild <pid>" and exit 0, leaving a grandchild
//                                          that writes a line to both streams every millisecond
//                                          for <seconds> (or until the streams are closed)
//   sleep <seconds>                        sleep, then exit 0
//   spin <seconds>                         burn CPU under the command name "busy child x"
//   touch <megabytes> <seconds>            touch that much memory, then sleep
//   signals                                print the blocked signals and some dispositions
//   report                                 print working directory, arguments, environment,
//                                          session, descriptors above 2 and standard input
//   exit <code>                            exit with that code
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runner_child_pattern.h"

namespace {

void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

int write_bursts(size_t out_bytes, size_t err_bytes, size_t burst) {
  std::string out = vektest::streamPattern('o', out_bytes);
  std::string err = vektest::streamPattern('e', err_bytes);
  size_t out_at = 0, err_at = 0;
  while (out_at < out.size() || err_at < err.size()) {
    size_t n = std::min(burst, out.size() - out_at);
    write_all(1, out.data() + out_at, n);
    out_at += n;
    n = std::min(burst, err.size() - err_at);
    write_all(2, err.data() + err_at, n);
    err_at += n;
  }
  return 0;  // at once: what is still in the pipes must not be lost
}

int leave_grandchild(int seconds) {
  pid_t pid = fork();
  if (pid == 0) {
    sleep(static_cast<unsigned>(seconds));
    _exit(0);
  }
  std::printf("grandchild %ld\n", static_cast<long>(pid));
  return 0;
}

int leave_chatty_grandchild(int seconds) {
  pid_t pid = fork();
  if (pid == 0) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (unsigned n = 1; std::chrono::steady_clock::now() < until; ++n) {
      char line[32];
      const int length = std::snprintf(line, sizeof line, "chatter %u\n", n);
      if (write(1, line, static_cast<size_t>(length)) < 0 || write(2, line, static_cast<size_t>(length)) < 0) break;
      usleep(1000);
    }
    _exit(0);
  }
  std::printf("grandchild %ld\n", static_cast<long>(pid));
  return 0;
}

int spin(int seconds) {
  prctl(PR_SET_NAME, "busy child x", 0, 0, 0);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  volatile unsigned long sink = 0;
  while (std::chrono::steady_clock::now() < until)
    for (int i = 0; i < 100000; ++i) sink = sink + static_cast<unsigned long>(i);
  return 0;
}

char* volatile touched_block = nullptr;

int touch(size_t megabytes, int seconds) {
  size_t size = megabytes << 20;
  auto* block = static_cast<char*>(std::malloc(size));
  if (block == nullptr) return 2;
  std::memset(block, 0x5a, size);
  touched_block = block;  // kept: the compiler may not drop the writes
  std::printf("touched\n");
  std::fflush(stdout);
  sleep(static_cast<unsigned>(seconds));
  std::free(block);
  return 0;
}

int print_signals() {
  sigset_t blocked;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  std::printf("mask:");
  for (int sig = 1; sig < 65; ++sig)
    if (sigismember(&blocked, sig) == 1) std::printf(" %d", sig);
  std::printf("\n");
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGUSR1, SIGTTOU}) {
    struct sigaction current;
    sigaction(sig, nullptr, &current);
    const char* kind = current.sa_handler == SIG_DFL ? "dfl" : current.sa_handler == SIG_IGN ? "ign" : "handler";
    std::printf("%d:%s\n", sig, kind);
  }
  return 0;
}

std::string open_descriptors_above_2() {
  std::string list;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return "(unreadable)";
  int own = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd > 2 && fd != own) list += " " + std::to_string(fd);
  }
  closedir(dir);
  return list;
}

int report(int argc, char** argv) {
  char cwd[4096] = {};
  std::printf("cwd %s\n", getcwd(cwd, sizeof cwd) != nullptr ? cwd : "(unknown)");
  std::printf("args");
  for (int i = 2; i < argc; ++i) std::printf(" %s", argv[i]);
  std::printf("\n");
  const char* probe = std::getenv("VEK_PROBE");
  std::printf("env %s\n", probe != nullptr ? probe : "(unset)");
  std::printf("path %s\n", std::getenv("PATH") != nullptr ? "set" : "(unset)");
  std::printf("session %s\n", getsid(0) == getpid() ? "own" : "inherited");
  std::string fds = open_descriptors_above_2();
  std::printf("fds %s\n", fds.empty() ? "-" : fds.c_str() + 1);
  char line[256] = {};
  ssize_t n = read(0, line, sizeof line - 1);
  std::string input = n < 0 ? "(closed)" : std::string(line, static_cast<size_t>(n));
  if (!input.empty() && input.back() == '\n') input.pop_back();
  std::printf("stdin %s\n", input.empty() ? "(empty)" : input.c_str());
  return 0;
}

int number(char** argv, int at) { return std::atoi(argv[at]); }

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc > 4)
    return write_bursts(static_cast<size_t>(number(argv, 2)), static_cast<size_t>(number(argv, 3)),
                        static_cast<size_t>(number(argv, 4)));
  if (mode == "grandchild" && argc > 2) return leave_grandchild(number(argv, 2));
  if (mode == "chatty" && argc > 2) return leave_chatty_grandchild(number(argv, 2));
  if (mode == "sleep" && argc > 2) {
    sleep(static_cast<unsigned>(number(argv, 2)));
    return 0;
  }
  if (mode == "spin" && argc > 2) return spin(number(argv, 2));
  if (mode == "touch" && argc > 3) return touch(static_cast<size_t>(number(argv, 2)), number(argv, 3));
  if (mode == "signals") return print_signals();
  if (mode == "report") return report(argc, argv);
  if (mode == "exit" && argc > 2) return number(argv, 2);
  std::fprintf(stderr, "runner_child: unknown mode '%s'\n", mode.c_str());
  return 100;
}
