// The sample launcher and its control tool, run as users run them: every
// request through `vekctl` against a running `veklauncher`, without and with
// a hosted Java VM; the thread dump by SIGQUIT when the socket file cannot
// be found; stops that cannot be carried out; `stop --wait` on a daemon.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_message.h"
#include "vek_process.h"
#include "vek_test_run.h"
#include "vek_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vektest::RunResult;

// Under the 32-bit emulator a VM takes a while to start.
constexpr auto START_LIMIT = 120s;

std::string jdk_home() { return fs::path(VEK_TEST_JVM_LIB).parent_path().parent_path().parent_path().string(); }

// No such process, or one that has ended and waits to be reaped.
bool process_gone(pid_t pid) {
  if (kill(pid, 0) != 0) return true;
  const std::string stat = vektest::readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'Z';
}

// User and system clock ticks a process has used so far.
long cpu_ticks(pid_t pid) {
  std::istringstream fields(vektest::readFile("/proc/" + std::to_string(pid) + "/stat"));
  std::string field;
  long ticks = 0;
  for (int i = 1; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::stol(field);  // utime, stime (the name holds no blank here)
  return ticks;
}

size_t thread_dumps(const std::string& dir) {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.path().filename().string().rfind("threaddump-", 0) == 0) ++count;
  return count;
}

// A launcher started in the background; killed when the object goes if it still runs.
class Launcher {
 public:
  Launcher(const std::vector<std::string>& arguments, const std::string& log, uid_t user = 0,
           const std::vector<std::string>& extra_environment = {})
      : log_(log) {
    // Everything the child needs is made before the fork.
    std::vector<std::string> argv = {VEKLAUNCHER};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment = {"JAVA_HOME=" + jdk_home()};
    environment.insert(environment.end(), extra_environment.begin(), extra_environment.end());
    // The VM's own SIGSEGV use and its heap are no business of an
    // AddressSanitizer build's handlers and leak check.
    const bool with_vm = std::find(arguments.begin(), arguments.end(), "--cp") != arguments.end();
    if (with_vm) environment.push_back("ASAN_OPTIONS=handle_segv=0:allow_user_segv_handler=1:detect_leaks=0");
    for (char** e = environ; *e != nullptr; ++e)
      if (strncmp(*e, "JAVA_HOME=", 10) != 0 && (!with_vm || strncmp(*e, "ASAN_OPTIONS=", 13) != 0))
        environment.push_back(*e);
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out, 1);
      dup2(out, 2);
      if (user != 0 && (setgid(user) != 0 || setuid(user) != 0)) _exit(126);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(out);
  }
  ~Launcher() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  pid_t pid() const { return pid_; }
  std::string output() const { return vektest::readFile(log_); }
  // False once it ended (reaped here, its status kept).
  bool running() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return pid_ > 0;
  }
  // The exit status once it ended (within `limit`), or -1.
  int wait_exit(std::chrono::milliseconds limit) {
    return vektest::waitUntil([&] { return !running(); }, limit) ? status_ : -1;
  }
  void kill_hard() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string log_;
};

class LauncherTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    app_ = "launcher-" + dir_.path().filename().string();
    state_ = dir_.file("state");
    fs::create_directory(state_);
    char* path = vek_getMessagePath(app_.c_str(), state_.c_str());
    socket_ = path;
    free(path);
  }

  std::vector<std::string> launcher_arguments(bool with_vm) const {
    std::vector<std::string> args = {"--app", app_, "--state", state_};
    if (with_vm) args.insert(args.end(), {"--cp", VEK_TEST_CLASSES_DIR});
    return args;
  }
  // Waits until the launcher serves; false (with its output) when it did not.
  bool serving(Launcher& launcher) {
    return vektest::waitUntil(
               [&] {
                 return !launcher.running() ||
                        (fs::exists(socket_) && vek_isLauncherRunning(app_.c_str(), state_.c_str(), false));
               },
               START_LIMIT) &&
           launcher.running();
  }
  RunResult vekctl(const std::vector<std::string>& command, const std::vector<vektest::EnvChange>& env = {}) {
    std::vector<std::string> argv = {VEKCTL, "--app", app_, "--state", state_};
    argv.insert(argv.end(), command.begin(), command.end());
    std::vector<vektest::EnvChange> changes = {{"NIMBO_DEBUG", "1"}};
    changes.insert(changes.end(), env.begin(), env.end());
    return vektest::runProgram(argv, changes, 120s);
  }
  std::string pid_file() const {
    char host[256] = "";
    gethostname(host, sizeof host);
    return state_ + "/." + app_ + "-" + host + ".pid";
  }

  vektest::TempDir dir_;
  std::string app_;
  std::string state_;
  std::string socket_;
};

