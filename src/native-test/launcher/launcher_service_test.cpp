// The sample launcher under a service manager and as a container's first
// process, with the test playing the manager: readiness only once requests
// are answered, the stop announced, watchdog pings while healthy and only
// for the process they are meant for, children without the manager's
// variables, and as pid 1 of a private pid namespace: orphans reaped, the runner's child's own exit
// status, and SIGTERM ending it with status 0.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_message.h"
#include "vek_test_run.h"
#include "vek_test_service.h"
#include "vek_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto START_LIMIT = 120s;  // a VM under the 32-bit emulator takes a while

std::string jdk_home() { return fs::path(VEK_TEST_JVM_LIB).parent_path().parent_path().parent_path().string(); }

// State and parent of a process from /proc ('?' when it is gone).
struct ProcState {
  char state = '?';
  long parent = 0;
  std::string name;
};
ProcState proc_state(const std::string& pid) {
  const std::string stat = vektest::readFile("/proc/" + pid + "/stat");
  ProcState result;
  const size_t open = stat.find('(');
  const size_t end = stat.rfind(')');
  if (open == std::string::npos || end == std::string::npos) return result;
  result.name = stat.substr(open + 1, end - open - 1);
  sscanf(stat.c_str() + end + 1, " %c %ld", &result.state, &result.parent);
  return result;
}

// The pids of the children of `parent`, as this namespace numbers them.
std::vector<std::pair<long, ProcState>> children_of(long parent) {
  std::vector<std::pair<long, ProcState>> found;
  DIR* proc = opendir("/proc");
  for (dirent* entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    ProcState state = proc_state(entry->d_name);
    if (state.parent == parent) found.emplace_back(atol(entry->d_name), state);
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

// A program started in the background with environment changes, its
// standard output and error together on one pipe, read as it comes; killed
// when the object goes if it still runs.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::vector<vektest::EnvChange>& changes) {
    const std::vector<std::string> environment = vektest::environmentWith(changes);
    std::vector<char*> args = vektest::execArray(argv), envp = vektest::execArray(environment);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] {
      char buffer[4096];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(buffer, static_cast<size_t>(n));
      }
      close(fd);
    });
  }
  ~Background() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  pid_t pid() const { return pid_; }
  std::string output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }
  // The exit status once it ended within `limit` (its output all read), or -1.
  int wait_exit(std::chrono::milliseconds limit) {
    int status = 0;
    if (pid_ <= 0 || !vektest::waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) return -1;
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::string output_;
};

class LauncherServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    app_ = "service-" + dir_.path().filename().string();
    state_ = dir_.file("state");
    fs::create_directory(state_);
    char* path = vek_getMessagePath(app_.c_str(), state_.c_str());
    socket_ = path;
    free(path);
  }

  std::vector<std::string> launcher(const std::vector<std::string>& extra) const {
    std::vector<std::string> argv = {VEKLAUNCHER, "--app", app_, "--state", state_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }
  std::vector<vektest::EnvChange> environment(const std::vector<vektest::EnvChange>& extra) const {
    std::vector<vektest::EnvChange> changes = {{"JAVA_HOME", jdk_home()},
                                               {"NOTIFY_SOCKET", std::nullopt},
                                               {"WATCHDOG_USEC", std::nullopt},
                                               {"WATCHDOG_PID", std::nullopt},
                                               {"JOURNAL_STREAM", std::nullopt}};
    changes.insert(changes.end(), extra.begin(), extra.end());
    return changes;
  }
  vektest::RunResult vekctl(const std::vector<std::string>& command) {
    std::vector<std::string> argv = {VEKCTL, "--app", app_, "--state", state_};
    argv.insert(argv.end(), command.begin(), command.end());
    return vektest::runProgram(argv, {}, 120s);
  }
  std::string pid_file() const {
    char host[256] = "";
    gethostname(host, sizeof host);
    return state_ + "/." + app_ + "-" + host + ".pid";
  }
  // A request to the launcher's socket is answered (type OK).
  bool answers() {
    vek_message_t* request = vek_createEmptyMessage();
    request->type = 20;  // a debug-level request, answered by both processors
    vek_setMessageTextPayload(request, "readiness check");
    vek_message_t* reply = vek_sendMessage(socket_.c_str(), request);
    const bool answered = reply != nullptr && reply->type == VEK_MESSAGE_OK;
    vek_destroyMessage(reply);
    vek_destroyMessage(request);
    return answered;
  }

  vektest::TempDir dir_;
  std::string app_;
  std::string state_;
  std::string socket_;
};

