// Hostile installer inputs: archives crafted byte by byte and packed into an
// installer directly (stub, entries, table of contents, trailer), bypassing
// the packaging tool, which refuses what the installer could not extract.
// Each case runs the target's installer in a directory of its own, holding
// the temporary directory the installer extracts into and a canary tree next
// to it. A refused case must end with its ERROR, exit status 255 (-1), no
// configuration program started, the extraction directory gone and not one
// byte changed in its directory (the Windows build also in Wine's temporary
// directory and drive C:). The positive controls must extract.
//
// Payload-level cases (names, numbers, structure) run on every target;
// links, the temporary directory and the disk space only on Linux.
#include <sys/mount.h>
#include <sys/stat.h>

#include <set>
#include <sstream>

#include "e2e_test_support.h"

namespace {

namespace fs = std::filesystem;
using e2etest::Outcome;
using e2etest::target;

// ---- Archives made byte by byte -------------------------------------------

// One header block. Fields are written raw: a field given its full width
// gets no NUL, so a test can fill any field to the brim or with garbage.
class Header {
 public:
  Header(const std::string& name, unsigned long long size, char type = '0', int mode = 0644) {
    put(0, 100, name);
    put(100, 8, octal(mode, 7));
    put(108, 8, octal(0, 7));
    put(116, 8, octal(0, 7));
    put(124, 12, octal(size, 11));
    put(136, 12, octal(0, 11));
    block_[156] = type;
    put(257, 8, std::string("ustar  \0", 8));  // old GNU
  }
  Header& field(size_t offset, size_t width, const std::string& bytes) {
    block_.replace(offset, width, std::string(width, '\0'));
    block_.replace(offset, std::min(width, bytes.size()), bytes.substr(0, width));
    return *this;
  }
  Header& size_field(const std::string& bytes) { return field(124, 12, bytes); }
  Header& link(const std::string& target) { return field(157, 100, target); }
  // POSIX ustar magic, whose prefix field goes before the name.
  Header& ustar(const std::string& prefix) {
    field(257, 8, std::string("ustar", 6) + "00");
    return field(345, 155, prefix);
  }
  // The block with its checksum (not verified by the installer; kept so that
  // other tools read the same archive).
  std::string bytes() const {
    std::string block = block_;
    block.replace(148, 8, std::string(8, ' '));
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    block.replace(148, 8, octal(sum, 6) + std::string("\0 ", 2));
    return block;
  }
  static std::string octal(unsigned long long value, int digits) {
    char text[32];
    snprintf(text, sizeof text, "%0*llo", digits, value);
    return text;
  }

 private:
  void put(size_t offset, size_t width, const std::string& bytes) { field(offset, width, bytes); }
  std::string block_ = std::string(512, '\0');
};

std::string padded(const std::string& data) { return data + std::string((512 - data.size() % 512) % 512, '\0'); }
std::string file(const std::string& name, const std::string& data, int mode = 0644) {
  return Header(name, data.size(), '0', mode).bytes() + padded(data);
}
std::string symlink_entry(const std::string& name, const std::string& to) {
  return Header(name, 0, '2', 0777).link(to).bytes();
}
std::string hardlink_entry(const std::string& name, const std::string& to) {
  return Header(name, 0, '1').link(to).bytes();
}
// A GNU long name ('L'): the name as data, then the header it belongs to.
std::string long_name(const std::string& name) {
  return Header("././@LongLink", name.size() + 1, 'L').bytes() + padded(name + '\0');
}
const std::string END_OF_ARCHIVE(1024, '\0');

// 8 bytes of GNU base-256 (first byte's high bit set) in a 12-byte field.
std::string base256(unsigned char first, uint64_t value) {
  std::string field(1, (char)first);
  field.append(3, first & 0x40 ? '\xff' : '\0');
  for (int shift = 56; shift >= 0; shift -= 8) field.push_back((char)((value >> shift) & 0xff));
  return field;
}

// The product: the configuration program, which records that it ran. It
// comes first, so that an installer that went on past a hostile entry
// would start it.
std::string product_entries() {
  if (target().windows()) return file("bin/zorva.exe", vektest::readFile(target().probe), 0755);
  return file("bin/zorva", e2etest::PROBE_SCRIPT, 0755) + file("README", "sample\n");
}

// An installer of the target with these tar streams as its entries, laid out
// as the packaging tool does but without its checks.
std::string installer_of(const std::vector<std::string>& tars) {
  payloadtest::Layout layout;
  layout.stub = vektest::readFile(target().installer);
  for (const std::string& tar : tars) layout.entries.push_back(payloadtest::gzip_member(tar));
  return payloadtest::join_installer(layout);
}
std::string installer_of(const std::string& tar) { return installer_of(std::vector<std::string>{tar}); }

// True when one ERROR line of the run's log holds `text` (the console
// logger wraps long lines, continuing them indented by two blanks).
bool error_logged(const Outcome& run, const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(run.output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("  ", 0) == 0 && !lines.empty())
      lines.back() += line;
    else
      lines.push_back(line);
  }
  for (const std::string& line : lines) {
    std::string squeezed = e2etest::squeeze(line);
    size_t at = squeezed.find(" ERROR [native] ");
    if (at != std::string::npos && squeezed.find(e2etest::squeeze(text), at) != std::string::npos) return true;
  }
  return false;
}

