// The file-writing operations driven by the tar reader: nothing is written
// outside the extraction directory, parents are made on demand, and the
// platform differences (Windows creates no links or devices).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "untar_test_support.h"

namespace fs = std::filesystem;
using untartest::Dialect;
using untartest::ExtractionDir;
using untartest::Ops;
using untartest::runArchive;
using untartest::TarBuilder;

namespace {

::testing::Environment* const library_env = ::testing::AddGlobalTestEnvironment(new untartest::LibraryEnvironment);

bool extract(const std::string& bytes) { return runArchive(bytes, Ops::kFile).ok; }

// Everything below the outside directory, as relative names.
std::vector<std::string> outsideContents(const ExtractionDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir.outside()))
    names.push_back(fs::relative(e.path(), dir.outside()).generic_string());
  return names;
}

struct HostileCase {
  std::string what;
  std::string entry;  // named in the ERROR
  std::string bytes;
};

// Names that would land outside the extraction directory; each must fail
// the archive with an ERROR naming the entry and touch nothing outside.
std::vector<HostileCase> hostileCases(const ExtractionDir& dir) {
  const std::string abs = dir.outsideName("victim");
  const std::string long_up = "../outside/" + std::string(120, 'v');
  tar_block prefixed = TarBuilder(Dialect::kUstar).header("victim", '0', 1);
  memcpy(prefixed.header.prefix, "../outside", 10);
  std::vector<HostileCase> cases = {
      {"absolute name", abs, TarBuilder().file(abs, "x").end().bytes()},
      {"double slash", "/" + abs, TarBuilder().file("/" + abs, "x").end().bytes()},
      {"parent reference", "../outside/victim", TarBuilder().file("../outside/victim", "x").end().bytes()},
      {"parent reference after a directory", "a/../../outside/victim",
       TarBuilder().file("a/../../outside/victim", "x").end().bytes()},
      {"traversal in a GNU long name", long_up, TarBuilder().gnuLong('L', long_up).file("short", "x").end().bytes()},
      {"traversal in the ustar prefix", "../outside/victim",
       TarBuilder(Dialect::kUstar).add(prefixed, "x").end().bytes()},
      {"directory", "../outside/d/", TarBuilder().directory("../outside/d/").end().bytes()},
      {"fifo", "../outside/fifo", TarBuilder().add(TarBuilder().header("../outside/fifo", '6', 0)).end().bytes()},
      {"symbolic link placed outside", "../outside/s", TarBuilder().symlink("../outside/s", "x").end().bytes()},
      {"hard link to an outside file", "inside", TarBuilder().hardlink("inside", "../outside/secret").end().bytes()},
      {"hard link to an absolute target", "inside2",
       TarBuilder().hardlink("inside2", dir.outsideName("secret")).end().bytes()},
      {"empty name", "", TarBuilder().file("", "x").end().bytes()},
  };
#ifdef _WIN32
  cases.push_back({"backslash traversal", "a\\..\\..\\outside\\victim",
                   TarBuilder().file("a\\..\\..\\outside\\victim", "x").end().bytes()});
  cases.push_back({"drive-relative name", "C:victim", TarBuilder().file("C:victim", "x").end().bytes()});
  // The system drops trailing dots and blanks of a component.
  cases.push_back({"dots and blanks", "a/.. /... /outside/victim",
                   TarBuilder().file("a/.. /... /outside/victim", "x").end().bytes()});
#endif
  return cases;
}

// Regression: entry names and link targets were used as given, so "../x",
// "/x" and traversal hidden in long names wrote outside the directory.
TEST(FileUntarOps, NamesLeadingOutsideAreRefused) {
  ExtractionDir dir;
  vektest::writeFile(dir.outsideName("secret"), "secret");
  for (const auto& c : hostileCases(dir)) {
    SCOPED_TRACE(c.what);
    vektest::RecordLogs logs;
    EXPECT_FALSE(extract(c.bytes));
    EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "refusing to extract " + c.entry));
    EXPECT_EQ(std::vector<std::string>{"secret"}, outsideContents(dir));
    EXPECT_EQ("secret", vektest::readFile(dir.outsideName("secret")));
    EXPECT_TRUE(fs::is_empty(dir.ex())) << "nothing is made for a refused entry";
  }
}

