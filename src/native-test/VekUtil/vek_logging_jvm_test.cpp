// Logging with a real Java VM: events carry the thread's environment while a
// VM is registered, threads are attached for one delivery, cached start-up
// messages are replayed into the VM, the VM logger hands events to the Java
// logging classes and falls back to the console when they fail, and the
// console prints a Java exception's stack trace.
#include "vek_logging.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vek_jvmutils.h"
#include "vek_lifecycle.h"
#include "vek_logging_cache.h"
#include "vek_logging_console.h"
#include "vek_logging_vm.h"
#include "vek_test_jvm.h"
#include "vek_test_support.h"

namespace {

const std::string THIS_FILE = "VekUtil/vek_logging_jvm_test";

class LoggingJvmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    vek_removeAllLoggers();
    vek_setLogLevel(VEKLOG_INFO);
    vm_ = vektest::testJvm();
    ASSERT_NE(nullptr, vm_);
    env_ = vektest::testEnv();
    ASSERT_NE(nullptr, env_);
    drain();
  }
  void TearDown() override {
    vek_lifecycleVMUnavailable();
    vek_removeAllLoggers();
    vek_cleanCachedLogMessages();
    vek_setLogLevel(VEKLOG_INFO);
  }

  // The lines LogCategory.logRaw recorded since the last call.
  std::vector<std::string> drain() {
    std::vector<std::string> lines;
    auto array = static_cast<jobjectArray>(
        vektest::callStatic(env_, "com/nimbo/common/log/LogCategory", "drain", "()[Ljava/lang/String;"));
    if (array == nullptr) return lines;
    for (jsize i = 0; i < env_->GetArrayLength(array); ++i) {
      auto s = static_cast<jstring>(env_->GetObjectArrayElement(array, i));
      const char* utf = env_->GetStringUTFChars(s, nullptr);
      lines.push_back(utf);
      env_->ReleaseStringUTFChars(s, utf);
    }
    return lines;
  }

  jthrowable newException(const char* message) {
    jclass cls = env_->FindClass("java/lang/RuntimeException");
    jmethodID init = env_->GetMethodID(cls, "<init>", "(Ljava/lang/String;)V");
    return static_cast<jthrowable>(env_->NewObject(cls, init, env_->NewStringUTF(message)));
  }

  JavaVM* vm_ = nullptr;
  JNIEnv* env_ = nullptr;
};

// What one delivery saw of the Java environment.
struct EnvSeen {
  JNIEnv* event_env;
  bool attached_during_delivery;
};
std::mutex seen_mutex;
std::vector<EnvSeen> seen;
JavaVM* seen_vm = nullptr;
void env_logger(vek_log_event_t* event) {
  std::lock_guard<std::mutex> guard(seen_mutex);
  seen.push_back({event->env, seen_vm != nullptr && vek_getEnvFromJVM(seen_vm) != nullptr});
}

TEST_F(LoggingJvmTest, EventsCarryAnEnvironmentOnlyWhileTheVmIsRegistered) {
  seen.clear();
  seen_vm = vm_;
  vek_addLogger(env_logger);
  veklog(VEK_HERE, VEKLOG_INFO, "before");
  vek_lifecycleVMAvailable(vm_);
  veklog(VEK_HERE, VEKLOG_INFO, "during");
  vek_lifecycleVMUnavailable();
  veklog(VEK_HERE, VEKLOG_INFO, "after");
  ASSERT_EQ(3u, seen.size());
  EXPECT_EQ(nullptr, seen[0].event_env);
  EXPECT_EQ(env_, seen[1].event_env);  // the creating thread keeps its own environment
  EXPECT_EQ(nullptr, seen[2].event_env);
  EXPECT_NE(nullptr, vek_getEnvFromJVM(vm_));  // and stays attached
}

