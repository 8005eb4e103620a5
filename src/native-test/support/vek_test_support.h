// Helpers shared by the test suites: a fresh directory per test, a logger
// that records events, and capture of what a piece of code writes to
// standard output or standard error.
#ifndef VEK_TEST_SUPPORT_H
#define VEK_TEST_SUPPORT_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "vek_logging.h"

namespace vektest {

// Sets the log threshold for the lifetime of the object, then restores the
// one it found.
class ScopedLogLevel {
 public:
  explicit ScopedLogLevel(VEKLOG_LEVEL level) : saved_(vek_getLogLevel()) { vek_setLogLevel(level); }
  ~ScopedLogLevel() { vek_setLogLevel(saved_); }
  ScopedLogLevel(const ScopedLogLevel&) = delete;
  ScopedLogLevel& operator=(const ScopedLogLevel&) = delete;

 private:
  VEKLOG_LEVEL saved_;
};

// A new empty directory under the system's temporary directory, removed
// with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto candidate = base / ("vektest-" + std::to_string(rd()));
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) {
        path_ = candidate;
        return;
      }
    }
    std::abort();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Polls `condition` until it holds (true) or `limit` has passed (false).
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// Redirects a standard stream (1 or 2) into a file until stop() or
// destruction; text() returns what was written meanwhile.
class CaptureFd {
 public:
  explicit CaptureFd(int fd) : fd_(fd) {
    std::fflush(fd == 1 ? stdout : stderr);
    file_ = dir_.file("captured");
    std::FILE* f = std::fopen(file_.c_str(), "wb");
    saved_ = dup(fd_);
    dup2(fileno(f), fd_);
    std::fclose(f);
  }
  ~CaptureFd() { stop(); }
  CaptureFd(const CaptureFd&) = delete;
  CaptureFd& operator=(const CaptureFd&) = delete;

  std::string stop() {
    if (saved_ >= 0) {
      std::fflush(fd_ == 1 ? stdout : stderr);
      dup2(saved_, fd_);
      close(saved_);
      saved_ = -1;
      text_ = readFile(file_);
    }
    return text_;
  }

 private:
  int fd_;
  int saved_ = -1;
  TempDir dir_;
  std::string file_;
  std::string text_;
};

// One recorded log event, copied out of the core's event.
struct LoggedEvent {
  VEKLOG_LEVEL level;
  std::string short_filename;
  int line;
  std::string text;
  std::string source;
  std::string timestamp_text;
};

// A logger that records every event it is given. Register with
// vek_addLogger(&vektest::RecordingLogger::log).
class RecordingLogger {
 public:
  static void log(vek_log_event_t* event) {
    std::lock_guard<std::mutex> guard(mutex());
    events().push_back({event->level, event->short_filename ? event->short_filename : "", event->line,
                        event->text ? event->text : "", event->source ? event->source : "",
                        event->timestamp_text ? event->timestamp_text : ""});
  }
  static std::vector<LoggedEvent> take() {
    std::lock_guard<std::mutex> guard(mutex());
    std::vector<LoggedEvent> out;
    out.swap(events());
    return out;
  }
  static bool contains(const std::vector<LoggedEvent>& events, VEKLOG_LEVEL level, const std::string& fragment) {
    for (const auto& e : events)
      if (e.level == level && e.text.find(fragment) != std::string::npos) return true;
    return false;
  }

 private:
  static std::vector<LoggedEvent>& events() {
    static std::vector<LoggedEvent> list;
    return list;
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
};

// Registers the recording logger for the lifetime of the object and empties
// its record on the way in and out.
class RecordLogs {
 public:
  RecordLogs() {
    RecordingLogger::take();
    vek_addLogger(&RecordingLogger::log);
  }
  ~RecordLogs() {
    vek_removeLogger(&RecordingLogger::log);
    RecordingLogger::take();
  }
  std::vector<LoggedEvent> take() { return RecordingLogger::take(); }
};

#ifndef _WIN32
// Runs `body` in a forked child, handing it the write end of a pipe, and
// returns everything written there; the child's wait status goes to *status
// when given. The child ends with _exit (status 0 unless `body` ends it
// itself), so no exit handler of this process runs twice.
inline std::string inChildWriting(const std::function<void(int fd)>& body, int* status = nullptr) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    body(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int ended = 0;
  waitpid(pid, &ended, 0);
  if (status != nullptr) *status = ended;
  return text;
}

// inChildWriting for a body that answers with one text.
inline std::string inChild(const std::function<std::string()>& body, int* status = nullptr) {
  return inChildWriting(
      [&](int fd) {
        std::string answer = body();
        (void)!write(fd, answer.data(), answer.size());
      },
      status);
}
#endif

}  // namespace vektest

#endif  // VEK_TEST_SUPPORT_H
