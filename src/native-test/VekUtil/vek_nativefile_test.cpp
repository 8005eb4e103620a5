// The Windows NativeFile natives, called through a stand-in JNIEnv of our
// own that keeps Java strings as UTF-16 records and records the lookups made
// and the exceptions thrown: the attribute mapping, the failures that become
// IOExceptions, and the export of the natives under their JNI names.
#include "vek_nativefile.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "vek_file.h"
#include "vek_test_support.h"

namespace {

// A Java string of the stand-in; an exception is its message.
struct FakeObject {
  std::u16string chars;
};

class FakeJni {
 public:
  FakeJni() {
    std::memset(&table_, 0, sizeof table_);
    table_.GetStringLength = [](JNIEnv*, jstring s) { return static_cast<jsize>(as(s)->chars.size()); };
    table_.GetStringChars = [](JNIEnv*, jstring s, jboolean*) {
      return reinterpret_cast<const jchar*>(as(s)->chars.c_str());
    };
    table_.ReleaseStringChars = [](JNIEnv*, jstring, const jchar*) {};
    table_.NewStringUTF = [](JNIEnv*, const char* utf) { return static_cast<jstring>(current->make(utf)); };
    table_.FindClass = [](JNIEnv*, const char* name) {
      current->calls.push_back(std::string("FindClass ") + name);
      return reinterpret_cast<jclass>(&current->class_token_);
    };
    table_.GetMethodID = [](JNIEnv*, jclass, const char* name, const char* signature) {
      current->calls.push_back(std::string("GetMethodID ") + name + signature);
      return reinterpret_cast<jmethodID>(&current->method_token_);
    };
    // The exception's constructor takes the message; the C++ JNIEnv passes
    // NewObject's arguments on as a va_list.
    table_.NewObjectV = [](JNIEnv*, jclass, jmethodID, va_list args) {
      return current->make(current->text(va_arg(args, jstring)).c_str());
    };
    table_.Throw = [](JNIEnv*, jthrowable thrown) {
      current->thrown.push_back(current->text(thrown));
      return static_cast<jint>(0);
    };
    table_.ExceptionClear = [](JNIEnv*) {};
    env_.functions = &table_;
    current = this;
  }
  ~FakeJni() { current = nullptr; }
  FakeJni(const FakeJni&) = delete;
  FakeJni& operator=(const FakeJni&) = delete;

  JNIEnv* env() { return &env_; }
  jstring str(const std::string& ascii) { return static_cast<jstring>(make(ascii.c_str())); }
  jstring wide(const std::wstring& text) {
    objects_.push_back({std::u16string(text.begin(), text.end())});
    return reinterpret_cast<jstring>(&objects_.back());
  }
  std::string text(jobject object) {
    if (object == nullptr) return "<null>";
    std::string out;
    for (char16_t c : as(object)->chars) out += static_cast<char>(c);
    return out;
  }

  std::vector<std::string> thrown;  // messages of the exceptions thrown, in order
  std::vector<std::string> calls;   // class and method lookups made

 private:
  static FakeObject* as(jobject object) { return reinterpret_cast<FakeObject*>(object); }

  jobject make(const char* utf) {
    objects_.push_back({std::u16string(utf, utf + std::strlen(utf))});
    return reinterpret_cast<jobject>(&objects_.back());
  }

  static FakeJni* current;
  JNINativeInterface_ table_;
  JNIEnv env_;
  std::deque<FakeObject> objects_;  // stable addresses for the handles given out
  int class_token_ = 0;
  int method_token_ = 0;
};

FakeJni* FakeJni::current = nullptr;

std::string ownProgram() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, n);
}

// Kinds of entries the mapping is tried on, and what to do with them first.
enum class Kind { kFile, kProgram, kDirectory };

