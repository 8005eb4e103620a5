// The sample host end to end: a product directory bundling the test runtime
// as its jre, main classes that report what they got, and the exit status of
// each way a run can end.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "vek_test_run.h"
#include "vek_test_support.h"

namespace {

namespace fs = std::filesystem;

std::string jdk_home() {
  return fs::canonical(fs::path(VEK_TEST_JVM_LIB).parent_path().parent_path().parent_path()).string();
}

// The mode bits of "/" in octal, as the Java side's native call reports them.
std::string root_mode() {
  auto bits = static_cast<unsigned>(fs::status("/").permissions()) & 07777u;
  char text[8];
  std::snprintf(text, sizeof text, "%o", bits);
  return text;
}

TEST(VekhostTest, RunsTheMainClassInTheBundledRuntime) {
  vektest::TempDir dir;
  fs::create_directories(dir.path() / "product");
  fs::create_directory_symlink(jdk_home(), dir.path() / "product" / "jre");
  fs::create_directories(dir.path() / "empty");
  const std::string home = dir.file("product"), empty = dir.file("empty"), dump = dir.file("host.hprof");
  const std::string cp = VEK_TEST_CLASSES_DIR;
  const std::vector<vektest::EnvChange> clean = {
      {"VEK_RESTART_IN_PROGRESS", std::nullopt},
      {"VEK_RESTART_STATE", std::nullopt},
      {"JAVA_HOME", std::nullopt},
      {"NIMBO_DEBUG", std::nullopt},
      // The VM's own SIGSEGV use and its heap are no business of an
      // AddressSanitizer build's handlers and leak check.
      {"ASAN_OPTIONS", "handle_segv=0:allow_user_segv_handler=1:detect_leaks=0"}};
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::vector<vektest::EnvChange> env;
    int status;
    std::vector<std::string> expected;
  } cases[] = {
      {"main returns after its thread",
       {"--home", home, "-Dvektest.greeting=hello", "--heap-dump", dump, "--cp", cp, "vektest.HostMain", "linger",
        "b c"},
       {{"NIMBO_DEBUG", "1"}},
       0,
       {"args=[linger][b c]\n", "greeting=hello\n", "restart-marker=null\n",
        "library-path=" + jdk_home() + "/lib/server:" + jdk_home() + "/lib\n", "native-file=true " + root_mode() + "\n",
        "replayed=VekUtil/src/vek_jvmutils|1000|Will try to load Java VM shared library", "worker finished\n",
        "Heap dump written to " + dump}},
      {"main throws",
       {"--home", home, "--cp", cp, "vektest.HostMain", "throw"},
       {},
       1,
       {"Exception in thread \"main\" java.lang.IllegalStateException: main was asked to fail"}},
      {"runtime of JAVA_HOME",
       {"--home", empty, "--fallback", "--client", "--cp", cp, "vektest.HostMain"},
       {{"JAVA_HOME", jdk_home()}},
       0,
       {"Bundled JRE is missing, fall back to JAVA_HOME: '" + jdk_home() + "/lib/", "args=\n"}},
      {"main class missing",
       {"--home", home, "--cp", cp, "vektest.Missing"},
       {},
       1,
       {"Could not find or load main class vektest.Missing"}},
      {"no runtime",
       {"--home", empty, "--cp", cp, "vektest.HostMain"},
       {},
       2,
       {"Could not find any Java VM shared library."}},
      {"no class path",
       {"--home", home, "vektest.HostMain"},
       {},
       2,
       {"vekhost: --cp CLASSPATH MAINCLASS is required\nUsage: vekhost --home DIR"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {VEKHOST};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::vector<vektest::EnvChange> env = clean;
    env.insert(env.end(), c.env.begin(), c.env.end());
    auto run = vektest::runProgram(argv, env);
    EXPECT_EQ(c.status, run.status) << run.output;
    // The console wraps long log lines at a blank, continuing with two more.
    std::string unwrapped;
    for (size_t i = 0; i < run.output.size(); ++i) {
      if (run.output.compare(i, 3, "\n  ") == 0) {
        unwrapped += ' ';
        i += 2;
      } else {
        unwrapped += run.output[i];
      }
    }
    for (const auto& text : c.expected)
      EXPECT_NE(std::string::npos, unwrapped.find(text)) << text << "\n--- output:\n" << run.output;
  }
  std::string header = vektest::readFile(dump).substr(0, 19);
  EXPECT_EQ(std::string("JAVA PROFILE 1.0.2", 19), header);
}

}  // namespace