// ---- Every request, without and with a VM ------------------------------------------

TEST_P(LauncherTest, EveryRequestIsAnsweredEndToEnd) {
  const bool with_vm = GetParam();
  Launcher launcher(launcher_arguments(with_vm), dir_.file("launcher.log"));
  ASSERT_TRUE(serving(launcher)) << launcher.output();
  const std::string heap = dir_.file("heap.hprof");
  struct Case {
    const char* name;
    std::vector<std::string> command;
    int status;                    // vekctl's exit status
    std::string native;            // in vekctl's output without a VM
    std::string java;              // and with one
    std::function<bool()> effect;  // checked when set
  };
  const std::string debug_ok =
      with_vm ? "Debug level set to DEBUG" : "answered the debug level request (type 20): DEBUG";
  const Case cases[] = {
      {"thread dump",
       {"threaddump"},
       0,
       "answered the thread dump request",
       "Thread dump written to",
       [&] { return thread_dumps(state_) == 1; }},
      {"support bundle", {"bundle"}, 0, "answered the support bundle request", "Support bundle requested", nullptr},
      {"heap dump of everything",
       {"heapdump", heap, "--all"},
       0,
       "answered the heap dump request",
       "Heap dump written to " + heap,
       [&] { return !with_vm || fs::file_size(heap) > 0; }},
      {"debug level", {"debug", "20", "DEBUG"}, 0, debug_ok, debug_ok, nullptr},
      {"a debug type the launcher does not know",
       {"debug", "99", "x"},
       with_vm ? 1 : 0,
       "answered the debug level request (type 99): x",
       "Request to change debug level transmitted, but was not successful: No handler processed the incoming message",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult result = vekctl(c.command);
    EXPECT_EQ(c.status, result.status) << result.output;
    EXPECT_TRUE(result.has(with_vm ? c.java : c.native)) << result.output;
    if (c.effect) {
      EXPECT_TRUE(c.effect()) << launcher.output();
    }
  }
  // The heap dump's payload: file name, the live-objects flag, the sender.
  if (!with_vm) {
    EXPECT_NE(std::string::npos, launcher.output().find(heap + "\nfalse\nheap dump request from: "));
  }

  RunResult stop = vekctl({"stop"});
  EXPECT_EQ(0, stop.status) << stop.output;
  EXPECT_TRUE(stop.has("Shutdown request transmitted."));
  EXPECT_EQ(0, launcher.wait_exit(60s)) << launcher.output();
  EXPECT_FALSE(fs::exists(socket_));
  EXPECT_FALSE(fs::exists(pid_file()));
}

// The socket file is looked for in the temporary directory; a control tool
// given another one finds none and falls back to SIGQUIT.
TEST_P(LauncherTest, ThreadDumpBySignalWhenTheSocketFileIsGone) {
  Launcher launcher(launcher_arguments(GetParam()), dir_.file("launcher.log"));
  ASSERT_TRUE(serving(launcher)) << launcher.output();
  fs::create_directory(dir_.file("elsewhere"));
  RunResult result = vekctl({"threaddump"}, {{"TMPDIR", dir_.file("elsewhere")}});
  EXPECT_EQ(0, result.status) << result.output;
  EXPECT_TRUE(result.has("as it does not exist.")) << result.output;
  EXPECT_TRUE(result.has("Trying as a signal"));
  EXPECT_TRUE(
      result.has("Thread dump request sent to the application process with id " + std::to_string(launcher.pid())));
  EXPECT_TRUE(
      result.has("A thread dump text file should now be available in the application's state directory: " + state_));
  EXPECT_TRUE(vektest::waitUntil([&] { return thread_dumps(state_) == 1; }, 30s)) << launcher.output();
  EXPECT_TRUE(fs::exists(socket_));  // the launcher is untouched
}

INSTANTIATE_TEST_SUITE_P(WithoutAndWithVm, LauncherTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "JavaVm" : "Native"; });

