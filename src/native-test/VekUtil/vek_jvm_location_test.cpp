// Locating the VM library in installations laid out as real runtimes are
// (the old per-processor layout and the lib/server layout of Java 9 and
// later), the loader path set by re-executing a probe program, and the VM
// option lists: identity, memory values and the logged list.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "vek_jvmutils.h"
#include "vek_lifecycle.h"
#include "vek_test_run.h"
#include "vek_test_support.h"

namespace {

namespace fs = std::filesystem;

#if defined(__x86_64__)
const std::string ARCH = "amd64";
#else
const std::string ARCH = "i386";
#endif
const std::string OLD_SERVER = "prod/jre/lib/" + ARCH + "/server/libjvm.so";
const std::string OLD_CLIENT = "prod/jre/lib/" + ARCH + "/client/libjvm.so";
const std::string JROCKIT = "prod/jre/lib/" + ARCH + "/jrockit/libjvm.so";
const std::string MODERN_SERVER = "prod/jre/lib/server/libjvm.so";
const std::string MODERN_CLIENT = "prod/jre/lib/client/libjvm.so";

class JvmLocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    vek_removeAllLoggers();
  }

  // Creates each file (a name ending in "/" is made a directory).
  void layout(const std::vector<std::string>& entries) {
    for (const auto& e : entries) {
      fs::path p = dir_.path() / e;
      if (e.back() == '/') {
        fs::create_directories(p);
      } else {
        fs::create_directories(p.parent_path());
        vektest::writeFile(p.string(), "not really a VM");
      }
    }
  }
  std::string at(const std::string& relative) const {
    return relative.empty() ? "" : fs::weakly_canonical(dir_.path() / relative).string();
  }

  vektest::TempDir dir_;
};

