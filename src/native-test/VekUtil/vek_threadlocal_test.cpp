// Thread-local keys: misuse reports, the free-on-delete rule and values that
// stay with their thread.
#include "vek_threadlocal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace {

class ThreadLocalTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vek_lifecycleInit(); }

 private:
  vektest::ScopedLogLevel debug_{VEKLOG_DEBUG};  // the misuse lines are DEBUG
};

// "(internal line <digits>) <rest>": the line number is the check's own.
bool is_internal_line(const std::string& text, const std::string& rest) {
  const std::string prefix = "(internal line ";
  if (text.rfind(prefix, 0) != 0) return false;
  size_t digits_end = text.find_first_not_of("0123456789", prefix.size());
  if (digits_end == prefix.size() || digits_end == std::string::npos) return false;
  return text.compare(digits_end, std::string::npos, ") " + rest) == 0;
}

size_t count_lines(const std::vector<vektest::LoggedEvent>& events, VEKLOG_LEVEL level, const std::string& rest) {
  size_t count = 0;
  for (const auto& event : events)
    if (event.level == level && is_internal_line(event.text, rest)) ++count;
  return count;
}

char* heap_text(const char* text) {
  char* copy = static_cast<char*>(malloc(strlen(text) + 1));
  strcpy(copy, text);
  return copy;
}

TEST_F(ThreadLocalTest, NullKeyIsReportedAtDebugByEachOperation) {
  struct Case {
    const char* operation;
    std::function<bool()> call;  // true when the call gave its failure result
  };
  const Case cases[] = {
      {"vek_createThreadLocalStorage", [] { return !vek_createThreadLocalStorage(nullptr); }},
      {"vek_setThreadLocalData", [] { return !vek_setThreadLocalData(nullptr, "x"); }},
      {"vek_getThreadLocalData", [] { return vek_getThreadLocalData(nullptr) == nullptr; }},
      {"vek_deleteThreadLocalData", [] { return !vek_deleteThreadLocalData(nullptr); }},
      {"vek_deleteThreadLocalStorage", [] { return !vek_deleteThreadLocalStorage(nullptr); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    vektest::RecordLogs logs;
    EXPECT_TRUE(c.call());
    std::string expected = std::string("NULL vek_threadlocal_key_t passed to ") + c.operation + "()";
    EXPECT_EQ(count_lines(logs.take(), VEKLOG_DEBUG, expected), 1u);
  }
}

TEST_F(ThreadLocalTest, DeletingDataFreesItOnceAndWarnsWhenThereIsNone) {
  vek_threadlocal_key_t* key = nullptr;
  ASSERT_TRUE(vek_createThreadLocalStorage(&key));
  ASSERT_NE(key, nullptr);
  const std::string warning = "Could not free thread local data, no data present";
  {
    vektest::RecordLogs logs;
    EXPECT_FALSE(vek_deleteThreadLocalData(key));  // never set on this thread
    EXPECT_EQ(count_lines(logs.take(), VEKLOG_WARN, warning), 1u);
  }
  ASSERT_TRUE(vek_setThreadLocalData(key, heap_text("value")));
  EXPECT_STREQ(static_cast<char*>(vek_getThreadLocalData(key)), "value");
  {
    vektest::RecordLogs logs;
    EXPECT_TRUE(vek_deleteThreadLocalData(key));  // frees the block (checked by the sanitizer build)
    EXPECT_EQ(vek_getThreadLocalData(key), nullptr);
    EXPECT_FALSE(vek_deleteThreadLocalData(key));
    EXPECT_EQ(count_lines(logs.take(), VEKLOG_WARN, warning), 1u);
  }
  EXPECT_TRUE(vek_deleteThreadLocalStorage(key));
}

TEST_F(ThreadLocalTest, ValuesBelongToTheirThread) {
  vek_threadlocal_key_t* key = nullptr;
  ASSERT_TRUE(vek_createThreadLocalStorage(&key));
  static const char main_value[] = "main";
  static const char other_value[] = "other";
  ASSERT_TRUE(vek_setThreadLocalData(key, main_value));

  const void* seen_before_set = main_value;
  const void* seen_after_set = nullptr;
  std::thread other([&] {
    seen_before_set = vek_getThreadLocalData(key);
    vek_setThreadLocalData(key, other_value);
    seen_after_set = vek_getThreadLocalData(key);
  });
  other.join();

  EXPECT_EQ(seen_before_set, nullptr);
  EXPECT_EQ(seen_after_set, other_value);
  EXPECT_EQ(vek_getThreadLocalData(key), main_value);
  EXPECT_TRUE(vek_setThreadLocalData(key, nullptr));
  EXPECT_TRUE(vek_deleteThreadLocalStorage(key));
}

TEST_F(ThreadLocalTest, KeysAreIndependent) {
  vek_threadlocal_key_t* first = nullptr;
  vek_threadlocal_key_t* second = nullptr;
  ASSERT_TRUE(vek_createThreadLocalStorage(&first));
  ASSERT_TRUE(vek_createThreadLocalStorage(&second));
  static const char value[] = "first only";
  EXPECT_TRUE(vek_setThreadLocalData(first, value));
  EXPECT_EQ(vek_getThreadLocalData(second), nullptr);
  EXPECT_EQ(vek_getThreadLocalData(first), value);
  EXPECT_TRUE(vek_setThreadLocalData(first, nullptr));
  EXPECT_TRUE(vek_deleteThreadLocalStorage(first));
  EXPECT_TRUE(vek_deleteThreadLocalStorage(second));
}

#ifndef _WIN32
// Every log delivery takes the lock of the key operations. A fork while
// another thread held it left the child's copy locked for ever, so the
// child hung on its first log line. Forks here race a thread that keeps
// taking the lock; every child must log and end.
TEST_F(ThreadLocalTest, ForkedChildLogsWhileAParentThreadUsesKeys) {
  vek_threadlocal_key_t* key = nullptr;
  ASSERT_TRUE(vek_createThreadLocalStorage(&key));
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) vek_getThreadLocalData(key);
  });
  vektest::RecordLogs logs;
  int stuck = 0;
  for (int attempt = 0; attempt < 20 && stuck == 0; ++attempt) {
    pid_t pid = fork();
    if (pid == 0) {
      veklog(VEK_HERE, VEKLOG_INFO, "child logs");
      _exit(vek_getThreadLocalData(key) == nullptr ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = -1;
    for (int waited_ms = 0; waited_ms < 5000 && waitpid(pid, &status, WNOHANG) != pid; ++waited_ms)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (status == -1) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      ++stuck;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
  }
  stop = true;
  busy.join();
  EXPECT_EQ(stuck, 0) << "a forked child hung on the thread-local lock";
  EXPECT_TRUE(vek_deleteThreadLocalStorage(key));
}
#endif

}  // namespace
