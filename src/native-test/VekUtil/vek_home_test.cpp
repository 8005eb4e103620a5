// Install directory, executable path and host name. The executable path is
// cached for the life of a process, so every lookup runs in a forked child
// that reports its answer through a pipe.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "vek_home.h"
#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_process.h"
#include "vek_sysinfo.h"
#include "vek_test_run.h"
#include "vek_test_support.h"

namespace fs = std::filesystem;
using vektest::inChild;

namespace {

class HomeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vek_lifecycleInit(); }

  static std::string canonical(const fs::path& p) { return fs::canonical(p).string(); }

  // An executable file (mode 0755) at `path`.
  static void makeProgram(const fs::path& path) {
    fs::create_directories(path.parent_path());
    vektest::writeFile(path.string(), "#!/bin/sh\n");
    fs::permissions(path, fs::perms(0755));
  }

  vektest::TempDir dir_;
};

TEST_F(HomeTest, ExecutablePathFromEachFormOfArgv0) {
  fs::path root = dir_.path();
  makeProgram(root / "first/other");             // only in the first PATH element
  makeProgram(root / "second/tool");             // found in the second element
  makeProgram(root / "work/bin/relative-tool");  // through a relative element
  makeProgram(root / "work/sub/prog");
  makeProgram(root / "real/target");
  fs::create_symlink(root / "real/target", root / "work/link");
  vektest::writeFile((root / "first/tool").string(), "not executable");
  fs::permissions(root / "first/tool", fs::perms(0644));
  fs::create_directories(root / "first/dirtool");  // a directory never counts as the program

  struct Case {
    const char* name;
    std::string path_env;  // PATH for the lookup; "-" leaves it unset
    std::string argv0;
    std::string expected;  // canonical result, "" for NULL
  } cases[] = {
      {"absolute", "/nonexistent", (root / "work/sub/prog").string(), canonical(root / "work/sub/prog")},
      {"absolute through a link", "/nonexistent", (root / "work/link").string(), canonical(root / "real/target")},
      {"relative to the working directory", "/nonexistent", "sub/../sub/prog", canonical(root / "work/sub/prog")},
      {"second PATH element", (root / "first").string() + ":" + (root / "second").string(), "tool",
       canonical(root / "second/tool")},
      {"relative PATH element", "/nonexistent:bin", "relative-tool", canonical(root / "work/bin/relative-tool")},
      {"empty PATH element is the working directory", "/nonexistent::/also-missing", "link",
       canonical(root / "real/target")},
      {"not on PATH, not in the working directory", (root / "first").string(), "missing", ""},
      {"a directory on PATH is not the program", (root / "first").string(), "dirtool", ""},
      {"PATH unset falls back to the working directory", "-", "link", canonical(root / "real/target")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string got = inChild([&] {
      if (c.path_env == "-")
        unsetenv("PATH");
      else
        setenv("PATH", c.path_env.c_str(), 1);
      if (chdir((dir_.path() / "work").c_str()) != 0) return std::string("chdir failed");
      const char* exe = vek_getExecutablePath(c.argv0.c_str());
      return std::string(exe != nullptr ? exe : "");
    });
    EXPECT_EQ(got, c.expected);
  }
}

TEST_F(HomeTest, FirstAnswerIsCachedAndAFailureIsNot) {
  makeProgram(dir_.path() / "prog");
  std::string report = inChild([&] {
    vektest::ScopedLogLevel level(VEKLOG_DEBUG);
    vektest::RecordLogs logs;
    std::string out;
    out += vek_getExecutablePath((dir_.path() / "missing").c_str()) == nullptr ? "miss " : "hit ";
    const char* first = vek_getExecutablePath((dir_.path() / "prog").c_str());
    logs.take();
    const char* again = vek_getExecutablePath("/bin/sh");
    const char* library = vek_getLibraryPath("ignored");
    out += (first != nullptr && again == first && library == first) ? "same " : "different ";
    out += logs.take().empty() ? "quiet" : "logged";
    return out;
  });
  EXPECT_EQ(report, "miss same quiet");
}

TEST_F(HomeTest, WithoutArgv0TheModuleHoldingTheLibraryIsFound) {
  // The library is linked statically into this test program.
  std::string got = inChild([] {
    const char* exe = vek_getExecutablePath(nullptr);
    return std::string(exe != nullptr ? exe : "");
  });
  EXPECT_EQ(got, fs::canonical("/proc/self/exe").string());
}

// A program that links the library asks for its own path without argv[0].
// Started through PATH its argv[0] is a bare name; started by a relative
// path it may leave that directory before it asks: either way it must get
// its own file. The fully static build has no loader to ask at all.
TEST_F(HomeTest, AProgramLinkingTheLibraryFindsItsOwnFileHoweverItWasStarted) {
  std::vector<std::string> probes = {VEK_EXE_PROBE};
#ifdef VEK_EXE_PROBE_STATIC  // not in the sanitizer builds
  probes.push_back(VEK_EXE_PROBE_STATIC);
#endif
  fs::create_directories(dir_.path() / "bin");
  for (const auto& probe : probes) {
    std::string name = fs::path(probe).filename().string();
    fs::copy_file(probe, dir_.path() / "bin" / name);
    std::string own = canonical(dir_.path() / "bin" / name);
    const struct {
      const char* how;
      std::string command;
    } starts[] = {
        {"through PATH", "exec " + name + " /"},
        {"by a relative path, then elsewhere", "cd " + dir_.str() + " && exec ./bin/" + name + " /"},
    };
    for (const auto& start : starts) {
      SCOPED_TRACE(name + " started " + start.how);
      std::string path_env = (dir_.path() / "bin").string() + ":" + getenv("PATH");
      auto run = vektest::runProgram({"/bin/sh", "-c", start.command}, {{"PATH", path_env}});
      EXPECT_EQ(0, run.status) << run.output;
      EXPECT_EQ("exe=" + own + "\nlibrary=" + own + "\n", run.output);
    }
  }
}

TEST_F(HomeTest, InstallDirectoryIsCheckedAndCanonical) {
  fs::create_directories(dir_.path() / "opt/app");
  fs::create_symlink(dir_.path() / "opt/app", dir_.path() / "app-link");
  vektest::writeFile(dir_.file("plain-file"), "x");
  std::string app = canonical(dir_.path() / "opt/app");

  struct Case {
    const char* name;
    std::string argument;
    const char* expected;  // "app" for the canonical /opt/app, "old" for the value before
    VEKLOG_LEVEL level;    // the level of the line that explains the outcome
    const char* fragment;
  } cases[] = {
      {"quoted existing directory", "\"" + (dir_.path() / "opt/app").string() + "\"", "app", VEKLOG_WARN,
       "includes quotes characters"},
      {"link to a directory", (dir_.path() / "app-link").string(), "app", VEKLOG_DEBUG, "Install dir set to"},
      {"regular file", dir_.file("plain-file"), "old", VEKLOG_ERROR, "does not exist or is not a directory"},
      {"missing directory", dir_.file("nowhere"), "old", VEKLOG_ERROR, "does not exist or is not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string report = inChild([&] {
      vektest::ScopedLogLevel level(VEKLOG_DEBUG);
      vektest::RecordLogs logs;
      if (vek_getInstallDir() != nullptr) return std::string("set before any call");
      vek_setInstallDir("/");
      logs.take();
      vek_setInstallDir(c.argument.c_str());
      bool explained = vektest::RecordingLogger::contains(logs.take(), c.level, c.fragment);
      std::string now = vek_getInstallDir();
      std::string outcome = now == app ? "app" : now == "/" ? "old" : now;
      return outcome + (explained ? "" : " (unexplained)");
    });
    EXPECT_EQ(report, c.expected);
  }
}

TEST_F(HomeTest, NullInstallDirectoryIsRefused) {
  vektest::ScopedLogLevel level(VEKLOG_DEBUG);
  vektest::RecordLogs logs;
  vek_setInstallDir(nullptr);
  EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "NULL directory passed"));
}

TEST_F(HomeTest, StateLocationIsACopy) {
  std::string location = dir_.str();
  vek_setStateLocation(location.c_str());
  location.assign(location.size(), 'x');
  EXPECT_EQ(std::string(vek_getStateLocation()), dir_.str());
  vek_setStateLocation(nullptr);
  EXPECT_EQ(vek_getStateLocation(), nullptr);
}

TEST_F(HomeTest, HostNameIsTheSystemsAndCached) {
  char expected[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
  const char* first = vek_getHostname();
  EXPECT_STREQ(first, expected);
  EXPECT_EQ(vek_getHostname(), first);
  EXPECT_NE(std::string(vek_getArchName()), "");
  EXPECT_EQ(vek_getArchName(), vek_getArchName());
}

}  // namespace