// ---- One case ------------------------------------------------------------------

// Where a case runs: <dir>/tmp is the temporary directory (Linux),
// <dir>/canary a tree that hostile names aim at.
struct Place {
  std::string dir;
  std::string temp;
  std::string canary;
  std::string escape;  // leaf name every escaping write aims at
};

struct HostileCase {
  std::string name;
  std::function<std::string(const Place&)> build;     // the installer file
  std::string error;                                  // ERROR it must log; empty: any ERROR
  std::map<std::string, std::string> extracted = {};  // non-empty: a positive control, which extracts these
  // Before the run (mounts, odd temporary directories); what it returns is
  // added to the run's environment.
  std::function<std::map<std::string, std::string>(const Place&)> prepare = {};
  std::function<void(const Place&, pid_t)> before_start = {};  // knows the installer's pid
  // False where the installer never gets a directory of its own (it refuses
  // the temporary directory): the unchanged tree is then the whole check.
  bool own_extraction_dir = true;
};

// Everything under root: type, mode, owner, size and content or link target.
std::map<std::string, std::string> tree_of(const std::string& root) {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st;
    std::string path = it->path().string();
    if (lstat(path.c_str(), &st) != 0) continue;
    std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " ";
    if (S_ISREG(st.st_mode)) what += vektest::readFile(path);
    if (S_ISLNK(st.st_mode)) what += fs::read_symlink(path).string();
    tree[path.substr(root.size())] = what;
  }
  return tree;
}

