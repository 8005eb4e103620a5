// Paths, directories, temporary locations, copies and free space. Every test
// that touches the disk works in its own fresh directory. Failures are made
// to happen for real: an unprivileged user in front of a read-only directory,
// a missing parent, a file in the way, a small tmpfs for free space.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "vek_file.h"
#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_test_support.h"

namespace fs = std::filesystem;

namespace {

using CText = std::unique_ptr<char, decltype(&free)>;

// Loggers can be registered only once the library is started.
class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { vek_lifecycleInit(); }
};
const auto* const kLibrary = ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

constexpr vek_uint64_t kGiB = 1024ull * 1024 * 1024;

void setEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

std::set<std::string> listNames(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

#ifndef _WIN32
constexpr uid_t kNobody = 65534;

// Root ignores permission bits, so a read-only directory stops only other
// users: `body` runs in a child process as "nobody" and its result is the
// child's exit status. `tree` is handed over to that user first.
bool runUnprivileged(const std::string& tree, const std::function<bool()>& body) {
  if (geteuid() == 0) {
    for (const auto& e : fs::recursive_directory_iterator(tree)) {
      if (lchown(e.path().c_str(), kNobody, kNobody) != 0) return false;
    }
    if (lchown(tree.c_str(), kNobody, kNobody) != 0) return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(3);
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A tmpfs mounted over a directory for the lifetime of the object.
class Tmpfs {
 public:
  Tmpfs(const std::string& dir, const char* options) : dir_(dir) {
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0;
  }
  ~Tmpfs() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_;
};
#endif

// ---- Paths -------------------------------------------------------------

struct NormalizeCase {
  const char* input;
  bool changed;
  const char* expected;
};

TEST(NormalizePath, Table) {
  const NormalizeCase cases[] = {
      {"/", false, nullptr},
      {"", false, nullptr},
      {".", false, nullptr},
#ifdef _WIN32
      {"..\\..\\x", false, nullptr},
      {"a\\b", false, nullptr},
      {"C:\\", true, "C:\\"},
      {"c:/dir/", true, "c:\\dir\\"},
      {"C:\\a\\.\\b\\..\\c", true, "C:\\a\\c"},
      {"/C:/dir", true, "C:\\dir"},
      {"a/b", true, "a\\b"},
      {"\\\\server\\share\\.\\x", true, "\\\\server\\share\\x"},
      {"//server/share/", true, "\\\\server\\share\\"},
      {"a\\..\\..\\b", true, "..\\b"},
#else
      {"a/b", false, nullptr},        {"../../x", false, nullptr},
      {"//", false, nullptr},         {"/../a", false, nullptr},
      {"/a/./b//c/", true, "/a/b/c"}, {"./a", true, "a"},
      {"a/../../b", true, "../b"},    {"x\\y/z", true, "x/y/z"},
      {"a//b/", true, "a/b"},         {"C:\\dir\\f", true, "C:/dir/f"},
      {"/a/b/..", true, "/a"},        {"a/..", true, ""},
      {"a/b/../../..", true, ".."},
#endif
  };
  for (const NormalizeCase& c : cases) {
    SCOPED_TRACE(std::string("input \"") + c.input + "\"");
    char buffer[64] = "untouched";
    bool changed = vek_normalizePath(c.input, buffer, sizeof buffer);
    EXPECT_EQ(c.changed, changed);
    EXPECT_STREQ(c.changed ? c.expected : "untouched", buffer);
  }
  EXPECT_FALSE(vek_normalizePath(nullptr, nullptr, 0));
}

TEST(NormalizePath, OutputIsCutToTheBuffer) {
  char small[4] = "xyz";
  EXPECT_TRUE(vek_normalizePath("./abcdef", small, sizeof small));
  EXPECT_STREQ("abc", small);

  // A path longer than any path buffer: the result is cut, still terminated.
  std::string lengthy;
  while (lengthy.size() < 2 * VEK_PATH_MAX) lengthy += "dir/./";
  std::vector<char> buffer(VEK_PATH_MAX, '#');
  EXPECT_TRUE(vek_normalizePath(lengthy.c_str(), buffer.data(), buffer.size()));
  EXPECT_EQ(static_cast<size_t>(VEK_PATH_MAX - 1), std::strlen(buffer.data()));
}

TEST(IsFullPath, Table) {
  struct Case {
    const char* path;
    bool full;
  };
  const Case cases[] = {
      {"", false},       {"a/b", false},   {"./a", false},
#ifdef _WIN32
      {"C:\\dir", true}, {"c:/dir", true}, {"/C:/dir", true}, {"\\\\server\\share", true},
      {"C:", false},     {"C:dir", false}, {"/dir", false},   {"\\\\", false},
#else
      {"/", true}, {"/usr", true}, {"C:\\dir", false}, {"\\dir", false},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.full, vek_isFullPath(c.path));
  }
  EXPECT_FALSE(vek_isFullPath(nullptr));
}

TEST(DirAndFileName, Table) {
  struct Case {
    const char* path;
    const char* dir;
    const char* file;
  };
  const Case cases[] = {
      {"file", ".", ""},
      {"", ".", ""},
      {"/opt/app/", "/opt/app", ""},
      {"/opt/app//", "/opt/app", ""},
      {"/opt/app", "/opt", "app"},
      {"a/b//c", "a/b", "c"},
      {"/a", "/", "a"},
      {"a/b", "a", "b"},
      {"/", "/", ""},
#ifdef _WIN32
      {"C:\\dir\\f", "C:\\dir", "f"},
      {"a\\b/c", "a\\b", "c"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CText dir(vek_getDirName(c.path), &free);
    ASSERT_NE(nullptr, dir);
    EXPECT_STREQ(c.dir, dir.get());
    const char* file = vek_getFileName(c.path);
    EXPECT_STREQ(c.file, file);
    if (*c.file != '\0') {
      EXPECT_EQ(c.path + std::strlen(c.path) - std::strlen(c.file), file);
    }
  }
  EXPECT_EQ(nullptr, vek_getDirName(nullptr));
  EXPECT_EQ(nullptr, vek_getFileName(nullptr));
}

TEST(GetFullPath, ResolvesAndCuts) {
  vektest::TempDir dir;
  fs::create_directories(dir.path() / "a" / "b");
  std::string messy = dir.file("a") + "/./b/..//b";
  char buffer[VEK_PATH_MAX];
  size_t len = vek_getFullPath(messy.c_str(), buffer, sizeof buffer);
  EXPECT_EQ(fs::canonical(dir.path() / "a" / "b").string(), buffer);
  EXPECT_EQ(std::strlen(buffer), len);

  char small[5];
  EXPECT_EQ(4u, vek_getFullPath(messy.c_str(), small, sizeof small));
  EXPECT_EQ(0, std::strncmp(buffer, small, 4));

  vektest::RecordLogs logs;
  std::string missing = dir.file("missing");
#ifdef _WIN32
  EXPECT_GT(vek_getFullPath(missing.c_str(), buffer, sizeof buffer), 0u);
#else
  EXPECT_EQ(0u, vek_getFullPath(missing.c_str(), buffer, sizeof buffer));
  EXPECT_TRUE(vektest::RecordingLogger::contains(
      logs.take(), VEKLOG_WARN, "Could not convert path name '" + missing + "' to its canonical form"));
  // Links are resolved.
  fs::create_directory_symlink(dir.path() / "a", dir.path() / "link");
  ASSERT_GT(vek_getFullPath(dir.file("link").c_str(), buffer, sizeof buffer), 0u);
  EXPECT_EQ(fs::canonical(dir.path() / "a").string(), buffer);
#endif
}

// ---- Existence tests ---------------------------------------------------

TEST(Existence, ErrnoTellsWhy) {
  vektest::TempDir dir;
  std::string file = dir.file("f");
  vektest::writeFile(file, "12345");
  std::string missing = dir.file("missing");

  errno = 0;
  EXPECT_TRUE(vek_doesDirectoryExist(dir.str().c_str()));
  EXPECT_FALSE(vek_doesFileExist(dir.str().c_str()));
  EXPECT_EQ(EISDIR, errno);
  EXPECT_TRUE(vek_doesFileExist(file.c_str()));
  EXPECT_EQ(0, errno);
  EXPECT_FALSE(vek_doesFileExist(missing.c_str()));
  EXPECT_FALSE(vek_doesDirectoryExist(missing.c_str()));
  EXPECT_FALSE(vek_doesDirectoryExist(file.c_str()));
#ifndef _WIN32
  EXPECT_EQ(ENOTDIR, errno);
#endif

  vektest::RecordLogs logs;
  errno = 0;
  EXPECT_FALSE(vek_doesDirectoryExist(""));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_TRUE(logs.take().empty());
  errno = 0;
  EXPECT_FALSE(vek_doesFileExist(nullptr));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "null file name"));
#ifdef _WIN32
  // Windows callers read the reason from the last error.
  for (const char* name : {static_cast<const char*>(nullptr), ""}) {
    SCOPED_TRACE(name ? "empty" : "null");
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(vek_doesFileExist(name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  }
#endif
}

TEST(Existence, FileSizeIs64Bit) {
  vektest::TempDir dir;
  std::string file = dir.file("f");
  vektest::writeFile(file, "12345");
  EXPECT_EQ(5u, vek_getFileSize(file.c_str()));
  EXPECT_EQ(VEK_UINT64_UNKNOWN, vek_getFileSize(dir.str().c_str()));
  EXPECT_EQ(VEK_UINT64_UNKNOWN, vek_getFileSize(dir.file("missing").c_str()));

  // A sparse file beyond 4 GiB: a 32-bit size would wrap to 1 GiB.
  std::string big = dir.file("big");
  vektest::writeFile(big, "");
  std::error_code ec;
  fs::resize_file(big, 5 * kGiB, ec);
  if (ec) GTEST_SKIP() << "cannot make a 5 GiB sparse file here: " << ec.message();
  EXPECT_EQ(5 * kGiB, vek_getFileSize(big.c_str()));
}

#ifndef _WIN32
TEST(Existence, OwnerExecuteBitOnly) {
  vektest::TempDir dir;
  struct Case {
    mode_t mode;
    bool executable;
  };
  const Case cases[] = {{0700, true}, {0100, true}, {0644, false}, {0011, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    std::string file = dir.file("f" + std::to_string(c.mode));
    vektest::writeFile(file, "#!/bin/sh\n");
    chmod(file.c_str(), c.mode);
    errno = 0;
    EXPECT_EQ(c.executable, vek_isFileExecutable(file.c_str()));
    EXPECT_EQ(c.executable ? 0 : ENOEXEC, errno);
  }
  EXPECT_FALSE(vek_isFileExecutable(dir.str().c_str()));
}
#endif

// ---- Directories -------------------------------------------------------

TEST(CreatePath, Table) {
  struct Case {
    const char* title;
    const char* existing;  // made before the call ("" for none); "F:" prefix makes a file
    const char* path;
    const char* made;  // the directory expected afterwards
    bool ok;
  };
  const Case cases[] = {
      {"all levels missing", "", "a/b/c", "a/b/c", true},  {"messy path", "", "a//b/./c/", "a/b/c", true},
      {"parent exists", "a", "a/b", "a/b", true},          {"already there", "a/b", "a/b", "a/b", true},
      {"file in the way", "F:a", "a/b/c", "a/b", false},   {"file at the end", "F:a", "a", "a", false},
      {"dot-dot never made", "", "a/x/../b", "a/b", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    vektest::TempDir dir;
    std::string existing = c.existing;
    if (existing.rfind("F:", 0) == 0) {
      vektest::writeFile(dir.file(existing.substr(2)), "keep");
    } else if (!existing.empty()) {
      fs::create_directories(dir.path() / existing);
      vektest::writeFile((dir.path() / existing / "marker").string(), "keep");
    }
    std::string target = dir.str() + "/" + c.path;
    EXPECT_EQ(c.ok, vek_createPath(target.c_str(), 0777));
    EXPECT_EQ(c.ok, fs::is_directory(dir.path() / c.made));
    EXPECT_FALSE(fs::exists(dir.path() / "a" / "x"));
    if (existing.rfind("F:", 0) == 0) {
      EXPECT_EQ("keep", vektest::readFile(dir.file(existing.substr(2))));
    } else if (!existing.empty()) {
      EXPECT_EQ("keep", vektest::readFile((dir.path() / existing / "marker").string()));
    }
  }
  EXPECT_FALSE(vek_createPath(nullptr, 0777));
}

#ifndef _WIN32
TEST(CreatePath, ModeAndReadOnlyParent) {
  vektest::TempDir dir;
  std::string target = dir.file("p/q");
  mode_t old = umask(022);
  EXPECT_TRUE(vek_createPath(target.c_str(), 0750));
  umask(old);
  struct stat st;
  ASSERT_EQ(0, stat(dir.file("p").c_str(), &st));
  EXPECT_EQ(0750u, st.st_mode & 07777);

  fs::create_directory(dir.path() / "ro");
  chmod(dir.file("ro").c_str(), 0555);
  std::string blocked = dir.file("ro/x/y");
  EXPECT_TRUE(runUnprivileged(
      dir.str(), [&] { return !vek_createPath(blocked.c_str(), 0777) && !vek_doesDirectoryExist(blocked.c_str()); }));
  EXPECT_FALSE(fs::exists(dir.path() / "ro" / "x"));
}
#endif

TEST(DirectoryContents, NamesWithDotEntries) {
  vektest::TempDir dir;
  fs::create_directory(dir.path() / "sub");
  vektest::writeFile(dir.file("f1"), "");
  vektest::writeFile(dir.file("f2"), "");
  vek_list_t* list = vek_getDirectoryContents(dir.str().c_str());
  ASSERT_NE(nullptr, list);
  std::multiset<std::string> names;
  for (size_t i = 0; i < vek_listGetSize(list); ++i) names.insert(static_cast<char*>(vek_listGet(list, i)));
  vek_listDeleteAll(list);
  vek_listDestroy(list);
  EXPECT_EQ((std::multiset<std::string>{".", "..", "f1", "f2", "sub"}), names);

  EXPECT_EQ(nullptr, vek_getDirectoryContents(dir.file("f1").c_str()));
  EXPECT_EQ(nullptr, vek_getDirectoryContents(dir.file("missing").c_str()));
  EXPECT_EQ(nullptr, vek_getDirectoryContents(nullptr));
}

TEST(RemoveDirectory, WholeTree) {
  vektest::TempDir dir;
  std::string root = dir.file("tree");
  fs::create_directories(fs::path(root) / "a" / "b" / "c");
  vektest::writeFile(root + "/top", "x");
  vektest::writeFile(root + "/a/b/deep", "x");
#ifndef _WIN32
  vektest::writeFile(root + "/a/readonly", "x");
  chmod((root + "/a/readonly").c_str(), 0444);
#endif
  EXPECT_TRUE(vek_removeDirectory(root.c_str()));
  EXPECT_FALSE(fs::exists(root));
  EXPECT_EQ(std::set<std::string>{}, listNames(dir.str()));
}

TEST(RemoveDirectory, RefusesWhatIsNotADirectory) {
  vektest::TempDir dir;
  std::string file = dir.file("f");
  vektest::writeFile(file, "keep");
  EXPECT_FALSE(vek_removeDirectory(file.c_str()));
  EXPECT_EQ("keep", vektest::readFile(file));
  EXPECT_FALSE(vek_removeDirectory(dir.file("missing").c_str()));
  EXPECT_FALSE(vek_removeDirectory(nullptr));
}

#ifndef _WIN32
// Regression guard: a walk that follows links deletes the files of whatever
// a link inside the tree points to.
TEST(RemoveDirectory, NeverFollowsLinksOutOfTheTree) {
  vektest::TempDir dir;
  fs::create_directories(dir.path() / "outside" / "nested");
  vektest::writeFile(dir.file("outside/precious"), "keep");
  vektest::writeFile(dir.file("outside/nested/more"), "keep");
  std::string root = dir.file("tree");
  fs::create_directories(fs::path(root) / "sub");
  fs::create_directory_symlink(dir.path() / "outside", fs::path(root) / "dirlink");
  fs::create_directory_symlink(dir.path() / "outside", fs::path(root) / "sub" / "deeplink");
  fs::create_symlink(dir.path() / "outside" / "precious", fs::path(root) / "filelink");
  fs::create_symlink(dir.path() / "nowhere", fs::path(root) / "dangling");

  EXPECT_TRUE(vek_removeDirectory(root.c_str()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
  EXPECT_EQ("keep", vektest::readFile(dir.file("outside/precious")));
  EXPECT_EQ("keep", vektest::readFile(dir.file("outside/nested/more")));

  // Given a link itself, nothing behind it is touched either.
  fs::create_directory_symlink(dir.path() / "outside", dir.path() / "toplink");
  EXPECT_FALSE(vek_removeDirectory(dir.file("toplink").c_str()));
  EXPECT_EQ("keep", vektest::readFile(dir.file("outside/precious")));
}

// A read-only subdirectory keeps its entries: the rest goes, the call fails,
// and a later attempt (as the installer's cleanup retries) finishes the job.
TEST(RemoveDirectory, ReadOnlySubdirectoryFailsThenRetrySucceeds) {
  vektest::TempDir dir;
  std::string root = dir.file("tree");
  fs::create_directories(fs::path(root) / "locked");
  fs::create_directories(fs::path(root) / "open");
  vektest::writeFile(root + "/locked/stuck", "x");
  vektest::writeFile(root + "/open/gone", "x");
  vektest::writeFile(root + "/gone", "x");
  chmod((root + "/locked").c_str(), 0555);

  EXPECT_TRUE(runUnprivileged(dir.str(), [&] { return !vek_removeDirectory(root.c_str()); }));
  EXPECT_EQ((std::set<std::string>{"locked"}), listNames(root));
  EXPECT_EQ((std::set<std::string>{"stuck"}), listNames(root + "/locked"));

  chmod((root + "/locked").c_str(), 0755);
  EXPECT_TRUE(runUnprivileged(dir.str(), [&] { return vek_removeDirectory(root.c_str()); }));
  EXPECT_FALSE(fs::exists(root));
}
#endif

// ---- Temporary directory ----------------------------------------------
// vek_getTempDir caches its first choice for the life of the process, so
// every choice is made in a fresh child process.

struct TempDirCase {
  const char* title;
  const char* tmp;  // NULL: unset; "@x": the test directory's entry x
  const char* temp;
  const char* tmpdir;
  const char* expected;  // "@x" as above
  bool errors_logged;
};

std::string resolve(const vektest::TempDir& dir, const char* value) {
  return value[0] == '@' ? dir.file(value + 1) : value;
}

bool chooseAndCheck(const vektest::TempDir& dir, const TempDirCase& c) {
  const char* values[] = {c.tmp, c.temp, c.tmpdir};
  const char* names[] = {"TMP", "TEMP", "TMPDIR"};
  std::string held[3];
  for (int i = 0; i < 3; ++i) {
    if (values[i] != nullptr) held[i] = resolve(dir, values[i]);
    setEnv(names[i], values[i] != nullptr ? held[i].c_str() : nullptr);
  }
  vektest::RecordLogs logs;
  const char* chosen = vek_getTempDir();
  std::string expected = resolve(dir, c.expected);
  bool logged = vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "Couldn't open temporary file");
  bool ok = chosen != nullptr && expected == chosen && logged == c.errors_logged && vek_getTempDir() == chosen;
  if (!ok) std::fprintf(stderr, "chose %s, expected %s\n", chosen ? chosen : "NULL", expected.c_str());
  return ok;
}

TEST(TempDirDeathTest, CandidateOrder) {
  const TempDirCase cases[] = {
      {"TMP first", "@a", "@b", "@c", "@a", false},
      {"TEMP when TMP is missing", "@missing", "@b", "@c", "@b", true},
      {"TEMP when TMP is a file", "@file", "@b", nullptr, "@b", true},
      {"TMPDIR last of the variables", nullptr, nullptr, "@c", "@c", false},
#ifndef _WIN32
      {"empty TMP is skipped", "", "@b", nullptr, "@b", false},
      {"no variables: /tmp", nullptr, nullptr, nullptr, "/tmp", false},
#endif
  };
  for (const TempDirCase& c : cases) {
    SCOPED_TRACE(c.title);
    vektest::TempDir dir;
    for (const char* sub : {"a", "b", "c"}) fs::create_directory(dir.path() / sub);
    vektest::writeFile(dir.file("file"), "");
    EXPECT_EXIT(std::exit(chooseAndCheck(dir, c) ? 0 : 1), ::testing::ExitedWithCode(0), "");
    for (const char* sub : {"a", "b", "c"}) {
      EXPECT_TRUE(fs::is_empty(dir.path() / sub)) << "probe file left in " << sub;
    }
  }
}

#ifndef _WIN32
// runUnprivileged already chooses in a child process.
TEST(TempDirChoice, UnwritableTmpFallsBackToTemp) {
  vektest::TempDir dir;
  fs::create_directory(dir.path() / "ro");
  fs::create_directory(dir.path() / "rw");
  chmod(dir.file("ro").c_str(), 0555);
  TempDirCase c{"read-only TMP", "@ro", "@rw", nullptr, "@rw", true};
  EXPECT_TRUE(runUnprivileged(dir.str(), [&] { return chooseAndCheck(dir, c); }));
  EXPECT_TRUE(fs::is_empty(dir.path() / "rw"));
}
#endif

// ---- Temporary files ---------------------------------------------------

TEST(TempFile, TemplateMustEndInSixX) {
  vektest::TempDir dir;
  vektest::RecordLogs logs;
  for (const char* name : {"tmpXXXXX", "XXXXXXtmp", "X"}) {
    SCOPED_TRACE(name);
    std::string tmpl = dir.file(name);
    EXPECT_EQ(-1, vek_makeTempFileHandle(tmpl.data()));
    EXPECT_EQ(nullptr, vek_makeTempFile(tmpl.data()));
    auto events = logs.take();
    EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_ERROR, "must be XXXXXX"));
    EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_ERROR, "Couldn't open temporary file"));
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(TempFile, CreatesPrivateFileAndRewritesTemplate) {
  vektest::TempDir dir;
  std::set<std::string> made;
  for (int i = 0; i < 3; ++i) {
    std::string tmpl = dir.file("pfx.XXXXXX");
#ifndef _WIN32
    mode_t old = umask(0);  // the file is private whatever the caller's mask
#endif
    int fd = vek_makeTempFileHandle(tmpl.data());
#ifndef _WIN32
    EXPECT_EQ(0u, umask(old));  // and the caller's mask is back
#endif
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(std::string::npos, tmpl.find("XXXXXX"));
    EXPECT_TRUE(fs::exists(tmpl));
    made.insert(tmpl);
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(0, stat(tmpl.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
#endif
  }
  EXPECT_EQ(3u, made.size());

  std::string tmpl = dir.file("stream.XXXXXX");
  FILE* stream = vek_makeTempFile(tmpl.data());
  ASSERT_NE(nullptr, stream);
  std::fputs("round\ntrip", stream);
  std::rewind(stream);
  char line[32] = {};
  std::fread(line, 1, sizeof line - 1, stream);
  std::fclose(stream);
  EXPECT_STREQ("round\ntrip", line);
  EXPECT_EQ("round\ntrip", vektest::readFile(tmpl));  // binary mode: no CR added
}

// ---- Copies (Linux) ------------------------------------------------------

#ifndef _WIN32
TEST(CopyFile, ContentAndPermissions) {
  vektest::TempDir dir;
  std::string content;
  for (int i = 0; i < 20000; ++i) content += static_cast<char>((i * 7919) % 251);  // spans buffers, not a multiple
  struct Case {
    const char* title;
    mode_t mode;
    const char* dst_before;  // NULL: no destination yet
  };
  const Case cases[] = {{"executable", 0755, nullptr},
                        {"private", 0600, nullptr},
                        {"longer destination is truncated", 0644, "this old content is much longer"},
                        {"setgid bit", 02750, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    std::string src = dir.file("src");
    std::string dst = dir.file("dst");
    fs::remove(dst);
    vektest::writeFile(src, content);
    chmod(src.c_str(), c.mode);
    if (c.dst_before != nullptr) vektest::writeFile(dst, std::string(c.dst_before) + content);
    EXPECT_TRUE(vek_copyFile(src.c_str(), dst.c_str()));
    EXPECT_EQ(0, errno);
    EXPECT_EQ(content, vektest::readFile(dst));
    struct stat st;
    ASSERT_EQ(0, stat(dst.c_str(), &st));
    EXPECT_EQ(c.mode, st.st_mode & 07777);
  }
}

TEST(CopyFile, Failures) {
  vektest::TempDir dir;
  std::string src = dir.file("src");
  vektest::writeFile(src, "keep");
  fs::create_hard_link(src, dir.file("hard"));
  vektest::RecordLogs logs;

  struct Case {
    const char* title;
    std::string from;
    std::string to;
    const char* logged;
  };
  const Case cases[] = {
      {"onto itself", src, src, "for writing during copy"},
      {"onto itself through a hard link", src, dir.file("hard"), "for writing during copy"},
      {"onto itself through a messy path", src, dir.str() + "/./src", "for writing during copy"},
      {"missing source", dir.file("missing"), dir.file("out"), "for reading during copy"},
      {"missing destination directory", src, dir.file("no/out"), "for writing during copy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_FALSE(vek_copyFile(c.from.c_str(), c.to.c_str()));
    EXPECT_NE(0, errno);
    EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, c.logged));
    EXPECT_EQ("keep", vektest::readFile(src));
  }
  EXPECT_FALSE(fs::exists(dir.file("out")));
}

TEST(CopyFile, LinkSourceGivesTheTargetsPermissions) {
  vektest::TempDir dir;
  vektest::writeFile(dir.file("target"), "data");
  chmod(dir.file("target").c_str(), 0640);
  fs::create_symlink(dir.path() / "target", dir.path() / "link");
  EXPECT_TRUE(vek_copyFile(dir.file("link").c_str(), dir.file("copy").c_str()));
  struct stat st;
  ASSERT_EQ(0, lstat(dir.file("copy").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0640u, st.st_mode & 07777);  // not the link's own 0777
}
#endif

// ---- Free space ----------------------------------------------------------

TEST(AvailableBytes, MatchesTheFileSystem) {
  vektest::TempDir dir;
  vektest::writeFile(dir.file("f"), "x");
  vek_uint64_t of_dir = vek_getAvailableBytes(dir.str().c_str());
  vek_uint64_t of_file = vek_getAvailableBytes(dir.file("f").c_str());
  ASSERT_NE(VEK_UINT64_UNKNOWN, of_dir);
  ASSERT_NE(VEK_UINT64_UNKNOWN, of_file);
  vek_uint64_t reference = fs::space(dir.path()).available;
  vek_uint64_t slack = 64ull * 1024 * 1024;  // other processes write meanwhile
  EXPECT_LT(of_dir > reference ? of_dir - reference : reference - of_dir, slack);
  EXPECT_LT(of_file > of_dir ? of_file - of_dir : of_dir - of_file, slack);
  EXPECT_EQ(VEK_UINT64_UNKNOWN, vek_getAvailableBytes(dir.file("missing/deeper").c_str()));
}

#ifdef _WIN32
TEST(AvailableBytes, EmptyNameQueriesTheCurrentDrive) {
  vektest::RecordLogs logs;
  EXPECT_NE(VEK_UINT64_UNKNOWN, vek_getAvailableBytes(""));
  EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "null file name"));
}
#else
TEST(AvailableBytes, SmallAndLargeTmpfs) {
  struct Case {
    const char* options;
    vek_uint64_t size;
  };
  // 6 GiB does not fit 32 bits; the 1 MiB one is filled to show the drop.
  const Case cases[] = {{"size=6g", 6 * kGiB}, {"size=1m", 1024 * 1024}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    vektest::TempDir dir;
    Tmpfs mount(dir.str(), c.options);
    if (!mount.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    EXPECT_EQ(c.size, vek_getAvailableBytes(dir.str().c_str()));
    vektest::writeFile(dir.file("half"), std::string(c.size > kGiB ? 1 << 20 : c.size / 2, 'x'));
    vek_uint64_t expected_left = c.size - (c.size > kGiB ? 1 << 20 : c.size / 2);
    EXPECT_EQ(expected_left, vek_getAvailableBytes(dir.file("half").c_str()));
    fs::remove(dir.file("half"));
  }
}

TEST(MaxOpenFilesDeathTest, ReportsTheHardLimit) {
  // The limits are lowered in a child process only.
  auto lowered_hard_limit_is_reported = [] {
    struct rlimit limit;
    limit.rlim_cur = 100;
    limit.rlim_max = 200;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0 && vek_getMaxOpenFiles() == 200u;
  };
  EXPECT_EXIT(std::exit(lowered_hard_limit_is_reported() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST(FindExe, SearchesPathInOrder) {
  vektest::TempDir dir;
  for (const char* sub : {"one", "two", "three"}) fs::create_directory(dir.path() / sub);
  vektest::writeFile(dir.file("one/tool"), "");  // present but not executable
  chmod(dir.file("one/tool").c_str(), 0644);
  for (const char* sub : {"two", "three"}) {
    vektest::writeFile(dir.file(std::string(sub) + "/tool"), "");
    chmod(dir.file(std::string(sub) + "/tool").c_str(), 0755);
  }
  const char* saved = getenv("PATH");
  std::string saved_path = saved != nullptr ? saved : "";
  std::string path = "::" + dir.file("one") + ":" + dir.file("two") + ":" + dir.file("three");
  setenv("PATH", path.c_str(), 1);
  vektest::RecordLogs logs;

  struct Case {
    std::string input;
    std::string expected;
    VEKLOG_LEVEL level;
    const char* logged;
  };
  const Case cases[] = {
      {"tool", dir.file("two/tool"), VEKLOG_VERBOSE, "Found tool on the system path at"},
      {"absent", "absent", VEKLOG_WARN, "Could not find absent on the system path"},
      {"/bin/sh", "/bin/sh", VEKLOG_DEBUG, "is already a full path"},
  };
  VEKLOG_LEVEL old_level = vek_getLogLevel();
  vek_setLogLevel(VEKLOG_DEBUG);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    std::string input = c.input;
    CText found(vek_findExe(input.data()), &free);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(c.expected, found.get());
    EXPECT_NE(input.c_str(), found.get());  // always a copy
    EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), c.level, c.logged));
  }
  EXPECT_EQ(nullptr, vek_findExe(nullptr));
  EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "was NULL"));
  vek_setLogLevel(old_level);
  setenv("PATH", saved_path.c_str(), 1);
}
#endif

}  // namespace
