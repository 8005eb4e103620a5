// Starting a real VM with vek_startJavaVM from a product directory that
// bundles the test runtime as its jre, joining it with a URL class loader,
// system properties, and the heap dump, thread dump and support bundle of the
// Java side. The VM is started once per process (CTest gives every case its
// own); cases that need a process without a VM run the probe program.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "vek_jvmutils.h"
#include "vek_lifecycle.h"
#include "vek_logging_cache.h"
#include "vek_logging_vm.h"
#include "vek_test_jvm.h"
#include "vek_test_run.h"
#include "vek_test_support.h"

namespace {

namespace fs = std::filesystem;

std::string jdk_home() { return fs::path(VEK_TEST_JVM_LIB).parent_path().parent_path().parent_path().string(); }

// A product directory whose jre is the test runtime.
const vektest::TempDir& product() {
  static vektest::TempDir dir;
  static bool linked = [] {
    fs::create_directory_symlink(jdk_home(), dir.path() / "jre");
    return true;
  }();
  (void)linked;
  return dir;
}

JavaVM* announced_vm = nullptr;
void record_announcement(VEK_LIFECYCLE_STAGE stage, JavaVM* vm) {
  if (stage == VEK_VM_AVAILABLE) announced_vm = vm;
}

// The lines LogCategory.logRaw recorded since the last call.
std::vector<std::string> drain_java_log(JNIEnv* env) {
  std::vector<std::string> lines;
  auto array = static_cast<jobjectArray>(
      vektest::callStatic(env, "com/nimbo/common/log/LogCategory", "drain", "()[Ljava/lang/String;"));
  for (jsize i = 0; array != nullptr && i < env->GetArrayLength(array); ++i) {
    auto s = static_cast<jstring>(env->GetObjectArrayElement(array, i));
    const char* utf = env->GetStringUTFChars(s, nullptr);
    lines.push_back(utf);
    env->ReleaseStringUTFChars(s, utf);
  }
  return lines;
}

bool any_contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& l : lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

// What the one start of this process saw.
struct StartRecord {
  jint result = -1;
  JavaVM* vm = nullptr;
  JNIEnv* env = nullptr;
  JavaVM* announced = nullptr;               // the VM VEK_VM_AVAILABLE carried
  std::vector<vektest::LoggedEvent> events;  // logged during the start
  std::vector<std::string> options_left;     // the option list afterwards
  std::vector<std::string> replayed;         // Java log lines right after the start
};

const StartRecord& started() {
  static StartRecord record = [] {
    StartRecord r;
    vek_lifecycleInit();
    vek_addLifecycleNotification(record_announcement);
    vek_removeAllLoggers();
    vek_setLogLevel(VEKLOG_DEBUG);
    vek_addLogger(vektest::RecordingLogger::log);
    vek_addLogger(vek_cachingLogger);
    veklog(VEK_HERE, VEKLOG_INFO, "start-up line before the VM");
    vektest::RecordingLogger::take();
    // Java 17 refuses -XX:+UseAltSigs: the first creation fails.
    static const char* const texts[] = {"-Djava.class.path=" VEK_TEST_CLASSES_DIR,
                                        "-Xmx64m",
                                        "-XX:+UseAltSigs",
                                        "-Xrs",
                                        "-XX:+UseSerialGC",
                                        "-XX:TieredStopAtLevel=1"};
    vek_list_t* options = vek_listCreate(8);
    vek_listSetCompare(options, vek_jvmCompareOptions);
    for (const char* t : texts) vek_addJavaVMOption(options, t, nullptr);
    r.result = vek_startJavaVM(&r.vm, &r.env, product().str().c_str(), options, VEK_PREFER_SERVER_VM, JNI_VERSION_1_8);
    r.events = vektest::RecordingLogger::take();
    vek_removeAllLoggers();
    vek_setLogLevel(VEKLOG_INFO);
    for (size_t i = 0; i < vek_listGetSize(options); ++i)
      r.options_left.push_back(static_cast<JavaVMOption*>(vek_listGet(options, i))->optionString);
    vek_listDeleteAll(options);
    vek_listDestroy(options);
    r.announced = announced_vm;
    if (r.env != nullptr) r.replayed = drain_java_log(r.env);
    return r;
  }();
  return record;
}

class JvmStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = started().env;
    ASSERT_EQ(0, started().result);
    ASSERT_NE(nullptr, env_);
    vek_removeAllLoggers();
    drain_java_log(env_);
  }
  void TearDown() override { vek_removeAllLoggers(); }

  // Registers the Java VM logger, as a host does once its VM runs.
  void logIntoTheVm() { vek_addLogger(vek_javaVMLogger); }
  // The VM logger survived (it gives up when it meets a pending exception).
  void expectVmLoggingStillOn(const std::vector<std::string>& java_log, const std::string& logged) {
    EXPECT_TRUE(vek_isLoggerAdded(vek_javaVMLogger));
    EXPECT_TRUE(any_contains(java_log, logged)) << logged;
  }

  JNIEnv* env_ = nullptr;
};