class Hostile : public e2etest::InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    if (IsSkipped()) return;
    if (windows() && target().probe.empty()) GTEST_SKIP() << "E2E_PROBE names no configuration program";
    token_ = "escape-" + std::to_string(getpid());
  }
  void TearDown() override {
    for (const std::string& mount : mounts_) umount2(mount.c_str(), MNT_DETACH);
  }

  Place place_for(const std::string& name) {
    std::string slug;
    for (char c : name) slug += isalnum((unsigned char)c) ? c : '-';
    Place p{dir_.file(std::to_string(cases_++) + "-" + slug), "", "", token_};
    p.temp = p.dir + "/tmp";
    p.canary = p.dir + "/canary";
    fs::create_directories(p.temp);
    fs::create_directories(p.canary + "/etc");
    vektest::writeFile(p.canary + "/target", "original\n");
    vektest::writeFile(p.canary + "/etc/passwd", "root:x:0:0\n");
    return p;
  }

  void mount_tmpfs(const std::string& at, const std::string& size) {
    ASSERT_EQ(mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0777").c_str()), 0) << strerror(errno);
    mounts_.push_back(at);
  }

  // Wine's temporary directory, its parent and drive C: as host paths, where
  // escaping names from a Windows extraction directory would land.
  std::vector<std::string> wine_escape_dirs(const std::string& extraction_dir) const {
    if (!windows() || extraction_dir.empty()) return {};
    fs::path temp = fs::path(extraction_dir).parent_path();
    std::string prefix = getenv("WINEPREFIX") ? getenv("WINEPREFIX") : "";
    return {temp.string(), temp.parent_path().string(), prefix + "/drive_c"};
  }

  void run_case(const HostileCase& c) {
    SCOPED_TRACE(c.name);
    Place p = place_for(c.name);
    temp_ = p.temp;
    std::map<std::string, std::string> env;
    if (c.prepare) env = c.prepare(p);
    if (HasFatalFailure()) return;
    std::string installer = p.dir + (windows() ? "/installer.exe" : "/installer");
    vektest::writeFile(installer, c.build(p));
    fs::permissions(installer, fs::perms(0755));
    fs::remove(record_);
    env.insert({"NIMBO_DEBUG", "1"});
    if (!c.extracted.empty()) env.insert({"NIMBO_DEBUG_SKIPCLEANUP", "1"});
    std::map<std::string, std::string> before_tree;
    Outcome r = run(installer, {"--silent"}, env, [&](pid_t pid) {
      if (c.before_start) c.before_start(p, pid);
      before_tree = tree_of(p.dir);
    });
    std::string extraction = extraction_dir(r);
    if (!c.extracted.empty()) {
      check_extracted(c, r, extraction);
    } else {
      check_refused(c, r, extraction);
    }
    EXPECT_EQ(tree_of(p.dir), before_tree) << "written outside the extraction directory";
    for (const std::string& dir : wine_escape_dirs(extraction)) {
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(dir, ec)) {
        EXPECT_EQ(entry.path().filename().string().find(token_), std::string::npos)
            << "written outside the extraction directory: " << entry.path();
        if (entry.path().filename().string().find(token_) != std::string::npos) fs::remove_all(entry.path());
      }
    }
  }

  void check_refused(const HostileCase& c, const Outcome& r, const std::string& extraction) {
    EXPECT_EQ(r.exit_code, failure_code());
    EXPECT_TRUE(error_logged(r, c.error)) << "no ERROR with: " << c.error << "\n" << r.output.substr(0, 20000);
    EXPECT_FALSE(configured()) << "the configuration program was started";
    if (windows()) {
      EXPECT_TRUE(!extraction.empty() && !fs::exists(extraction)) << "extraction directory left: " << extraction;
    } else if (c.own_extraction_dir) {
      EXPECT_TRUE(fs::is_empty(temp_)) << "extraction directory left behind";
    }
  }

  void check_extracted(const HostileCase& c, const Outcome& r, const std::string& extraction) {
    ASSERT_EQ(r.exit_code, 0) << r.output.substr(0, 20000);
    EXPECT_TRUE(configured());
    ASSERT_FALSE(extraction.empty());
    for (const auto& [name, content] : c.extracted)
      EXPECT_EQ(vektest::readFile(extraction + "/" + name), content) << name;
    fs::remove_all(extraction);
  }

  void run_all(const std::vector<HostileCase>& cases) {
    for (const HostileCase& c : cases) run_case(c);
  }

  std::string token_;
  std::vector<std::string> mounts_;
  int cases_ = 0;
};

class LinuxHostile : public Hostile {
 protected:
  void SetUp() override {
    Hostile::SetUp();
    if (IsSkipped()) return;
    if (windows()) GTEST_SKIP() << "Linux only";
  }
};

// ---- Names ---------------------------------------------------------------------

TEST_F(Hostile, NamesLeavingTheExtractionDirectoryAreRefused) {
  auto with = [](std::function<std::string(const Place&)> hostile) {
    return [hostile](const Place& p) { return installer_of(product_entries() + hostile(p) + END_OF_ARCHIVE); };
  };
  // Absolute names aim into the canary on Linux; on Windows they name the
  // root of drive C:, which is watched.
  auto absolute = [this](const Place& p, const std::string& slashes) {
    return windows() ? slashes + p.escape : slashes.substr(1) + p.canary + "/" + p.escape;
  };
  std::vector<HostileCase> cases = {
      {"absolute /x", with([&](const Place& p) { return file(absolute(p, "/"), "x"); }), "refusing to extract /"},
      {"absolute //x", with([&](const Place& p) { return file(absolute(p, "//"), "x"); }), "refusing to extract //"},
      {"../x", with([](const Place& p) { return file("../" + p.escape, "x"); }), "refusing to extract ../escape-"},
      {"a/../../x", with([](const Place& p) { return file("a/../../" + p.escape, "x"); }),
       "refusing to extract a/../../escape-"},
      {"../../x", with([](const Place& p) { return file("../../" + p.escape, "x"); }),
       "refusing to extract ../../escape-"},
      {"a/.. in the middle", with([](const Place& p) { return file("a/../" + p.escape + "/../../x", "x"); }),
       "refusing to extract a/../escape-"},
      {"directory ..", with([](const Place&) { return Header("..", 0, '5', 0755).bytes(); }),
       "refusing to extract ..: parent directory reference"},
      {"traversal in a GNU long name", with([](const Place& p) {
         return long_name("../../" + p.escape) + Header("innocent", 1).bytes() + padded("x");
       }),
       "refusing to extract ../../escape-"},
      {"traversal in the ustar prefix",
       with([](const Place& p) { return Header(p.escape, 1).ustar("../..").bytes() + padded("x"); }),
       "refusing to extract ../../escape-"},
      {"positive control: a/..b and ..foo",
       with([](const Place&) { return file("a/..b", "dots inside\n") + file("..foo", "leading dots\n"); }),
       "",
       {{"a/..b", "dots inside\n"}, {"..foo", "leading dots\n"}}},
  };
  if (windows()) {
    // Windows drops trailing dots and blanks: these reach the parent too.
    cases.push_back({"... on Windows", with([](const Place& p) { return file(".../" + p.escape, "x"); }),
                     "refusing to extract .../escape-"});
    cases.push_back({"drive-qualified name", with([](const Place& p) { return file("C:" + p.escape, "x"); }),
                     "refusing to extract C:escape-"});
  }
  run_all(cases);
}

