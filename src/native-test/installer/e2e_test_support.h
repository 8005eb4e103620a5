// Helpers of the tests that run a built installer as a process: the target
// under test (native, 32-bit Linux, or Windows under Wine) named by the
// environment, a fixture that packs installers with the packaging tool, runs
// one with a chosen environment and reads what its configuration program
// received. The programs using it run on the build machine:
//   E2E_TARGET      native, linux-x86 or windows-x64
//   E2E_INSTALLER   the target's built installer
//   E2E_MKINSTALLER the host's packaging tool
//   E2E_PROBE       (Windows) configuration program that records what it got
//   E2E_WINE        (Windows) the Wine loader
// Each test works in a fresh directory. On Linux the installer's temporary
// directory is pointed into it; Wine keeps its own, which the log names.
#ifndef E2E_TEST_SUPPORT_H
#define E2E_TEST_SUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "payload_test_support.h"
#include "vek_test_support.h"

#ifndef E2E_DEFAULT_TARGET
#define E2E_DEFAULT_TARGET ""
#define E2E_DEFAULT_INSTALLER ""
#define E2E_DEFAULT_MKINSTALLER ""
#endif

namespace e2etest {

namespace fs = std::filesystem;

struct Target {
  std::string kind;
  std::string installer;
  std::string mkinstaller;
  std::string probe;
  std::string wine;
  bool windows() const { return kind == "windows-x64"; }
};

inline const Target& target() {
  static Target t = [] {
    auto env = [](const char* name, const char* fallback = "") {
      const char* v = getenv(name);
      return std::string(v ? v : fallback);
    };
    return Target{env("E2E_TARGET", E2E_DEFAULT_TARGET), env("E2E_INSTALLER", E2E_DEFAULT_INSTALLER),
                  env("E2E_MKINSTALLER", E2E_DEFAULT_MKINSTALLER), env("E2E_PROBE"), env("E2E_WINE")};
  }();
  return t;
}

// Shell configuration program of the Linux payloads: records its arguments,
// two environment settings and the signals it ignores (NUL-separated), can
// wait for a go-ahead, kill itself or exit with a chosen code.
const char* const PROBE_SCRIPT = R"SH(#!/bin/sh
if [ -n "$E2E_RECORD" ]; then
  { for a in "$@"; do printf '%s\0' "$a"; done
    printf -- '--env--\0'
    printf 'NIMBO_DISABLE_WATCHDOG=%s\0' "${NIMBO_DISABLE_WATCHDOG-unset}"
    printf 'NIMBO_DEBUG=%s\0' "${NIMBO_DEBUG-unset}"
    printf 'SIGIGN=%s\0' "$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status)"; } > "$E2E_RECORD"
fi
if [ -n "$E2E_WAIT" ]; then
  : > "$E2E_WAIT.started"
  while [ ! -e "$E2E_WAIT.go" ]; do sleep 0.05; done
fi
if [ -n "$E2E_KILL" ]; then kill -9 $$; fi
exit ${E2E_EXIT:-0}
)SH";

struct Outcome {
  int exit_code = -1;  // 0-255, or -1 when it did not exit normally
  int signal = 0;      // the signal that ended it
  std::string output;  // standard output and error together
};

// Collapses every run of white space to one blank, so that texts compare
// across the console logger's line wrapping.
inline std::string squeeze(const std::string& text) {
  std::string out;
  for (char c : text) {
    bool blank = c == ' ' || c == '\n' || c == '\t' || c == '\r';
    if (blank && !out.empty() && out.back() == ' ') continue;
    out += blank ? ' ' : c;
  }
  return out;
}

inline bool logged(const Outcome& run, const std::string& text) {
  return squeeze(run.output).find(squeeze(text)) != std::string::npos;
}

