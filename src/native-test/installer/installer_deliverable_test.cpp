// The delivered installers as users receive them: the 32-bit Linux one is one
// static, stripped executable that installs in a root holding nothing else;
// the Windows one is stripped and needs only the system's libraries. And a
// temporary directory whose file system does not let programs run stops the
// run before anything is extracted. The target and the fixture are described
// in e2e_test_support.h; the cross builds add
//   E2E_OBJDUMP       the target's objdump
//   E2E_STATIC_PROBE  (linux-x86) a static 32-bit configuration program that
//                     records what it received, as the Windows probe does
#include <sys/mount.h>

#include <set>

#include "e2e_test_support.h"
#include "vek_test_run.h"

namespace {

namespace fs = std::filesystem;
using e2etest::logged;
using e2etest::Outcome;
using e2etest::target;

std::string setting(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

// ---- The delivered files ----------------------------------------------------------

class Deliverable : public ::testing::Test {
 protected:
  void SetUp() override {
    if (target().kind != "linux-x86" && !target().windows())
      GTEST_SKIP() << "the native installer is the development build: dynamic, with its symbols";
    ASSERT_TRUE(fs::exists(target().installer)) << target().installer;
    ASSERT_TRUE(fs::exists(setting("E2E_OBJDUMP"))) << "E2E_OBJDUMP names no objdump";
  }

  static std::string objdump(const std::string& option, const std::string& file) {
    vektest::RunResult r = vektest::runProgram({setting("E2E_OBJDUMP"), option, file});
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
  }

  // Stripped, its debugging information complete in the file the debug link
  // names, and within its size goal.
  static void expect_release_stub(const std::string& file, uintmax_t max_bytes) {
    std::string sections = objdump("-h", file);
    EXPECT_EQ(sections.find(".debug_"), std::string::npos) << "debugging sections left in " << file;
    EXPECT_NE(sections.find(".gnu_debuglink"), std::string::npos) << "no debug link in " << file;
    ASSERT_TRUE(fs::exists(file + ".debug"));
    EXPECT_NE(objdump("-h", file + ".debug").find(".debug_info"), std::string::npos);
    EXPECT_LE(fs::file_size(file), max_bytes);
  }
};

TEST_F(Deliverable, LinuxInstallerIsStaticAndStripped) {
  if (target().kind != "linux-x86") GTEST_SKIP() << "the 32-bit Linux deliverable";
  std::string headers = objdump("-p", target().installer);
  EXPECT_NE(headers.find("elf32-i386"), std::string::npos) << headers;
  EXPECT_EQ(headers.find("INTERP"), std::string::npos) << "needs a program interpreter:\n" << headers;
  EXPECT_EQ(headers.find("NEEDED"), std::string::npos) << "needs shared libraries:\n" << headers;
  expect_release_stub(target().installer, 1887436);  // 1.8 MiB
}

TEST_F(Deliverable, WindowsInstallerNeedsOnlySystemLibraries) {
  if (!target().windows()) GTEST_SKIP() << "the Windows deliverable";
  // Libraries of every Windows installation; never the compiler's runtime
  // (libstdc++, libgcc, libwinpthread) or zlib.
  const std::set<std::string> system = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "psapi.dll",
                                        "user32.dll",   "ws2_32.dll", "ntdll.dll",    "shell32.dll"};
  std::string headers = objdump("-p", target().installer);
  std::smatch m;
  std::vector<std::string> imported;
  for (std::string rest = headers; std::regex_search(rest, m, std::regex("DLL Name: (\\S+)")); rest = m.suffix()) {
    std::string name = m[1];
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return (char)std::tolower(c); });
    imported.push_back(name);
    EXPECT_TRUE(system.count(name)) << "imports " << name << ", not a system library";
  }
  EXPECT_NE(std::find(imported.begin(), imported.end(), "kernel32.dll"), imported.end()) << headers;
  expect_release_stub(target().installer, 450000);
}

// ---- A root that holds nothing but the installer ------------------------------------

class EmptyRootE2E : public e2etest::InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    if (IsSkipped()) return;
    if (target().kind != "linux-x86") GTEST_SKIP() << "only the 32-bit deliverable is static";
    if (geteuid() != 0) GTEST_SKIP() << "chroot needs root";
    ASSERT_TRUE(fs::exists(setting("E2E_STATIC_PROBE"))) << "E2E_STATIC_PROBE names no static program";
  }
};