TEST(FileUntarOps, DotsInsideNamesAreOrdinary) {
  ExtractionDir dir;
  ASSERT_TRUE(
      extract(TarBuilder().file("a/..b", "1").file("..foo", "2").file("./x", "3").file("d/./y", "4").end().bytes()));
  EXPECT_EQ("1", vektest::readFile("a/..b"));
  EXPECT_EQ("2", vektest::readFile("..foo"));
  EXPECT_EQ("3", vektest::readFile("x"));
  EXPECT_EQ("4", vektest::readFile("d/y"));
}

TEST(FileUntarOps, ParentsAreCreatedAndExistingDirectoriesKept) {
  ExtractionDir dir;
  ASSERT_TRUE(extract(TarBuilder().file("a/b/c.txt", "data", 0600).end().bytes()));
  EXPECT_EQ("data", vektest::readFile("a/b/c.txt"));
  ASSERT_TRUE(extract(TarBuilder().directory("a/").directory("a/b/").end().bytes()));
  EXPECT_EQ("data", vektest::readFile("a/b/c.txt"));
#ifndef _WIN32
  struct stat st;
  ASSERT_EQ(0, stat("a/b", &st));
  EXPECT_EQ(0755u, st.st_mode & 07777) << "0777 less the creation mask";
#endif
}

TEST(FileUntarOps, SizePassCountsWhatTheFilePassWrites) {
  const std::string archive = TarBuilder()
                                  .file("one", "1")
                                  .directory("d/")
                                  .file("d/big", std::string(10241, 'b'))
                                  .symlink("s", "x")
                                  .end()
                                  .bytes();
  EXPECT_EQ(1u + 4096u + 10241u + 1u, runArchive(archive, Ops::kSize).written_bytes);
  ExtractionDir dir;
  EXPECT_TRUE(extract(archive));
  EXPECT_EQ(std::string(10241, 'b'), vektest::readFile("d/big"));
}

#ifdef _WIN32

TEST(FileUntarOps, WindowsSkipsLinksAndDevicesWithAWarning) {
  ExtractionDir dir;
  vektest::RecordLogs logs;
  ASSERT_TRUE(extract(TarBuilder()
                          .file("f", "x", 0444)
                          .symlink("s", "f")
                          .hardlink("h", "f")
                          .add(TarBuilder().header("c", '3', 0))
                          .end()
                          .bytes()));
  auto events = logs.take();
  EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_WARN,
                                                 "cannot symlink s -> f; symlinks are not supported on windows"));
  EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_WARN,
                                                 "cannot link h -> f; hard links are not supported on windows"));
  EXPECT_TRUE(
      vektest::RecordingLogger::contains(events, VEKLOG_WARN, "cannot create c; devices are not supported on windows"));
  EXPECT_FALSE(fs::exists("s"));
  EXPECT_FALSE(fs::exists("h"));
  EXPECT_FALSE(fs::exists("c"));
  // Extracted files stay writable whatever their mode in the archive.
  EXPECT_TRUE(extract(TarBuilder().file("f", "again", 0444).end().bytes()));
  EXPECT_EQ("again", vektest::readFile("f"));
}

#else

