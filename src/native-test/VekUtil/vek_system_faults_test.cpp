// The message server and the process runner under failures of the system,
// made real: descriptors exhausted (a lowered open-file limit), a full file
// table and refused threads (accept4, pipe2 and pthread_create are wrapped at
// link time to fail on demand), a full disk under the file log (a small
// tmpfs), and signals interrupting the slow calls. Each row turns its fault on
// while requests or runs are under way, then off: every request answered is
// answered once and whole, nothing hangs, and serving resumes.
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
#include <filesystem>
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
  if ((errno = accept_error.load()) != 0) return -1;
  return __real_accept4(fd, address, length, flags);
}
int __wrap_pipe2(int fds[2], int flags) {
  if ((errno = pipe_error.load()) != 0) return -1;
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
rlimit original_files;        // the open-file limit the clients get

size_t count_entries(const char* directory) {
  size_t count = 0;
  DIR* dir = opendir(directory);
  while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) count += entry->d_name[0] != '.';
  if (dir != nullptr) closedir(dir);
  return count;
}

// Sends SIGUSR1 (a handler that does nothing and restarts no call) to every
// other thread of this process about once a millisecond.
class SignalStorm {
 public:
  SignalStorm() {
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, &saved_);
    thread_ = std::thread([this] {
      const long own = syscall(SYS_gettid);
      for (; !stop_; std::this_thread::sleep_for(1ms)) {
        DIR* dir = opendir("/proc/self/task");
        while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
          const long tid = atol(entry->d_name);
          if (tid > 0 && tid != own) syscall(SYS_tgkill, getpid(), tid, SIGUSR1);
        }
        if (dir != nullptr) closedir(dir);
      }
    });
  }
  ~SignalStorm() {
    stop_ = true;
    thread_.join();
    sigaction(SIGUSR1, &saved_, nullptr);
  }

 private:
  struct sigaction saved_ = {};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The open-file limit lowered to the lowest free descriptor number.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    const int lowest = dup(0);
    close(lowest);
    rlimit tight = original_files;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    setrlimit(RLIMIT_NOFILE, &tight);
  }
  ~DescriptorsExhausted() { setrlimit(RLIMIT_NOFILE, &original_files); }
};

// The file log on a small tmpfs filled to the last byte (without one, the
// row runs with no full disk and says so).
class FullDisk {
 public:
  explicit FullDisk(const std::string& dir) : dir_(dir) {
    mkdir(dir.c_str(), 0755);
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") == 0;
    bool full = mounted_ && veklog_file_configureLog(dir.c_str(), "faults", 0, 3, 3);
    vek_addLogger(vek_fileLogger);
    const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    while (fd >= 0 && write(fd, dir_.data(), 1) > 0) {
    }
    full = full && fd >= 0 && errno == ENOSPC;
    if (fd >= 0) close(fd);
    if (!full) std::cout << "[ NOTE     ] no full tmpfs here; the row runs without it\n";
  }
  ~FullDisk() {
    vek_removeLogger(vek_fileLogger);
    veklog_file_closeLog();
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

// A fault for the time of a row: on() then off(). Faults are held without
// virtual calls: with the descriptors exhausted, a sanitizer's check of one fails.
struct Fault {
  const char* name;
  std::function<void()> on, off;
};

std::unique_ptr<DescriptorsExhausted> exhausted;
std::unique_ptr<SignalStorm> storm;
Fault exhaust_descriptors(const char* name) {
  return {name, [] { exhausted = std::make_unique<DescriptorsExhausted>(); }, [] { exhausted.reset(); }};
}
Fault fail_calls(const char* name, std::atomic<int>& switch_, int error) {
  return {name, [&switch_, error] { switch_ = error; }, [&switch_] { switch_ = 0; }};
}
Fault interrupt_calls() {
  return {"signals interrupt the slow calls (EINTR)", [] { storm = std::make_unique<SignalStorm>(); },
          [] { storm.reset(); }};
}

// ---- The server ------------------------------------------------------------------------

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
  const bool ok = reply != nullptr && text != nullptr && std::string(text) == "echo:ping";
  free(text);
  vek_destroyMessage(reply);
  vek_destroyMessage(request);
  return ok;
}

bool connection_thread_runs() {
  DIR* dir = opendir("/proc/self/task");
  bool found = false;
  while (dirent* entry = dir != nullptr && !found ? readdir(dir) : nullptr)
    found = vektest::readFile(std::string("/proc/self/task/") + entry->d_name + "/comm") == "vek-msg-conn\n";
  if (dir != nullptr) closedir(dir);
  return found;
}

// A client process sending `count` requests at once, each checked for its
// own whole reply (message_peer load); 0 when all were, -1 when it hung.
pid_t start_load(const std::string& path, int count, const std::string& tag) {
  const std::string counted = std::to_string(count);
  const char* argv[] = {VEK_MESSAGE_PEER, "load", path.c_str(), counted.c_str(), tag.c_str(), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    setrlimit(RLIMIT_NOFILE, &original_files);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  return pid;
}
int await_client(pid_t pid) {
  int status = 0;
  if (vektest::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 120s))
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

class SystemFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    vek_lifecycleInit();
    getrlimit(RLIMIT_NOFILE, &original_files);
    signal(SIGPIPE, SIG_IGN);
  }
  void SetUp() override { vek_addMessageProcessor(echo_processor); }
  void TearDown() override {
    vek_stopMessageServer(path_.c_str());
    vek_removeMessageProcessor(echo_processor);
  }

  vektest::TempDir dir_;
  std::string path_ = dir_.file("launcher.msg");
};

