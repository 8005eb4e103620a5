// Runs a program of the build as a child process (Linux): arguments,
// environment changes, standard output and error captured together, exit
// status, and a deadline after which the child is killed.
#ifndef VEK_TEST_RUN_H
#define VEK_TEST_RUN_H

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vektest {

struct RunResult {
  int status = -1;     // exit status, or -1 when killed by a signal or the deadline
  std::string output;  // standard output and standard error, interleaved
  int count(const std::string& text) const {
    int n = 0;
    for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + text.size())) ++n;
    return n;
  }
  bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
};

// An environment change: the value, or std::nullopt to remove the variable.
using EnvChange = std::pair<std::string, std::optional<std::string>>;

// This process's environment ("NAME=value" texts) with `changes` applied.
inline std::vector<std::string> environmentWith(const std::vector<EnvChange>& changes) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool changed = false;
    for (const auto& change : changes) changed = changed || entry.rfind(change.first + "=", 0) == 0;
    if (!changed) environment.push_back(entry);
  }
  for (const auto& [name, value] : changes)
    if (value) environment.push_back(name + "=" + *value);
  return environment;
}

// The NULL-terminated pointer array execve takes; the texts stay `texts`'.
inline std::vector<char*> execArray(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const auto& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

inline RunResult runProgram(const std::vector<std::string>& argv, const std::vector<EnvChange>& env = {},
                            std::chrono::seconds deadline = std::chrono::seconds(180)) {
  RunResult result;
  // Everything the child needs is built here: between fork and exec a
  // process with other threads (a VM's) may only make system calls.
  const std::vector<std::string> environment = environmentWith(env);
  std::vector<char*> args = execArray(argv), envp = execArray(environment);
  int fds[2];
  if (argv.empty() || pipe(fds) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  auto end = std::chrono::steady_clock::now() + deadline;
  bool killed = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace vektest

#endif  // VEK_TEST_RUN_H
