// Logging core: threshold, formatting, dispatch, registry, failsafe lines,
// source-name shortening, dumps and concurrent callers.
#include "vek_logging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_logging_cache.h"
#include "vek_logging_vm.h"
#include "vek_test_support.h"

namespace {

// Short name of this file as the core shows it.
std::string native_separators(std::string path) {
#ifdef _WIN32
  for (char& c : path)
    if (c == '/') c = '\\';
#endif
  return path;
}

const std::string THIS_FILE = native_separators("VekUtil/vek_logging_test");

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    saved_level_ = vek_getLogLevel();
    vek_removeAllLoggers();
  }
  void TearDown() override {
    vek_removeAllLoggers();
    vek_setLogLevel(saved_level_);
  }

 private:
  VEKLOG_LEVEL saved_level_ = VEKLOG_INFO;
};

// Keeps what the recording logger of the support header does not.
struct FullEvent {
  std::string filename;
  std::time_t timestamp;
  std::string timestamp_text;
  jthrowable except;
  JNIEnv* env;
};
std::vector<FullEvent> full_events;
void full_event_logger(vek_log_event_t* e) {
  full_events.push_back({e->filename, e->timestamp, e->timestamp_text, e->except, e->env});
}

TEST_F(LoggingTest, LevelTextsCoverTheNamedLevelsAndCallEverythingElseUnknown) {
  const struct {
    int level;
    const char* text;
  } cases[] = {{500, "DEBUG2"}, {1000, "DEBUG"}, {1500, "VERBOSE"},  {2000, "INFO"},    {3000, "WARN"},
               {4000, "ERROR"}, {5000, "FATAL"}, {10000, "UNKNOWN"}, {1999, "UNKNOWN"}, {0, "UNKNOWN"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    EXPECT_STREQ(c.text, veklog_getLevelText(static_cast<VEKLOG_LEVEL>(c.level)));
  }
}

TEST_F(LoggingTest, ThresholdDropsLowerLevelsAndDeliversEqualAndHigher) {
  const struct {
    VEKLOG_LEVEL threshold;
    VEKLOG_LEVEL level;
    bool delivered;
  } cases[] = {{VEKLOG_INFO, VEKLOG_DEBUG, false},   {VEKLOG_INFO, VEKLOG_INFO, true},
               {VEKLOG_INFO, VEKLOG_VERBOSE, false}, {VEKLOG_INFO, VEKLOG_FATAL, true},
               {VEKLOG_DEBUG2, VEKLOG_DEBUG2, true}, {VEKLOG_WARN, VEKLOG_INFO, false}};
  vektest::RecordLogs logs;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(veklog_getLevelText(c.threshold)) + " / " + veklog_getLevelText(c.level));
    vek_setLogLevel(c.threshold);
    EXPECT_EQ(c.threshold, vek_getLogLevel());
    veklog(VEK_HERE, c.level, "message %d", 7);
    auto events = logs.take();
    ASSERT_EQ(c.delivered ? 1u : 0u, events.size());
    if (c.delivered) {
      EXPECT_EQ(c.level, events[0].level);
      EXPECT_EQ("message 7", events[0].text);
    }
  }
}

TEST_F(LoggingTest, EventCarriesCallerPlaceShortNameTimestampAndSource) {
  vektest::RecordLogs logs;
  full_events.clear();
  vek_addLogger(full_event_logger);
  std::time_t before = std::time(nullptr);
  veklog_src("/build/x/src/native/VekUtil/src/vek_sample.cpp", 42, VEKLOG_WARN, "abc", "with %s", "source");
  veklog_ex(VEK_HERE, VEKLOG_ERROR, nullptr, "plain");
  std::time_t after = std::time(nullptr);
  vek_removeLogger(full_event_logger);

  auto events = logs.take();
  ASSERT_EQ(2u, events.size());
  ASSERT_EQ(2u, full_events.size());
  EXPECT_EQ(native_separators("VekUtil/src/vek_sample"), events[0].short_filename);
  EXPECT_EQ("/build/x/src/native/VekUtil/src/vek_sample.cpp", full_events[0].filename);
  EXPECT_EQ(42, events[0].line);
  EXPECT_EQ("abc", events[0].source);
  EXPECT_EQ("with source", events[0].text);
  EXPECT_EQ("", events[1].source);
  EXPECT_EQ(THIS_FILE, events[1].short_filename);
  EXPECT_EQ(nullptr, full_events[1].except);
  EXPECT_EQ(nullptr, full_events[1].env);

  const FullEvent& e = full_events[0];
  EXPECT_GE(e.timestamp, before);
  EXPECT_LE(e.timestamp, after);
  std::tm local = *std::localtime(&e.timestamp);
  char expected[32];
  std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S.000", &local);
  EXPECT_EQ(expected, e.timestamp_text);
  EXPECT_EQ(23u, e.timestamp_text.size());
}