// The root has no /proc, no /lib and no shell: the installer finds its
// payload through its absolute argv[0] (or the emulator's answer for its own
// executable), and its configuration program is itself a static program.
TEST_F(EmptyRootE2E, StaticInstallerConfiguresWithNothingElseInstalled) {
  std::string product = dir_.file("product");
  fs::create_directories(product + "/bin");
  fs::copy_file(setting("E2E_STATIC_PROBE"), product + "/bin/zorva");
  fs::permissions(product + "/bin/zorva", fs::perms(0755));
  std::string installer = pack({product});
  std::string root = dir_.file("root");
  fs::create_directories(root + "/tmp");
  fs::permissions(root + "/tmp", fs::perms(01777));
  fs::copy_file(installer, root + "/installer");
  record_ = root + "/tmp/record";
  Outcome r = spawn({"/usr/bin/env", "-i", "E2E_RECORD=/tmp/record", "/usr/sbin/chroot", root, "/installer", "--silent",
                     "--installdir", "/opt/with blank"},
                    {}, dir_.str(), {}, {});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  std::vector<std::string> expected = {"--internal-install", "--silent", "--installdir", "/opt/with blank"};
  EXPECT_EQ(received_args(), expected) << r.output;
  EXPECT_EQ(received_env("NIMBO_DISABLE_WATCHDOG"), "1");
  std::set<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(root)) left.insert(entry.path().lexically_relative(root));
  EXPECT_EQ(left, (std::set<std::string>{"installer", "tmp", "tmp/record"})) << "extraction directory left behind";
}

// ---- Temporary directories that do not let programs run ---------------------------

class NoExecE2E : public e2etest::InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    if (IsSkipped()) return;
    if (windows()) GTEST_SKIP() << "Windows file systems have no mount flag against running programs";
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  }
  void TearDown() override {
    for (const std::string& dir : mounts_) umount2(dir.c_str(), MNT_DETACH);
  }
  void mount_noexec(const std::string& dir, const char* mode) {
    fs::create_directories(dir);
    ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", MS_NOEXEC, (std::string("size=16m,mode=") + mode).c_str()), 0)
        << strerror(errno);
    mounts_.push_back(dir);
  }
  std::vector<std::string> mounts_;
};

// The message names the variable that actually chose the directory, not
// merely the first one that is set.
TEST_F(NoExecE2E, RunStopsBeforeExtractingAndNamesTheVariableThatChoseTheDirectory) {
  std::string installer = pack({make_product()});
  std::string noexec = dir_.file("noexec");
  mount_noexec(noexec, "0777");
  std::string missing = dir_.file("missing");  // no directory: the lookup passes over it
  struct Case {
    const char* variable;
    std::map<std::string, std::string> env;
  };
  const Case cases[] = {
      {"TMPDIR", {{"TMP", missing}, {"TEMP", missing}, {"TMPDIR", noexec}}},
      {"TEMP", {{"TMP", missing}, {"TEMP", noexec}, {"TMPDIR", temp_}}},
      {"TMP", {{"TMP", noexec}, {"TEMP", temp_}, {"TMPDIR", temp_}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable);
    Outcome r = run(installer, {"--silent"}, c.env);
    EXPECT_EQ(r.exit_code, failure_code());
    EXPECT_TRUE(
        logged(r, "ERROR [native] Cannot extract into " + noexec + ": its file system does not allow programs to run"))
        << r.output;
    EXPECT_TRUE(logged(r, std::string("ERROR [native] Point ") + c.variable +
                              " at a directory whose file system allows programs to run"))
        << r.output;
    EXPECT_FALSE(logged(r, "Extraction complete"));
    EXPECT_FALSE(configured());
    EXPECT_TRUE(fs::is_empty(noexec));
    EXPECT_TRUE(temp_is_empty());
  }
}

// The mount flags of the temporary directory allowed it, yet starting the
// configuration program was refused (here the extraction directory itself is
// a noexec mount, as a security policy could refuse it): the log gives the
// same hint. (A program without its execute bit cannot reach an installer:
// the packer refuses such a payload.)
TEST_F(NoExecE2E, RefusedConfigurationProgramGivesTheHint) {
  std::string installer = pack({make_product()});
  std::string extraction;
  auto before = [&](pid_t pid) {
    extraction = temp_ + "/" + std::to_string(pid);
    mount_noexec(extraction, "0700");
  };
  // A mount point cannot be removed: the test unmounts it instead.
  Outcome r = run(installer, {}, {{"NIMBO_DEBUG_SKIPCLEANUP", "1"}}, before);
  EXPECT_EQ(r.exit_code, failure_code());
  EXPECT_TRUE(logged(r, "Failed to execute new process './bin/zorva': Permission denied (errno 13)")) << r.output;
  EXPECT_TRUE(logged(r, "ERROR [native] The system does not allow programs to run from " + extraction)) << r.output;
  EXPECT_TRUE(logged(r, "ERROR [native] Point TMP at a directory whose file system allows programs to run"));
  EXPECT_TRUE(logged(r, "WARN  [native] Configuration failed"));
  EXPECT_FALSE(configured());
}

}  // namespace
