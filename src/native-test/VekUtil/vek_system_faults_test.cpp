// The message server and the process runner under failures of the system,
// made to happen for real: descriptors exhausted (a lowered open-file limit),
// a full file table and refused threads (this program is linked with
// accept4, pipe2 and pthread_create wrapped, so that they fail on demand),
// a full disk under the file log (a small tmpfs), signals interrupting the
// slow calls, and peers that leave in the middle of a message. Each row
// turns its fault on while requests or runs are under way and off again;
// every request answered must be answered once and whole, nothing may hang,
// and serving must resume once the fault is gone.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runner_child_pattern.h"
#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_logging_file.h"
#include "vek_message.h"
#include "vek_runner.h"
#include "vek_test_support.h"

// ---- Failures on demand ---------------------------------------------------------

namespace {
std::atomic<int> accept_error{0};  // errno for accept4, or 0
std::atomic<int> pipe_error{0};    // errno for pipe2, or 0
std::atomic<int> thread_error{0};  // result of pthread_create, or 0
}  // namespace

extern "C" {
int __real_accept4(int fd, sockaddr* address, socklen_t* length, int flags);
int __real_pipe2(int fds[2], int flags);
int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument);

int __wrap_accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
  if (const int error = accept_error.load()) {
    errno = error;
    return -1;
  }
  return __real_accept4(fd, address, length, flags);
}

int __wrap_pipe2(int fds[2], int flags) {
  if (const int error = pipe_error.load()) {
    errno = error;
    return -1;
  }
  return __real_pipe2(fds, flags);
}

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
  if (const int error = thread_error.load()) return error;
  return __real_pthread_create(thread, attributes, start, argument);
}
}

namespace {

using namespace std::chrono_literals;
using vektest::RecordingLogger;

constexpr int ECHO_TYPE = 7;  // as message_peer's load sends them

size_t count_entries(const char* directory) {
  size_t count = 0;
  DIR* dir = opendir(directory);
  if (dir == nullptr) return 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}
size_t thread_count() { return count_entries("/proc/self/task"); }
size_t descriptor_count() { return count_entries("/proc/self/fd"); }

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Whether a connection thread of the server runs (they end just after their reply).
bool connection_thread_runs() {
  DIR* dir = opendir("/proc/self/task");
  bool found = false;
  while (dirent* entry = dir != nullptr && !found ? readdir(dir) : nullptr)
    found = vektest::readFile(std::string("/proc/self/task/") + entry->d_name + "/comm") == "vek-msg-conn\n";
  if (dir != nullptr) closedir(dir);
  return found;
}

// Sends SIGUSR1, whose handler does nothing and does not restart calls, to
// every other thread of this process about once a millisecond.
class SignalStorm {
 public:
  SignalStorm() {
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &saved_);
    thread_ = std::thread([this] { storm(); });
  }
  ~SignalStorm() {
    stop_ = true;
    thread_.join();
    sigaction(SIGUSR1, &saved_, nullptr);
  }
  SignalStorm(const SignalStorm&) = delete;
  SignalStorm& operator=(const SignalStorm&) = delete;
  long sent() const { return sent_; }

 private:
  void storm() {
    const long own = syscall(SYS_gettid);
    while (!stop_) {
      DIR* dir = opendir("/proc/self/task");
      while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        const long tid = atol(entry->d_name);
        if (tid > 0 && tid != own && syscall(SYS_tgkill, getpid(), tid, SIGUSR1) == 0) ++sent_;
      }
      if (dir != nullptr) closedir(dir);
      std::this_thread::sleep_for(1ms);
    }
  }

  struct sigaction saved_ = {};
  std::atomic<bool> stop_{false};
  std::atomic<long> sent_{0};
  std::thread thread_;
};

// Lowers the open-file limit to the lowest free descriptor number: nothing
// new opens until it is restored.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    const int lowest = dup(0);
    close(lowest);
    rlimit tight = saved_;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    setrlimit(RLIMIT_NOFILE, &tight);
  }
  ~DescriptorsExhausted() { setrlimit(RLIMIT_NOFILE, &saved_); }
  static const rlimit& original() { return original_; }
  static void remember_original() { getrlimit(RLIMIT_NOFILE, &original_); }

 private:
  rlimit saved_ = {};
  static inline rlimit original_ = {};
};