TEST_F(JvmLocationTest, FindsTheLibraryOfEachLayoutInSearchOrder) {
  struct Case {
    const char* name;
    std::vector<std::string> files;
    std::string preferred, basedir, java_home;
    bool fallback;
    int preference;
    std::string expected;  // "" means not found
    const char* warning;   // the WARN line expected, or nullptr for none
  } cases[] = {
      {"old layout", {OLD_SERVER}, "", "prod", "", false, 2, OLD_SERVER, nullptr},
      {"old layout before Java 9 layout", {OLD_SERVER, MODERN_SERVER}, "", "prod", "", false, 2, OLD_SERVER, nullptr},
      {"Java 9 layout alone", {MODERN_SERVER}, "", "prod", "", false, 2, MODERN_SERVER, nullptr},
      {"client preferred", {MODERN_CLIENT, MODERN_SERVER}, "", "prod", "", false, 1, MODERN_CLIENT, nullptr},
      {"server preferred", {MODERN_CLIENT, MODERN_SERVER}, "", "prod", "", false, 2, MODERN_SERVER, nullptr},
      {"either old list before the Java 9 layout",
       {OLD_SERVER, MODERN_CLIENT},
       "",
       "prod",
       "",
       false,
       1,
       OLD_SERVER,
       nullptr},
      {"jrockit", {JROCKIT, OLD_CLIENT}, "", "prod", "", false, 2, JROCKIT, nullptr},
      {"root named jre reached through its parent",
       {MODERN_SERVER},
       "",
       "prod/jre",
       "",
       false,
       2,
       MODERN_SERVER,
       nullptr},
      {"root named jre in the old layout", {OLD_SERVER}, "", "prod/jre", "", false, 2, OLD_SERVER, nullptr},
      // Distributions put a jre beside the runtimes (/usr/lib/jvm/jre): it is another runtime's.
      {"neighbour jre beside a root with its own lib/server",
       {"jvm/java-x/lib/server/libjvm.so", "jvm/jre/lib/" + ARCH + "/server/libjvm.so", "jvm/jre/lib/server/libjvm.so"},
       "",
       "jvm/java-x",
       "",
       false,
       2,
       "jvm/java-x/lib/server/libjvm.so",
       nullptr},
      {"neighbour jre beside a root without a library",
       {"jvm/jre/lib/server/libjvm.so", "jvm/java-y/"},
       "",
       "jvm/java-y",
       "",
       false,
       2,
       "",
       nullptr},
      {"root that is a Java 9 runtime",
       {"jdk/lib/server/libjvm.so"},
       "",
       "jdk",
       "",
       false,
       2,
       "jdk/lib/server/libjvm.so",
       nullptr},
      {"preferred home wins",
       {MODERN_SERVER, "other/jre/lib/server/libjvm.so"},
       "other",
       "prod",
       "",
       false,
       2,
       "other/jre/lib/server/libjvm.so",
       nullptr},
      {"preferred home without library adds nothing",
       {MODERN_SERVER, "other/jre/"},
       "other",
       "prod",
       "",
       false,
       2,
       MODERN_SERVER,
       nullptr},
      {"no JAVA_HOME without the fallback",
       {"jdk/jre/lib/server/libjvm.so", "prod/"},
       "",
       "prod",
       "jdk",
       false,
       2,
       "",
       nullptr},
      {"JAVA_HOME with the fallback",
       {"jdk/jre/lib/server/libjvm.so", "prod/"},
       "",
       "prod",
       "jdk",
       true,
       2,
       "jdk/jre/lib/server/libjvm.so",
       "Bundled JRE is missing, fall back to JAVA_HOME: '"},
      {"installation before JAVA_HOME",
       {MODERN_SERVER, "jdk/jre/lib/server/libjvm.so"},
       "",
       "prod",
       "jdk",
       true,
       2,
       MODERN_SERVER,
       nullptr},
      {"directory named like the library",
       {OLD_SERVER + "/", MODERN_SERVER},
       "",
       "prod",
       "",
       false,
       2,
       MODERN_SERVER,
       "Could not find the preferred Java VM shared library at '"},
      {"unknown preference is server",
       {MODERN_CLIENT, MODERN_SERVER},
       "",
       "prod",
       "",
       false,
       7,
       MODERN_SERVER,
       "(INTERNAL) Invalid argument for vmPreference(7), assuming VEK_PREFER_SERVER_VM"},
      {"nothing anywhere", {"prod/jre/"}, "", "prod", "", false, 2, "", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.path() / "prod");
    fs::remove_all(dir_.path() / "other");
    fs::remove_all(dir_.path() / "jdk");
    fs::remove_all(dir_.path() / "jvm");
    layout(c.files);
    vek_setPreferredJavaHome(at(c.preferred).c_str());
    vek_setFallbackToEnvJavaHome(c.fallback);
    if (c.java_home.empty())
      unsetenv("JAVA_HOME");
    else
      setenv("JAVA_HOME", at(c.java_home).c_str(), 1);
    vektest::RecordLogs logs;
    vektest::ScopedLogLevel level(VEKLOG_DEBUG);

    char path[VEK_PATH_MAX] = "untouched";
    bool found = vek_getJVMLibrary(path, sizeof path, at(c.basedir).c_str(), c.preference);
    int error = errno;
    EXPECT_EQ(!c.expected.empty(), found);
    if (found) {
      EXPECT_EQ(fs::canonical(dir_.path() / c.expected).string(), path);
    } else {
      EXPECT_EQ(ENOENT, error);
    }
    std::vector<std::string> warnings;
    for (const auto& e : logs.take())
      if (e.level == VEKLOG_WARN) warnings.push_back(e.text);
    ASSERT_EQ(c.warning != nullptr ? 1u : 0u, warnings.size());
    if (c.warning != nullptr) {
      EXPECT_NE(std::string::npos, warnings[0].find(c.warning)) << warnings[0];
    }
  }
}

TEST_F(JvmLocationTest, TooSmallABufferGivesATerminatedPrefixAndEnametoolong) {
  layout({MODERN_SERVER});
  std::string full = fs::canonical(dir_.path() / MODERN_SERVER).string();
  for (size_t length : {size_t{1}, full.size(), full.size() + 1}) {
    SCOPED_TRACE(length);
    std::vector<char> path(length + 1, 'x');
    bool fits = length > full.size();
    EXPECT_EQ(fits, vek_getJVMLibrary(path.data(), length, at("prod").c_str(), VEK_PREFER_SERVER_VM));
    if (!fits) {
      EXPECT_EQ(ENAMETOOLONG, errno);
    }
    EXPECT_EQ(full.substr(0, length - 1), std::string(path.data()));
    EXPECT_EQ('x', path[length]);  // nothing written past the given length
  }
}

