// The packer's measure of the debugging information a stub carries, against
// what the binutils' size tool counts, on the kinds of stubs it meets: 64-
// and 32-bit ELF, PE with long section names, the same stripped, and files
// that are no executables or are cut short.
#include <gtest/gtest.h>

#include <filesystem>

#include "stub_debug_info.h"
#include "vek_test_run.h"
#include "vek_test_support.h"

namespace {

namespace fs = std::filesystem;

// The sum of the .debug_* and .zdebug_* sizes `size -A` lists.
uint64_t counted_by(const std::string& size_tool, const std::string& file) {
  vektest::RunResult r = vektest::runProgram({size_tool, "-A", file});
  EXPECT_EQ(r.status, 0) << r.output;
  std::istringstream lines(r.output);
  uint64_t total = 0;
  std::string name;
  uint64_t size = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    if ((fields >> name >> size) && (name.rfind(".debug_", 0) == 0 || name.rfind(".zdebug_", 0) == 0)) total += size;
  }
  return total;
}

bool run(const std::vector<std::string>& argv) {
  vektest::RunResult r = vektest::runProgram(argv);
  EXPECT_EQ(r.status, 0) << r.output;
  return r.status == 0;
}

TEST(StubDebugInfo, CountsWhatTheSizeToolCountsAndNothingOnceStripped) {
  vektest::TempDir dir;
  std::string source = dir.file("probe.c");
  vektest::writeFile(source, "int main(void) { return 0; }\n");
  struct Case {
    const char* kind;
    std::vector<std::string> build;  // makes dir/<kind> with debugging information; empty: a copy of the installer
    const char* tools;               // prefix of the matching size and strip
  };
  const Case cases[] = {
      {"elf64", {}, ""},
      {"elf32", {"/usr/bin/gcc", "-m32", "-g", "-o", dir.file("elf32"), source}, ""},
      {"pe64.exe",
       {"/usr/bin/x86_64-w64-mingw32-gcc", "-g", "-o", dir.file("pe64.exe"), source},
       "x86_64-w64-mingw32-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    std::string file = dir.file(c.kind);
    if (c.build.empty()) {
      fs::copy_file(INSTALLER_PATH, file);
    } else if (!fs::exists(c.build[0])) {
      continue;  // that compiler is not installed here
    } else if (!run(c.build)) {
      continue;
    }
    uint64_t measured = stub_debug_bytes(vektest::readFile(file));
    EXPECT_GT(measured, 0u);
    EXPECT_EQ(measured, counted_by(std::string("/usr/bin/") + c.tools + "size", file));
    ASSERT_TRUE(run({std::string("/usr/bin/") + c.tools + "strip", "--strip-debug", file}));
    EXPECT_EQ(stub_debug_bytes(vektest::readFile(file)), 0u);
  }
}

TEST(StubDebugInfo, PackerWarnsWithTheSizeOnlyWhileTheStubCarriesDebuggingInformation) {
  vektest::TempDir dir;
  fs::create_directories(dir.file("product/bin"));
  vektest::writeFile(dir.file("product/bin/zorva"), "#!/bin/sh\nexit 0\n");
  fs::permissions(dir.file("product/bin/zorva"), fs::perms(0755));
  std::string stub = dir.file("stub");
  fs::copy_file(INSTALLER_PATH, stub);
  std::string bytes = std::to_string(stub_debug_bytes(vektest::readFile(stub)));
  for (bool stripped : {false, true}) {
    SCOPED_TRACE(stripped ? "stripped" : "with debugging information");
    if (stripped) {
      ASSERT_TRUE(run({"/usr/bin/strip", "--strip-debug", stub}));
    }
    vektest::RunResult r =
        vektest::runProgram({MKINSTALLER_PATH, "-s", stub, "-o", dir.file("out"), dir.file("product")});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.has("mkinstaller: warning: the stub " + stub + " carries "), !stripped) << r.output;
    EXPECT_EQ(r.has("MiB of debugging information (" + bytes + " bytes)"), !stripped) << r.output;
  }
}

// Headers that point past the end of a cut file are never followed.
TEST(StubDebugInfo, FilesThatAreNoExecutablesOrAreCutShortCountNothing) {
  std::string installer = vektest::readFile(INSTALLER_PATH);
  const std::pair<const char*, std::string> cases[] = {
      {"shell script", "#!/bin/sh\nexit 0\n"},
      {"empty", ""},
      {"ELF header only", installer.substr(0, 64)},
      {"ELF cut before its section headers", installer.substr(0, installer.size() / 2)},
      {"MZ without PE header", std::string("MZ") + std::string(100, '\xff')},
  };
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(stub_debug_bytes(content), 0u);
  }
}

}  // namespace