// ---- Stops ------------------------------------------------------------------------

class LauncherStopTest : public LauncherTest {};

TEST_F(LauncherStopTest, ASecondLauncherOfTheSameApplicationIsRefused) {
  Launcher first(launcher_arguments(false), dir_.file("first.log"));
  ASSERT_TRUE(serving(first)) << first.output();
  Launcher second(launcher_arguments(false), dir_.file("second.log"));
  EXPECT_EQ(1, second.wait_exit(30s));
  EXPECT_NE(std::string::npos, second.output().find("launcher already runs in " + state_)) << second.output();
  EXPECT_TRUE(fs::exists(socket_));
}

// A launcher that is not running: without --force nothing is tried; with it
// the message and the signal are, and the stop fails without waiting.
TEST_F(LauncherStopTest, StoppingALauncherThatIsNotRunning) {
  struct Case {
    const char* name;
    bool killed_launcher;  // a launcher ran and was killed: its socket and pid files stay
    std::vector<std::string> command;
    int status;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"never ran", false, {"stop", "--wait"}, 0, {"does not seem to be running in "}},
      {"never ran, forced",
       false,
       {"stop", "--force", "--wait"},
       1,
       {"Could not find the inter-launcher communications socket file", "Could not determine "}},
      // The ID in a file that no launcher holds may be anybody's today: no signal.
      {"killed, forced",
       true,
       {"stop", "--force", "--wait"},
       1,
       {"Sending stop request to '", "Could not connect socket",
        "does not hold the file's lock. No stop signal was sent."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.killed_launcher) {
      Launcher launcher(launcher_arguments(false), dir_.file("killed.log"));
      ASSERT_TRUE(serving(launcher)) << launcher.output();
      launcher.kill_hard();
      ASSERT_TRUE(fs::exists(socket_) && fs::exists(pid_file()));
    }
    const auto start = std::chrono::steady_clock::now();
    RunResult result = vekctl(c.command);
    EXPECT_EQ(c.status, result.status) << result.output;
    for (const std::string& line : c.lines) EXPECT_TRUE(result.has(line)) << line << "\n" << result.output;
    EXPECT_FALSE(result.has("Waiting for the")) << result.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  }
}

TEST_F(LauncherStopTest, StopWaitReturnsOnceTheDaemonIsGone) {
  RunResult started = vektest::runProgram({VEKLAUNCHER, "--app", app_, "--state", state_, "--daemon"}, {}, 60s);
  ASSERT_EQ(0, started.status) << started.output;
  ASSERT_TRUE(vektest::waitUntil([&] { return fs::exists(socket_); }, START_LIMIT));
  const pid_t daemon = static_cast<pid_t>(std::stol(vektest::readFile(pid_file())));
  ASSERT_EQ(0, kill(daemon, 0));
  // An idle daemon sleeps: its server polls nothing that is always ready.
  const long ticks_before = cpu_ticks(daemon);
  std::this_thread::sleep_for(2s);
  EXPECT_LT(cpu_ticks(daemon) - ticks_before, 20) << "the idle daemon keeps a CPU busy";
  RunResult stop = vekctl({"stop", "--wait"});
  EXPECT_EQ(0, stop.status) << stop.output;
  EXPECT_TRUE(stop.has("Waiting for the '" + app_ + "' process (pid " + std::to_string(daemon) + ") to shutdown"));
  EXPECT_TRUE(stop.has("has completed its shutdown sequence"));
  // The pid file goes in the daemon's exit processing: the process itself
  // ends just after (a daemon is nobody's child here: it may linger unreaped).
  EXPECT_TRUE(vektest::waitUntil([&] { return process_gone(daemon); }, 5s));
  EXPECT_FALSE(fs::exists(pid_file()));
  EXPECT_FALSE(fs::exists(socket_));
  EXPECT_NE(std::string::npos,
            vektest::readFile(state_ + "/veklauncher-" + app_ + ".log").find("stopping after a stop request"));
}

// A Java handler that ends the launcher with System.exit while it handles the
// stop: exit processing used to wait for the lock the handling thread held,
// so the launcher never ended and `vekctl stop` never returned. (A fixture
// of its own: the VM has no place in the ThreadSanitizer run.)
class LauncherJavaStopTest : public LauncherTest {};