// A tmpfs over `dir`, filled to the last byte, for the file log.
class FullDisk {
 public:
  explicit FullDisk(const std::string& dir) : dir_(dir) {
    mkdir(dir.c_str(), 0755);
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") == 0;
    if (!mounted_) return;
    configured_ = veklog_file_configureLog(dir.c_str(), "faults", 0, 3, 3);
    vek_addLogger(vek_fileLogger);
    const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(4096, 'f');
    while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
    }
    while (fd >= 0 && write(fd, block.data(), 1) > 0) {
    }
    full_ = fd >= 0 && errno == ENOSPC;
    if (fd >= 0) close(fd);
  }
  ~FullDisk() {
    vek_removeLogger(vek_fileLogger);
    veklog_file_closeLog();
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  FullDisk(const FullDisk&) = delete;
  FullDisk& operator=(const FullDisk&) = delete;
  bool ready() const { return mounted_ && configured_ && full_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  bool configured_ = false;
  bool full_ = false;
};

// Peers that connect and leave in the middle of a message, over and over.
class LeavingPeers {
 public:
  explicit LeavingPeers(const std::string& path) : path_(path) {
    thread_ = std::thread([this] { leave_repeatedly(); });
  }
  ~LeavingPeers() {
    stop_ = true;
    thread_.join();
  }
  LeavingPeers(const LeavingPeers&) = delete;
  LeavingPeers& operator=(const LeavingPeers&) = delete;

 private:
  void leave_repeatedly() {
    const int32_t header[3] = {ECHO_TYPE, 1, 64};
    for (size_t n = 0; !stop_; ++n) {
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address = {};
      address.sun_family = AF_UNIX;
      strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        // Cut in the header, or in the payload.
        const size_t bytes = n % 2 == 0 ? 7 : sizeof header + 20;
        std::string message(reinterpret_cast<const char*>(header), sizeof header);
        message += std::string(64, 'x');
        ssize_t ignored = send(fd, message.data(), bytes, MSG_NOSIGNAL);
        (void)ignored;
      }
      close(fd);
      std::this_thread::sleep_for(2ms);
    }
  }

  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---- The server's side ---------------------------------------------------------------

std::mutex seen_mutex;
std::map<std::string, int> seen;  // request texts and how often each was dispatched

vek_message_t* echo_processor(vek_message_t* incoming, bool) {
  if (incoming->type != ECHO_TYPE) return nullptr;
  char* text = vek_getMessagePayloadAsText(incoming);
  const std::string body = text != nullptr ? text : "";
  free(text);
  {
    std::lock_guard<std::mutex> lock(seen_mutex);
    ++seen[body];
  }
  vek_message_t* reply = vek_createEmptyMessage();
  reply->type = VEK_MESSAGE_OK;
  vek_setMessageTextPayload(reply, ("echo:" + body).c_str());
  return reply;
}

bool echo_works(const std::string& path) {
  vek_message_t* request = vek_createEmptyMessage();
  request->type = ECHO_TYPE;
  vek_setMessageTextPayload(request, "ping");
  vek_message_t* reply = vek_sendMessage(path.c_str(), request);
  char* text = vek_getMessagePayloadAsText(reply);
  const bool ok = reply != nullptr && reply->type == VEK_MESSAGE_OK && text != nullptr && std::string(text) == "echo:ping";
  free(text);
  vek_destroyMessage(reply);
  vek_destroyMessage(request);
  return ok;
}

// A client process sending `count` requests at once, each checked for its
// own whole reply (message_peer load). Started with the original open-file
// limit, whatever this process's is at the moment.
pid_t start_load(const std::string& path, int count, const std::string& tag) {
  const std::string counted = std::to_string(count);
  const char* argv[] = {VEK_MESSAGE_PEER, "load", path.c_str(), counted.c_str(), tag.c_str(), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    setrlimit(RLIMIT_NOFILE, &DescriptorsExhausted::original());
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  return pid;
}

// Exit status of a client within `limit`; -1 (the client killed) when it hung.
int await_client(pid_t pid, std::chrono::seconds limit) {
  int status = 0;
  if (!wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SystemFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    vek_lifecycleInit();
    DescriptorsExhausted::remember_original();
    signal(SIGPIPE, SIG_IGN);
  }
  void SetUp() override {
    vek_addMessageProcessor(echo_processor);
    path_ = dir_.file("launcher.msg");
  }
  void TearDown() override {
    vek_stopMessageServer(path_.c_str());
    vek_removeMessageProcessor(echo_processor);
  }

  vektest::TempDir dir_;
  std::string path_;
};

// The same five checks for every fault: the clients' requests were each
// answered once and whole, none hung, the server did not give up, and once
// the fault is gone it serves again, with no thread or descriptor left over.
TEST_F(SystemFaultTest, TheServerAnswersEveryRequestOnceAndServesAgainAfterTheFault) {
  constexpr int PROCESSES = 2;
  constexpr int PER_PROCESS = 20;
  // What each fault holds while it is on. (Plain ownership: with the
  // descriptors exhausted even a sanitizer's check of a virtual call fails.)
  std::unique_ptr<DescriptorsExhausted> exhausted;
  std::unique_ptr<SignalStorm> storm;
  std::unique_ptr<FullDisk> disk;
  std::unique_ptr<LeavingPeers> leaving;
  const std::string log_dir = dir_.file("log");
  struct Case {
    const char* name;
    std::function<void()> on, off;
    const char* logged;  // a WARN line the fault must have caused, or nullptr
  };
  const Case cases[] = {
      {"descriptors exhausted at accept (EMFILE)", [&] { exhausted = std::make_unique<DescriptorsExhausted>(); },
       [&] { exhausted.reset(); }, "Could not accept an inter-launcher connection: Too many open files"},
      {"file table full at accept (ENFILE)", [] { accept_error = ENFILE; }, [] { accept_error = 0; },
       "Could not accept an inter-launcher connection: Too many open files in system"},
      {"thread creation refused (EAGAIN)", [] { thread_error = EAGAIN; }, [] { thread_error = 0; },
       "Could not create a thread to answer inter-launcher messages: Resource temporarily unavailable"},
      {"signals interrupt the slow calls (EINTR)", [&] { storm = std::make_unique<SignalStorm>(); },
       [&] { storm.reset(); }, nullptr},
      {"a full disk under the file log (ENOSPC)",
       [&] {
         disk = std::make_unique<FullDisk>(log_dir);
         if (!disk->ready()) std::cout << "[ NOTE     ] no full tmpfs here; the row runs without it\n";
       },
       [&] { disk.reset(); }, nullptr},
      {"peers leaving in the middle of a message", [&] { leaving = std::make_unique<LeavingPeers>(path_); },
       [&] { leaving.reset(); }, nullptr},
  };
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  ASSERT_TRUE(echo_works(path_));
  ASSERT_TRUE(wait_until([] { return !connection_thread_runs(); }, 10s));
  const size_t threads_before = thread_count();
  const size_t descriptors_before = descriptor_count();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::ScopedLogLevel level(VEKLOG_DEBUG2);  // every line the server has: the disk fills quickly
    vektest::RecordLogs logs;
    {
      std::lock_guard<std::mutex> lock(seen_mutex);
      seen.clear();
    }
    std::vector<pid_t> clients(PROCESSES);
    c.on();
    for (int p = 0; p < PROCESSES; ++p) clients[p] = start_load(path_, PER_PROCESS, "p" + std::to_string(p));
    std::this_thread::sleep_for(1500ms);  // the clients meet the fault
    c.off();
    for (pid_t client : clients)
      EXPECT_EQ(0, await_client(client, 120s)) << "a client saw a wrong, missing or repeated reply, or hung";
    {
      std::lock_guard<std::mutex> lock(seen_mutex);
      EXPECT_EQ(static_cast<size_t>(PROCESSES * PER_PROCESS), seen.size());
      for (const auto& [text, times] : seen) EXPECT_EQ(1, times) << text;
    }
    const auto events = logs.take();
    if (c.logged != nullptr) { EXPECT_TRUE(RecordingLogger::contains(events, VEKLOG_WARN, c.logged)) << c.logged; }
    EXPECT_FALSE(RecordingLogger::contains(events, VEKLOG_ERROR, "consecutive errors"));
    EXPECT_TRUE(echo_works(path_));
    EXPECT_TRUE(wait_until([&] { return thread_count() == threads_before; }, 10s))
        << thread_count() << " threads, " << threads_before << " before";
    EXPECT_EQ(descriptors_before, descriptor_count());
  }
}

// A failure that does not pass is no shortage: after ten failed passes the
// server gives up, and then no socket file is left that would take
// connections nobody answers.
TEST_F(SystemFaultTest, APersistentAcceptFailureStopsTheServerWithTheErrorLine) {
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  vektest::RecordLogs logs;
  accept_error = EINVAL;
  const int waiting_client = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  // Queued, it makes the listening socket ready; every accept then fails.
  ASSERT_EQ(0, connect(waiting_client, reinterpret_cast<const sockaddr*>(&address), sizeof address));
  const bool gave_up = wait_until(
      [&] {
        return RecordingLogger::contains(RecordingLogger::take(), VEKLOG_ERROR,
                                         "There have been 10 consecutive errors trying to accept");
      },
      10s);
  accept_error = 0;
  EXPECT_TRUE(gave_up);
  // The client waiting in the queue learns at once that nobody will answer.
  char byte;
  pollfd wait = {waiting_client, POLLIN, 0};
  EXPECT_EQ(1, poll(&wait, 1, 5000));
  EXPECT_LE(recv(waiting_client, &byte, 1, 0), 0);
  close(waiting_client);
  struct stat info;
  EXPECT_NE(0, lstat(path_.c_str(), &info));
  std::this_thread::sleep_for(2500ms);  // and it stays so: no recreation
  EXPECT_NE(0, lstat(path_.c_str(), &info));
  std::lock_guard<std::mutex> lock(seen_mutex);
  seen.clear();
}

// ---- The runner's side ----------------------------------------------------------------

// One run of the helper child writing `bytes` to each stream, with handlers.
struct HelperRun {
  std::string out, err;
  vek_process_t proc = {};
  std::vector<std::string> args;
  vek_list_t* arg_list = vek_listCreate(4);

  explicit HelperRun(size_t bytes)
      : args{VEK_RUNNER_CHILD, "write", std::to_string(bytes), std::to_string(bytes), "4096"} {
    for (std::string& a : args) vek_listAdd(arg_list, a.data());
    proc.name = args[0].data();
    proc.exe = args[0].data();
    proc.args = arg_list;
    proc.redirect = VEK_REDIRECT_HANDLER;
    proc.output.handlers.stdout_handler = [](vek_process_handle_t*, const char* data, int size) {
      current->out.append(data, static_cast<size_t>(size));
    };
    proc.output.handlers.stderr_handler = [](vek_process_handle_t*, const char* data, int size) {
      current->err.append(data, static_cast<size_t>(size));
    };
    current = this;
  }
  ~HelperRun() {
    free(proc.handle);
    vek_listDestroy(arg_list);
    current = nullptr;
  }
  HelperRun(const HelperRun&) = delete;
  HelperRun& operator=(const HelperRun&) = delete;

  // Runs in the background; true when started and ended with exit code 0.
  bool run() {
    if (vek_startProcess(&proc) == nullptr) return false;
    vek_process_result_t result = {};
    return vek_waitForProcess(proc.handle, &result) && result.exit_code == 0;
  }
  bool whole(size_t bytes) const {
    return out == vektest::streamPattern('o', bytes) && err == vektest::streamPattern('e', bytes);
  }

  static inline HelperRun* current = nullptr;  // one run at a time
};

TEST_F(SystemFaultTest, ARunMeetingAFaultFailsCleanlyOrCompletesAndRunsWorkAfterIt) {
  constexpr size_t BYTES = 200000;
  std::unique_ptr<DescriptorsExhausted> exhausted;
  std::unique_ptr<SignalStorm> storm;
  struct Case {
    const char* name;
    std::function<void()> on, off;
    bool starts;          // the run under the fault starts (and then must complete whole)
    const char* logged;   // the ERROR line of a run that cannot start
  };
  const Case cases[] = {
      {"descriptors exhausted at pipe creation (EMFILE)", [&] { exhausted = std::make_unique<DescriptorsExhausted>(); },
       [&] { exhausted.reset(); }, false,
       "Could not created pipe'd file descriptors for the new process: Too many open files"},
      {"file table full at pipe creation (ENFILE)", [] { pipe_error = ENFILE; }, [] { pipe_error = 0; }, false,
       "Could not created pipe'd file descriptors for the new process: Too many open files in system"},
      {"thread creation refused (EAGAIN)", [] { thread_error = EAGAIN; }, [] { thread_error = 0; }, false,
       "Could not start a new thread for the"},
      {"signals interrupt the slow calls (EINTR)", [&] { storm = std::make_unique<SignalStorm>(); },
       [&] { storm.reset(); }, true, nullptr},
  };
  {
    HelperRun before(BYTES);
    ASSERT_TRUE(before.run());
  }
  const size_t descriptors_before = descriptor_count();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::RecordLogs logs;
    {
      HelperRun during(BYTES);
      c.on();
      const bool completed = during.run();
      c.off();
      EXPECT_EQ(c.starts, completed);
      if (c.starts) { EXPECT_TRUE(during.whole(BYTES)); }
      if (!c.starts) { EXPECT_EQ(nullptr, during.proc.handle); }
    }
    if (c.logged != nullptr) {
      EXPECT_TRUE(RecordingLogger::contains(logs.take(), VEKLOG_ERROR, c.logged)) << c.logged;
    }
    EXPECT_EQ(descriptors_before, descriptor_count());
    HelperRun after(BYTES);
    EXPECT_TRUE(after.run());
    EXPECT_TRUE(after.whole(BYTES));
  }
}

}  // namespace
