// The file-writing operations driven by the tar reader: nothing is written
// outside the extraction directory, parents are made on demand, and the
// platform differences (Windows creates no links or devices).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
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

bool extract(const std::string& bytes) {
  return runArchive(bytes, Ops::kFile).ok;
}

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
      {"traversal in the ustar prefix", "../outside/victim", TarBuilder(Dialect::kUstar).add(prefixed, "x").end().bytes()},
      {"directory", "../outside/d/", TarBuilder().directory("../outside/d/").end().bytes()},
      {"fifo", "../outside/fifo", TarBuilder().add(TarBuilder().header("../outside/fifo", '6', 0)).end().bytes()},
      {"symbolic link placed outside", "../outside/s", TarBuilder().symlink("../outside/s", "x").end().bytes()},
      {"hard link to an outside file", "inside", TarBuilder().hardlink("inside", "../outside/secret").end().bytes()},
      {"hard link to an absolute target", "inside2", TarBuilder().hardlink("inside2", dir.outsideName("secret")).end().bytes()},
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
  ASSERT_TRUE(extract(TarBuilder().file("a/..b", "1").file("..foo", "2").file("./x", "3").file("d/./y", "4")
                          .end().bytes()));
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
  const std::string archive = TarBuilder().file("one", "1").directory("d/").file("d/big", std::string(10241, 'b'))
                                  .symlink("s", "x").end().bytes();
  EXPECT_EQ(1u + 4096u + 10241u + 1u, runArchive(archive, Ops::kSize).written_bytes);
  ExtractionDir dir;
  EXPECT_TRUE(extract(archive));
  EXPECT_EQ(std::string(10241, 'b'), vektest::readFile("d/big"));
}

#ifdef _WIN32

TEST(FileUntarOps, WindowsSkipsLinksAndDevicesWithAWarning) {
  ExtractionDir dir;
  vektest::RecordLogs logs;
  ASSERT_TRUE(extract(TarBuilder().file("f", "x", 0444).symlink("s", "f").hardlink("h", "f")
                          .add(TarBuilder().header("c", '3', 0)).end().bytes()));
  auto events = logs.take();
  EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_WARN, "cannot symlink s -> f; symlinks are not supported on windows"));
  EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_WARN, "cannot link h -> f; hard links are not supported on windows"));
  EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_WARN, "cannot create c; devices are not supported on windows"));
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
      {"file replacing a link", [](const std::string& out) { return TarBuilder().symlink("f", out + "/victim").end().bytes(); },
       [](const std::string&) { return TarBuilder().file("f", "x").end().bytes(); }},
      {"directory replacing a link", [](const std::string& out) { return TarBuilder().symlink("d", out).end().bytes(); },
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
  ASSERT_TRUE(extract(TarBuilder().symlink("abs", "/etc/passwd").symlink("up", "../../x")
                          .symlink("esc", dir.outside().string()).file("esc/inside", "x").end().bytes()));
  EXPECT_EQ("/etc/passwd", fs::read_symlink("abs").string());
  EXPECT_EQ("../../x", fs::read_symlink("up").string());
  EXPECT_TRUE(fs::is_directory(fs::symlink_status("esc")));
  EXPECT_TRUE(dir.outsideIsEmpty());
}

TEST(FileUntarOps, ExistingDeviceNodeFailsTheArchive) {
  ExtractionDir dir;
  const std::string fifo = TarBuilder().add(TarBuilder().header("p", '6', 0, 0600)).end().bytes();
  ASSERT_TRUE(extract(fifo));
  struct stat st;
  ASSERT_EQ(0, lstat("p", &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_FALSE(extract(fifo));
}

#endif

}  // namespace
