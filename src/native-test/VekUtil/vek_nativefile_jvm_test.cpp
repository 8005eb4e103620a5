// The NativeFile natives bound into the real VM and called from Java code
// (vektest.NativeFileCalls): results, the IOException texts, owners asked
// from many Java threads at once, and registration against a class that
// lacks mEnabled.
#include "vek_nativefile.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <functional>
#include <string>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_logging_vm.h"
#include "vek_test_jvm.h"
#include "vek_test_support.h"

namespace {

const char NATIVE_FILE[] = "com/nimbo/common/io/NativeFile";

std::string utf(JNIEnv* env, jstring text) {
  if (text == nullptr) return "<null>";
  const char* chars = env->GetStringUTFChars(text, nullptr);
  std::string out = chars;
  env->ReleaseStringUTFChars(text, chars);
  return out;
}

// The stored target of a link; "" for anything else.
std::string linkTarget(const std::string& path) {
  char buffer[4096];
  ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? "" : std::string(buffer, static_cast<size_t>(n));
}

std::string accountOf(uid_t uid) {
  struct passwd* pw = getpwuid(uid);
  return pw != nullptr ? pw->pw_name : "";
}

class NativeFileJvmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    vek_removeAllLoggers();
    env_ = vektest::testEnv();
    ASSERT_NE(nullptr, env_);
  }
  void TearDown() override {
    vek_lifecycleVMUnavailable();
    vek_removeAllLoggers();
  }

  bool enabled() {
    jclass cls = env_->FindClass(NATIVE_FILE);
    return cls != nullptr && env_->GetStaticBooleanField(cls, env_->GetStaticFieldID(cls, "mEnabled", "Z"));
  }

  // One native called from Java; "ok:<result>" or "IOException:<message>".
  std::string call(const std::string& op, const char* a, const char* b = nullptr, int mode = 0) {
    jclass calls = env_->FindClass("vektest/NativeFileCalls");
    jmethodID mid = env_->GetStaticMethodID(
        calls, "call", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;I)Ljava/lang/String;");
    auto jtext = [this](const char* s) { return s != nullptr ? env_->NewStringUTF(s) : nullptr; };
    auto result = static_cast<jstring>(
        env_->CallStaticObjectMethod(calls, mid, jtext(op.c_str()), jtext(a), jtext(b), static_cast<jint>(mode)));
    if (jthrowable other = vektest::takeException(env_)) return "unexpected:" + vektest::messageOf(env_, other);
    return utf(env_, result);
  }

  JNIEnv* env_ = nullptr;
};

