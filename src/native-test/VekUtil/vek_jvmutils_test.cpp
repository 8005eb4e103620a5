// Java VM environment and thread attachment against the real VM: finding the
// VM, attaching and detaching threads, class lookup through loaders, raising
// java.io.IOException and turning Java strings into native text.
#include "vek_jvmutils.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <thread>

#include "vek_lifecycle.h"
#include "vek_string_stuff.h"
#include "vek_test_jvm.h"
#include "vek_test_support.h"

namespace {

class JvmUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    vek_removeAllLoggers();
    vek_setLogLevel(VEKLOG_DEBUG);
  }
  void TearDown() override {
    vek_removeAllLoggers();
    vek_setLogLevel(VEKLOG_INFO);
  }

  JNIEnv* env() {
    JNIEnv* e = vektest::testEnv();
    EXPECT_NE(nullptr, e);
    return e;
  }
};

// These two run before any VM exists when the suite runs in one process
// (declaration order); under CTest every case has its own process.
TEST_F(JvmUtilsTest, WithoutTheVmLibraryTheLookupFunctionIsReportedMissing) {
  if (dlopen(VEK_TEST_JVM_LIB, RTLD_NOLOAD | RTLD_NOW) != nullptr) GTEST_SKIP() << "VM library already loaded";
  vektest::RecordLogs logs;
  EXPECT_EQ(nullptr, vek_getCreatedJavaVM());
  EXPECT_TRUE(vektest::RecordingLogger::contains(
      logs.take(), VEKLOG_ERROR,
      "Could not initialize from an existing JVM. The function 'JNI_GetCreatedJavaVMs' is not available in the "
      "current address space."));
}

TEST_F(JvmUtilsTest, WithTheLibraryButNoVmEveryEntryGivesNull) {
  ASSERT_NE(nullptr, vektest::loadJvmLibrary());
  using get_t = jint (*)(JavaVM**, jsize, jsize*);
  auto get = reinterpret_cast<get_t>(dlsym(vektest::loadJvmLibrary(), "JNI_GetCreatedJavaVMs"));
  JavaVM* existing = nullptr;
  jsize count = 0;
  ASSERT_EQ(JNI_OK, get(&existing, 1, &count));
  if (count != 0) GTEST_SKIP() << "a VM already runs in this process";

  vektest::RecordLogs logs;
  EXPECT_EQ(nullptr, vek_getCreatedJavaVM());
  bool was_attached = true;
  EXPECT_EQ(nullptr, vek_acquireJNIEnv(&was_attached));
  EXPECT_TRUE(was_attached);  // untouched without a VM
  auto events = logs.take();
  EXPECT_EQ(2u, events.size());
  EXPECT_TRUE(vektest::RecordingLogger::contains(
      events, VEKLOG_ERROR,
      "Could not initialize from an existing JVM. No Java VMs have been started in the current address space"));
}

TEST_F(JvmUtilsTest, NullArgumentsAreReportedAsInternalErrors) {
  vektest::RecordLogs logs;
  JNIEnv* out = reinterpret_cast<JNIEnv*>(&out);
  EXPECT_EQ(nullptr, vek_getEnvFromJVM(nullptr));
  EXPECT_FALSE(vek_attachThreadToJVM(nullptr, &out));
  EXPECT_FALSE(vek_detachThreadFromJVM(nullptr));
  EXPECT_EQ(nullptr, vek_findClass(nullptr, nullptr, "java/lang/String"));
  auto events = logs.take();
  ASSERT_EQ(4u, events.size());
  EXPECT_EQ("(internal) JVM object passed to vek_getEnvFromJVM() was NULL", events[0].text);
  EXPECT_EQ("(internal) JVM object passed to vek_attachThreadToJVM() was NULL", events[1].text);
  EXPECT_EQ("(internal) JVM object passed to vek_detachThreadFromJVM() was NULL", events[2].text);
  EXPECT_EQ("(internal) NULL JNIEnv passed to vek_findClass()", events[3].text);
}

TEST_F(JvmUtilsTest, FindsTheRunningVmAndTheCreatingThreadsEnvironment) {
  JavaVM* vm = vektest::testJvm();
  ASSERT_NE(nullptr, vm);
  EXPECT_EQ(vm, vek_getCreatedJavaVM());
  EXPECT_EQ(0x00010002, requested_jni_version);
  EXPECT_EQ(env(), vek_getEnvFromJVM(vm));

  JNIEnv* attached = nullptr;
  EXPECT_TRUE(vek_attachThreadToJVM(vm, &attached));  // already attached: same environment
  EXPECT_EQ(env(), attached);
  bool was_attached = true;
  EXPECT_EQ(env(), vek_acquireJNIEnv(&was_attached));
  EXPECT_FALSE(was_attached);
}

