// System information: CPU share and memory of real processes (the runner's
// helper child, busy, asleep or holding memory), and the system identifier
// from each of its sources, faked in a private mount namespace.
#include "vek_sysinfo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_runner.h"
#include "vek_test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kChild = VEK_RUNNER_CHILD;

// The helper child running in the background for the life of the object.
class Background {
 public:
  explicit Background(std::vector<std::string> args) : args_(std::move(args)) {
    list_ = vek_listCreate(4);
    for (std::string& a : args_) vek_listAdd(list_, a.data());
    proc_.name = args_[1].data();
    proc_.exe = args_[0].data();
    proc_.args = list_;
    proc_.redirect = VEK_REDIRECT_NONE;
    handle_ = vek_startProcess(&proc_);
  }
  ~Background() {
    if (handle_ != nullptr) {
      vek_signalProcess(handle_, SIGKILL);
      vek_waitForProcess(handle_, nullptr);
      free(handle_);
    }
    vek_listDestroy(list_);
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  pid_t pid() const { return handle_ != nullptr ? handle_->pid : -1; }

 private:
  std::vector<std::string> args_;
  vek_list_t* list_ = nullptr;
  vek_process_t proc_{};
  vek_process_handle_t* handle_ = nullptr;
};

class SysinfoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vek_lifecycleInit(); }
};

TEST_F(SysinfoTest, CpuShareOfAChildAfterTheBaseline) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    double at_least, at_most;
  } cases[] = {
      // Its command name holds blanks, which shift the fields of its stat line.
      {"busy child", {kChild, "spin", "30"}, 5.0, 100.0},
      {"sleeping child", {kChild, "sleep", "30"}, 0.0, 2.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Background child(c.args);
    ASSERT_GT(child.pid(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past its start-up
    vek_cpu_usage_t* tracker = nullptr;
    ASSERT_TRUE(vek_getCpuUsedByProcess(child.pid(), &tracker));
    ASSERT_NE(tracker, nullptr);
    EXPECT_FALSE(tracker->available);  // the baseline
    EXPECT_EQ(tracker->process_id, child.pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(vek_getCpuUsedByProcess(child.pid(), &tracker));
    EXPECT_TRUE(tracker->available);
    EXPECT_GE(tracker->percent_cpu_usage, c.at_least);
    EXPECT_LE(tracker->percent_cpu_usage, c.at_most);
    vek_freeCpuUsage(tracker);
  }
}

TEST_F(SysinfoTest, TrackerOfAnotherOrAVanishedProcess) {
  Background child({kChild, "sleep", "30"});
  ASSERT_GT(child.pid(), 0);
  vek_cpu_usage_t* tracker = nullptr;
  ASSERT_TRUE(vek_getCpuUsedByProcess(getpid(), &tracker));
  {
    vektest::RecordLogs logs;
    EXPECT_TRUE(vek_getCpuUsedByProcess(child.pid(), &tracker));  // another process: taken over
    EXPECT_FALSE(tracker->available);
    EXPECT_TRUE(
        vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "Process CPU tracker provided was for process"));
  }
  EXPECT_TRUE(vek_getCpuUsedByProcess(child.pid(), &tracker));
  EXPECT_TRUE(tracker->available);
  {
    vektest::RecordLogs logs;
    EXPECT_FALSE(vek_getCpuUsedByProcess(999999999, &tracker));
    EXPECT_FALSE(tracker->available);
    EXPECT_EQ(vek_getMemoryUsedByProcess(999999999), VEK_UINT64_UNKNOWN);
    auto events = logs.take();
    EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_WARN,
                                                   "/proc/999999999/stat does not exist. CPU usage not available."));
    EXPECT_TRUE(vektest::RecordingLogger::contains(
        events, VEKLOG_WARN, "/proc/999999999/statm does not exist. Memory usage not available."));
  }
  vek_freeCpuUsage(tracker);
}

TEST_F(SysinfoTest, MemoryOfAProcessThatTouches64MB) {
  const vek_uint64_t touched = vek_uint64_t{64} << 20;
  Background holder({kChild, "touch", "64", "30"});
  Background sleeper({kChild, "sleep", "30"});
  ASSERT_GT(holder.pid(), 0);
  vek_uint64_t held = 0;
  for (int waited = 0; waited < 100 && held < touched; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    held = vek_getMemoryUsedByProcess(holder.pid());
  }
  EXPECT_GE(held, touched);
  EXPECT_NE(held, VEK_UINT64_UNKNOWN);
  vek_uint64_t small = vek_getMemoryUsedByProcess(sleeper.pid());
  EXPECT_GT(small, 0u);
  EXPECT_LT(small, touched);
}

// ---------------------------------------------------------------------------
// System identifier. Each case runs in a forked child (the identifier is
// cached per process) with its own mount namespace, in which the sources are
// what the case says: HAL's query program, the kernel's DMI export, /dev/mem
// and the DMI table decoder.

struct IdSources {
  const char* hal;        // body of a fake /usr/bin/hal-get-property script, or nullptr for none
  const char* dmi_file;   // content of the DMI export, or nullptr for none
  const char* dmidecode;  // body of a fake /usr/sbin/dmidecode script, or nullptr for none
  bool dev_mem;           // /dev/mem readable
};

constexpr int NO_NAMESPACE = 77;  // the child could not arrange its sources