// The fixture of every end-to-end suite; see the top of this file.
class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (target().installer.empty() || !fs::exists(target().installer))
      GTEST_SKIP() << "E2E_INSTALLER names no built installer";
    ASSERT_TRUE(fs::exists(target().mkinstaller)) << "packaging tool missing: " << target().mkinstaller;
    temp_ = dir_.file("tmp");
    fs::create_directories(temp_);
    record_ = dir_.file("record");
  }

  bool windows() const { return target().windows(); }
  int failure_code() const { return 255; }  // -1 as an exit status on both systems

  // A product tree whose configuration program records what it receives.
  std::string make_product(const std::string& name = "product") {
    std::string root = dir_.file(name);
    fs::create_directories(root + "/bin");
    if (windows()) {
      fs::copy_file(target().probe, root + "/bin/zorva.exe");
    } else {
      vektest::writeFile(root + "/bin/zorva", PROBE_SCRIPT);
      fs::permissions(root + "/bin/zorva", fs::perms(0755));
    }
    vektest::writeFile(root + "/README", "sample\n");
    return root;
  }

  // Runs the packaging tool; the installer it makes.
  std::string pack(const std::vector<std::string>& entries, const std::vector<std::string>& extra = {}) {
    std::string out = dir_.file(windows() ? "installer.exe" : "installer");
    std::vector<std::string> args = {target().mkinstaller, "-s", target().installer, "-o", out};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), entries.begin(), entries.end());
    Outcome r = spawn(args, {}, dir_.str(), {}, {});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return out;
  }

  std::map<std::string, std::string> base_env() {
    std::map<std::string, std::string> env = {{"E2E_RECORD", host_to_target(record_)}};
    if (!windows()) env.insert({{"TMP", temp_}, {"TEMP", temp_}, {"TMPDIR", temp_}});
    return env;
  }

  std::string host_to_target(const std::string& path) const { return windows() ? "Z:" + path : path; }

  // Runs the installer file `installer` (argv[0] may name another file).
  Outcome run(const std::string& installer, const std::vector<std::string>& args,
              std::map<std::string, std::string> env = {}, std::function<void(pid_t)> before = {},
              std::function<void(pid_t)> during = {}, const std::string& argv0 = "") {
    for (const auto& [k, v] : base_env()) env.insert({k, v});
    std::vector<std::string> argv;
    if (windows())
      argv = {target().wine, installer};
    else
      argv = {argv0.empty() ? installer : argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(argv, env, dir_.str(), before, during, windows() ? "" : installer);
  }

  // fork/exec with a release pipe, so that a test can prepare things that
  // depend on the child's process id before the program starts.
  Outcome spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                const std::string& cwd, std::function<void(pid_t)> before, std::function<void(pid_t)> during,
                const std::string& program = "") {
    std::string out_file = dir_.file("output-" + std::to_string(runs_++));
    int release[2], output[2] = {-1, -1};
    // Close-on-exec: the program must hold no end of the output pipe but its
    // standard output and error, or closing the reading end would not break it.
    if (pipe(release) != 0 || (hold_output_ && pipe2(output, O_CLOEXEC) != 0)) return {};
    if (hold_output_) fcntl(output[0], F_SETPIPE_SZ, 4096);
    pid_t pid = fork();
    if (pid == 0) {
      close(release[1]);
      char go;
      if (read(release[0], &go, 1) != 1) _exit(127);
      for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      int fd = hold_output_ ? output[1] : open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      if (chdir(cwd.c_str()) != 0) _exit(127);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(program.empty() ? args[0] : program.c_str(), args.data());
      _exit(127);
    }
    close(release[0]);
    held_output_.clear();
    output_pipe_ = output[0];
    if (hold_output_) close(output[1]);
    if (before) before(pid);
    if (write(release[1], "g", 1) != 1) ADD_FAILURE() << "cannot release the child";
    close(release[1]);
    if (during) during(pid);
    drain_output();
    Outcome result;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "timed out: " << argv[0];
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.output = hold_output_ ? held_output_ : vektest::readFile(out_file);
    if (output_pipe_ >= 0) close(output_pipe_);
    output_pipe_ = -1;
    return result;
  }

  // With hold_output_ set, spawn gives the program's standard output and
  // error a pipe of one page that the test reads itself: a test that stops
  // reading holds the program in its next write (with NIMBO_DEBUG=2 the
  // installer logs a line for every chunk of file data it reads).
  // Reads the held output until `text` shows (or its end, or 300 s).
  bool read_output_until(const std::string& text) {
    for (;;) {
      size_t from = held_output_.size() > 8192 ? held_output_.size() - 8192 : 0;  // a line wraps, never that far
      if (squeeze(held_output_.substr(from)).find(squeeze(text)) != std::string::npos) return true;
      if (!read_output_chunk()) return false;
    }
  }
  // Reads the held output to its end: until the program and its children are gone.
  void drain_output() {
    while (output_pipe_ >= 0 && read_output_chunk()) {
    }
  }
  // Closes the reading end: the program's next write meets a broken pipe.
  void close_output() {
    if (output_pipe_ >= 0) close(output_pipe_);
    output_pipe_ = -1;
  }

  bool read_output_chunk() {
    pollfd ready = {output_pipe_, POLLIN, 0};
    if (poll(&ready, 1, 300000) <= 0) return false;
    char buffer[4096];
    ssize_t got = read(output_pipe_, buffer, sizeof buffer);
    if (got <= 0) return false;
    held_output_.append(buffer, (size_t)got);
    return true;
  }

  // What the configuration program received: its arguments and environment.
  bool configured() const { return fs::exists(record_); }
  std::vector<std::string> received_args() const {
    std::vector<std::string> args;
    std::string data = vektest::readFile(record_);
    size_t start = 0;
    for (size_t i = 0; i < data.size(); ++i) {
      if (data[i] != '\0') continue;
      std::string item = data.substr(start, i - start);
      if (item == "--env--") break;
      args.push_back(item);
      start = i + 1;
    }
    return args;
  }
  std::string received_env(const std::string& name) const {
    std::string data = vektest::readFile(record_);
    size_t at = data.find(std::string("\0", 1) + name + "=");
    if (at == std::string::npos) return "missing";
    size_t from = at + name.size() + 2;
    return data.substr(from, data.find('\0', from) - from);
  }

  // The extraction directory the log names (needs NIMBO_DEBUG=1), as a host path.
  std::string extraction_dir(const Outcome& r) const {
    std::smatch m;
    std::string text = squeeze(r.output);
    if (!std::regex_search(text, m, std::regex("extracting to a temporary directory (\\S+)"))) return "";
    std::string dir = m[1];
    if (!windows()) return dir;
    std::string prefix = getenv("WINEPREFIX") ? getenv("WINEPREFIX") : "";
    std::string rest = dir.substr(2);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    std::string lowered = dir.substr(0, 1);
    return lowered == "Z" || lowered == "z" ? rest : prefix + "/drive_c" + rest;
  }

  bool temp_is_empty() const { return fs::is_empty(temp_); }

  vektest::TempDir dir_;
  std::string temp_;
  std::string record_;
  int runs_ = 0;
  bool hold_output_ = false;  // see read_output_until
  int output_pipe_ = -1;      // reading end of the held output while spawn runs
  std::string held_output_;   // what has been read of it
};

}  // namespace e2etest

#endif  // E2E_TEST_SUPPORT_H