TEST_F(NativeFileJvmTest, NativesAnswerJavaCallersWithResultsOrIOExceptions) {
  ASSERT_TRUE(vek_registerNativeIOOperations(env_));
  EXPECT_FALSE(env_->ExceptionCheck());
  EXPECT_TRUE(enabled());

  vektest::TempDir dir;
  const std::string file = dir.file("file");
  const std::string link = dir.file("link");
  const std::string missing = dir.file("missing");
  vektest::writeFile(file, "content");
  ASSERT_EQ(0, symlink("../elsewhere/target", link.c_str()));
  auto owned_by = [&](uid_t uid) {
    std::string path = dir.file("owned" + std::to_string(uid));
    vektest::writeFile(path, "");
    return chown(path.c_str(), uid, 0) == 0 ? path : std::string();
  };
  auto mode_of = [](const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
  };

  struct Case {
    const char* name;
    std::function<void()> setup;
    const char* op;
    std::string a, b;
    int mode;
    std::string expected;
    std::function<bool()> after;
  };
  const Case cases[] = {
      {"mode bits", [&] { chmod(file.c_str(), 0640); }, "getNativePermissions", file, "", 0, "ok:640", nullptr},
      {"set-id and sticky bits", [&] { chmod(file.c_str(), 07755); }, "getNativePermissions", file, "", 0, "ok:7755",
       nullptr},
      {"a link's bits are its own", nullptr, "getNativePermissions", link, "", 0, "ok:777", nullptr},
      {"bits of a missing file", nullptr, "getNativePermissions", missing, "", 0,
       "IOException:Could not lstat file " + missing + ": No such file or directory", nullptr},
      {"bits set", nullptr, "setNativePermissions", file, "", 0604, "ok:", [&] { return mode_of(file) == 0604; }},
      {"bits set on a missing file", nullptr, "setNativePermissions", missing, "", 0600,
       "IOException:Could not set permissions on " + missing + ": No such file or directory", nullptr},
      {"owner by name", nullptr, "getNativeOwner", file, "", 0, "ok:" + accountOf(geteuid()), nullptr},
      {"owner by bare user ID", nullptr, "getNativeOwner", owned_by(54321), "", 0, "ok:54321", nullptr},
      {"owner of a missing file", nullptr, "getNativeOwner", missing, "", 0,
       "IOException:Could not get ownership on file " + missing + ": No such file or directory", nullptr},
      {"link target, unresolved", nullptr, "getNativeSymlink", link, "", 0, "ok:../elsewhere/target", nullptr},
      {"a regular file is no link", nullptr, "getNativeSymlink", file, "", 0, "ok:null", nullptr},
      {"link state of a missing file", nullptr, "getNativeSymlink", missing, "", 0,
       "IOException:Could not stat file " + missing + ": No such file or directory", nullptr},
      {"new link", nullptr, "createSymlink", dir.file("made"), "some/target", 0, "ok:true",
       [&] { return linkTarget(dir.file("made")) == "some/target"; }},
      {"link onto an existing path", nullptr, "createSymlink", file, "some/target", 0,
       "IOException:Could create symbolic link from " + file + " to some/target: File exists",
       [&] { return vektest::readFile(file) == "content" && linkTarget(file).empty(); }},
      {"free space of a missing file", nullptr, "getNativeAvailableBytes", missing, "", 0, "ok:-1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.setup) c.setup();
    EXPECT_EQ(c.expected, call(c.op, c.a.c_str(), c.b.empty() ? nullptr : c.b.c_str(), c.mode));
    if (c.after) {
      EXPECT_TRUE(c.after());
    }
  }
  EXPECT_EQ("IOException:Null filename provided, cannot determine symlink state", call("getNativeSymlink", nullptr));
}

// Names are converted from Java's UTF-16 without loss or refused: a name the
// locale cannot express, a lone surrogate or a NUL (which would end it early,
// at another file's name) gives an IOException saying so, and no file is
// acted on; characters beyond the 16-bit range are whole characters.
TEST_F(NativeFileJvmTest, NamesWithoutANativeFormAreRefusedAndNeverBecomeAnotherName) {
  ASSERT_TRUE(vek_registerNativeIOOperations(env_));
  vektest::TempDir dir;
  const std::string plain = dir.file("plain");
  vektest::writeFile(plain, "");
  chmod(plain.c_str(), 0640);
  vektest::writeFile(dir.file("face-\xF0\x9F\x98\x80"), "");  // U+1F600 on disk, in UTF-8
  chmod(dir.file("face-\xF0\x9F\x98\x80").c_str(), 0604);
  // Java's modified UTF-8, as NewStringUTF takes it.
  const std::string e_acute = dir.file("caf\xC3\xA9");
  const std::string face = dir.file("face-\xED\xA0\xBD\xED\xB8\x80");  // the surrogate pair
  const std::string lone = dir.file("half-\xED\xA0\x80");
  const std::string with_nul = plain + "\xC0\x80.bak";
  auto refused = [](const std::string& name) {
    return "IOException:Could not convert the file name " + name + " to the character set of the system";
  };
  const struct {
    const char* name;
    const char* locale;
    const char* op;
    std::string path;
    int mode;
    std::string expected;
  } cases[] = {
      {"no form in the C locale", "C", "getNativePermissions", e_acute, 0, refused(e_acute)},
      {"no form in the C locale, owner", "C", "getNativeOwner", e_acute, 0, refused(e_acute)},
      {"a NUL inside the name", "C.UTF-8", "setNativePermissions", with_nul, 0600, refused(with_nul)},
      {"a lone surrogate", "C.UTF-8", "getNativeSymlink", lone, 0, refused(lone)},
      {"a character beyond 16 bits", "C.UTF-8", "getNativePermissions", face, 0, "ok:604"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(nullptr, setlocale(LC_CTYPE, c.locale));
    EXPECT_EQ(c.expected, call(c.op, c.path.c_str(), nullptr, c.mode));
  }
  setlocale(LC_CTYPE, "C");
  struct stat st;
  ASSERT_EQ(0, stat(plain.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);  // not the file the name began with
}

TEST_F(NativeFileJvmTest, FreeSpaceMatchesStatvfs) {
  ASSERT_TRUE(vek_registerNativeIOOperations(env_));
  vektest::TempDir dir;
  auto statvfs_bytes = [&] {
    struct statvfs vfs;
    EXPECT_EQ(0, statvfs(dir.str().c_str(), &vfs));
    return static_cast<long long>(vfs.f_bavail) * static_cast<long long>(vfs.f_frsize);
  };
  long long before = statvfs_bytes();
  long long native = std::stoll(call("getNativeAvailableBytes", dir.str().c_str()).substr(3));
  long long after = statvfs_bytes();
  // Other programs write meanwhile: allow what they may have changed.
  const long long slack = 64LL << 20;
  EXPECT_GE(native, std::min(before, after) - slack);
  EXPECT_LE(native, std::max(before, after) + slack);
  EXPECT_GT(native, 0);
}

// Owners that differ per file, asked from many Java threads at once: a
// lookup through a shared static record would hand one thread another's.
TEST_F(NativeFileJvmTest, OwnersAskedFromManyJavaThreadsAtOnceStayTheirOwn) {
  ASSERT_TRUE(vek_registerNativeIOOperations(env_));
  vektest::TempDir dir;
  const uid_t uids[] = {0, 1, 2, 54321};
  jclass string_class = env_->FindClass("java/lang/String");
  jobjectArray files = env_->NewObjectArray(4, string_class, nullptr);
  jobjectArray expected = env_->NewObjectArray(4, string_class, nullptr);
  for (int i = 0; i < 4; ++i) {
    std::string path = dir.file("owned" + std::to_string(i));
    vektest::writeFile(path, "");
    ASSERT_EQ(0, chown(path.c_str(), uids[i], 0));
    std::string name = accountOf(uids[i]);
    env_->SetObjectArrayElement(files, i, env_->NewStringUTF(path.c_str()));
    env_->SetObjectArrayElement(expected, i,
                                env_->NewStringUTF(name.empty() ? std::to_string(uids[i]).c_str() : name.c_str()));
  }
  jclass calls = env_->FindClass("vektest/NativeFileCalls");
  jmethodID mid = env_->GetStaticMethodID(calls, "ownersConcurrently",
                                          "([Ljava/lang/String;[Ljava/lang/String;II)[Ljava/lang/String;");
  auto wrong = static_cast<jobjectArray>(env_->CallStaticObjectMethod(calls, mid, files, expected, 8, 400));
  ASSERT_FALSE(env_->ExceptionCheck());
  ASSERT_NE(nullptr, wrong);
  for (jsize i = 0; i < env_->GetArrayLength(wrong); ++i)
    ADD_FAILURE() << utf(env_, static_cast<jstring>(env_->GetObjectArrayElement(wrong, i)));
}

// The class is defined from the test class's own bytes with the field
// renamed, before anything loads the real one. The ERROR line must reach
// the Java VM logger with no exception pending, or that logger would take
// the stale NoSuchFieldError for its own failure and switch itself off.
TEST_F(NativeFileJvmTest, AClassWithoutEnabledFieldStillGetsItsNativesAndOneErrorLine) {
  std::string bytes = vektest::readFile(std::string(VEK_TEST_CLASSES_DIR) + "/" + NATIVE_FILE + ".class");
  const std::string field("\x01\x00\x08mEnabled", 11);
  size_t at = bytes.find(field);
  ASSERT_NE(std::string::npos, at);
  bytes[at + 3] = 'x';
  jobject loader =
      vektest::callStatic(env_, "java/lang/ClassLoader", "getSystemClassLoader", "()Ljava/lang/ClassLoader;");
  ASSERT_NE(nullptr, loader);
  jclass defined = env_->DefineClass(NATIVE_FILE, loader, reinterpret_cast<const jbyte*>(bytes.data()),
                                     static_cast<jsize>(bytes.size()));
  if (defined == nullptr) {
    env_->ExceptionClear();
    GTEST_SKIP() << "NativeFile was loaded earlier in this process";
  }

  vek_addLogger(vek_javaVMLogger);
  vek_lifecycleVMAvailable(vektest::testJvm());
  vektest::RecordLogs logs;
  vektest::ScopedLogLevel level(VEKLOG_INFO);
  // The VM logger's one-time lookups clear whatever is pending; after them
  // a stale exception is what it would meet.
  veklog(VEK_HERE, VEKLOG_INFO, "lookups done");
  logs.take();
  vektest::callStatic(env_, "com/nimbo/common/log/LogCategory", "drain", "()[Ljava/lang/String;");
  EXPECT_TRUE(vek_registerNativeIOOperations(env_));
  EXPECT_FALSE(env_->ExceptionCheck());

  auto events = logs.take();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(VEKLOG_ERROR, events[0].level);
  EXPECT_EQ("Could not find field mEnabled in com/nimbo/common/io/NativeFile", events[0].text);
  EXPECT_EQ("VekUtil/src/vek_file", events[0].short_filename);
  EXPECT_TRUE(vek_isLoggerAdded(vek_javaVMLogger));
  auto lines = static_cast<jobjectArray>(
      vektest::callStatic(env_, "com/nimbo/common/log/LogCategory", "drain", "()[Ljava/lang/String;"));
  ASSERT_NE(nullptr, lines);
  ASSERT_EQ(1, env_->GetArrayLength(lines));
  EXPECT_EQ(
      "VekUtil/src/vek_file|4000|Could not find field mEnabled in com/nimbo/common/io/NativeFile|<none>|false|<null>",
      utf(env_, static_cast<jstring>(env_->GetObjectArrayElement(lines, 0))));

  vektest::TempDir dir;
  vektest::writeFile(dir.file("f"), "");
  chmod(dir.file("f").c_str(), 0611);
  EXPECT_EQ("ok:611", call("getNativePermissions", dir.file("f").c_str()));
}

}  // namespace