// Datagrams until one that starts with `wanted` (returned), or nullopt;
// every other one is added to `others`.
std::optional<std::string> receive_until(vektest::ManagerSocket& manager, const std::string& wanted,
                                         std::vector<std::string>& others, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    std::optional<std::string> datagram = manager.receive();
    if (!datagram) continue;
    if (datagram->rfind(wanted, 0) == 0) return datagram;
    others.push_back(*datagram);
  }
  return std::nullopt;
}

TEST_F(LauncherServiceTest, ReadyOnlyOnceServingThenStopping) {
  struct Case {
    const char* name;
    bool abstract;  // the manager's socket: an abstract name, else a path
    bool with_vm;   // the launcher hosts a VM: readiness waits for it
  };
  const Case cases[] = {{"path", false, false}, {"abstract", true, false}, {"path, Java VM", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name =
        c.abstract ? "@vektest-manager-" + std::to_string(getpid()) : dir_.file("notify-" + std::to_string(&c - cases));
    vektest::ManagerSocket manager(name);
    ASSERT_TRUE(manager.bound());
    std::vector<std::string> extra = {"--foreground", "--run", "env"};
    std::vector<vektest::EnvChange> env = {{"NOTIFY_SOCKET", name}, {"VEKTEST_MARK", "inherited"}};
    if (c.with_vm) {
      extra.insert(extra.end(), {"--cp", VEK_TEST_CLASSES_DIR});
      // The sanitizer build's leak check cannot run beside a VM's threads.
      env.emplace_back("ASAN_OPTIONS", "handle_segv=0:allow_user_segv_handler=1:detect_leaks=0");
    }
    Background run(launcher(extra), environment(env));
    std::vector<std::string> before;
    std::optional<std::string> ready = receive_until(manager, "READY=1", before, START_LIMIT);
    ASSERT_TRUE(ready) << run.output();
    // Readiness: the pid file names the launcher and a request is answered at once.
    EXPECT_TRUE(answers()) << run.output();
    EXPECT_EQ(std::to_string(run.pid()), vektest::readFile(pid_file()).substr(0, std::to_string(run.pid()).size()));
    EXPECT_NE(std::string::npos, ready->find("\nSTATUS=Serving requests at " + socket_)) << *ready;
    for (const std::string& datagram : before) EXPECT_EQ(0u, datagram.rfind("STATUS=", 0)) << datagram;
    if (c.with_vm) {
      EXPECT_EQ(std::vector<std::string>{"STATUS=Starting the Java VM"}, before);
    }
    // The command (`env`) ran to its end before the stop.
    EXPECT_TRUE(vektest::waitUntil([&] { return run.output().find("ended: exit code 0,") != std::string::npos; }, 30s))
        << run.output();
    vektest::RunResult stop = vekctl({"stop"});
    EXPECT_EQ(0, stop.status) << stop.output;
    std::vector<std::string> after;
    std::optional<std::string> stopping = receive_until(manager, "STOPPING=1", after, 30s);
    ASSERT_TRUE(stopping) << run.output();
    EXPECT_NE(std::string::npos, stopping->find("STATUS=Stopping after a stop request")) << *stopping;
    EXPECT_EQ(0, run.wait_exit(60s)) << run.output();
    for (const std::string& datagram : after) EXPECT_NE(0u, datagram.rfind("READY=1", 0)) << datagram;
    // The runner's child saw the environment, without the manager's variables.
    const std::string output = run.output();
    EXPECT_NE(std::string::npos, output.find("] VEKTEST_MARK=inherited")) << output;
    EXPECT_EQ(std::string::npos, output.find("NOTIFY_SOCKET=")) << output;
  }
}

// Pings counted over a window, at WATCHDOG_USEC of 400 ms: one every 200 ms
// is expected, and none where the watchdog is not this launcher's, where the
// launcher does not serve a manager, or once it cannot answer requests.
TEST_F(LauncherServiceTest, WatchdogPingsOnlyWhileHealthyAndMeant) {
  struct Case {
    const char* name;
    bool foreground;                   // --foreground
    std::optional<std::string> owner;  // WATCHDOG_PID
    bool replace_socket;               // a plain file takes the socket file's place before the window
    int at_least;                      // pings in the window
    int at_most;
  };
  const Case cases[] = {
      {"healthy", true, std::nullopt, false, 5, 16},
      {"meant for another process", true, "1", false, 0, 0},
      {"not under a manager", false, std::nullopt, false, 0, 0},
      {"its socket unreachable", true, std::nullopt, true, 0, 0},
  };
  constexpr auto WINDOW = 2s;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "@vektest-watchdog-" + std::to_string(getpid()) + "-" + std::to_string(&c - cases);
    vektest::ManagerSocket manager(name);
    ASSERT_TRUE(manager.bound());
    manager.wait_for(100ms);
    std::vector<vektest::EnvChange> env = {{"NOTIFY_SOCKET", name}, {"WATCHDOG_USEC", "400000"}};
    if (c.owner) env.push_back({"WATCHDOG_PID", *c.owner});
    Background run(launcher(c.foreground ? std::vector<std::string>{"--foreground"} : std::vector<std::string>{}),
                   environment(env));
    ASSERT_TRUE(vektest::waitUntil([&] { return fs::exists(socket_) && answers(); }, START_LIMIT)) << run.output();
    if (c.replace_socket) {
      // Requests can no longer reach the launcher: vekctl cannot either.
      ASSERT_TRUE(fs::remove(socket_));
      std::ofstream(socket_) << "not a socket";
      std::this_thread::sleep_for(500ms);  // a ping under way may still come
    }
    while (manager.receive()) {
    }
    int pings = 0;
    std::vector<std::string> others;
    const auto end = std::chrono::steady_clock::now() + WINDOW;
    while (std::chrono::steady_clock::now() < end) {
      std::optional<std::string> datagram = manager.receive();
      if (!datagram) continue;
      if (*datagram == "WATCHDOG=1")
        ++pings;
      else
        others.push_back(*datagram);
    }
    EXPECT_GE(pings, c.at_least) << run.output();
    EXPECT_LE(pings, c.at_most) << run.output();
    EXPECT_TRUE(others.empty()) << others.front();
    kill(run.pid(), SIGTERM);
    EXPECT_EQ(0, run.wait_exit(60s)) << run.output();
  }
}