TEST_F(LauncherJavaStopTest, AStopEndedBySystemExitInTheJavaHandlerReturns) {
  Launcher launcher(launcher_arguments(true), dir_.file("launcher.log"), 0,
                    {"JAVA_TOOL_OPTIONS=-Dvektest.exitOnStop=0"});
  ASSERT_TRUE(serving(launcher)) << launcher.output();
  RunResult stop = vekctl({"stop", "--wait"});
  EXPECT_EQ(0, stop.status) << stop.output;
  EXPECT_TRUE(stop.has("Shutdown request transmitted.")) << stop.output;
  EXPECT_EQ(0, launcher.wait_exit(60s)) << launcher.output();
  EXPECT_FALSE(fs::exists(socket_));
  EXPECT_FALSE(fs::exists(pid_file()));
}

// A stop that is not permitted (a launcher of another user, a control tool
// that is not root) must fail at once: waiting after it would never end.
TEST_F(LauncherStopTest, AStopThatIsNotPermittedDoesNotWait) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the launcher and the tool as two other users";
  passwd* nobody = getpwnam("nobody");
  const uid_t launcher_user = nobody != nullptr ? nobody->pw_uid : 4242;
  const uid_t tool_user = 4243;  // no password entry: the requests describe it by its UID
  ASSERT_EQ(0, chmod(dir_.str().c_str(), 0755));
  ASSERT_EQ(0, chmod(state_.c_str(), 0777));
  Launcher launcher(launcher_arguments(false), dir_.file("launcher.log"), launcher_user);
  ASSERT_TRUE(serving(launcher)) << launcher.output();
  // runProgram cannot change the user: the tool is started here.
  const std::string log = dir_.file("vekctl.log");
  int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t child = fork();
  if (child == 0) {
    dup2(out, 1);
    dup2(out, 2);
    if (setuid(tool_user) != 0) _exit(126);
    execl(VEKCTL, VEKCTL, "--app", app_.c_str(), "--state", state_.c_str(), "stop", "--wait", nullptr);
    _exit(127);
  }
  int status = 0;
  const bool ended = vektest::waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 30s);
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  close(out);
  const std::string output = vektest::readFile(log);
  ASSERT_TRUE(ended) << "vekctl stop --wait kept waiting after a stop that was not permitted\n" << output;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
  EXPECT_NE(std::string::npos,
            output.find("Could not transmit the shutdown request as a signal as you are not the owner"))
      << output;
  EXPECT_EQ(-1, launcher.wait_exit(100ms));  // still running
}

// ---- The socket path in the shared temporary directory ---------------------------

// A server another user planted at the launcher's predictable socket path:
// it answers every request with "stop done" (type OK) and reports each
// request it read on a pipe.
class PlantedServer {
 public:
  PlantedServer(const std::string& path, uid_t user, gid_t group) : path_(path) {
    int ready[2];
    int seen[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(seen, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) serve(user, group, ready[1], seen[1]);
    close(ready[1]);
    close(seen[1]);
    char byte;
    started_ = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    seen_ = seen[0];
    fcntl(seen_, F_SETFL, O_NONBLOCK);
  }
  ~PlantedServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (seen_ >= 0) close(seen_);
    unlink(path_.c_str());
  }
  PlantedServer(const PlantedServer&) = delete;
  PlantedServer& operator=(const PlantedServer&) = delete;

  bool started() const { return started_; }
  int requests() {
    char bytes[64];
    for (ssize_t n; (n = read(seen_, bytes, sizeof bytes)) > 0;) requests_ += static_cast<int>(n);
    return requests_;
  }

 private:
  [[noreturn]] void serve(uid_t user, gid_t group, int ready, int seen) {
    if (setgid(group) != 0 || setuid(user) != 0) _exit(10);
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    fchmod(listener, 0777);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0)
      _exit(11);
    (void)!write(ready, "r", 1);
    for (;;) {
      int connection = accept(listener, nullptr, nullptr);
      if (connection < 0) continue;
      int32_t header[3];
      if (recv(connection, header, sizeof header, MSG_WAITALL) == static_cast<ssize_t>(sizeof header)) {
        (void)!write(seen, "m", 1);
        const char text[] = "stop done";
        const int32_t reply[3] = {VEK_MESSAGE_OK, 0, static_cast<int32_t>(sizeof text)};
        send(connection, reply, sizeof reply, MSG_NOSIGNAL);
        send(connection, text, sizeof text, MSG_NOSIGNAL);
      }
      close(connection);
    }
  }

  std::string path_;
  pid_t pid_ = -1;
  int seen_ = -1;
  int requests_ = 0;
  bool started_ = false;
};