TEST_F(LoggingTest, MessagesOfAnyLengthAreDeliveredWhole) {
  vektest::RecordLogs logs;
  // Around the first 100-byte buffer and its growth steps, and several KB.
  for (size_t length : {1u, 98u, 99u, 100u, 101u, 199u, 200u, 201u, 4097u, 20000u}) {
    SCOPED_TRACE(length);
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
    veklog(VEK_HERE, VEKLOG_INFO, "%s", text.c_str());
    auto events = logs.take();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(text, events[0].text);
  }
}

TEST_F(LoggingTest, EmptyMessageIsDroppedWithFailsafeLineOnlyAtDebugThreshold) {
  vektest::RecordLogs logs;
  for (VEKLOG_LEVEL threshold : {VEKLOG_DEBUG, VEKLOG_INFO}) {
    SCOPED_TRACE(veklog_getLevelText(threshold));
    vek_setLogLevel(threshold);
    vektest::CaptureFd err(2);
    int line = __LINE__ + 1;
    veklog(VEK_HERE, VEKLOG_FATAL, "%s", "");
    std::string text = err.stop();
    EXPECT_TRUE(logs.take().empty());
    if (threshold == VEKLOG_DEBUG) {
      EXPECT_NE(std::string::npos,
                text.find("[DEBUG] empty log message from " + THIS_FILE + ":" + std::to_string(line) + " ignored\n"))
          << text;
      EXPECT_EQ(0u, text.find("(-- failsafe logger --) "));
    } else {
      EXPECT_EQ("", text);
    }
  }
}

TEST_F(LoggingTest, WithoutLoggersAFailsafeLineAppearsOnlyAtDebugThreshold) {
  for (VEKLOG_LEVEL threshold : {VEKLOG_DEBUG2, VEKLOG_DEBUG, VEKLOG_INFO}) {
    SCOPED_TRACE(veklog_getLevelText(threshold));
    vek_setLogLevel(threshold);
    vektest::CaptureFd err(2);
    int line = __LINE__ + 1;
    veklog(VEK_HERE, VEKLOG_ERROR, "nobody hears %d", 1);
    std::string text = err.stop();
    if (threshold <= VEKLOG_DEBUG) {
      std::string expected = "[DEBUG] No loggers registered. Message '" + THIS_FILE + ":" + std::to_string(line) +
                             " nobody hears 1' not recorded\n";
      EXPECT_NE(std::string::npos, text.find(expected)) << text;
      EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n'));
    } else {
      EXPECT_EQ("", text);
    }
  }
}

int reentrant_line = 0;
void reentrant_logger(vek_log_event_t* event) {
  if (std::string(event->text) == "outer") {
    reentrant_line = __LINE__ + 1;
    veklog(__FILE__, reentrant_line, VEKLOG_ERROR, "inner from %s", "logger");
  }
}

TEST_F(LoggingTest, LoggingFromInsideALoggerGivesFailsafeLineAndOuterMessageReachesAll) {
  vektest::RecordLogs logs;
  vek_addLogger(reentrant_logger);
  vek_addLogger(&vektest::RecordingLogger::log);  // already added: stays first
  vektest::CaptureFd err(2);
  veklog(VEK_HERE, VEKLOG_INFO, "outer");
  std::string text = err.stop();

  auto events = logs.take();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ("outer", events[0].text);
  std::string expected = "[ERROR] Problem detected during logging process. Message '" + std::string(__FILE__) + ":" +
                         std::to_string(reentrant_line) + " inner from logger' not properly logged\n";
  EXPECT_NE(std::string::npos, text.find(expected)) << text;
  EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n'));

  // The marker is cleared again: the next message on this thread is normal.
  veklog(VEK_HERE, VEKLOG_INFO, "after");
  events = logs.take();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ("after", events[0].text);
  vek_removeLogger(reentrant_logger);
}

std::vector<std::string> call_order;
void first_logger(vek_log_event_t*) { call_order.push_back("first"); }
void second_logger(vek_log_event_t*) { call_order.push_back("second"); }

