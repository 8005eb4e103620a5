// Child reaping on the signal thread, in a process that is the reaper of its
// descendants' orphans: orphans are reaped, while the process runner's own
// children (quick ones that end while their start is still being recorded,
// and ones whose output a grandchild keeps open, so that they stay zombies
// for a while) still report their own exit status.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_runner.h"
#include "vek_sighandler.h"
#include "vek_test_support.h"

namespace {

using namespace std::chrono_literals;

// Ended children of this process not yet reaped.
int zombie_children() {
  int zombies = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::string stat = vektest::readFile(std::string("/proc/") + entry->d_name + "/stat");
    const size_t end = stat.rfind(')');
    char state = '?';
    long parent = 0;
    if (end != std::string::npos && sscanf(stat.c_str() + end + 1, " %c %ld", &state, &parent) == 2 && state == 'Z' &&
        parent == getpid())
      ++zombies;
  }
  closedir(proc);
  return zombies;
}

bool wait_for_zombies(int expected, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (zombie_children() != expected) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// One shell command for the runner, owning its texts.
class ShellRun {
 public:
  ShellRun(const std::string& command, vek_redirect_type_t redirect) : command_(command) {
    args_ = vek_listCreate(3);
    for (std::string* text : {&shell_, &flag_, &command_}) vek_listAdd(args_, text->data());
    proc_.exe = shell_.data();
    proc_.args = args_;
    proc_.redirect = redirect;
  }
  ~ShellRun() {
    free(proc_.handle);
    vek_listDestroy(args_);
  }
  ShellRun(const ShellRun&) = delete;
  ShellRun& operator=(const ShellRun&) = delete;
  vek_process_t* proc() { return &proc_; }

 private:
  std::string shell_ = "/bin/sh";
  std::string flag_ = "-c";
  std::string command_;
  vek_list_t* args_ = nullptr;
  vek_process_t proc_ = {};
};

// `count` orphans that end after `seconds`, left by a shell that ends at once.
std::string orphans(int count, const char* seconds) {
  return "i=0; while [ $i -lt " + std::to_string(count) + " ]; do (sleep " + seconds + " &); i=$((i+1)); done";
}

class ChildReapingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    vek_installSignalBlock();
    ASSERT_TRUE(vek_isSignalBlockInstalled());
    // Orphans of this process's descendants come to it, as to a container's first process.
    ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));
  }
  void TearDown() override { vek_setChildReaping(false); }
};

// A child of the runner that ended hides the other ended children from
// waitid while its runner drains the output a grandchild keeps writing (for
// up to three seconds): they are reaped meanwhile all the same.
TEST_F(ChildReapingTest, OrphansAreReapedWhileARunnersChildAwaitsItsRunner) {
  vek_setChildReaping(true);
  const std::string writer = "(i=0; while [ $i -lt 40 ]; do echo x; sleep 0.1; i=$((i+1)); done &); ";
  ShellRun run(writer + orphans(20, "0.2 >/dev/null 2>&1") + "; exit 5", VEK_REDIRECT_HANDLER);
  vek_process_handle_t* handle = vek_startProcess(run.proc());
  ASSERT_NE(nullptr, handle);
  std::this_thread::sleep_for(1s);
  // The orphans ended long ago; the runner's child waits for its runner.
  EXPECT_TRUE(wait_for_zombies(1, 1s)) << zombie_children() << " zombies";
  EXPECT_TRUE(vek_isProcessHandleActive(handle));
  vek_process_result_t result = {};
  EXPECT_TRUE(vek_waitForProcess(handle, &result));
  EXPECT_EQ(5, result.exit_code);
  EXPECT_TRUE(wait_for_zombies(0, 3s)) << zombie_children() << " zombies";
}

// Many concurrent runs, each with its own exit code, among a hundred
// orphans: none loses its status to the reaping.
TEST_F(ChildReapingTest, RunnerChildrenKeepTheirExitStatus) {
  vek_setChildReaping(true);
  constexpr int ROUNDS = 40;
  std::vector<std::thread> quick;
  std::vector<int> quick_codes(ROUNDS, -2);
  for (int i = 0; i < ROUNDS; ++i)
    quick.emplace_back([&, i] {
      // Ends at once: often before the runner has its pid recorded.
      ShellRun run("exit " + std::to_string(i % 100 + 1), VEK_REDIRECT_NONE);
      vek_process_result_t result = {};
      quick_codes[static_cast<size_t>(i)] = vek_execProcess(run.proc(), &result) ? result.exit_code : -1;
    });
  // Each leaves orphans that hold its output pipes: the runner drains them,
  // the child stays a zombie meanwhile, and a reaper that took any ended
  // child would take it.
  constexpr int HOLDERS = 4;
  std::vector<std::unique_ptr<ShellRun>> holders;
  std::vector<vek_process_handle_t*> handles;
  for (int i = 0; i < HOLDERS; ++i) {
    holders.push_back(
        std::make_unique<ShellRun>(orphans(25, "0.6") + "; exit " + std::to_string(200 + i), VEK_REDIRECT_HANDLER));
    handles.push_back(vek_startProcess(holders.back()->proc()));
    ASSERT_NE(nullptr, handles.back());
  }
  for (std::thread& t : quick) t.join();
  for (int i = 0; i < ROUNDS; ++i) EXPECT_EQ(i % 100 + 1, quick_codes[static_cast<size_t>(i)]) << "run " << i;
  for (int i = 0; i < HOLDERS; ++i) {
    vek_process_result_t result = {};
    EXPECT_TRUE(vek_waitForProcess(handles[static_cast<size_t>(i)], &result)) << "holder " << i;
    EXPECT_EQ(200 + i, result.exit_code) << "holder " << i;
  }
  EXPECT_TRUE(wait_for_zombies(0, 5s)) << zombie_children() << " zombies";
}

}  // namespace