class LauncherSocketTest : public LauncherTest {
 protected:
  void SetUp() override {
    LauncherTest::SetUp();
    if (getuid() != 0) GTEST_SKIP() << "needs root to plant a socket as another user";
    passwd* nobody = getpwnam("nobody");
    user_ = nobody != nullptr ? nobody->pw_uid : 65534;
    group_ = nobody != nullptr ? nobody->pw_gid : 65534;
  }
  uid_t user_ = 65534;
  gid_t group_ = 65534;
};

// Another user's socket at the path: the launcher must not take it over (nor
// claim to remove it), and root's control tool must neither send to it nor
// believe its answer. A launcher whose socket is elsewhere still gets its
// thread dump: by signal, to the process that holds its pid file's lock.
TEST_F(LauncherSocketTest, ASocketOfAnotherUserIsNeitherReplacedNorTrusted) {
  PlantedServer planted(socket_, user_, group_);
  if (!planted.started()) GTEST_SKIP() << "the temporary directory does not let another user plant a socket";
  const std::string owner = "UID " + std::to_string(user_);
  {
    SCOPED_TRACE("the launcher");
    Launcher launcher(launcher_arguments(false), dir_.file("refused.log"));
    EXPECT_EQ(1, launcher.wait_exit(60s)) << launcher.output();
    EXPECT_TRUE(launcher.output().find(socket_ + " already exists and belongs to another user") != std::string::npos &&
                launcher.output().find(owner) != std::string::npos)
        << launcher.output();
    EXPECT_EQ(std::string::npos, launcher.output().find("removing it")) << launcher.output();
    struct stat info;
    EXPECT_TRUE(lstat(socket_.c_str(), &info) == 0 && info.st_uid == user_);
  }
  {
    SCOPED_TRACE("a forced stop by root");
    RunResult stop = vekctl({"stop", "--force"});
    EXPECT_EQ(1, stop.status) << stop.output;
    EXPECT_TRUE(stop.has("not the owner of the process the message is destined for. Local 0, Remote " +
                         std::to_string(user_) + "."))
        << stop.output;
    EXPECT_FALSE(stop.has("Shutdown request transmitted")) << stop.output;
  }
  {
    SCOPED_TRACE("a thread dump of a launcher whose socket is elsewhere");
    fs::create_directory(dir_.file("elsewhere"));
    Launcher launcher(launcher_arguments(false), dir_.file("elsewhere.log"), 0, {"TMPDIR=" + dir_.file("elsewhere")});
    ASSERT_TRUE(
        vektest::waitUntil([&] { return vek_isLauncherRunning(app_.c_str(), state_.c_str(), false); }, START_LIMIT))
        << launcher.output();
    RunResult dump = vekctl({"threaddump"});
    EXPECT_EQ(0, dump.status) << dump.output;
    EXPECT_TRUE(
        dump.has("Thread dump request sent to the application process with id " + std::to_string(launcher.pid())))
        << dump.output;
    EXPECT_TRUE(vektest::waitUntil([&] { return thread_dumps(state_) == 1; }, 30s)) << launcher.output();
  }
  EXPECT_EQ(0, planted.requests()) << "a request reached the planted socket";
}

// Root's control tool reaches a launcher run by a service account: the owner
// of the launcher's locked pid file is trusted at the other end.
TEST_F(LauncherSocketTest, RootsToolReachesTheLauncherOfAServiceAccount) {
  ASSERT_EQ(0, chmod(dir_.str().c_str(), 0755));
  ASSERT_EQ(0, chmod(state_.c_str(), 0777));
  Launcher launcher(launcher_arguments(false), dir_.file("launcher.log"), user_);
  ASSERT_TRUE(serving(launcher)) << launcher.output();
  RunResult stop = vekctl({"stop"});
  EXPECT_EQ(0, stop.status) << stop.output;
  EXPECT_TRUE(stop.has("Shutdown request transmitted.")) << stop.output;
  EXPECT_EQ(0, launcher.wait_exit(60s)) << launcher.output();
}

}  // namespace