TEST_F(LoggingTest, RegistryHoldsEachLoggerOnceAndCallsInRegistrationOrder) {
  EXPECT_EQ(0u, vek_getNumLoggers());
  EXPECT_TRUE(vek_addLogger(second_logger));
  EXPECT_TRUE(vek_addLogger(first_logger));
  EXPECT_TRUE(vek_addLogger(second_logger));
  EXPECT_EQ(2u, vek_getNumLoggers());

  call_order.clear();
  veklog(VEK_HERE, VEKLOG_INFO, "order");
  EXPECT_EQ((std::vector<std::string>{"second", "first"}), call_order);

  EXPECT_TRUE(vek_removeLogger(second_logger));
  EXPECT_FALSE(vek_isLoggerAdded(second_logger));
  EXPECT_FALSE(vek_removeLogger(second_logger));
  EXPECT_TRUE(vek_isLoggerAdded(first_logger));
  EXPECT_EQ(1u, vek_getNumLoggers());
  EXPECT_FALSE(vek_addLogger(nullptr));

  vek_removeAllLoggers();
  EXPECT_EQ(0u, vek_getNumLoggers());
}

void adding_logger(vek_log_event_t*) {
  call_order.push_back("adding");
  vek_addLogger(second_logger);
}

TEST_F(LoggingTest, LoggerAddedDuringDeliveryReceivesOnlyLaterEvents) {
  vek_addLogger(adding_logger);
  call_order.clear();
  veklog(VEK_HERE, VEKLOG_INFO, "one");
  EXPECT_EQ((std::vector<std::string>{"adding"}), call_order);
  veklog(VEK_HERE, VEKLOG_INFO, "two");
  EXPECT_EQ((std::vector<std::string>{"adding", "adding", "second"}), call_order);
}

TEST_F(LoggingTest, WhenTheVmGoesTheDiscardLoggerReplacesALoneVmLogger) {
  vek_addLogger(vek_javaVMLogger);
  vek_lifecycleVMUnavailable();
  EXPECT_EQ(1u, vek_getNumLoggers());
  EXPECT_TRUE(vek_isLoggerAdded(vek_discardLogger));
  EXPECT_FALSE(vek_isLoggerAdded(vek_javaVMLogger));

  // Accepted silently, where an empty registry would report it at DEBUG.
  vek_setLogLevel(VEKLOG_DEBUG);
  vektest::CaptureFd err(2);
  veklog(VEK_HERE, VEKLOG_ERROR, "into the void");
  EXPECT_EQ("", err.stop());

  // With another logger left, no discard logger is added.
  vek_removeAllLoggers();
  vek_addLogger(vek_javaVMLogger);
  vek_addLogger(first_logger);
  vek_lifecycleVMUnavailable();
  EXPECT_EQ(1u, vek_getNumLoggers());
  EXPECT_TRUE(vek_isLoggerAdded(first_logger));
}