// The first pass puts the loader path and the marker into the environment and
// re-executes the probe itself, whatever its argv[0] says; the second returns
// true, removes the marker and repeats none of the search's lines. A second
// call in the restarted process restarts nothing, and the process runner's
// children get the loader path the user had.
TEST_F(JvmLocationTest, FirstPassReexecutesWithTheLoaderPathAndTheSecondReturnsQuietly) {
  layout({MODERN_SERVER});
  std::string library_dir = fs::canonical(dir_.path() / "prod/jre/lib/server").string();
  std::string parent = fs::path(library_dir).parent_path().string();
  const struct {
    const char* name;
    std::vector<std::string> argv;
    std::string argv0;
    std::optional<std::string> users_path;
  } cases[] = {
      {"started by its path", {VEK_JVM_PROBE, "restart", at("prod")}, VEK_JVM_PROBE, "/was/here"},
      // A display name that PATH finds as another program (exec -a, a login shell's "-sh").
      {"started under another program's name",
       {"/bin/bash", "-c", "exec -a ls \"$0\" restart \"$1\"", VEK_JVM_PROBE, at("prod")},
       "ls",
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = vektest::runProgram(c.argv,
                                   {{"VEK_RESTART_IN_PROGRESS", std::nullopt},
                                    {"VEK_RESTART_STATE", std::nullopt},
                                    {"LD_LIBRARY_PATH", c.users_path}},
                                   std::chrono::seconds(120));
    ASSERT_EQ(0, run.status) << run.output;
    EXPECT_EQ(1, run.count("entry marker=- argv0=" + c.argv0 + "\n")) << run.output;
    EXPECT_EQ(1, run.count("entry marker=true argv0=" + c.argv0 + "\n")) << run.output;
    EXPECT_TRUE(run.has("result=1 marker=- restarted=1\n")) << run.output;
    EXPECT_EQ(1, run.count("library-path=" + library_dir + ":" + parent + ":/opt/extra\n")) << run.output;
    EXPECT_TRUE(run.has("dir=" + library_dir + "\ndir=" + parent + "\ndir=/opt/extra\n")) << run.output;
    EXPECT_EQ(1, run.count("Found Java shared library")) << run.output;
    EXPECT_EQ(1, run.count("Restarting the current process to install the new LD_LIBRARY_PATH settings"));
    EXPECT_EQ(2, run.count("This is at least the second pass through the startup code"));
    EXPECT_TRUE(run.has("again=1\n")) << run.output;
    EXPECT_EQ(1, run.count("child-library-path=" + c.users_path.value_or("unset") + "\n")) << run.output;
  }

  // Without a library nothing is re-executed and the environment stays.
  auto missing = vektest::runProgram({VEK_JVM_PROBE, "restart", at("nowhere")},
                                     {{"VEK_RESTART_IN_PROGRESS", std::nullopt}, {"LD_LIBRARY_PATH", "/was/here"}});
  EXPECT_EQ(1, missing.count("entry marker=-")) << missing.output;
  EXPECT_TRUE(missing.has("result=0 marker=- restarted=0\nlibrary-path=/was/here\n")) << missing.output;
  EXPECT_TRUE(missing.has("FATAL [native] Could not find any Java VM shared library.")) << missing.output;
}

// ---- Option lists ---------------------------------------------------------

struct OptionList {
  vek_list_t* list = vek_listCreate(4);
  OptionList() { vek_listSetCompare(list, vek_jvmCompareOptions); }
  ~OptionList() {
    vek_listDeleteAll(list);
    vek_listDestroy(list);
  }
  std::string at(size_t i) const { return static_cast<JavaVMOption*>(vek_listGet(list, i))->optionString; }
};

int compare(const char* left, const char* right) {
  JavaVMOption l = {const_cast<char*>(left), nullptr}, r = {const_cast<char*>(right), nullptr};
  JavaVMOption* lp = &l;
  JavaVMOption* rp = &r;
  return vek_jvmCompareOptions(&lp, &rp);
}

TEST(JvmOptionTest, OptionsAreTheSameByKindOrByName) {
  const struct {
    const char* left;
    const char* right;
    bool same;
  } cases[] = {
      {"-Xmx1g", "-Xmx256m", true},
      {"-Xmx1g", "-Xms1g", false},
      {"-ea", "-da:com.x...", true},
      {"-esa", "-dsa", true},
      {"-esa", "-ea", false},
      {"-cp", "-classpath", true},
      {"-Xbootclasspath/a:x", "-Xbootclasspath/p:y", true},
      {"-Xss512k", "-Xss1m", true},
      {"-Dfoo=1", "-Dfoo=2", true},
      {"-Dfoo", "-Dfoo=", true},
      {"-Dfoo=1", "-Dfood=1", false},
      {"-XX:+UseAltSigs", "-XX:-UseAltSigs", true},
      {"-XX:MaxPermSize=64m", "-XX:MaxPermSize=128m", true},
      {"-Dfoo", "-XX:foo", true},
      {"-Xrs", "-Xrs", true},
      {"-Xrs", "-Xrsx", false},
      {"-verbose:gc", "-verbose:class", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.left) + " vs " + c.right);
    EXPECT_EQ(c.same, compare(c.left, c.right) == 0);
    EXPECT_EQ(c.same, compare(c.right, c.left) == 0);
  }
}