// ---- Links (Linux: the Windows build creates no links) ---------------------------

TEST_F(LinuxHostile, LinksLeadingOutsideAreNeverWrittenThrough) {
  std::vector<HostileCase> cases = {
      // Links wait for the end of their archive: the file makes "etc" a real
      // directory first, and the link that would replace it is dropped.
      {"symbolic link to /etc then a file under it, one archive",
       [](const Place& p) {
         return installer_of(product_entries() + symlink_entry("etc", p.canary + "/etc") +
                             file("etc/passwd", "pwned\n") + END_OF_ARCHIVE);
       },
       "",
       {{"etc/passwd", "pwned\n"}}},
      {"symbolic link to /etc, a file under it in the next archive",
       [](const Place& p) {
         return installer_of({product_entries() + symlink_entry("etc", p.canary + "/etc") + END_OF_ARCHIVE,
                              file("etc/passwd", "pwned\n") + END_OF_ARCHIVE});
       },
       "refusing to extract etc/passwd: path goes through symbolic link etc"},
      {"symbolic link to /etc, a directory under it in the next archive",
       [](const Place& p) {
         return installer_of({product_entries() + symlink_entry("etc", p.canary + "/etc") + END_OF_ARCHIVE,
                              Header("etc/cron.d/", 0, '5', 0755).bytes() + END_OF_ARCHIVE});
       },
       "refusing to extract etc/cron.d/: path goes through symbolic link etc"},
      {"symbolic link to /etc, a hard link under it in the same archive",
       [](const Place& p) {
         return installer_of(product_entries() + symlink_entry("etc", p.canary + "/etc") +
                             hardlink_entry("etc/shadow", "README") + END_OF_ARCHIVE);
       },
       "refusing to extract etc/shadow: path goes through symbolic link etc"},
      {"hard link to an absolute path",
       [](const Place& p) {
         return installer_of(product_entries() + hardlink_entry("h", p.canary + "/target") + END_OF_ARCHIVE);
       },
       "refusing to extract h: absolute path /"},
      {"hard link to ../../x",
       [](const Place&) {
         return installer_of(product_entries() + hardlink_entry("h", "../../canary/target") + END_OF_ARCHIVE);
       },
       "refusing to extract h: parent directory reference in ../../canary/target"},
      {"hard link through a symbolic link pointing outside",
       [](const Place& p) {
         return installer_of(product_entries() + symlink_entry("s", p.canary) + hardlink_entry("h", "s/target") +
                             END_OF_ARCHIVE);
       },
       "refusing to extract h: path goes through symbolic link s"},
      // link(2) does not follow: "h" becomes a second symbolic link to the
      // outside file, and writing it in the next archive must be refused.
      {"hard link to a symbolic link pointing outside, written in the next archive",
       [](const Place& p) {
         return installer_of(
             {product_entries() + symlink_entry("s", p.canary + "/target") + hardlink_entry("h", "s") + END_OF_ARCHIVE,
              file("h", "pwned\n") + END_OF_ARCHIVE});
       },
       "refusing to extract h: path goes through symbolic link h"},
  };
  run_all(cases);
}

// ---- Numbers ---------------------------------------------------------------------