TEST(NativeFileWindowsTest, ModesMapToAttributesAndBack) {
  struct Case {
    const char* name;
    Kind kind;
    std::vector<int> set;  // setNativePermissions calls, in order
    int expected;          // getNativePermissions afterwards
    bool read_only;        // the attribute afterwards
  };
  const Case cases[] = {
      {"plain file", Kind::kFile, {}, 0644, false},
      {"program", Kind::kProgram, {}, 0755, false},
      {"directory", Kind::kDirectory, {}, 0755, false},
      {"444 round trip", Kind::kFile, {0444}, 0444, true},
      {"read-only program", Kind::kProgram, {0555}, 0555, true},
      {"a write bit keeps it writable", Kind::kFile, {0600}, 0644, false},
      {"write access given back", Kind::kFile, {0444, 0644}, 0644, false},
      {"group write alone counts as write", Kind::kFile, {0444, 0464}, 0644, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::TempDir dir;
    std::string path = dir.file("entry");
    if (c.kind == Kind::kProgram) path += ".exe";
    bool made = c.kind == Kind::kFile      ? (vektest::writeFile(path, "text"), true)
                : c.kind == Kind::kProgram ? CopyFileA(ownProgram().c_str(), path.c_str(), TRUE) != 0
                                           : CreateDirectoryA(path.c_str(), nullptr) != 0;
    ASSERT_TRUE(made);
    FakeJni jni;
    for (int mode : c.set)
      Java_com_nimbo_common_io_NativeFile_setNativePermissions(jni.env(), nullptr, jni.str(path), mode);
    EXPECT_EQ(c.expected, Java_com_nimbo_common_io_NativeFile_getNativePermissions(jni.env(), nullptr, jni.str(path)));
    DWORD attributes = GetFileAttributesA(path.c_str());
    EXPECT_EQ(c.read_only, (attributes & FILE_ATTRIBUTE_READONLY) != 0);
    EXPECT_TRUE(jni.thrown.empty()) << jni.thrown.front();
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // let the directory be removed
  }
}

TEST(NativeFileWindowsTest, FailuresBecomeIOExceptionsWithTheSystemText) {
  vektest::TempDir dir;
  std::string missing = dir.file("missing");
  FakeJni jni;
  errno = 0;
  EXPECT_EQ(-1, Java_com_nimbo_common_io_NativeFile_getNativePermissions(jni.env(), nullptr, jni.str(missing)));
  EXPECT_EQ(EINVAL, errno);
  Java_com_nimbo_common_io_NativeFile_setNativePermissions(jni.env(), nullptr, jni.str(missing), 0444);
  EXPECT_EQ(nullptr, Java_com_nimbo_common_io_NativeFile_getNativeOwner(jni.env(), nullptr, jni.str(missing)));
  ASSERT_EQ(3u, jni.thrown.size());
  const char* prefixes[] = {"Could not retrieve attributes for ", "Could not retrieve attributes for ",
                            "Could not retrieve file security for "};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(jni.thrown[i]);
    std::string head = prefixes[i] + missing + ": ";
    EXPECT_EQ(0u, jni.thrown[i].rfind(head, 0));
    EXPECT_GT(jni.thrown[i].size(), head.size());  // the system's text follows
  }
  EXPECT_EQ("FindClass java/io/IOException", jni.calls.at(0));
  EXPECT_EQ("GetMethodID <init>(Ljava/lang/String;)V", jni.calls.at(1));
}

TEST(NativeFileWindowsTest, OwnerLinksAndFreeSpace) {
  vektest::TempDir dir;
  std::string file = dir.file("file");
  vektest::writeFile(file, "text");
  FakeJni jni;
  std::string owner = jni.text(Java_com_nimbo_common_io_NativeFile_getNativeOwner(jni.env(), nullptr, jni.str(file)));
  EXPECT_NE("<null>", owner);
  EXPECT_FALSE(owner.empty());
  EXPECT_EQ(std::string::npos, owner.find('\\'));  // the account alone, no domain
  EXPECT_FALSE(
      Java_com_nimbo_common_io_NativeFile_createSymlink(jni.env(), nullptr, jni.str(dir.file("l")), jni.str(file)));
  EXPECT_EQ(nullptr, Java_com_nimbo_common_io_NativeFile_getNativeSymlink(jni.env(), nullptr, jni.str(file)));
  jlong native = Java_com_nimbo_common_io_NativeFile_getNativeAvailableBytes(jni.env(), nullptr, jni.str(file));
  jlong direct = static_cast<jlong>(vek_getAvailableBytes(dir.str().c_str()));
  EXPECT_GT(native, 0);
  EXPECT_LT(native > direct ? native - direct : direct - native, 64LL << 20);  // others write meanwhile
  EXPECT_TRUE(jni.thrown.empty());
}

// Names reach the wide calls as Java's own UTF-16: characters that the ANSI
// code page lacks neither fail the call nor turn the name into another's.
TEST(NativeFileWindowsTest, NamesOutsideTheCodePageReachTheirOwnFile) {
  vektest::TempDir dir;
  std::string narrow_dir = dir.str();
  const std::wstring path = std::wstring(narrow_dir.begin(), narrow_dir.end()) + L"\\\u03A9mega-\u4E2D.txt";
  HANDLE made = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, made);
  CloseHandle(made);
  FakeJni jni;
  Java_com_nimbo_common_io_NativeFile_setNativePermissions(jni.env(), nullptr, jni.wide(path), 0444);
  EXPECT_NE(0u, GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(0444, Java_com_nimbo_common_io_NativeFile_getNativePermissions(jni.env(), nullptr, jni.wide(path)));
  EXPECT_NE("<null>", jni.text(Java_com_nimbo_common_io_NativeFile_getNativeOwner(jni.env(), nullptr, jni.wide(path))));
  EXPECT_GT(Java_com_nimbo_common_io_NativeFile_getNativeAvailableBytes(jni.env(), nullptr, jni.wide(path)), 0);
  EXPECT_TRUE(jni.thrown.empty()) << jni.thrown.front();
  // Nothing else in the directory was made or changed.
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((std::wstring(narrow_dir.begin(), narrow_dir.end()) + L"\\*").c_str(), &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  int entries = 0;
  do {
    if (std::wstring(found.cFileName) != L"." && std::wstring(found.cFileName) != L"..") ++entries;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  EXPECT_EQ(1, entries);
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // let the directory be removed
}

// The VM finds the natives of an executable by name.
TEST(NativeFileWindowsTest, TheProgramExportsTheNativesUnderTheirJniNames) {
  const char* names[] = {"createSymlink",        "getNativeSymlink",     "getNativeOwner",
                         "getNativePermissions", "setNativePermissions", "getNativeAvailableBytes"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    std::string symbol = std::string("Java_com_nimbo_common_io_NativeFile_") + name;
    EXPECT_NE(nullptr, reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), symbol.c_str())));
  }
}

}  // namespace
