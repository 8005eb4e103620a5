// Millisecond sleep: no-op values, the full duration, and resumption after
// signals. Times are checked from below only (a loaded machine may sleep
// longer, never shorter).
#include "vek_time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include "vek_lifecycle.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class TimeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vek_lifecycleInit(); }
};

TEST_F(TimeTest, ValuesBelowOneReturnAtOnce) {
  for (long ms : {0L, -1L, -100000L}) {
    SCOPED_TRACE(ms);
    auto start = Clock::now();
    vek_sleepMS(ms);
    EXPECT_LT(elapsed_ms(start), 50);
  }
}

TEST_F(TimeTest, SleepsAtLeastTheGivenTime) {
  // 1250 checks that whole seconds and the remainder are both honoured.
  for (long ms : {1L, 120L, 1250L}) {
    SCOPED_TRACE(ms);
    auto start = Clock::now();
    vek_sleepMS(ms);
    EXPECT_GE(elapsed_ms(start), ms);
  }
}

#ifndef _WIN32

std::atomic<int> signals_caught{0};

void count_signal(int) { ++signals_caught; }

TEST_F(TimeTest, InterruptedSleepStillLastsTheFullTime) {
  // Without SA_RESTART, so that every signal really interrupts nanosleep.
  struct sigaction action = {};
  struct sigaction saved = {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
  signals_caught = 0;

  pthread_t sleeper = pthread_self();
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      if (!done) pthread_kill(sleeper, SIGUSR1);
    }
  });
  auto start = Clock::now();
  vek_sleepMS(500);
  long slept = elapsed_ms(start);
  done = true;
  interrupter.join();
  sigaction(SIGUSR1, &saved, nullptr);

  EXPECT_GE(signals_caught.load(), 1);
  EXPECT_GE(slept, 500);
}

#endif

}  // namespace