TEST_F(LoggingJvmTest, OtherThreadsAreAttachedForOneDeliveryAndDetachedAfter) {
  seen.clear();
  seen_vm = vm_;
  vek_addLogger(env_logger);
  vek_lifecycleVMAvailable(vm_);
  constexpr int THREADS = 3;
  std::vector<std::thread> threads;
  std::vector<int> detached_after(THREADS, 0);
  for (int t = 0; t < THREADS; ++t)
    threads.emplace_back([this, t, &detached_after] {
      for (int i = 0; i < 20; ++i) {
        veklog(VEK_HERE, VEKLOG_INFO, "thread %d message %d", t, i);
        if (vek_getEnvFromJVM(vm_) == nullptr) ++detached_after[t];
      }
    });
  for (auto& th : threads) th.join();
  ASSERT_EQ(static_cast<size_t>(THREADS * 20), seen.size());
  for (const auto& s : seen) {
    EXPECT_NE(nullptr, s.event_env);
    EXPECT_TRUE(s.attached_during_delivery);
  }
  for (int t = 0; t < THREADS; ++t) EXPECT_EQ(20, detached_after[t]);
}

TEST_F(LoggingJvmTest, VmLoggerHandsEachEventToTheJavaCategoryOfItsSource) {
  vek_addLogger(vek_javaVMLogger);
  vek_lifecycleVMAvailable(vm_);
  jthrowable boom = newException("boom");
  veklog(VEK_HERE, VEKLOG_WARN, "plain %d", 1);
  veklog_src_ex(VEK_HERE, VEKLOG_ERROR, boom, "abc", "with source");
  veklog(VEK_HERE, VEKLOG_DEBUG, "below threshold");
  std::thread other([] { veklog(VEK_HERE, VEKLOG_FATAL, "from another thread"); });
  other.join();
  auto lines = drain();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(THIS_FILE + "|3000|plain 1|<none>|false|<null>", lines[0]);
  EXPECT_EQ(THIS_FILE + "|4000|with source|boom|false|abc", lines[1]);
  EXPECT_EQ(THIS_FILE + "|5000|from another thread|<none>|false|<null>", lines[2]);
  EXPECT_TRUE(vek_isLoggerAdded(vek_javaVMLogger));
}

// The native half of vektest.ThrowingNative: throw, log, return.
void JNICALL throw_log_return(JNIEnv* env, jclass, jstring message, jboolean with_exception) {
  const char* text = env->GetStringUTFChars(message, nullptr);
  env->ThrowNew(env->FindClass("java/lang/IllegalStateException"), text);
  env->ReleaseStringUTFChars(message, text);
  jthrowable pending = with_exception ? env->ExceptionOccurred() : nullptr;
  veklog_ex(VEK_HERE, VEKLOG_ERROR, pending, "failed, see the exception");
}

// A native method that throws and then logs hands the logger its pending
// exception. That is the Java caller's exception, not a failure of the
// logger: the caller must still catch it, and VM logging must go on.
TEST_F(LoggingJvmTest, ANativeMethodThatThrowsLogsAndReturnsKeepsItsExceptionAndTheVmLogger) {
  jclass natives = env_->FindClass("vektest/ThrowingNative");
  ASSERT_NE(nullptr, natives);
  JNINativeMethod method = {const_cast<char*>("throwLogReturn"), const_cast<char*>("(Ljava/lang/String;Z)V"),
                            reinterpret_cast<void*>(throw_log_return)};
  ASSERT_EQ(JNI_OK, env_->RegisterNatives(natives, &method, 1));
  const struct {
    const char* name;
    vek_logger_t logger;
    bool with_exception;  // the event carries the pending exception itself
  } cases[] = {
      {"VM logger, plain line", vek_javaVMLogger, false},
      {"VM logger, the exception attached", vek_javaVMLogger, true},
      {"caching logger", vek_cachingLogger, true},
      {"console logger, the exception attached", vek_consoleLogger, true},
  };
  vek_lifecycleVMAvailable(vm_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    vek_addLogger(c.logger);
    vektest::CaptureFd err(2);
    jmethodID call = env_->GetStaticMethodID(natives, "call", "(Ljava/lang/String;Z)Ljava/lang/String;");
    auto caught = static_cast<jstring>(env_->CallStaticObjectMethod(natives, call, env_->NewStringUTF("native failure"),
                                                                    c.with_exception ? JNI_TRUE : JNI_FALSE));
    std::string failsafe = err.stop();
    ASSERT_FALSE(env_->ExceptionCheck());
    ASSERT_NE(nullptr, caught);
    const char* utf = env_->GetStringUTFChars(caught, nullptr);
    EXPECT_STREQ("native failure", utf);
    env_->ReleaseStringUTFChars(caught, utf);
    EXPECT_TRUE(vek_isLoggerAdded(c.logger));
    EXPECT_EQ(VEKLOG_INFO, vek_getLogLevel());
    if (c.logger == vek_consoleLogger) {
      // The line and the VM's own trace of the exception, nothing else.
      EXPECT_NE(std::string::npos, failsafe.find("failed, see the exception")) << failsafe;
      EXPECT_NE(std::string::npos, failsafe.find("native failure")) << failsafe;
    } else {
      EXPECT_FALSE(vek_isLoggerAdded(vek_consoleLogger));
      EXPECT_EQ("", failsafe);
    }
    if (c.logger == vek_javaVMLogger) {
      auto lines = drain();
      ASSERT_EQ(1u, lines.size());
      EXPECT_EQ(THIS_FILE + "|4000|failed, see the exception|" + (c.with_exception ? "native failure" : "<none>") +
                    "|false|<null>",
                lines[0]);
    }
    vek_removeLogger(c.logger);
    vek_cleanCachedLogMessages();
  }
}