// ---- The first process of a container ------------------------------------------

// The launcher as pid 1 of a new pid namespace; its command leaves a hundred
// orphans that outlive it (and hold its output open, so that it stays an
// unreaped child of the runner meanwhile), then ends with status 7.
TEST_F(LauncherServiceTest, AsTheFirstProcessItReapsOrphansAndKeepsTheRunnersStatus) {
  if (getuid() != 0) GTEST_SKIP() << "needs root for a private pid namespace";
  constexpr int ORPHANS = 100;
  const std::string command =
      "i=0; while [ $i -lt " + std::to_string(ORPHANS) + " ]; do (sleep 5 &); i=$((i+1)); done; sleep 0.3; exit 7";
  std::vector<std::string> argv = {"/usr/bin/unshare", "--pid", "--fork"};
  for (const std::string& a : launcher({"--run", command})) argv.push_back(a);
  Background unshare(argv, environment({}));
  long first = 0;  // the launcher, as this namespace numbers it
  ASSERT_TRUE(vektest::waitUntil(
      [&] {
        auto children = children_of(unshare.pid());
        first = children.empty() ? 0 : children.front().first;
        return unshare.output().find("unshare failed") != std::string::npos ||
               (first != 0 && unshare.output().find("Started the command of --run") != std::string::npos);
      },
      START_LIMIT))
      << unshare.output();
  if (unshare.output().find("unshare failed") != std::string::npos) GTEST_SKIP() << unshare.output();
  EXPECT_NE(std::string::npos, unshare.output().find("running in " + state_ + " (pid 1)")) << unshare.output();
  EXPECT_NE(std::string::npos, unshare.output().find("Reaping every child that ends (the first process)"));
  // The orphans are the launcher's children now.
  auto orphans = [&] {
    int count = 0;
    for (const auto& [pid, state] : children_of(first)) count += state.name == "sleep" && state.state != 'Z';
    return count;
  };
  EXPECT_TRUE(vektest::waitUntil([&] { return orphans() == ORPHANS; }, 10s)) << orphans() << " orphans\n"
                                                                             << unshare.output();
  // All end, and none stays a zombie.
  auto zombies = [&] {
    int count = 0;
    for (const auto& [pid, state] : children_of(first)) count += state.state == 'Z';
    return count;
  };
  EXPECT_TRUE(vektest::waitUntil([&] { return orphans() == 0 && zombies() == 0; }, 15s))
      << orphans() << " orphans, " << zombies() << " zombies";
  EXPECT_TRUE(vektest::waitUntil(
      [&] { return unshare.output().find("ended: exit code 7, signal -1") != std::string::npos; }, 10s))
      << unshare.output();
  EXPECT_EQ(std::string::npos, unshare.output().find("could not be waited for")) << unshare.output();
  ASSERT_EQ(0, kill(static_cast<pid_t>(first), SIGTERM));
  EXPECT_EQ(0, unshare.wait_exit(60s)) << unshare.output();
  EXPECT_NE(std::string::npos, unshare.output().find("stopping after signal Terminated")) << unshare.output();
}

}  // namespace