// A shortage used to count as failed passes: ten of them, and the server
// removed its socket file and never came back.
TEST_F(SystemFaultTest, TheServerAnswersEveryRequestOnceAndServesAgainAfterTheFault) {
  std::unique_ptr<FullDisk> disk;
  const Fault faults[] = {
      exhaust_descriptors("descriptors exhausted at accept (EMFILE)"),
      fail_calls("file table full at accept (ENFILE)", accept_error, ENFILE),
      fail_calls("thread creation refused (EAGAIN)", thread_error, EAGAIN),
      interrupt_calls(),
      {"a full disk under the file log (ENOSPC)", [&] { disk = std::make_unique<FullDisk>(dir_.file("log")); },
       [&] { disk.reset(); }},
  };
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  ASSERT_TRUE(echo_works(path_));
  ASSERT_TRUE(vektest::waitUntil([] { return !connection_thread_runs(); }, 10s));
  const size_t threads_before = count_entries("/proc/self/task");
  const size_t descriptors_before = count_entries("/proc/self/fd");
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    vektest::ScopedLogLevel level(VEKLOG_DEBUG2);  // every line the server has: the disk fills at once
    vektest::RecordLogs logs;
    std::unique_lock<std::mutex> lock(seen_mutex);
    seen.clear();
    lock.unlock();
    fault.on();
    std::vector<pid_t> clients = {start_load(path_, 20, "a"), start_load(path_, 20, "b")};
    std::this_thread::sleep_for(1500ms);  // the clients meet the fault
    fault.off();
    for (pid_t client : clients) EXPECT_EQ(0, await_client(client)) << "a reply was wrong, missing or repeated";
    lock.lock();
    EXPECT_EQ(40u, seen.size());
    for (const auto& [text, times] : seen) EXPECT_EQ(1, times) << text;
    lock.unlock();
    EXPECT_FALSE(RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "consecutive errors"));
    EXPECT_TRUE(echo_works(path_));
    EXPECT_TRUE(vektest::waitUntil([&] { return count_entries("/proc/self/task") == threads_before; }, 10s));
    EXPECT_EQ(descriptors_before, count_entries("/proc/self/fd"));
  }
}

// A failure that persists is no shortage: after ten failed passes the server
// gives up, and no socket file is left that would take connections nobody
// answers.
TEST_F(SystemFaultTest, APersistentAcceptFailureStopsTheServerWithTheErrorLine) {
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  vektest::RecordLogs logs;
  accept_error = EINVAL;
  const int waiting_client = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(0, connect(waiting_client, reinterpret_cast<const sockaddr*>(&address), sizeof address));
  EXPECT_TRUE(vektest::waitUntil(
      [&] { return RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "There have been 10 consecutive errors"); },
      10s));
  accept_error = 0;
  pollfd wait = {waiting_client, POLLIN, 0};
  char byte;
  EXPECT_EQ(1, poll(&wait, 1, 5000));  // the queued client learns at once that nobody will answer
  EXPECT_LE(recv(waiting_client, &byte, 1, 0), 0);
  close(waiting_client);
  std::this_thread::sleep_for(2500ms);  // and no file is recreated
  EXPECT_FALSE(std::filesystem::exists(path_));
}

// ---- The runner -----------------------------------------------------------------------

std::string received_out, received_err;

// A background run of the helper child writing `bytes` to each stream; true
// when it started, ended with 0 and delivered both streams whole.
bool run_helper(size_t bytes, vek_process_t* proc) {
  std::string args[] = {VEK_RUNNER_CHILD, "write", std::to_string(bytes), std::to_string(bytes), "4096"};
  vek_list_t* arg_list = vek_listCreate(5);
  for (std::string& a : args) vek_listAdd(arg_list, a.data());
  *proc = vek_process_t{};
  proc->exe = args[0].data();
  proc->args = arg_list;
  proc->redirect = VEK_REDIRECT_HANDLER;
  proc->output.handlers.stdout_handler = [](vek_process_handle_t*, const char* d, int n) { received_out.append(d, n); };
  proc->output.handlers.stderr_handler = [](vek_process_handle_t*, const char* d, int n) { received_err.append(d, n); };
  received_out.clear();
  received_err.clear();
  vek_process_result_t result = {};
  const bool ok = vek_startProcess(proc) != nullptr && vek_waitForProcess(proc->handle, &result) &&
                  result.exit_code == 0 && received_out == vektest::streamPattern('o', bytes) &&
                  received_err == vektest::streamPattern('e', bytes);
  free(proc->handle);
  vek_listDestroy(arg_list);
  return ok;
}

TEST_F(SystemFaultTest, ARunMeetingAFaultFailsCleanlyOrCompletesWholeAndRunsWorkAfterIt) {
  struct Case {
    Fault fault;
    const char* logged;  // the ERROR line of a run that cannot start; nullptr: it completes whole
  };
  const Case cases[] = {
      {fail_calls("file table full at pipe creation (ENFILE)", pipe_error, ENFILE),
       "Could not created pipe'd file descriptors for the new process: Too many open files in system"},
      {fail_calls("thread creation refused (EAGAIN)", thread_error, EAGAIN), "Could not start a new thread for the"},
      {interrupt_calls(), nullptr},
  };
  vek_process_t proc;
  ASSERT_TRUE(run_helper(200000, &proc));
  const size_t descriptors_before = count_entries("/proc/self/fd");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault.name);
    vektest::RecordLogs logs;
    c.fault.on();
    const bool completed = run_helper(200000, &proc);
    c.fault.off();
    EXPECT_EQ(c.logged == nullptr, completed);
    if (c.logged != nullptr) {
      EXPECT_TRUE(RecordingLogger::contains(logs.take(), VEKLOG_ERROR, c.logged));
    }
    EXPECT_EQ(descriptors_before, count_entries("/proc/self/fd"));
    EXPECT_TRUE(run_helper(200000, &proc));
  }
}

}  // namespace