// The caller's local reference is gone once its frame is popped, and its
// slot is reused: the cache must hold its own reference until the replay.
TEST_F(LoggingJvmTest, EventCachedInsideAPoppedFrameIsReplayedWithItsException) {
  vek_addLogger(vek_cachingLogger);
  ASSERT_EQ(JNI_OK, env_->PushLocalFrame(4));
  veklog_ex(VEK_HERE, VEKLOG_ERROR, newException("cached boom"), "setting a property failed");
  env_->PopLocalFrame(nullptr);
  for (int round = 0; round < 50; ++round) {
    ASSERT_EQ(JNI_OK, env_->PushLocalFrame(64));
    for (int i = 0; i < 64; ++i) env_->NewStringUTF("filler");
    env_->PopLocalFrame(nullptr);
  }
  jclass system = env_->FindClass("java/lang/System");
  env_->CallStaticVoidMethod(system, env_->GetStaticMethodID(system, "gc", "()V"));

  vek_addLogger(vek_javaVMLogger);
  vek_lifecycleVMAvailable(vm_);  // replays the cache into the VM
  auto lines = drain();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(THIS_FILE + "|4000|setting a property failed|cached boom|false|<null>", lines[0]);
  EXPECT_TRUE(vek_isLoggerAdded(vek_javaVMLogger));
  EXPECT_FALSE(env_->ExceptionCheck());
}

TEST_F(LoggingJvmTest, VmLoggerDropsEventsWithoutAnEnvironment) {
  vek_log_event_t event = {VEKLOG_ERROR, "f.cpp", "f",    1, "no env", 0, "2020-01-01 00:00:00.000",
                           nullptr,      nullptr, nullptr};
  vek_javaVMLogger(&event);
  EXPECT_TRUE(drain().empty());
}

TEST_F(LoggingJvmTest, CachedStartupMessagesAreReplayedIntoTheVmWhenItArrives) {
  vek_addLogger(vek_cachingLogger);
  veklog(VEK_HERE, VEKLOG_INFO, "first %s", "cached");
  veklog_src(VEK_HERE, VEKLOG_WARN, "boot", "second cached");
  veklog(VEK_HERE, VEKLOG_ERROR, "third cached");
  EXPECT_TRUE(drain().empty());

  vek_lifecycleVMAvailable(vm_);
  EXPECT_FALSE(vek_isLoggerAdded(vek_cachingLogger));
  auto lines = drain();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(THIS_FILE + "|2000|first cached|<none>|false|<null>", lines[0]);
  EXPECT_EQ(THIS_FILE + "|3000|second cached|<none>|false|boot", lines[1]);
  EXPECT_EQ(THIS_FILE + "|4000|third cached|<none>|false|<null>", lines[2]);

  // The cache is empty afterwards: a second push sends nothing.
  vek_pushCachedLogMessagesToVm();
  EXPECT_TRUE(drain().empty());
}