TEST_F(JvmStartTest, RefusedOptionIsDroppedOnRetryAndTheVmIsAnnouncedWithTheStartupLog) {
  const StartRecord& r = started();
  EXPECT_EQ(r.vm, r.announced);
  EXPECT_EQ(JNI_VERSION_1_8, requested_jni_version);
  EXPECT_TRUE(vek_isJVMLoaded());
  const std::vector<std::string> expected_options = {"-Djava.class.path=" VEK_TEST_CLASSES_DIR, "-Xmx64m", "-Xrs",
                                                     "-XX:+UseSerialGC", "-XX:TieredStopAtLevel=1"};
  EXPECT_EQ(expected_options, r.options_left);
  std::vector<std::string> retry_lines;
  for (const auto& e : r.events)
    if (e.level >= VEKLOG_INFO) retry_lines.push_back(e.text);
  ASSERT_EQ(3u, retry_lines.size());
  EXPECT_EQ(0u, retry_lines[0].find("Unable to create Java VM; Result: ")) << retry_lines[0];
  EXPECT_EQ("Attempting to start the Java VM without the -XX:+UseAltSigs option", retry_lines[1]);
  // The class path given as an option was lost with the failed creation and set again late.
  EXPECT_EQ(
      "The Java VM was created again and lost system properties given as options; they were set again after it "
      "started, too late for anything that read them while it started: java.class.path",
      retry_lines[2]);
  char* loaded = vek_getLoadedVMlibrary();
  EXPECT_EQ(fs::canonical(VEK_TEST_JVM_LIB).string(), loaded);
  free(loaded);
  EXPECT_TRUE(any_contains(r.replayed, "start-up line before the VM"));
}

TEST_F(JvmStartTest, JoiningMakesAUrlClassLoaderOverTheGivenEntries) {
  vektest::TempDir empty;
  const std::string empty_url = "file:" + empty.str() + "/";
  const std::string join_url = "file:" VEK_TEST_JOIN_CLASSES_DIR "/";
  const struct {
    const char* name;
    std::vector<std::string> entries;
    bool joined;
    bool finds_join_only;
  } cases[] = {
      {"no entries", {}, true, false},
      {"two entries", {empty_url, join_url}, true, true},
      {"malformed entry", {"no scheme here"}, false, false},
  };
  EXPECT_EQ(nullptr, env_->FindClass("vektest/joinonly/JoinOnly"));  // not on the VM's class path
  env_->ExceptionClear();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<const char*> entries;
    for (const auto& e : c.entries) entries.push_back(e.c_str());
    vektest::RecordLogs logs;
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    jobject loader = reinterpret_cast<jobject>(&vm);
    EXPECT_EQ(c.joined, vek_loadFromExistingVM(&vm, &env, &loader, entries.data(), entries.size()));
    EXPECT_EQ(started().vm, vm);
    EXPECT_EQ(env_, env);
    EXPECT_FALSE(env_->ExceptionCheck());
    if (!c.joined) {
      EXPECT_EQ(nullptr, loader);
      EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR,
                                                     "Exception generated while create new java.net.URL object"));
      continue;
    }
    ASSERT_NE(nullptr, loader);
    jclass found = vek_findClass(env_, loader, "vektest/joinonly/JoinOnly");
    EXPECT_EQ(c.finds_join_only, found != nullptr);
    if (found != nullptr) {
      jobject defined_by =
          vektest::callStatic(env_, "vektest/Loaders", "loaderOf", "(Ljava/lang/Class;)Ljava/lang/ClassLoader;", found);
      EXPECT_TRUE(env_->IsSameObject(loader, defined_by));
    }
    env_->DeleteGlobalRef(loader);
  }
}