TEST_F(LoggingTest, SourceNamesLoseSuffixAndEverythingUpToTheFirstMarker) {
  const struct {
    const char* path;
    const char* expected;
  } cases[] = {
      {"x/native-test/a/b.cpp", "a/b"},
      {"x/native/native/c.h", "native/c"},
      {"/home/u/src/native/VekUtil/src/vek_list.c", "VekUtil/src/vek_list"},
      {"build/../src/native/installer/src/installer", "installer/src/installer"},
      {"plain/dir/file.hpp", "plain/dir/file"},
      {"twice.cpp.h", "twice.cpp"},                    // only the first matching suffix goes
      {"x/native-test/y/native/z.cpp", "y/native/z"},  // the test marker is tried first
      {"x/native/a//b/./c.cpp", "a/b/c"},              // then normalised
      {"C:\\work\\native\\VekUtil\\w.cpp", "VekUtil/w"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    char* name = vek_truncate_filename(c.path);
    ASSERT_NE(nullptr, name);
    EXPECT_EQ(native_separators(c.expected), name);
    free(name);
  }
  EXPECT_EQ(nullptr, vek_truncate_filename(nullptr));
}

TEST_F(LoggingTest, FailsafeLineNamesShortSourceAndLineWithoutThreshold) {
  vek_setLogLevel(VEKLOG_FATAL);
  vektest::CaptureFd err(2);
  vek_internal_log_error("/x/src/native/VekUtil/src/thing.cpp", 7, "value %d of %s", 5, "five");
  EXPECT_EQ("(-- failsafe logger --) " + native_separators("VekUtil/src/thing") + ":7 value 5 of five\n", err.stop());
}

TEST_F(LoggingTest, CommandLineDumpIsOneMessageWithIndentedArguments) {
  vektest::RecordLogs logs;
  char a0[] = "prog", a1[] = "--opt", a2[] = "value with blank";
  char* argv[] = {a0, a1, a2, nullptr};

  veklog_dumpCmdLineArgs(0, argv, VEKLOG_INFO, nullptr);
  EXPECT_TRUE(logs.take().empty());

  veklog_dumpCmdLineArgs(3, argv, VEKLOG_WARN, nullptr);
  veklog_dumpCmdLineArgs(5, argv, VEKLOG_INFO, "Arguments");  // stops at the NULL entry
  veklog_dumpCmdLineArgs(3, argv, VEKLOG_DEBUG, "Below threshold");
  auto events = logs.take();
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ(VEKLOG_WARN, events[0].level);
  EXPECT_EQ("Command line options: \n  prog\n  --opt\n  value with blank", events[0].text);
  EXPECT_EQ("Arguments: \n  prog\n  --opt\n  value with blank", events[1].text);
}

TEST_F(LoggingTest, EnvironmentDumpListsEveryVariable) {
#ifdef _WIN32
  _putenv("VEKTEST_DUMP=xyz");
#else
  setenv("VEKTEST_DUMP", "xyz", 1);
#endif
  vektest::RecordLogs logs;
  veklog_dumpEnvironment(VEKLOG_INFO, nullptr);
  veklog_dumpEnvironment(VEKLOG_INFO, "Env");
  auto events = logs.take();
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ(0u, events[0].text.find("Current process environment:\n  "));
  EXPECT_NE(std::string::npos, events[0].text.find("\n  VEKTEST_DUMP=xyz"));
  EXPECT_EQ(0u, events[1].text.find("Env:\n  "));
}

TEST_F(LoggingTest, ConcurrentCallersDeliverEveryMessageIntact) {
  vektest::RecordLogs logs;
  constexpr int THREADS = 4;
  constexpr int PER_THREAD = 250;
  vektest::CaptureFd err(2);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < PER_THREAD; ++i) veklog(VEK_HERE, VEKLOG_INFO, "thread %d message %d %s", t, i, "payload");
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ("", err.stop());  // no thread mistook another's delivery for re-entrance

  auto events = logs.take();
  ASSERT_EQ(static_cast<size_t>(THREADS * PER_THREAD), events.size());
  std::vector<int> next(THREADS, 0);
  std::regex pattern("thread (\\d) message (\\d+) payload");
  for (const auto& e : events) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(e.text, m, pattern)) << e.text;
    int t = std::stoi(m[1]);
    EXPECT_EQ(next[t]++, std::stoi(m[2]));  // each thread's messages in its own order
  }
}

TEST_F(LoggingTest, PushingTheCacheWithoutAVmDiscardsIt) {
  vek_addLogger(vek_cachingLogger);
  veklog(VEK_HERE, VEKLOG_INFO, "cached before any VM");
  vek_removeLogger(vek_cachingLogger);
  vektest::RecordLogs logs;
  vek_pushCachedLogMessagesToVm();
  auto events = logs.take();  // only the failed VM lookup, not the cached event
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(VEKLOG_ERROR, events[0].level);
  EXPECT_EQ(0u, events[0].text.find("Could not initialize from an existing JVM."));
  vek_flushCachedLogMessages();
  EXPECT_TRUE(logs.take().empty());
}

// Loggers are called from many threads at once; the cache must not lose or
// mangle events when they arrive concurrently.
TEST_F(LoggingTest, CachingLoggerKeepsEveryEventFromConcurrentThreads) {
  vek_addLogger(vek_cachingLogger);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) veklog(VEK_HERE, VEKLOG_INFO, "cached %d/%d", t, i);
    });
  for (auto& th : threads) th.join();
  vektest::RecordLogs logs;
  vek_flushCachedLogMessages();
  auto events = logs.take();
  ASSERT_EQ(800u, events.size());
  std::vector<int> next(4, 0);
  for (const auto& e : events) {
    int t = e.text[7] - '0';
    ASSERT_TRUE(t >= 0 && t < 4) << e.text;
    EXPECT_EQ("cached " + std::to_string(t) + "/" + std::to_string(next[t]++), e.text);
  }
}

}  // namespace