TEST_F(LoggingJvmTest, CacheIsPushedFromAThreadThatMustAttachFirst) {
  vek_addLogger(vek_cachingLogger);
  veklog(VEK_HERE, VEKLOG_INFO, "cached for a worker");
  vek_removeLogger(vek_cachingLogger);
  std::thread worker([this] {
    vek_pushCachedLogMessagesToVm();
    EXPECT_EQ(nullptr, vek_getEnvFromJVM(vm_));  // detached again
  });
  worker.join();
  auto lines = drain();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(THIS_FILE + "|2000|cached for a worker|<none>|false|<null>", lines[0]);
}

TEST_F(LoggingJvmTest, FlushDeliversCachedEventsInOrderWithTheirOwnTimestamps) {
  vektest::RecordLogs logs;
  vek_removeLogger(&vektest::RecordingLogger::log);
  vek_addLogger(vek_cachingLogger);
  veklog(VEK_HERE, VEKLOG_INFO, "one");
  veklog(VEK_HERE, VEKLOG_INFO, "two");
  veklog(VEK_HERE, VEKLOG_INFO, "three");
  vek_addLogger(&vektest::RecordingLogger::log);
  vek_flushCachedLogMessages();
  EXPECT_FALSE(vek_isLoggerAdded(vek_cachingLogger));
  auto events = logs.take();
  ASSERT_EQ(3u, events.size());
  EXPECT_EQ("one", events[0].text);
  EXPECT_EQ("two", events[1].text);
  EXPECT_EQ("three", events[2].text);
  EXPECT_EQ(THIS_FILE, events[0].short_filename);
  EXPECT_EQ(23u, events[0].timestamp_text.size());
  vek_flushCachedLogMessages();
  EXPECT_TRUE(logs.take().empty());
}

TEST_F(LoggingJvmTest, FailingJavaLoggingHandsOverToTheConsoleAtDebugThreshold) {
  vek_addLogger(vek_javaVMLogger);
  vek_lifecycleVMAvailable(vm_);
  vektest::CaptureFd out(1);
  vektest::CaptureFd err(2);
  veklog(VEK_HERE, VEKLOG_ERROR, "[refuse] this one");
  veklog(VEK_HERE, VEKLOG_DEBUG, "now on the console");
  std::string err_text = err.stop();
  std::string out_text = out.stop();

  EXPECT_FALSE(vek_isLoggerAdded(vek_javaVMLogger));
  EXPECT_TRUE(vek_isLoggerAdded(vek_consoleLogger));
  EXPECT_EQ(VEKLOG_DEBUG, vek_getLogLevel());
  EXPECT_NE(std::string::npos,
            err_text.find("[FATAL] An unexpected native logging error occured which may cause undesired behavior. You "
                          "may want to contact customer support if you see this error again: Failed when trying to "
                          "send log text into the Java VM. Removing the the Java VM logger"))
      << err_text;
  EXPECT_NE(std::string::npos, err_text.find("java.lang.IllegalStateException: logRaw refused the text"));
  EXPECT_EQ(std::string::npos, err_text.find("[native] [refuse] this one"));  // the failed event goes nowhere
  EXPECT_NE(std::string::npos, out_text.find("DEBUG [native] now on the console"));
  EXPECT_TRUE(drain().empty());
  EXPECT_FALSE(env_->ExceptionCheck());
}

TEST_F(LoggingJvmTest, ConsolePrintsTheStackTraceOfTheEventsException) {
  vek_addLogger(vek_consoleLogger);
  vek_lifecycleVMAvailable(vm_);
  jthrowable boom = newException("console boom");
  vektest::CaptureFd err(2);
  veklog_ex(VEK_HERE, VEKLOG_ERROR, boom, "failure with trace");
  std::string text = err.stop();
  size_t line = text.find("ERROR [native] failure with trace\n");
  size_t trace = text.find("java.lang.RuntimeException: console boom");
  ASSERT_NE(std::string::npos, line) << text;
  ASSERT_NE(std::string::npos, trace) << text;
  EXPECT_LT(line, trace);
  EXPECT_FALSE(env_->ExceptionCheck());
}

}  // namespace