TEST(JvmOptionTest, AddAppendsEqualOptionsSoTheFirstCountsAndRemoveFreesOne) {
  vek_lifecycleInit();
  OptionList options;
  for (const char* o : {"-Xmx1g", "-XX:+UseAltSigs", "-Dfoo=1", "-Xmx256m", "-Xrs"})
    vek_addJavaVMOption(options.list, o, nullptr);
  ASSERT_EQ(5u, vek_listGetSize(options.list));
  EXPECT_EQ(0u, vek_findJavaVMOption(options.list, "-Xmx"));
  EXPECT_EQ(1024ul, vek_getMemoryOptionValue(options.list, "-Xmx"));
  EXPECT_EQ(2u, vek_findJavaVMOption(options.list, "-Dfoo=other"));
  EXPECT_EQ(static_cast<size_t>(-1), vek_findJavaVMOption(options.list, "-Xms"));

  vek_removeJavaVMOption(options.list, "-XX:-UseAltSigs");  // any sign of the flag goes
  vek_removeJavaVMOption(options.list, "-Xmx");             // the first of two
  vek_removeJavaVMOption(options.list, "-Xss");             // absent: nothing happens
  ASSERT_EQ(3u, vek_listGetSize(options.list));
  EXPECT_EQ("-Dfoo=1", options.at(0));
  EXPECT_EQ("-Xmx256m", options.at(1));
  EXPECT_EQ("-Xrs", options.at(2));
}

TEST(JvmOptionTest, MemoryValuesAreMegabytesOrAllBitsSet) {
  vek_lifecycleInit();
  const unsigned long NONE = static_cast<unsigned long>(-1);
  const struct {
    const char* option;
    const char* asked;
    unsigned long megabytes;
  } cases[] = {
      {"-Xmx512m", "-Xmx", 512},
      {"-Xmx1g", "-Xmx", 1024},
      {"-Xmx3G", "-Xmx", 3072},
      {"-Xmx1048576", "-Xmx", 1},
      {"-Xmx1000k", "-Xmx", 0},
      {"-Xmx2T", "-Xmx", 2097152},
      {"-Xms64M", "-Xms", 64},
      {"-Xss2048K", "-Xss", 2},
      {"-Xmx12mb", "-Xmx", NONE},
      {"-Xmxm", "-Xmx", NONE},
      {"-Xmx", "-Xmx", NONE},
      {"-Xmx12q", "-Xmx", NONE},
      {"-Xmx1g", "-Xms", NONE},
      {"-Xmx99999999999999999999", "-Xmx", NONE},
      {"-Xmx9000000000T", "-Xmx", NONE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    OptionList options;
    vek_addJavaVMOption(options.list, c.option, nullptr);
    EXPECT_EQ(c.megabytes, vek_getMemoryOptionValue(options.list, c.asked));
  }
}

TEST(JvmOptionTest, LoggedListHasOneIndentedLinePerOption) {
  vek_lifecycleInit();
  vek_removeAllLoggers();
  vektest::RecordLogs logs;
  OptionList options;
  vek_logJavaVMOptions(options.list, VEKLOG_WARN);
  vek_addJavaVMOption(options.list, "-Xmx64m", nullptr);
  vek_addJavaVMOption(options.list, "-Dfoo=1", nullptr);
  vek_logJavaVMOptions(options.list, VEKLOG_ERROR);
  auto events = logs.take();
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ(VEKLOG_WARN, events[0].level);
  EXPECT_EQ("Java VM options ", events[0].text);
  EXPECT_EQ(VEKLOG_ERROR, events[1].level);
  EXPECT_EQ("Java VM options \n    -Xmx64m\n    -Dfoo=1", events[1].text);
}

}  // namespace