TEST(FileUntarOps, DirectoryModeIsAppliedToANameWithTrailingSlash) {
  ExtractionDir dir;
  ASSERT_TRUE(extract(TarBuilder().directory("private/", 0700).file("private/f", "x").end().bytes()));
  struct stat st;
  ASSERT_EQ(0, stat("private", &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
}

unsigned modeOf(const fs::path& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 01000000u;
}

// Gives every directory below `root` back to its owner, so that the test's
// directory can be removed by a user who is not root.
void restoreOwnerAccess(const fs::path& root) {
  chmod(root.c_str(), 0700);
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_directory() && !it->is_symlink()) chmod(it->path().c_str(), 0700);
}

constexpr uid_t kNobody = 65534;

// Root ignores permission bits, so read-only directories stop only other
// users: the archives are extracted in a child running as "nobody" (when the
// test runs as root; as itself otherwise) with the creation mask 027, so
// that a mask taken for granted shows. True when every archive succeeded.
bool extractUnprivileged(const fs::path& tree, const std::vector<std::string>& archives) {
  if (geteuid() == 0 && lchown(tree.c_str(), kNobody, kNobody) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(3);
    umask(027);
    for (const auto& archive : archives)
      if (!extract(archive)) _exit(1);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Regression: a directory entry after the files inside it kept the mode its
// parent creation gave it, and a directory without the owner's write or
// search bit made the files after it fail for anyone but root.
TEST(FileUntarOps, DirectoryModesAreAppliedAtTheEndOfTheArchive) {
  struct Case {
    const char* what;
    std::vector<std::string> archives;
    std::vector<std::pair<std::string, unsigned> > modes;  // expected, creation mask 027
  };
  const Case cases[] = {
      {"directory after its file",
       {TarBuilder().file("late/f", "x").directory("late/", 0711).end().bytes()},
       {{"late", 0710}}},
      {"mask taken from the process",
       {TarBuilder().directory("open/", 0777).file("open/f", "x").end().bytes()},
       {{"open", 0750}}},
      {"read-only directory before its file",
       {TarBuilder().directory("ro/", 0555).directory("ro/sub/", 0500).file("ro/sub/f", "x", 0444).end().bytes()},
       {{"ro", 0550}, {"ro/sub", 0500}, {"ro/sub/f", 0440}}},
      {"unsearchable parent listed after its child",
       {TarBuilder().directory("p/q/", 0700).file("p/q/f", "x").directory("p/", 0600).end().bytes()},
       {{"p", 0600}}},
      {"the last of two entries wins",
       {TarBuilder().directory("twice/", 0700).directory("./twice//", 0751).end().bytes()},
       {{"twice", 0750}}},
      {"read-only directory of an earlier archive",
       {TarBuilder().directory("again/", 0555).file("again/one", "1").end().bytes(),
        TarBuilder().directory("again/", 0555).file("again/two", "2").end().bytes()},
       {{"again", 0550}, {"again/two", 0640}}},
      {"the working directory keeps its mode",
       {TarBuilder().directory("./", 0500).file("f", "x").end().bytes()},
       {{".", 0700}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExtractionDir dir;
    chmod(dir.ex().c_str(), 0700);
    EXPECT_TRUE(extractUnprivileged(dir.ex(), c.archives));
    for (const auto& [name, mode] : c.modes) EXPECT_EQ(mode, modeOf(dir.ex() / name)) << std::oct << name;
    restoreOwnerAccess(dir.ex());
  }
}

// Without the whole archive the modes are not applied: the partial tree
// stays writable, so that its removal cannot be stopped.
TEST(FileUntarOps, FailedArchiveAppliesNoDirectoryMode) {
  ExtractionDir dir;
  mode_t saved_mask = umask(022);
  const std::string truncated = TarBuilder().directory("ro/", 0555).file("ro/f", std::string(2000, 'x')).bytes();
  EXPECT_FALSE(extract(truncated.substr(0, 1024)));
  EXPECT_EQ(0700u, modeOf("ro") & 0700u);
  EXPECT_TRUE(extract(TarBuilder().directory("ro/", 0555).end().bytes()));
  EXPECT_EQ(0555u, modeOf("ro"));
  umask(saved_mask);
  restoreOwnerAccess(dir.ex());
}

// A directory replaced by a symbolic link before the end of the archive: the
// mode must not reach what the link points to.
TEST(FileUntarOps, DirectoryModeIsNeverAppliedThroughALink) {
  struct Case {
    const char* what;
    const char* entry;     // the directory entry
    const char* replaced;  // what becomes a link to the outside directory
  };
  const Case cases[] = {{"the directory itself", "d/", "d"}, {"its parent", "p/victim/", "p"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExtractionDir dir;
    fs::create_directory(dir.outside() / "victim");
    chmod(dir.outside().c_str(), 0755);
    chmod((dir.outside() / "victim").c_str(), 0755);
    untar_ops ops = untartest::makeOps(Ops::kFile);
    untar_context ctx{};
    ASSERT_TRUE(ops.make_directory(&ctx, c.entry, 0700));
    fs::remove_all(c.replaced);
    fs::create_symlink(c.replaced == std::string("d") ? dir.outside() / "victim" : dir.outside(), c.replaced);
    vektest::RecordLogs logs;
    EXPECT_TRUE(finish_file_untar_ops(&ctx, true));
    EXPECT_EQ(nullptr, ctx.directory_modes);
    EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_WARN, "not setting the mode of"));
    EXPECT_EQ(0755u, modeOf(dir.outside()));
    EXPECT_EQ(0755u, modeOf(dir.outside() / "victim"));
  }
}

// Regression: a symbolic link from the archive, or from an earlier archive
// of the same payload, let later entries write wherever it pointed.
TEST(FileUntarOps, NothingIsWrittenThroughASymbolicLink) {
  // Archives of each case, given the outside directory: the first is
  // extracted before and must succeed, the second must fail.
  struct Case {
    const char* what;
    std::function<std::string(const std::string&)> first;
    std::function<std::string(const std::string&)> second;
  };
  auto link_out = [](const std::string& out) { return TarBuilder().symlink("esc", out).end().bytes(); };
  const Case cases[] = {
      {"file below a link of an earlier archive", link_out,
       [](const std::string&) { return TarBuilder().file("esc/victim", "x").end().bytes(); }},
      {"directory below a link", link_out,
       [](const std::string&) { return TarBuilder().directory("esc/sub/").end().bytes(); }},
      {"long name below a link", link_out,
       [](const std::string&) {
         return TarBuilder().gnuLong('L', "esc/" + std::string(120, 'v')).file("x", "x").end().bytes();
       }},
      {"link made below a link", link_out,
       [](const std::string&) { return TarBuilder().symlink("esc/s", "x").end().bytes(); }},
      {"hard link target through a link", link_out,
       [](const std::string&) { return TarBuilder().hardlink("h", "esc/secret").end().bytes(); }},
      {"file replacing a link",
       [](const std::string& out) { return TarBuilder().symlink("f", out + "/victim").end().bytes(); },
       [](const std::string&) { return TarBuilder().file("f", "x").end().bytes(); }},
      {"directory replacing a link",
       [](const std::string& out) { return TarBuilder().symlink("d", out).end().bytes(); },
       [](const std::string&) { return TarBuilder().directory("d/").end().bytes(); }},
      {"hard link below a link of the same archive", nullptr,
       [](const std::string& out) {
         return TarBuilder().file("f", "x").symlink("esc", out).hardlink("esc/h", "f").end().bytes();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExtractionDir dir;
    const std::string out = dir.outside().string();
    vektest::writeFile(dir.outsideName("secret"), "secret");
    if (c.first) {
      ASSERT_TRUE(extract(c.first(out)));
    }
    vektest::RecordLogs logs;
    EXPECT_FALSE(extract(c.second(out)));
    EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "refusing to extract"));
    EXPECT_EQ(std::vector<std::string>{"secret"}, outsideContents(dir));
    EXPECT_EQ("secret", vektest::readFile(dir.outsideName("secret")));
    EXPECT_FALSE(fs::exists("h"));
  }
}

TEST(FileUntarOps, SymbolicLinksMayPointAnywhere) {
  ExtractionDir dir;
  // The file is written before the queued link "esc" exists; the link then
  // finds a directory in its place and is dropped.
  ASSERT_TRUE(extract(TarBuilder()
                          .symlink("abs", "/etc/passwd")
                          .symlink("up", "../../x")
                          .symlink("esc", dir.outside().string())
                          .file("esc/inside", "x")
                          .end()
                          .bytes()));
  EXPECT_EQ("/etc/passwd", fs::read_symlink("abs").string());
  EXPECT_EQ("../../x", fs::read_symlink("up").string());
  EXPECT_TRUE(fs::is_directory(fs::symlink_status("esc")));
  EXPECT_TRUE(dir.outsideIsEmpty());
}

// What stands at a name, as the checks below compare it.
std::string describe(const char* name) {
  struct stat st;
  if (lstat(name, &st) != 0) return "missing";
  if (S_ISREG(st.st_mode)) return "file:" + vektest::readFile(name);
  if (S_ISLNK(st.st_mode)) return "link:" + fs::read_symlink(name).string();
  if (S_ISDIR(st.st_mode)) return "dir";
  if (S_ISFIFO(st.st_mode)) return "fifo";
  return S_ISCHR(st.st_mode) ? "chr" : "other";
}

bool sameFile(const char* a, const char* b) {
  struct stat sa, sb;
  return lstat(a, &sa) == 0 && lstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Regression: a file was opened with truncation where something stood at
// its name, so its bytes went into a planted FIFO (or hung the installer on
// one) or device, and rewriting one name of a hard-linked pair rewrote the
// other. Devices and links failed on an existing name. Each entry now
// replaces what stands at its name, except a directory; links never lose
// what stands there when they cannot be made.
TEST(FileUntarOps, WhatStandsAtANameIsReplaced) {
  struct Case {
    const char* what;
    std::function<void()> plant;        // before the archives, in the extraction directory
    std::vector<std::string> archives;  // extracted in order; all but the last must succeed
    bool last_ok;
    std::vector<std::pair<const char*, std::string> > expected;  // name -> describe()
    std::pair<const char*, const char*> same_file;               // names that must be one file
  };
  TarBuilder t;
  const std::string fifo_entry = TarBuilder().add(t.header("p", '6', 0)).end().bytes();
  const Case cases[] = {
      {"file over a FIFO",
       [] { ASSERT_EQ(0, mkfifo("p", 0644)); },
       {TarBuilder().file("p", "data").end().bytes()},
       true,
       {{"p", "file:data"}},
       {}},
      {"file over a character device",
       [] { ASSERT_EQ(0, mknod("dev", S_IFCHR | 0666, makedev(1, 3))); },  // what /dev/null is
       {TarBuilder().file("dev", "data").end().bytes()},
       true,
       {{"dev", "file:data"}},
       {}},
      {"one of two hard-linked files rewritten by a later archive",
       nullptr,
       {TarBuilder().file("lib/a.jar", "old").hardlink("lib/b.jar", "lib/a.jar").end().bytes(),
        TarBuilder().file("lib/b.jar", "new").end().bytes()},
       true,
       {{"lib/a.jar", "file:old"}, {"lib/b.jar", "file:new"}},
       {}},
      {"FIFO over a file", nullptr, {TarBuilder().file("p", "x").end().bytes(), fifo_entry}, true, {{"p", "fifo"}}, {}},
      {"symbolic link over a file",
       nullptr,
       {TarBuilder().file("s", "x").end().bytes(), TarBuilder().symlink("s", "elsewhere").end().bytes()},
       true,
       {{"s", "link:elsewhere"}},
       {}},
      {"hard link over a file",
       nullptr,
       {TarBuilder().file("t", "target").file("x", "old").end().bytes(), TarBuilder().hardlink("x", "t").end().bytes()},
       true,
       {{"x", "file:target"}},
       {"x", "t"}},
      {"hard link to the file at its own name",
       nullptr,
       {TarBuilder().file("a", "keep").hardlink("a", "a").end().bytes()},
       true,
       {{"a", "file:keep"}},
       {}},
      {"hard link whose target never comes",
       nullptr,
       {TarBuilder().file("b", "keep").end().bytes(), TarBuilder().hardlink("b", "missing").end().bytes()},
       true,
       {{"b", "file:keep"}},
       {}},
      {"file after a link of the same name",
       nullptr,
       {TarBuilder().file("a", "a").hardlink("b", "a").file("b", "new").end().bytes()},
       true,
       {{"a", "file:a"}, {"b", "file:new"}},
       {}},
      {"a directory stays",
       nullptr,
       {TarBuilder().directory("d/").file("d/f", "x").end().bytes(), TarBuilder().file("d", "y").end().bytes()},
       false,
       {{"d", "dir"}, {"d/f", "file:x"}},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.what == std::string("file over a character device") && geteuid() != 0) continue;  // mknod needs root
    ExtractionDir dir;
    if (c.plant) c.plant();
    // A reader on a planted FIFO: writing into it would not block but be seen.
    int reader = fs::exists(fs::symlink_status("p")) ? open("p", O_RDONLY | O_NONBLOCK) : -1;
    for (size_t i = 0; i + 1 < c.archives.size(); ++i) ASSERT_TRUE(extract(c.archives[i]));
    EXPECT_EQ(c.last_ok, extract(c.archives.back()));
    for (const auto& [name, what] : c.expected) EXPECT_EQ(what, describe(name)) << name;
    if (c.same_file.first) {
      EXPECT_TRUE(sameFile(c.same_file.first, c.same_file.second));
    }
    if (reader >= 0) {
      char byte;
      EXPECT_LE(read(reader, &byte, 1), 0) << "data went into the FIFO";
      close(reader);
    }
    EXPECT_TRUE(dir.outsideIsEmpty());
  }
}

#endif

}  // namespace
