// The packer's tar writer against the installer's reader: what one writes at
// the limits of the shared format (tar_format.h) the other reads, and what
// the packer refuses the reader refuses too. And the layers each program
// links: the packer reads payloads back without the installer's driver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "output_file.h"
#include "payload.h"
#include "tar_format.h"
#include "tar_writer.h"
#include "vek_lifecycle.h"
#include "vek_test_run.h"
#include "vek_test_support.h"

namespace {

// What the reader applied, one line per operation: "f name", "d name",
// "l name -> target", "h name -> target". The operation table has no slot
// for a caller's pointer: the lines go to this one list.
std::vector<std::string> applied;

int record_file(void*, const char* name, int) {
  applied.push_back(std::string("f ") + name);
  return 0;
}
int count_data(void*, int, const char*, size_t size) { return static_cast<int>(size); }
void close_nothing(void*, int) {}
bool record_directory(void*, const char* name, int) {
  applied.push_back(std::string("d ") + name);
  return true;
}
bool record_device(void*, const char* name, int, int, int) {
  applied.push_back(std::string("n ") + name);
  return true;
}
bool record_symlink(void*, const char* to, const char* from) {
  applied.push_back(std::string("l ") + from + " -> " + to);
  return true;
}
bool record_hardlink(void*, const char* to, const char* from) {
  applied.push_back(std::string("h ") + from + " -> " + to);
  return true;
}

class TarFormat : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool started = false;
    if (!started) vek_lifecycleInit();
    started = true;
  }

  // Writes `entry` (a file gets `data`) with the packer's tar stream; false
  // with the packer's error.
  bool write(const tar_entry_t& entry, const std::string& data, std::string* error) {
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    output_file_t out(fd);
    bool ok;
    {
      tar_stream_t stream(out, tar_options_t());
      ok = stream.add_entry(entry, error) && (data.empty() || stream.add_data(data.data(), data.size(), error)) &&
           stream.finish(error);
    }
    close(fd);
    size_ = out.offset();
    return ok;
  }

  // Reads what write() made with the installer's entry reader and tar
  // reader; true when the reader took the whole archive.
  bool read_back() {
    applied.clear();
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    untar_ops ops = {read_func,        record_file,   count_data,     close_nothing,
                     record_directory, record_device, record_symlink, record_hardlink};
    toc_entry entry = {fd, 0, size_, PAYLOAD_DEFAULTS};
    bool ok = extract_tarball(&entry, &ops, nullptr);
    close(fd);
    return ok;
  }

  vektest::TempDir dir_;
  std::string path_ = dir_.file("stream.tar.gz");
  int64_t size_ = 0;
};

tar_entry_t entry_of(char type, const std::string& name, const std::string& link = "") {
  tar_entry_t entry;
  entry.type = type;
  entry.name = name;
  entry.link = link;
  return entry;
}