TEST_F(Hostile, MalformedNumbersAreRefused) {
  auto with = [](const std::string& hostile) {
    return [hostile](const Place&) { return installer_of(product_entries() + hostile + END_OF_ARCHIVE); };
  };
  const std::string some_data = padded("data");
  std::vector<HostileCase> cases = {
      {"size with a garbage digit", with(Header("f", 0).size_field("0000000x012").bytes() + some_data),
       "malformed size field"},
      {"size with a digit 8", with(Header("f", 0).size_field("00000000018").bytes() + some_data),
       "malformed size field"},
      {"size of 12 octal digits beyond 32 bits", with(Header("f", 0).size_field("777777777777").bytes() + some_data),
       "tar archive is truncated"},
      {"base-256 size beyond 64 bits",
       with(Header("f", 0).size_field(std::string("\x80\x01", 2) + std::string(10, '\xff')).bytes() + some_data),
       "malformed size field"},
      {"base-256 negative size",
       with(Header("f", 0).size_field(base256(0xff, 0xfffffffffffffc00ull)).bytes() + some_data),
       "malformed size field"},
      {"base-256 size larger than the rest of the stream",
       with(Header("f", 0).size_field(base256(0x80, 1ull << 40)).bytes() + some_data), "tar archive is truncated"},
      {"mode with garbage", with(Header("f", 4).field(100, 8, "06x4").bytes() + some_data), "malformed mode field"},
      // Refused before anything is allocated: an allocation of this size
      // would end the process, reading it would report a truncation.
      {"GNU long name over 1 MiB", with(Header("././@LongLink", (1 << 20) + 1, 'L').bytes() + some_data),
       "GNU long name of 1048577 bytes exceeds the limit"},
      {"GNU long name of 2^62 bytes",
       with(Header("././@LongLink", 0, 'L').size_field(base256(0x80, 1ull << 62)).bytes() + some_data),
       "GNU long name of 4611686018427387904 bytes exceeds the limit"},
      {"GNU long link target over 1 MiB", with(Header("././@LongLink", 2 << 20, 'K').bytes() + some_data),
       "GNU long name of 2097152 bytes exceeds the limit"},
  };
  // Fields filled to their width carry no NUL: each is read to its width
  // only, never into the next field.
  const std::string name100 = "n" + std::string(98, 'a') + "z";
  cases.push_back(
      {"positive control: full-width name and size fields",
       with(Header(name100, 0).size_field("000000000005").field(136, 12, "777777777777").bytes() + padded("12345")),
       "",
       {{name100, "12345"}}});
  run_all(cases);
}

// ---- Structure ------------------------------------------------------------------

