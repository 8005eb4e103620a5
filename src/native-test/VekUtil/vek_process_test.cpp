// Pid files and daemons with real launcher processes (the launcher probe),
// and the redirection of the standard streams.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_process.h"
#include "vek_sysinfo.h"
#include "vek_test_probe.h"
#include "vek_test_support.h"

namespace fs = std::filesystem;
using vektest::inChild;
using vektest::Probe;

namespace {

std::string sanitized(std::string name) {
  for (char& c : name)
    if (c == ' ' || c == '\\' || c == '/' || c == ':') c = '_';
  return name;
}

// The pid of a process that existed and is gone.
pid_t vanishedPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

class ProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vek_lifecycleInit(); }

  std::string pidFile(const std::string& app) const {
    return dir_.file("." + sanitized(app + "-" + vek_getHostname() + ".pid"));
  }
  std::string record(const std::string& app) const { return "record:" + app + ":" + dir_.str(); }

  vektest::TempDir dir_;
};

TEST_F(ProcessTest, SecondLauncherWithTheSameNameIsRefusedAndLeavesTheFileAlone) {
  Probe first({"console", record("app"), "ready", "wait"});
  ASSERT_TRUE(first.waitFor("ready")) << first.output();
  ASSERT_TRUE(first.saw("record true")) << first.output();
  EXPECT_EQ(vektest::readFile(pidFile("app")), std::to_string(first.pid()));

  Probe second({"console", record("app")});
  ASSERT_TRUE(second.finish());
  EXPECT_TRUE(second.saw("record false EBUSY")) << second.output();
  EXPECT_NE(second.output().find("FATAL [native] Could not lock the process lock file"), std::string::npos)
      << second.output();
  EXPECT_EQ(vektest::readFile(pidFile("app")), std::to_string(first.pid())) << "the refused launcher touched it";
  EXPECT_TRUE(vek_isLauncherRunning("app", dir_.str().c_str(), false));

  first.closeInput();
  ASSERT_TRUE(first.finish());
  EXPECT_EQ(first.exitCode(), 0);
  EXPECT_FALSE(fs::exists(pidFile("app"))) << "a launcher that exits removes its pid file";
  EXPECT_FALSE(vek_isLauncherRunning("app", dir_.str().c_str(), false));
}

// What the test process concludes from the state directory. Rows with a
// `file` put that name there (empty content); `launcher` starts a probe that
// records "app" and keeps running, or is killed when `kill_it` is set.
TEST_F(ProcessTest, LauncherRunningVerdicts) {
  struct Case {
    const char* name;
    std::string file;
    bool any_system;
    bool expected;
    std::string debug_line;  // a DEBUG line that must explain the verdict; "" for none
    bool launcher = false;
    bool kill_it = false;
  };
  const std::string own = "." + sanitized(std::string("app-") + vek_getHostname()) + ".pid";
  const std::vector<Case> cases = {
      {"no pid file", "", true, false, ""},
      {"a live launcher holds the file", "", false, true, "", true},
      {"a killed launcher's file is stale", "", false, false, "Stale PID file", true, true},
      {"this host's stale file with anySystem", own, true, false, "(any system) ignored"},
      {"another host's file with anySystem", ".app-otherhost.pid", true, true, "most likely started on otherhost"},
      {"another host's file without anySystem", ".app-otherhost.pid", false, false, ""},
      // Only ".app-HOST.pid" with a non-empty host is a launcher's file.
      {"an editor's backup of another host's file", ".app-otherhost.pid~", true, false, ""},
      {"an empty host name", ".app-.pid", true, false, ""},
      // Host names may carry '-': the file of application "app-x" here is
      // not a launcher of "app" on a host "x-<this host>"; what cannot be
      // told apart counts as a launcher elsewhere.
      {"application app-x on this host", "." + sanitized(std::string("app-x-") + vek_getHostname()) + ".pid", true,
       false, ""},
      {"app on host x-otherhost, or app-x on otherhost", ".app-x-otherhost.pid", true, true,
       "most likely started on x-otherhost"},
      {"the bare prefix", ".app-", true, false, ""},
      {"shorter than the suffix", ".app-h", true, false, ""},
      {"the suffix only", ".app.pid", true, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::TempDir dir;
    if (!c.file.empty()) vektest::writeFile(dir.file(c.file), "");
    std::unique_ptr<Probe> launcher;
    if (c.launcher) {
      launcher = std::make_unique<Probe>(std::vector<std::string>{"record:app:" + dir.str(), "ready", "wait"});
      ASSERT_TRUE(launcher->waitFor("ready"));
      if (c.kill_it) {
        launcher->signal(SIGKILL);
        ASSERT_TRUE(launcher->finish());
      }
    }
    vektest::ScopedLogLevel level(VEKLOG_DEBUG);
    vektest::RecordLogs logs;
    EXPECT_EQ(vek_isLauncherRunning("app", dir.str().c_str(), c.any_system), c.expected);
    if (!c.debug_line.empty()) {
      EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_DEBUG, c.debug_line)) << c.debug_line;
    }
  }
}