TEST_F(JvmUtilsTest, OtherThreadsAttachOnceAndDetach) {
  JavaVM* vm = vektest::testJvm();
  ASSERT_NE(nullptr, vm);
  std::thread worker([vm] {
    EXPECT_EQ(nullptr, vek_getEnvFromJVM(vm));
    JNIEnv* first = nullptr;
    ASSERT_TRUE(vek_attachThreadToJVM(vm, &first));
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, vek_getEnvFromJVM(vm));
    JNIEnv* second = nullptr;
    EXPECT_TRUE(vek_attachThreadToJVM(vm, &second));
    EXPECT_EQ(first, second);
    bool was_attached = true;
    EXPECT_EQ(first, vek_acquireJNIEnv(&was_attached));
    EXPECT_FALSE(was_attached);
    // One detach undoes the attachment: no nesting count.
    EXPECT_TRUE(vek_detachThreadFromJVM(vm));
    EXPECT_EQ(nullptr, vek_getEnvFromJVM(vm));

    EXPECT_NE(nullptr, vek_acquireJNIEnv(&was_attached));
    EXPECT_TRUE(was_attached);
    EXPECT_TRUE(vek_detachThreadFromJVM(vm));
    EXPECT_EQ(nullptr, vek_getEnvFromJVM(vm));
  });
  worker.join();
}

TEST_F(JvmUtilsTest, ClassLookupUsesTheLoaderAndFallsBackWhenItFails) {
  JNIEnv* e = env();
  ASSERT_NE(nullptr, e);
  jstring jar = e->NewStringUTF(VEK_TEST_JAR);
  jobject jar_loader =
      vektest::callStatic(e, "vektest/Loaders", "jarLoader", "(Ljava/lang/String;)Ljava/lang/ClassLoader;", jar);
  jobject failing = vektest::callStatic(e, "vektest/Loaders", "failing", "()Ljava/lang/ClassLoader;");
  ASSERT_NE(nullptr, jar_loader);
  ASSERT_NE(nullptr, failing);
  vektest::RecordLogs logs;

  // Through the jar loader the class is that loader's own copy, not the
  // one on the VM's class path.
  jclass probe = vek_findClass(e, jar_loader, "vektest/JarProbe");
  ASSERT_NE(nullptr, probe);
  jobject defined_by =
      vektest::callStatic(e, "vektest/Loaders", "loaderOf", "(Ljava/lang/Class;)Ljava/lang/ClassLoader;", probe);
  EXPECT_TRUE(e->IsSameObject(jar_loader, defined_by));
  jclass on_class_path = vek_findClass(e, nullptr, "vektest/JarProbe");
  ASSERT_NE(nullptr, on_class_path);
  EXPECT_FALSE(e->IsSameObject(probe, on_class_path));

  // A loader that fails leaves the environment's own lookup to answer.
  jclass fallback = vek_findClass(e, failing, "vektest/JarProbe");
  ASSERT_NE(nullptr, fallback);
  EXPECT_TRUE(e->IsSameObject(on_class_path, fallback));
  EXPECT_FALSE(e->ExceptionCheck());
  EXPECT_TRUE(logs.take().empty());

  EXPECT_EQ(nullptr, vek_findClass(e, failing, "vektest/NoSuchClass"));
  EXPECT_FALSE(e->ExceptionCheck());
  EXPECT_EQ(nullptr, vek_findClass(e, nullptr, nullptr));
  auto events = logs.take();
  EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_ERROR,
                                                 "(internal) Could not find or load class vektest/NoSuchClass"));
  EXPECT_TRUE(
      vektest::RecordingLogger::contains(events, VEKLOG_ERROR, "(internal) NULL class name passed to vek_findClass()"));
}

TEST_F(JvmUtilsTest, IOExceptionCarriesTheFormattedMessageCutTo2047Characters) {
  JNIEnv* e = env();
  ASSERT_NE(nullptr, e);
  const struct {
    size_t length;
    size_t expected;
  } cases[] = {{10, 10}, {2047, 2047}, {2048, 2047}, {5000, 2047}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    std::string text(c.length, 'm');
    text[0] = 'A';
    vek_throwIOException(e, "%s", text.c_str());
    jthrowable thrown = vektest::takeException(e);
    ASSERT_NE(nullptr, thrown);
    EXPECT_TRUE(e->IsInstanceOf(thrown, e->FindClass("java/io/IOException")));
    EXPECT_EQ(text.substr(0, c.expected), vektest::messageOf(e, thrown));
  }
  vek_throwIOException(e, "code %d in %s", 17, "file");
  jthrowable thrown = vektest::takeException(e);
  ASSERT_NE(nullptr, thrown);
  EXPECT_EQ("code 17 in file", vektest::messageOf(e, thrown));
}

TEST_F(JvmUtilsTest, JavaStringsBecomeNativeTextInTheCurrentLocale) {
  JNIEnv* e = env();
  ASSERT_NE(nullptr, e);
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  const jchar umlaut[] = {'G', 0x00FC, 'n', 't', 'e', 'r'};
  jstring js = e->NewString(umlaut, 6);
  char* native = vek_convertJavaStringToNative(e, js);
  ASSERT_NE(nullptr, native);
  EXPECT_EQ("G\xC3\xBCnter", std::string(native));
  free(native);

  jstring empty = e->NewStringUTF("");
  native = vek_convertJavaStringToNative(e, empty);
  ASSERT_NE(nullptr, native);
  EXPECT_EQ("", std::string(native));
  free(native);
  EXPECT_EQ(nullptr, vek_convertJavaStringToNative(e, nullptr));

  // Not representable in the plain C locale: the empty text, not garbage.
  std::setlocale(LC_ALL, "C");
  native = vek_convertJavaStringToNative(e, js);
  ASSERT_NE(nullptr, native);
  EXPECT_EQ("", std::string(native));
  free(native);
}

}  // namespace