TEST_F(Hostile, DamagedStructureIsRefused) {
  auto tar_with = [](const std::string& tail) {
    return [tail](const Place&) { return installer_of(product_entries() + tail); };
  };
  const std::string name_entry = long_name(std::string(300, 'n'));
  // The payload the whole-installer cases damage.
  auto good = [] { return installer_of({product_entries() + END_OF_ARCHIVE, file("more", "x") + END_OF_ARCHIVE}); };
  auto with_value_at = [good](int64_t from_end, int64_t value) {
    return [good, from_end, value](const Place&) {
      std::string f = good();
      size_t at = from_end < 0 ? f.size() + from_end : (size_t)payloadtest::get_be64(f, f.size() - 8);
      std::string v;
      payloadtest::put_be64(&v, value);
      return f.replace(at, 8, v);
    };
  };
  auto member_damage = [](size_t from_end, unsigned char mask) {
    return [from_end, mask](const Place&) {
      payloadtest::Layout layout;
      layout.stub = vektest::readFile(target().installer);
      layout.entries.push_back(
          payloadtest::gzip_member(product_entries() + file("big", std::string(50000, 'q')) + END_OF_ARCHIVE));
      std::string& member = layout.entries[0];
      member[from_end == 0 ? member.size() / 2 : member.size() - from_end] ^= (char)mask;
      return payloadtest::join_installer(layout);
    };
  };
  std::vector<HostileCase> cases = {
      // The reader tells why at DEBUG; the installer reports the failure at ERROR.
      {"zero block followed by a header", tar_with(std::string(512, '\0') + file("late", "x") + END_OF_ARCHIVE),
       "Cannot extract tar entries: Invalid argument"},
      {"stream cut inside a header", tar_with(Header("cut", 1).bytes().substr(0, 300)),
       "tar archive is truncated: 300 of 512 bytes read"},
      {"stream cut inside file data", tar_with(Header("cut", 5000).bytes() + std::string(2000, 'd')),
       "tar archive is truncated"},
      {"stream cut inside a long name", tar_with(name_entry.substr(0, 512 + 100)), "tar archive is truncated"},
      {"stream ends without end-of-archive blocks", tar_with(file("last", "x")),
       "tar archive is truncated: no end-of-archive blocks"},
      {"unsupported tar format", tar_with(Header("f", 1).field(257, 8, std::string("xxxxx", 6) + "00").bytes()),
       "Cannot extract tar entries: Invalid argument"},
      {"trailer version 2",
       [good](const Place&) {
         std::string f = good();
         return f.replace(f.size() - 16, 8, std::string("\0\0\0\0\0\0\0\2", 8));
       },
       "Invalid version 2 (expected 1)"},
      {"table-of-contents offset negative", with_value_at(-8, -4096), "Cannot seek to beginning of table of contents"},
      {"table-of-contents offset past the end", with_value_at(-8, 1ll << 40),
       "Unexpected end of file while attempting to read TOC entry."},
      {"entry offset negative", with_value_at(0, -8), "Offset -8 is invalid (minimum: 0, maximum:"},
      {"entry offset past the end", with_value_at(0, 1ll << 40),
       "Offset 1099511627776 is invalid (minimum: 0, maximum:"},
      {"bit flipped in the deflate data", member_damage(0, 0x10), "Cannot extract tar entries"},
      {"flipped CRC", member_damage(6, 0x40), "incorrect data check"},
      {"flipped length", member_damage(2, 0x01), "incorrect length check"},
  };
  run_all(cases);
}

// Every cut of the installer inside its payload fails cleanly, wherever it
// falls: in an archive, in the table of contents or in the trailer.
TEST_F(Hostile, InstallerCutAtManyOffsetsIsRefused) {
  std::string whole = installer_of({product_entries() + file("data", std::string(30000, 'r')) + END_OF_ARCHIVE,
                                    file("second", "2") + END_OF_ARCHIVE});
  size_t stub = vektest::readFile(target().installer).size();
  std::set<size_t> cuts;
  size_t steps = windows() ? 16 : 40;  // a Windows run costs a Wine start
  for (size_t i = 0; i < steps; ++i) cuts.insert(stub + (whole.size() - stub) * i / steps);
  for (size_t back = 1; back <= 40; back += windows() ? 7 : 3) cuts.insert(whole.size() - back);
  std::vector<HostileCase> cases;
  for (size_t cut : cuts) {
    cases.push_back({"cut at " + std::to_string(cut) + " of " + std::to_string(whole.size()),
                     [whole, cut](const Place&) { return whole.substr(0, cut); },
                     ""});  // where the cut falls decides which ERROR
  }
  run_all(cases);
}

// ---- Temporary directory (Linux: owners, modes and pids) --------------------

TEST_F(LinuxHostile, UnsafeTemporaryDirectoriesAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  auto payload = [](const Place&) { return installer_of(product_entries() + END_OF_ARCHIVE); };
  auto refused = [payload](const char* name, std::function<void(const std::string&)> make) {
    HostileCase c{name, payload, "refusing to use the extraction directory"};
    c.before_start = [make](const Place& p, pid_t pid) { make(p.temp + "/" + std::to_string(pid)); };
    c.own_extraction_dir = false;  // what stood there is left as it was
    return c;
  };
  std::vector<HostileCase> cases = {
      refused("pid directory is a symbolic link",
              [](const std::string& d) {
                ASSERT_EQ(symlink((fs::path(d).parent_path().parent_path() / "canary").c_str(), d.c_str()), 0);
              }),
      refused("pid directory of another user",
              [](const std::string& d) {
                ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
                ASSERT_EQ(chown(d.c_str(), 4321, 4321), 0);
              }),
      refused("pid directory writable by all",
              [](const std::string& d) {
                ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
                ASSERT_EQ(chmod(d.c_str(), 0777), 0);
              }),
      refused("pid directory writable by all, sticky",
              [](const std::string& d) {
                ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
                ASSERT_EQ(chmod(d.c_str(), 01777), 0);
              }),
  };
  for (std::string odd : {"dollar$dir", "hash#dir"}) {
    HostileCase c{"TMPDIR named " + odd, payload,
                  "the temporary directory cannot contain any of the following characters: :!;`$\"+#"};
    c.prepare = [odd](const Place& p) {
      std::string temp = p.temp + "/" + odd;
      fs::create_directories(temp);
      return std::map<std::string, std::string>{{"TMP", temp}, {"TEMP", temp}, {"TMPDIR", temp}};
    };
    c.own_extraction_dir = false;  // nothing may appear in it
    cases.push_back(c);
  }
  run_all(cases);
}

