// Named mutexes: mutual exclusion, failure reports, and the fork safety that
// keeps a forked child from inheriting a lock nobody will release.
#include "vek_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace {

class MutexTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vek_lifecycleInit(); }
};

// Increments a shared counter from several threads under `mutex`; the total
// is exact only when the lock excludes. The read and write are split so that
// a broken lock loses updates quickly.
bool counts_exactly(vek_mutex_t* mutex) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 5000;
  volatile int counter = 0;
  std::atomic<bool> all_locked{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        if (!vek_lockMutex(mutex)) all_locked = false;
        int seen = counter;
        if (i % 64 == 0) std::this_thread::yield();
        counter = seen + 1;
        if (!vek_unlockMutex(mutex)) all_locked = false;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return all_locked && counter == kThreads * kRounds;
}

TEST_F(MutexTest, ExcludesConcurrentThreads) {
  vek_mutex_t* mutex = vek_createMutex("counter");
  ASSERT_NE(mutex, nullptr);
  EXPECT_TRUE(counts_exactly(mutex));
  EXPECT_TRUE(vek_destroyMutex(mutex));
}

TEST_F(MutexTest, NullMutexIsRefused) {
  EXPECT_FALSE(vek_lockMutex(nullptr));
  EXPECT_FALSE(vek_unlockMutex(nullptr));
  EXPECT_FALSE(vek_destroyMutex(nullptr));
}

#ifdef _WIN32

TEST_F(MutexTest, OwnerMayReacquireOnWindows) {
  vek_mutex_t* mutex = vek_createMutex("recursive");
  ASSERT_NE(mutex, nullptr);
  EXPECT_TRUE(vek_lockMutex(mutex));
  EXPECT_TRUE(vek_lockMutex(mutex));
  EXPECT_TRUE(vek_unlockMutex(mutex));
  EXPECT_TRUE(vek_unlockMutex(mutex));
  // Released twice: a third release is not owned any more and fails.
  vektest::RecordLogs logs;
  EXPECT_FALSE(vek_unlockMutex(mutex));
  EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "Could not unlock recursive mutex: "));
  EXPECT_TRUE(vek_destroyMutex(mutex));
}

#else

TEST_F(MutexTest, DestroyingALockedMutexFailsThroughTheFailsafeLogger) {
  vek_mutex_t* mutex = vek_createMutex("busy");
  ASSERT_NE(mutex, nullptr);
  ASSERT_TRUE(vek_lockMutex(mutex));
  vektest::CaptureFd err(2);
  EXPECT_FALSE(vek_destroyMutex(mutex));  // the record is freed all the same
  std::string text = err.stop();
  EXPECT_NE(text.find("(-- failsafe logger --) "), std::string::npos) << text;
  EXPECT_NE(text.find("WARN: Could not destroy busy mutex: " + std::string(strerror(EBUSY))), std::string::npos)
      << text;
}

// Runs `body` in a forked child and gives its exit status, or -1 when the
// child did not end within `limit_ms` (it is killed: a deadlock fails the
// test instead of hanging it).
int run_in_child(const std::function<int()>& body, int limit_ms = 10000) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  if (pid < 0) return -2;
  for (int waited_ms = 0; waited_ms < limit_ms; waited_ms += 10) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// A parent thread holds the lock while the process forks.
class HeldAtFork {
 public:
  explicit HeldAtFork(vek_mutex_t* mutex)
      : holder_([this, mutex] {
          vek_lockMutex(mutex);
          locked_ = true;
          while (!release_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          vek_unlockMutex(mutex);
        }) {
    while (!locked_) std::this_thread::yield();
  }
  ~HeldAtFork() {
    release_ = true;
    holder_.join();
  }

 private:
  std::atomic<bool> locked_{false};
  std::atomic<bool> release_{false};
  std::thread holder_;
};

TEST_F(MutexTest, ForkedChildLocksAMutexThatAParentThreadHeld) {
  vek_mutex_t* mutex = vek_createMutex("held by parent thread");
  ASSERT_NE(mutex, nullptr);
  int status;
  {
    HeldAtFork held(mutex);
    status = run_in_child([mutex] { return vek_lockMutex(mutex) && vek_unlockMutex(mutex) ? 0 : 1; });
  }
  EXPECT_EQ(status, 0) << "-1 means the child deadlocked on the parent's lock";
  // The parent's own mutex is untouched by the child.
  EXPECT_TRUE(vek_lockMutex(mutex));
  EXPECT_TRUE(vek_unlockMutex(mutex));
  EXPECT_TRUE(vek_destroyMutex(mutex));
}

// A daemon is a forked child; its own child is forked while one of the
// daemon's threads holds a library mutex: the grandchild must get it at once,
// whether the mutex came from the first process or was made in the daemon.
TEST_F(MutexTest, SecondGenerationChildLocksAMutexThatADaemonThreadHeld) {
  vek_mutex_t* inherited = vek_createMutex("from the first process");
  ASSERT_NE(inherited, nullptr);
  for (bool made_in_child : {false, true}) {
    SCOPED_TRACE(made_in_child ? "made in the daemon" : "from the first process");
    int status = run_in_child([inherited, made_in_child] {
      vek_mutex_t* mutex = made_in_child ? vek_createMutex("made in the daemon") : inherited;
      if (mutex == nullptr) return 2;
      int grandchild;
      {
        HeldAtFork held(mutex);
        // Within the child's own limit, so that a deadlocked grandchild is
        // killed rather than left behind.
        grandchild = run_in_child([mutex] { return vek_lockMutex(mutex) && vek_unlockMutex(mutex) ? 0 : 1; }, 5000);
      }
      if (grandchild == -1) return 9;
      if (grandchild != 0) return 3;
      return vek_lockMutex(mutex) && vek_unlockMutex(mutex) ? 0 : 4;
    });
    EXPECT_EQ(status, 0) << "9 means the grandchild deadlocked on the daemon thread's lock";
  }
  EXPECT_TRUE(vek_destroyMutex(inherited));
}

TEST_F(MutexTest, ChildSideMutexesExcludeThreadsOfTheChild) {
  vek_mutex_t* inherited = vek_createMutex("inherited");
  ASSERT_NE(inherited, nullptr);
  int status;
  {
    HeldAtFork held(inherited);
    status = run_in_child([inherited] {
      // Several child threads reach the inherited mutex first at once, which
      // is when its child-side twin is initialised.
      if (!counts_exactly(inherited)) return 1;
      vek_mutex_t* created = vek_createMutex("created in child");
      if (created == nullptr || !counts_exactly(created)) return 2;
      if (!vek_destroyMutex(created)) return 3;
      return vek_destroyMutex(inherited) ? 0 : 4;
    });
  }
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(vek_destroyMutex(inherited));
}

#endif

}  // namespace