// lockf locks belong to the process and closing any descriptor of the file
// drops them: a launcher asking about itself, or sending itself a request
// whose fallback reads its own pid file, must not open that file again. The
// signals of the fallbacks reach its own exit routine, which keeps it running.
TEST_F(ProcessTest, LauncherAskingAboutItselfKeepsItsLock) {
  const std::string app = "app:" + dir_.str();
  const struct {
    const char* step;
    const char* answer;
  } cases[] = {
      {"running", "running true"},
      {"threaddump", "threaddump true"},  // no socket file: SIGQUIT to itself
      {"stop", "stop true"},              // no socket file: SIGTERM to itself
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step);
    const std::string request = std::string(c.step) + ":" + app + (std::string(c.step) == "running" ? ":local" : "");
    Probe launcher({record("app"), "block", "routine:0", request, "ready", "wait"});
    ASSERT_TRUE(launcher.waitFor("ready")) << launcher.output();
    EXPECT_TRUE(launcher.saw(c.answer)) << launcher.output();
    EXPECT_TRUE(vek_isLauncherRunning("app", dir_.str().c_str(), false)) << "the launcher lost its lock";
    Probe second({record("app")});
    ASSERT_TRUE(second.finish());
    EXPECT_TRUE(second.saw("record false EBUSY")) << second.output();
  }
}