// ---- Disk space (Linux: a small tmpfs) ----------------------------------------

TEST_F(LinuxHostile, PayloadsThatDoNotFitAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  std::vector<HostileCase> cases = {
      // The entry claims 10 GiB of zeros; its stream holds 2 MiB, more than
      // the tmpfs, and then ends. The size pass must stop once its count
      // passes the free space: reading on would report the truncation, and
      // a real 10 GiB would take minutes to decompress.
      {"10 GiB claimed on a 1 MiB tmpfs",
       [](const Place&) {
         return installer_of(product_entries() + Header("zeros.bin", 10ull << 30).bytes() + std::string(2 << 20, '\0'));
       },
       "There is not enough space in "},
      // Counted at their data size, one-byte files pass the check, but each
      // takes a page of the tmpfs: the disk fills up during extraction.
      {"many one-byte files fill the disk",
       [](const Place&) {
         std::string tar = product_entries();
         for (int i = 0; i < 200; ++i) tar += file("f" + std::to_string(i), "x");
         return installer_of(tar + END_OF_ARCHIVE);
       },
       "Failure while extracting archive entry"},
  };
  auto on_tmpfs = [this](const char* size) {
    return [this, size](const Place& p) {
      mount_tmpfs(p.temp, size);
      return std::map<std::string, std::string>{};
    };
  };
  cases[0].prepare = on_tmpfs("1m");
  cases[1].prepare = on_tmpfs("256k");
  run_all(cases);
}

// ---- Bounded gzip members -------------------------------------------------------

// Entries of bounded members, as the packaging tool writes them, with their
// headers made to lie. The size pass reads only headers and trailers; what
// it cannot see is found when the members are decoded, and the run still
// ends before the configuration program with nothing left behind.
TEST_F(Hostile, LyingBoundedMembersAreRefused) {
  const std::string tar = product_entries() + file("data", std::string(200000, 'd')) + END_OF_ARCHIVE;
  const size_t chunk = 50000;
  auto members = [&](const std::function<std::string(size_t, const std::string&)>& member) {
    std::string out;
    for (size_t at = 0, i = 0; at < tar.size(); at += chunk, ++i) out += member(i, tar.substr(at, chunk));
    return out;
  };
  auto installer_with = [](const std::vector<std::string>& entries) {
    return [entries](const Place&) {
      payloadtest::Layout layout;
      layout.stub = vektest::readFile(target().installer);
      layout.entries = entries;
      return payloadtest::join_installer(layout);
    };
  };
  const std::string good_second = payloadtest::bounded_members(file("second", "2") + END_OF_ARCHIVE);
  auto lie_at = [&](size_t victim, uint32_t announced) {
    return members([=](size_t i, const std::string& data) {
      return payloadtest::bounded_member(data, i == victim ? announced : 0);
    });
  };
  std::string flipped_crc = members([](size_t i, const std::string& data) {
    std::string m = payloadtest::bounded_member(data);
    if (i == 3) m[m.size() - 8] ^= 0x20;
    return m;
  });
  std::vector<HostileCase> cases = {
      {"member length reaching into the next entry", installer_with({lie_at(4, 1 << 19), good_second}),
       "Compressed entry data is truncated"},
      {"member length of 4 GiB", installer_with({lie_at(2, 0xfffffff0u), good_second}),
       "the gzip member's length is out of range"},
      {"member length shorter than the member", installer_with({lie_at(1, 1000), good_second}),
       "Compressed entry data is"},
      {"CRC of a later member flipped", installer_with({flipped_crc, good_second}), "incorrect data check"},
      {"positive control",
       installer_with(
           {members([](size_t, const std::string& d) { return payloadtest::bounded_member(d); }), good_second}),
       "",
       {{"data", std::string(200000, 'd')}, {"second", "2"}}},
  };
  run_all(cases);
}

}  // namespace