void write_program(const fs::path& path, const std::string& body) {
  vektest::writeFile(path.string(), "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms(0755));
}

bool mounted(const char* source, const fs::path& target, const char* type, const std::string& options = "") {
  return mount(source, target.c_str(), type, 0, options.empty() ? nullptr : options.c_str()) == 0;
}

// Puts `program` (or, for a null body, nothing executable) at dir/name by
// laying an overlay over `dir`.
bool place_program(const fs::path& stage, const fs::path& dir, const char* name, const char* body) {
  fs::path upper = stage / (dir.filename().string() + "-upper"), work = stage / (dir.filename().string() + "-work");
  fs::create_directories(upper);
  fs::create_directories(work);
  if (body != nullptr)
    write_program(upper / name, body);
  else
    vektest::writeFile((upper / name).string(), "");  // hides a real one: not executable
  return mounted("overlay", dir, "overlay",
                 "lowerdir=" + dir.string() + ",upperdir=" + upper.string() + ",workdir=" + work.string());
}

bool arrange_sources(const fs::path& stage, const IdSources& sources) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (!mounted("none", stage, "tmpfs")) return false;
  if (!mounted("none", "/sys/devices/virtual", "tmpfs")) return false;
  if (sources.dmi_file != nullptr) {
    fs::create_directories("/sys/devices/virtual/dmi/id");
    vektest::writeFile("/sys/devices/virtual/dmi/id/product_uuid", sources.dmi_file);
  }
  if (!place_program(stage, "/usr/bin", "hal-get-property", sources.hal)) return false;
  if (!place_program(stage, "/usr/sbin", "dmidecode", sources.dmidecode)) return false;
  // A /dev of its own: /dev/null for the runner, and /dev/mem only when asked.
  if (!mounted("none", "/dev", "tmpfs") || mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0) return false;
  if (sources.dev_mem) vektest::writeFile("/dev/mem", "");
  return true;
}

// "first|second|searches|errors": the identifier from two calls ("(null)"
// for none), how many searches ended, and how many ERROR lines were logged.
std::string system_id_report() {
  vektest::ScopedLogLevel debug(VEKLOG_DEBUG);
  vektest::RecordLogs logs;
  const char* first = vek_getSystemID();
  std::string report = first != nullptr ? first : "(null)";
  const char* second = vek_getSystemID();
  report += "|" + std::string(second != nullptr ? second : "(null)");
  int searches = 0, errors = 0;
  for (const auto& event : logs.take()) {
    if (event.text.rfind("Determined that the system ID is", 0) == 0) ++searches;
    if (event.level >= VEKLOG_ERROR) ++errors;
  }
  return report + "|" + std::to_string(searches) + "|" + std::to_string(errors);
}

// Runs the two calls in a forked child with the given sources; "" with
// `skipped` set when this machine does not let the child arrange them.
std::string system_id_in_child(const fs::path& stage, const IdSources& sources, bool& skipped) {
  int status = 0;
  std::string text = vektest::inChild(
      [&] {
        if (!arrange_sources(stage, sources)) _exit(NO_NAMESPACE);
        return system_id_report();
      },
      &status);
  skipped = WIFEXITED(status) && WEXITSTATUS(status) == NO_NAMESPACE;
  return text;
}

TEST_F(SysinfoTest, SystemIdFromEachSource) {
  const char* uuid = "4C4C4544-0042-3510-8052-B4C04F4E4A31\n";
  const std::string lower = "4c4c4544-0042-3510-8052-b4c04f4e4a31";
  struct Case {
    const char* name;
    IdSources sources;
    std::string expected;  // "first|second|searches|errors"
  } cases[] = {
      {"no source at all: searched once", {nullptr, nullptr, nullptr, false}, "(null)|(null)|1|0"},
      {"DMI export", {nullptr, uuid, nullptr, false}, lower + "|" + lower + "|1|0"},
      {"DMI export of white space: searched again", {nullptr, " \t\n", nullptr, false}, "(null)|(null)|2|0"},
      {"empty DMI export, no decoder", {nullptr, "", nullptr, false}, "(null)|(null)|1|1"},
      {"HAL before the DMI export", {"echo ' ABCD-HAL '\n", uuid, nullptr, false}, "abcd-hal|abcd-hal|1|0"},
      {"HAL's second key",
       {"[ \"$4\" = system.hardware.uuid ] && echo SECOND-KEY\n", nullptr, nullptr, false},
       "second-key|second-key|1|0"},
      {"HAL failing quietly, then the DMI export",
       {"echo 'no HAL daemon' >&2\nexit 1\n", uuid, nullptr, false},
       lower + "|" + lower + "|1|0"},
      {"DMI table decoder",
       {nullptr, nullptr,
        "printf '# dmidecode\\nSystem Information\\n\\tManufacturer: X\\n\\tUUID: ABCDEF01-0042\\n'\n", true},
       "abcdef01-0042|abcdef01-0042|1|0"},
      {"decoder without a UUID line", {nullptr, nullptr, "echo 'System Information'\n", true}, "(null)|(null)|1|0"},
      {"decoder without /dev/mem", {nullptr, nullptr, "echo 'UUID: 1234'\n", false}, "(null)|(null)|1|0"},
  };
  vektest::TempDir stage;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool skipped = false;
    std::string report = system_id_in_child(stage.path(), c.sources, skipped);
    if (skipped) GTEST_SKIP() << "this machine does not allow a private mount namespace (needs root)";
    EXPECT_EQ(report, c.expected);
  }
}

}  // namespace