// A child that knows nothing of the library's fork handling inherits its
// parent's pid-file state: ending with exit() it must not delete the file
// (a second launcher could then start), and it holds no lock to record with.
TEST_F(ProcessTest, ForkedChildThatExitsLeavesTheParentsPidFile) {
  const struct {
    const char* name;
    std::string step;
    const char* child_says;
  } cases[] = {
      {"child ends with exit()", "fork-exit", nullptr},
      {"child records the same application, then exits", "fork-record:app:" + dir_.str(), "child record false EBUSY"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Probe launcher({record("app"), c.step, "ready", "wait"});
    ASSERT_TRUE(launcher.waitFor("ready")) << launcher.output();
    if (c.child_says != nullptr) {
      EXPECT_TRUE(launcher.saw(c.child_says)) << launcher.output();
    }
    EXPECT_EQ(vektest::readFile(pidFile("app")), std::to_string(launcher.pid())) << "the child removed the file";
    Probe second({record("app")});
    ASSERT_TRUE(second.finish());
    EXPECT_TRUE(second.saw("record false EBUSY")) << second.output();
    launcher.closeInput();
    ASSERT_TRUE(launcher.finish());
    EXPECT_FALSE(fs::exists(pidFile("app"))) << "the launcher itself removes it";
  }
}

// A launcher starting while another exits must not lock a file that is
// about to be deleted: by the time the lock is free the name is gone. The
// probe's unlink is slowed down so that a wrong order cannot hide.
TEST_F(ProcessTest, ExitingLauncherDeletesItsFileBeforeUnlocking) {
  Probe launcher({record("app"), "slow-unlink", "ready", "wait"});
  ASSERT_TRUE(launcher.waitFor("ready"));
  int fd = open(pidFile("app").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  struct stat locked_file;
  ASSERT_EQ(fstat(fd, &locked_file), 0);
  launcher.closeInput();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (lockf(fd, F_TLOCK, 0) != 0 && std::chrono::steady_clock::now() < deadline) {
  }
  struct stat by_name;
  bool name_still_there = stat(pidFile("app").c_str(), &by_name) == 0 && by_name.st_ino == locked_file.st_ino;
  close(fd);
  EXPECT_FALSE(name_still_there) << "the lock came free while the file could still be found";
  ASSERT_TRUE(launcher.finish());
}

// The host name comes from a UTS namespace of the launcher's own, so that it
// can carry ':' and '/'.
TEST_F(ProcessTest, HostAndApplicationNamesAreSanitisedInTheFileName) {
  Probe launcher({record("my app"), "ready", "wait"}, [] {
    const char host[] = "build:host/7 x\\y";
    if (unshare(CLONE_NEWUTS) != 0 || sethostname(host, sizeof host - 1) != 0) _exit(77);
  });
  if (!launcher.waitFor("ready")) {
    ASSERT_TRUE(launcher.finish());
    if (launcher.exitCode() == 77) GTEST_SKIP() << "no UTS namespace for a host name of our own (needs CAP_SYS_ADMIN)";
    FAIL() << launcher.output();
  }
  EXPECT_TRUE(launcher.saw("record true")) << launcher.output();
  EXPECT_TRUE(fs::exists(dir_.file(".my_app-build_host_7_x_y.pid"))) << "files: " << [this] {
    std::string names;
    for (const auto& e : fs::directory_iterator(dir_.path())) names += e.path().filename().string() + " ";
    return names;
  }();
}

// A pid file this user cannot open for writing (another user's launcher) is
// judged by the process ID in it. Other tools write the number with a line
// end or blanks after it. Runs as "nobody" against files owned by root.
TEST_F(ProcessTest, AnotherUsersPidFileIsJudgedByTheNumberInIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const std::string live = std::to_string(getpid());  // exists, and nobody may not signal it
  const std::string gone = std::to_string(vanishedPid());
  struct Case {
    const char* name;
    std::string content;
    bool expected;
  } cases[] = {
      {"number only", live, true},
      {"number and newline", live + "\n", true},
      {"number, blanks and CRLF", live + "  \t\r\n", true},
      {"second line ignored", live + "\nsomething else\n", true},
      {"a process that is gone", gone + "\n", false},
      {"trailing garbage", live + "x\n", false},
      {"empty", "", false},
      {"blanks only", "  \n", false},
      {"negative (a process group for kill)", "-1\n", false},
      {"zero", "0\n", false},
      {"out of range", "99999999999999999999999\n", false},
  };
  fs::permissions(dir_.path(), fs::perms(0755));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::writeFile(pidFile("app"), c.content);
    fs::permissions(pidFile("app"), fs::perms(0644));
    std::string answer = inChild([this] {
      if (setgid(65534) != 0 || setuid(65534) != 0) return std::string("setuid failed");
      return std::string(vek_isLauncherRunning("app", dir_.str().c_str(), false) ? "running" : "not running");
    });
    EXPECT_EQ(answer, c.expected ? "running" : "not running");
  }
}

// The daemon and what it keeps: a report file written by the daemon after it
// recorded its pid file, and the shutdown lines of every process that ran
// exit processing. The file log, open on descriptor 3 before, is closed with
// the other descriptors: it must be reclaimed, or the pid file would take
// its number and receive its lines.
TEST_F(ProcessTest, DaemonRunsDetachedWithOnlyItsLockFileAndItsLog) {
  // Orphaned daemons are re-parented to this process, which can then wait
  // for them and see their exit status.
  bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  fs::create_directories(dir_.path() / "base");
  fs::create_directories(dir_.path() / "state");
  const std::string report = dir_.file("report");
  const std::string shutdowns = dir_.file("shutdowns");
  // ThreadSanitizer refuses new threads in the child of a multi-threaded
  // process unless told otherwise; the daemon starts its signal thread there
  // by design. Other builds ignore the variable.
  std::string tsan_options =
      std::string(getenv("TSAN_OPTIONS") != nullptr ? getenv("TSAN_OPTIONS") : "") + " die_after_fork=0";
  fs::create_directories(dir_.path() / "logs");
  Probe caller({"console", "file-log:" + dir_.file("logs"), "block", "open-fds", "shutdown-log:" + shutdowns,
                "daemon:demo:" + dir_.file("base"), "record:app:" + dir_.file("state"), "log:logged by the daemon",
                "report:" + report, "sleep:60000"},
               [&] { setenv("TSAN_OPTIONS", tsan_options.c_str(), 1); });
  ASSERT_TRUE(caller.finish());
  EXPECT_EQ(caller.exitCode(), 0);
  EXPECT_TRUE(caller.saw("daemon -1")) << caller.output();
  EXPECT_NE(caller.output().find("INFO  [native] Daemon process for 'demo' started."), std::string::npos)
      << caller.output();

  for (int i = 0; i < 400 && !fs::exists(report); ++i) usleep(50000);
  ASSERT_TRUE(fs::exists(report)) << "the daemon wrote no report";
  std::map<std::string, std::string> facts;
  std::map<int, std::string> fds;
  std::istringstream in(vektest::readFile(report));
  for (std::string key, value; in >> key && std::getline(in >> std::ws, value);) {
    if (key == "fd") {
      size_t blank = value.find(' ');
      fds[std::stoi(value.substr(0, blank))] = value.substr(blank + 1);
    } else {
      facts[key] = value;
    }
  }
  pid_t daemon = std::stoi(facts["pid"]);
  EXPECT_EQ(facts["sid"], facts["pid"]) << "not the leader of its own session";
  EXPECT_EQ(facts["pgid"], facts["pid"]) << "not the leader of its own process group";
  EXPECT_EQ(facts["cwd"], fs::canonical(dir_.path() / "base").string());
  EXPECT_EQ(facts["block"], "yes") << "the signal block was not installed again";
  const std::string state_pid_file =
      (fs::canonical(dir_.path() / "state") / ("." + sanitized(std::string("app-") + vek_getHostname()) + ".pid"))
          .string();
  std::string log_file;
  for (const auto& entry : fs::directory_iterator(dir_.path() / "logs"))
    log_file = fs::canonical(entry.path()).string();
  std::map<int, std::string> expected_fds = {{0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}};
  for (const auto& [fd, target] : fds)
    if (fd > 2) expected_fds[fd] = target == log_file ? log_file : state_pid_file;
  EXPECT_EQ(fds, expected_fds);
  EXPECT_EQ(fds.size(), 5u) << "beyond 0-2 only the pid file and the log";
  EXPECT_EQ(vektest::readFile(state_pid_file), facts["pid"]) << "the pid file received other text";
  EXPECT_NE(vektest::readFile(log_file).find("logged by the daemon"), std::string::npos) << log_file;
  EXPECT_TRUE(vek_isLauncherRunning("app", dir_.file("state").c_str(), false));

  // SIGTERM with the default disposition: status 1 through exit processing.
  kill(daemon, SIGTERM);
  if (subreaper) {
    int status = 0;
    ASSERT_EQ(waitpid(daemon, &status, 0), daemon);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
  } else {
    double waited = 0;
    EXPECT_TRUE(vek_waitForExternalProcess(daemon, 20, &waited));
  }
  EXPECT_EQ(vektest::readFile(shutdowns),
            "shutdown " + std::to_string(caller.pid()) + "\nshutdown " + std::to_string(daemon) + "\n")
      << "the intermediate child must not run exit processing";
  EXPECT_FALSE(fs::exists(state_pid_file));
  if (subreaper) prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(ProcessTest, ProcessesAreFoundAndWaitedFor) {
  struct Case {
    const char* name;
    pid_t pid;
    bool running;
  } cases[] = {
      {"this process", getpid(), true},
      {"another user's process counts as running", 1, true},
      {"a process that is gone", vanishedPid(), false},
      {"pid 0", 0, false},
      {"a negative pid (a process group for kill)", -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(vek_isProcessRunning(c.pid), c.running);
  }
  // A child that ends after a second, reaped at once so that it vanishes.
  pid_t child = fork();
  if (child == 0) {
    usleep(1000000);
    _exit(0);
  }
  std::thread reaper([child] { waitpid(child, nullptr, 0); });
  double waited = -1;
  EXPECT_TRUE(vek_waitForExternalProcess(child, 10, &waited));
  EXPECT_GE(waited, 0.0);
  EXPECT_LE(waited, 3.0);
  reaper.join();
  // One that does not end: whole seconds, measured before each one-second
  // sleep, so about three seconds pass and two are reported.
  waited = -1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(vek_waitForExternalProcess(getpid(), 2, &waited));
  EXPECT_GE(waited, 2.0);
  EXPECT_LE(waited, 3.0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
}

// Redirection appends to the existing file, and programs started later
// inherit it; a missing file changes nothing.
TEST_F(ProcessTest, StandardStreamsRedirectedIntoAnExistingFile) {
  struct Case {
    const char* name;
    int fd;
    bool exists;
    std::string expected;  // "result errno | file content"
  } cases[] = {
      {"standard output", 1, true, "true 0 | before\nwritten\nchild\n"},
      {"standard error", 2, true, "true 0 | before\nwritten\nchild\n"},
      {"missing file", 1, false, "false ENOENT | "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir_.file(std::string("out-") + std::to_string(c.fd));
    fs::remove(file);
    if (c.exists) vektest::writeFile(file, "before\n");
    std::string answer = inChild([&] {
      errno = 0;
      bool ok = c.fd == 1 ? vek_redirectStdOutToFile(file.c_str()) : vek_redirectStdErrToFile(file.c_str());
      std::string result = ok ? "true 0" : std::string("false ") + strerrorname_np(errno);
      if (ok) {
        fputs("written\n", c.fd == 1 ? stdout : stderr);
        std::string command = std::string("echo child >&") + std::to_string(c.fd);
        if (system(command.c_str()) != 0) result += " (child failed)";
      }
      return result;
    });
    EXPECT_EQ(answer + " | " + vektest::readFile(file), c.expected);
  }
  EXPECT_FALSE(vek_redirectStdOutToFile(nullptr));
  EXPECT_EQ(errno, EINVAL);
}

// ---- Hostile and stale pid files -------------------------------------------------

// Runs `body` as process 1 of a private pid namespace (we are root), so that a
// kill(-1) by mistake reaches only the processes it starts itself. Its text
// comes back; "unshare failed" when the namespace cannot be had.
std::string inPidNamespace(const std::function<std::string()>& body) {
  return inChild([&] {
    if (unshare(CLONE_NEWPID) != 0) return std::string("unshare failed");
    return inChild(body);  // the first child made after unshare is the namespace's process 1
  });
}

// A process of the namespace that locks the pid file of "app" in `dir`,
// writes `text` into it and sleeps; it stands for a launcher (and for every
// process a misread ID would signal). Returns its pid once the lock is held.
pid_t lockingWitness(const std::string& pid_file, const std::string& text) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t witness = fork();
  if (witness == 0) {
    const rlimit no_core = {0, 0};  // SIGQUIT's default would leave a core file
    setrlimit(RLIMIT_CORE, &no_core);
    int fd = open(pid_file.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || lockf(fd, F_TLOCK, 0) != 0) _exit(1);
    std::string content = text == "<own>" ? std::to_string(getpid()) : text;
    if (ftruncate(fd, 0) != 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
      _exit(1);
    (void)!write(ready[1], "x", 1);
    for (;;) pause();
  }
  char byte;
  close(ready[1]);
  bool locked = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  return locked ? witness : -1;
}

// "alive", or how the witness ended.
std::string witnessFate(pid_t witness) {
  int status = 0;
  for (int i = 0; i < 50; ++i) {  // a signal sent is delivered at once; give it half a second
    if (waitpid(witness, &status, WNOHANG) == witness)
      return WIFSIGNALED(status) ? std::string("killed by SIG") + sigabbrev_np(WTERMSIG(status)) : "ended";
    usleep(10000);
  }
  kill(witness, SIGKILL);
  waitpid(witness, nullptr, 0);
  return "alive";
}

// The stop and the thread dump fall back to a signal to the ID in the pid
// file. A text that is no pid from 1 to the system's limit is a broken pid
// file: nothing is signalled ("4294967295" was read as -1 on the 64-bit
// build, and kill(-1) signals every process). The last row shows that the
// witness would have seen a signal.
TEST_F(ProcessTest, PidTextsThatAreNoPidNeverSignalAnything) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private pid namespace";
  const struct {
    const char* name;
    std::string text;
    std::string fate;  // of the witness after the thread dump and the stop: "alive", or "killed" by either
  } cases[] = {
      {"all 32 bits set", "4294967295", "alive"},
      {"minus one", "-1", "alive"},
      {"a negative ID (a process group)", "-2\n", "alive"},
      {"2^63", "9223372036854775808", "alive"},
      {"huge", "99999999999999999999999999", "alive"},
      {"the pid limit itself", vektest::readFile("/proc/sys/kernel/pid_max"), "alive"},
      {"zero", "0", "alive"},
      {"blanks only", "   \t\n", "alive"},
      {"empty", "", "alive"},
      {"a sign", "+1", "alive"},
      {"hexadecimal", "0x10", "alive"},
      {"the locking process's own ID", "<own>", "killed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string answer = inPidNamespace([&] {
      vektest::TempDir dir;
      const std::string pid_file = dir.file("." + sanitized("app-" + std::string(vek_getHostname())) + ".pid");
      pid_t witness = lockingWitness(pid_file, c.text);
      if (witness < 0) return std::string("no witness");
      bool signalled = vek_sendLauncherThreadDumpRequest("app", "app", dir.str().c_str());
      signalled = vek_stopNamedLauncher("app", "app", dir.str().c_str(), true) || signalled;
      std::string fate = witnessFate(witness);
      return fate.rfind("killed by ", 0) == 0 && signalled ? std::string("killed") : fate;
    });
    if (answer == "unshare failed") GTEST_SKIP() << "no private pid namespace here";
    EXPECT_EQ(answer, c.fate);
  }
}

// What may be planted at the pid file's name in a state directory others can
// write to: a launcher must neither follow it (a link would have its target
// truncated) nor hang on it (a FIFO), and must refuse a second name of
// another file (a hard link).
TEST_F(ProcessTest, PlantedFilesAtThePidFileNameAreNeverTruncatedOrFollowed) {
  const std::string pid_file = pidFile("app");
  const std::string target = dir_.file("precious");
  const struct {
    const char* name;
    std::function<void()> plant;
  } cases[] = {
      {"symbolic link to a file", [&] { ASSERT_EQ(0, symlink(target.c_str(), pid_file.c_str())); }},
      {"symbolic link to nothing", [&] { ASSERT_EQ(0, symlink(dir_.file("none").c_str(), pid_file.c_str())); }},
      {"hard link", [&] { ASSERT_EQ(0, link(target.c_str(), pid_file.c_str())); }},
      {"FIFO", [&] { ASSERT_EQ(0, mkfifo(pid_file.c_str(), 0666)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(pid_file);
    fs::remove(dir_.file("none"));
    vektest::writeFile(target, "precious");
    c.plant();
    Probe launcher({record("app"), "running:app:" + dir_.str() + ":local", "threaddump:app:" + dir_.str()});
    ASSERT_TRUE(launcher.finish()) << "hung on the planted file: " << launcher.output();
    EXPECT_TRUE(launcher.saw("record false ELOOP") || launcher.saw("record false EMLINK") ||
                launcher.saw("record false EINVAL"))
        << launcher.output();
    EXPECT_TRUE(launcher.saw("running false")) << launcher.output();
    EXPECT_EQ(vektest::readFile(target), "precious");
    EXPECT_FALSE(fs::exists(dir_.file("none"))) << "a file was created through the link";
  }
  fs::remove(pid_file);
}

// A forced stop signals only the process that holds the pid file's lock: the
// ID in a file nobody holds (its launcher died) may belong to an unrelated
// process today, as may the ID in a file that some other process locks.
TEST_F(ProcessTest, ForcedStopNeverSignalsAProcessThatDoesNotHoldTheLock) {
  const struct {
    const char* name;
    bool locked_by_another;  // a process other than the one named holds the lock
  } cases[] = {
      {"stale file: nobody holds the lock", false},
      {"the lock is held by another process", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pid_t unrelated = fork();
    if (unrelated == 0) {
      for (;;) pause();
    }
    pid_t holder = -1;
    if (c.locked_by_another) {
      holder = lockingWitness(pidFile("app"), std::to_string(unrelated));
    } else {
      vektest::writeFile(pidFile("app"), std::to_string(unrelated));
    }
    vektest::ScopedLogLevel level(VEKLOG_DEBUG);
    vektest::RecordLogs logs;
    EXPECT_FALSE(vek_stopNamedLauncher("app", "app", dir_.str().c_str(), true));
    EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "does not hold the file's lock"));
    EXPECT_EQ(witnessFate(unrelated), "alive");
    if (holder > 0) {
      EXPECT_EQ(witnessFate(holder), "alive");
    }
    fs::remove(pidFile("app"));
  }
}

}  // namespace