TEST_F(JvmStartTest, SystemPropertiesAreSetAndAFailureKeepsVmLoggingOn) {
  logIntoTheVm();
  const struct {
    const char* name;
    const char* value;
    int result;
  } cases[] = {{"vektest.colour", "blue", 0}, {"vektest.colour", "", 0}, {"", "refused", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    EXPECT_EQ(c.result, vek_setJavaSystemProperty(env_, c.name, c.value));
    EXPECT_FALSE(env_->ExceptionCheck());
    if (c.result != 0) continue;
    auto read = static_cast<jstring>(vektest::callStatic(
        env_, "java/lang/System", "getProperty", "(Ljava/lang/String;)Ljava/lang/String;", env_->NewStringUTF(c.name)));
    ASSERT_NE(nullptr, read);
    const char* utf = env_->GetStringUTFChars(read, nullptr);
    EXPECT_STREQ(c.value, utf);
    env_->ReleaseStringUTFChars(read, utf);
  }
  expectVmLoggingStillOn(drain_java_log(env_), "Exception generated setting system property =refused|");
}

TEST_F(JvmStartTest, HeapDumpWritesAnHprofFileAndRefusesToOverwrite) {
  vektest::TempDir dir;
  const struct {
    const char* name;
    bool written;
  } cases[] = {{"heap.hprof", true}, {"heap.hprof", false}, {"heap.bin", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::RecordLogs logs;
    EXPECT_EQ(c.written, vek_generateHeapDump(env_, dir.file(c.name).c_str(), true));
    EXPECT_FALSE(env_->ExceptionCheck());
    EXPECT_EQ(!c.written, vektest::RecordingLogger::contains(
                              logs.take(), VEKLOG_ERROR,
                              "An unexpected error occurred; Exception thrown while requesting heap dump. Please "
                              "refer to the log file(s) for more information."));
  }
  std::string dump = vektest::readFile(dir.file("heap.hprof"));
  EXPECT_EQ(std::string("JAVA PROFILE 1.0.2", 19), dump.substr(0, 19));  // header text and its NUL
  EXPECT_GT(dump.size(), 100000u);
  EXPECT_FALSE(fs::exists(dir.file("heap.bin")));
}

TEST_F(JvmStartTest, ThreadDumpAndSupportBundleReachTheirClasses) {
  logIntoTheVm();
  vektest::CaptureFd out(1);
  vek_generateJVMThreadDump(env_);
  std::string dump = out.stop();
  EXPECT_NE(std::string::npos, dump.find("Full thread dump")) << dump;
  EXPECT_NE(std::string::npos, dump.find("\"main\"")) << dump;

  auto requests = [this] {
    jclass cls = env_->FindClass("com/nimbo/common/support/BundleManager");
    return env_->CallStaticIntMethod(cls, env_->GetStaticMethodID(cls, "requests", "()I"));
  };
  int before = requests();
  vek_generateSupportBundle(env_);
  EXPECT_FALSE(env_->ExceptionCheck());
  EXPECT_EQ(before + 1, requests());

  // A failed request is logged and its exception left for the caller.
  jclass manager = env_->FindClass("com/nimbo/common/support/BundleManager");
  env_->CallStaticVoidMethod(manager, env_->GetStaticMethodID(manager, "refuseNext", "(Ljava/lang/String;)V"),
                             env_->NewStringUTF("disk full"));
  vek_generateSupportBundle(env_);
  jthrowable left = vektest::takeException(env_);
  ASSERT_NE(nullptr, left);
  EXPECT_EQ("disk full", vektest::messageOf(env_, left));
  expectVmLoggingStillOn(drain_java_log(env_),
                         "|5000|An unexpected error occurred; Exception thrown while requesting support bundle|disk "
                         "full|");
}

// Probe runs: a process where the VM library is already loaded, and a VM
// without the Java side's classes.
TEST(JvmStartProbeTest, LibraryLoadedBeforeIsNotRetriedAndFallbackMarksTheOptions) {
  vektest::TempDir install;
  auto run = vektest::runProgram({VEK_JVM_PROBE, "preloaded", install.str(), VEK_TEST_JVM_LIB},
                                 {{"JAVA_HOME", product().str()}});
  EXPECT_TRUE(run.has("rc=-1\noptions= -Xmx64m -XX:+UseAltSigs -Xrs -Dnimbo.common.alternate-vm=true\n")) << run.output;
  EXPECT_TRUE(run.has("Bundled JRE is missing, fall back to JAVA_HOME: '")) << run.output;
  EXPECT_TRUE(run.has("A copy of the JVM library was previously loaded. No need to load another.")) << run.output;
  EXPECT_EQ(1, run.count("Unable to create Java VM; Result:")) << run.output;
  EXPECT_EQ(0, run.count("Attempting to start the Java VM without")) << run.output;
}

// A start that fails even without the refused option keeps -Xrs in the list,
// so the next start runs with it: SIGTERM then reaches the host's signal
// thread rather than the VM's own handlers, which would end the process.
// That next start also gets back the class path the failed ones left stale.
TEST(JvmStartProbeTest, ARetriedStartKeepsXrsWhateverFailed) {
  auto run = vektest::runProgram({VEK_JVM_PROBE, "signals", product().str(), VEK_TEST_CLASSES_DIR});
  EXPECT_TRUE(run.has("first=-1 second=0\noptions= -Djava.class.path=" VEK_TEST_CLASSES_DIR " -Xmx64m -Xrs\n"))
      << run.output;
  EXPECT_TRUE(run.has("class-path-kept=1\n")) << run.output;
  EXPECT_TRUE(run.has("too late for anything that read them while it started: java.class.path")) << run.output;
  EXPECT_TRUE(run.has("Could not create the Java VM even after removing all platform specific options.")) << run.output;
  EXPECT_EQ(0, run.count("without the -Xrs option")) << run.output;
  EXPECT_TRUE(run.has("host-signal=15\n")) << run.output;
  EXPECT_EQ(0, run.status) << run.output;
}

TEST(JvmStartProbeTest, MissingJavaSideClassesGiveTheirLines) {
  vektest::TempDir classes;
  auto run = vektest::runProgram({VEK_JVM_PROBE, "bare", product().str(), classes.str(), classes.file("x.hprof")});
  ASSERT_TRUE(run.has("rc=0\n")) << run.output;
  EXPECT_TRUE(run.has("heap=0\n"));
  EXPECT_TRUE(run.has("pending=0\n"));
  for (const char* line :
       {"ERROR [native] No heap dump can be generated from this virtual machine as the required Java class "
        "(com.nimbo.common.util15.SunHeapDump) could not be located",
        "ERROR [native] No support bundle can be generated from this virtual machine as the required Java class "
        "(com.nimbo.common.support.BundleManager) could not be located",
        "VERBOSE [native] Could not locate the com/nimbo/common/launcher15/ThreadDump class so no thread dumps will "
        "be written the file system."})
    EXPECT_TRUE(run.has(line)) << line << "\n" << run.output;
}

}  // namespace
