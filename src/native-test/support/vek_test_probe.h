// Runs the launcher probe (vek_launcher_probe.cpp) as a real separate
// process with its standard input on a pipe and its standard output and
// error on another: wait for a line,
// send signals, end its input, and collect how it ended. Linux only.
#ifndef VEK_TEST_PROBE_H
#define VEK_TEST_PROBE_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vektest {

class Probe {
 public:
  // `before_exec` runs in the child just before the program starts (to
  // start it with SIGHUP ignored, in another namespace, ...).
  explicit Probe(const std::vector<std::string>& steps, const std::function<void()>& before_exec = {}) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(out[1], STDERR_FILENO);
      if (before_exec) before_exec();
      std::vector<char*> argv{const_cast<char*>(VEK_LAUNCHER_PROBE)};
      for (const std::string& step : steps) argv.push_back(const_cast<char*>(step.c_str()));
      argv.push_back(nullptr);
      execv(VEK_LAUNCHER_PROBE, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~Probe() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
    closeInput();
    if (output_ >= 0) close(output_);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_text_; }
  bool saw(const std::string& line) const { return output_text_.find(line + "\n") != std::string::npos; }

  // Reads until `line` was printed (true) or the time is up or the output ended.
  bool waitFor(const std::string& line, int timeout_ms = 20000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!saw(line)) {
      if (!readSome(deadline)) return false;
    }
    return true;
  }

  void signal(int signal_number) { kill(pid_, signal_number); }

  void closeInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }

  // True when the probe is still running `ms` milliseconds from now.
  bool aliveAfter(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (reap(WNOHANG)) return false;
      readSome(std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
    }
    return !reap(WNOHANG);
  }

  // Waits for the end and reads the rest of the output; false when the probe
  // is still running after `timeout_ms` (it is then killed).
  bool finish(int timeout_ms = 20000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (readSome(deadline)) {
    }
    while (!reap(WNOHANG)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      usleep(10000);
    }
    return true;
  }

  bool exited() const { return ended_ && WIFEXITED(status_); }
  int exitCode() const { return exited() ? WEXITSTATUS(status_) : -1; }
  int termSignal() const { return ended_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

 private:
  bool readSome(std::chrono::steady_clock::time_point deadline) {
    if (output_ < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    struct pollfd p = {output_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(output_, buffer, sizeof buffer);
    if (n <= 0) {
      close(output_);
      output_ = -1;
      return false;
    }
    output_text_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  bool reap(int flags) {
    if (ended_) return true;
    if (waitpid(pid_, &status_, flags) == pid_) ended_ = true;
    return ended_;
  }

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int status_ = 0;
  bool ended_ = false;
  std::string output_text_;
};

}  // namespace vektest

#endif  // VEK_TEST_PROBE_H