// Regression guard: the packer kept its own copy of the header layout and
// of the long-name limit; changing one side's would now fail here.
TEST_F(TarFormat, WhatThePackerWritesAtTheLimitsTheReaderReads) {
  const size_t field = sizeof(tar_header_t::name);
  const std::string at_limit(TAR_MAX_LONG_NAME - 1, 'n');  // the record holds it and its NUL
  const std::string over_limit(TAR_MAX_LONG_NAME, 'n');
  struct Case {
    const char* what;
    tar_entry_t entry;
    const char* data;
    bool readable;         // the packer accepts it and the reader applies it
    std::string expected;  // what the reader applied
  };
  const Case cases[] = {
      {"a name filling the header's field", entry_of(TAR_TYPE_FILE, std::string(field, 'a')), "abc", true,
       "f " + std::string(field, 'a')},
      {"a name one byte longer: a long-name record", entry_of(TAR_TYPE_FILE, std::string(field + 1, 'b')), "", true,
       "f " + std::string(field + 1, 'b')},
      {"a long name at the limit", entry_of(TAR_TYPE_FILE, at_limit), "", true, "f " + at_limit},
      {"a long name over the limit", entry_of(TAR_TYPE_FILE, over_limit), "", false, ""},
      {"a directory", entry_of(TAR_TYPE_DIRECTORY, "dir/"), "", true, "d dir/"},
      {"a symbolic link with a long name and a long target",
       entry_of(TAR_TYPE_SYMLINK, std::string(150, 's'), std::string(200, 't')), "", true,
       "l " + std::string(150, 's') + " -> " + std::string(200, 't')},
      {"a hard link whose target is at the limit", entry_of(TAR_TYPE_HARDLINK, "h", at_limit), "", true,
       "h h -> " + at_limit},
      {"a link target over the limit", entry_of(TAR_TYPE_SYMLINK, "s", over_limit), "", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tar_entry_t entry = c.entry;
    entry.size = strlen(c.data);
    EXPECT_EQ(unrepresentable_reason(entry, tar_options_t()).empty(), c.readable)
        << unrepresentable_reason(entry, tar_options_t());
    std::string error;
    ASSERT_TRUE(write(entry, c.data, &error)) << error;  // the stream itself writes whatever it is given
    EXPECT_EQ(read_back(), c.readable);
    if (c.readable) {
      EXPECT_EQ(applied, std::vector<std::string>{c.expected});
    }
  }
}

// The names of the symbols a program defines, demangled, one per line.
std::string defined_symbols(const std::string& program) {
  vektest::RunResult run = vektest::runProgram({VEK_NM, "--defined-only", "-C", program});
  EXPECT_EQ(run.status, 0) << run.output;
  return run.output;
}

// The packer and the installer read payloads with the same reader; only the
// installer holds the driver (its run and its hand-off to the
// configuration program). A packer that linked the driver again would pull
// in the installer's whole run.
TEST(ProgramLayers, ThePackerLinksTheReaderButNotTheDriver) {
  struct Case {
    const char* program;
    const char* symbol;
    bool defined;
  };
  const Case cases[] = {
      {MKINSTALLER_PATH, " entry_stream_open(", true},
      {MKINSTALLER_PATH, " extract_tar(", true},
      {MKINSTALLER_PATH, " installer_main(", false},
      {MKINSTALLER_PATH, " configure_zorva(", false},
      {MKINSTALLER_PATH, " platform_run_configuration(", false},
      {INSTALLER_PATH, " entry_stream_open(", true},
      {INSTALLER_PATH, " installer_main(", true},
      {INSTALLER_PATH, " platform_run_configuration(", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + ":" + c.symbol);
    std::string symbols = defined_symbols(c.program);
    EXPECT_EQ(symbols.find(c.symbol) != std::string::npos, c.defined);
  }
}

// The symbols a static library defines for itself alone (code and data,
// not the weak copies of inline functions every user may carry), or, with
// `defined` false, uses without defining; by their link names.
std::set<std::string> library_symbols(const std::string& library, bool defined) {
  vektest::RunResult run =
      vektest::runProgram({VEK_NM, "-P", defined ? "--defined-only" : "--undefined-only", library});
  EXPECT_EQ(run.status, 0) << run.output;
  std::set<std::string> names;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name, type;
    if (!(fields >> name >> type) || type.size() != 1 || name.back() == ':') continue;
    if (!defined || std::string("TDBR").find(type[0]) != std::string::npos) names.insert(name);
  }
  return names;
}

// The installer's layers, each using only those below it: no library
// refers to a symbol that a library above it defines. The last row is the
// other way round and must find references, or the check sees nothing.
TEST(ProgramLayers, EachInstallerLayerUsesOnlyTheLayersBelow) {
  struct Case {
    const char* lower;
    const char* upper;
    bool references;  // the lower library uses symbols of the upper one
  };
  const Case cases[] = {
      {INSTALLER_CORE_LIB, INSTALLER_PAYLOAD_LIB, false},        {INSTALLER_CORE_LIB, INSTALLER_DRIVER_LIB, false},
      {INSTALLER_STATUS_LINE_LIB, INSTALLER_DRIVER_LIB, false},  {INSTALLER_PAYLOAD_LIB, INSTALLER_DRIVER_LIB, false},
      {INSTALLER_PAYLOAD_LIB, INSTALLER_STATUS_LINE_LIB, false}, {INSTALLER_DRIVER_LIB, INSTALLER_PAYLOAD_LIB, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.lower) + " -> " + c.upper);
    std::set<std::string> used = library_symbols(c.lower, false), offered = library_symbols(c.upper, true);
    std::string crossing;
    for (const std::string& name : used)
      if (offered.count(name) != 0) crossing += " " + name;
    EXPECT_EQ(!crossing.empty(), c.references) << crossing;
  }
}

}  // namespace
