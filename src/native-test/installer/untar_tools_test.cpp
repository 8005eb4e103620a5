// The tar reader with the file-writing operations on archives made by real
// tools: the extracted tree must equal what GNU tar extracts from the same
// archive (contents, modes, link targets, hard links sharing an inode), and
// the size pass must count that tree. Linux only: it runs the tools.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "untar_test_support.h"

namespace fs = std::filesystem;

namespace {

::testing::Environment* const library_env = ::testing::AddGlobalTestEnvironment(new untartest::LibraryEnvironment);

enum Feature : unsigned {
  kBasic = 0,
  kNamesOver255 = 1,     // ustar cannot hold them
  kLongLinkTargets = 2,  // link targets over 100 characters: ustar cannot hold them
  kDevices = 4,          // character and block devices (root only)
};

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 511) % 26);
  return s;
}

void writeFile(const fs::path& p, const std::string& content, mode_t mode) {
  vektest::writeFile(p.string(), content);
  ASSERT_EQ(0, chmod(p.c_str(), mode));
}

// The tree every tool archives. Returns the top-level names to archive.
std::vector<std::string> makeSourceTree(const fs::path& src, unsigned features) {
  fs::create_directories(src / "d");
  chmod((src / "d").c_str(), 0750);
  writeFile(src / "d/f.txt", "hello\n", 0640);
  writeFile(src / "empty", "", 0644);
  writeFile(src / "f10240", pattern(10240), 0600);
  writeFile(src / "f10241", pattern(10241), 0755);
  fs::create_hard_link(src / "d/f.txt", src / "hard");
  fs::create_symlink("d/f.txt", src / "rel");
  fs::create_symlink("nowhere/at/all", src / "dangling");
  // Over 100 characters, yet splittable into a ustar prefix and name.
  const fs::path long_name = fs::path("long") / std::string(60, 'a') / std::string(60, 'a');
  fs::create_directories(src / long_name.parent_path());
  writeFile(src / long_name, "long name\n", 0644);
  mkfifo((src / "fifo").c_str(), 0640);
  std::vector<std::string> names = {"d", "empty", "f10240", "f10241", "hard", "rel", "dangling", "long", "fifo"};
  if (features & kNamesOver255) {
    fs::path deep = src / "deep" / std::string(90, 'b') / std::string(90, 'c') / std::string(90, 'e');
    fs::create_directories(deep);
    writeFile(deep / "file", "deep\n", 0644);
    names.push_back("deep");
  }
  if (features & kLongLinkTargets) {
    fs::create_symlink(std::string(150, 'x'), src / "longtarget");
    fs::create_hard_link(src / long_name, src / "hardlong");
    names.insert(names.end(), {"longtarget", "hardlong"});
  }
  if (features & kDevices) {
    mknod((src / "null").c_str(), S_IFCHR | 0644, makedev(1, 3));
    mknod((src / "loop").c_str(), S_IFBLK | 0600, makedev(7, 200));
    names.insert(names.end(), {"null", "loop"});
  }
  return names;
}

mode_t currentMask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

std::string join(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& n : names) s += " '" + n + "'";
  return s;
}

int run(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One entry of an extracted tree as lstat and readlink see it.
struct Node {
  char kind;         // f d l p c b
  unsigned mode;     // permission bits (not for links)
  std::string data;  // file contents or link target
  dev_t rdev;        // devices
  bool operator==(const Node&) const = default;
};

struct Tree {
  std::map<std::string, Node> nodes;
  std::set<std::set<std::string>> hard_links;  // names sharing an inode
  bool operator==(const Tree&) const = default;
};

Tree snapshot(const fs::path& root) {
  Tree tree;
  std::map<ino_t, std::set<std::string>> inodes;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(e.path(), root).string();
    struct stat st;
    EXPECT_EQ(0, lstat(e.path().c_str(), &st)) << name;
    Node n{'?', static_cast<unsigned>(st.st_mode & 07777), "", 0};
    if (S_ISREG(st.st_mode)) {
      n.kind = 'f';
      n.data = vektest::readFile(e.path().string());
      if (st.st_nlink > 1) inodes[st.st_ino].insert(name);
    } else if (S_ISDIR(st.st_mode)) {
      n.kind = 'd';
    } else if (S_ISLNK(st.st_mode)) {
      n = {'l', 0, fs::read_symlink(e.path()).string(), 0};
    } else if (S_ISFIFO(st.st_mode)) {
      n.kind = 'p';
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
      n.kind = S_ISCHR(st.st_mode) ? 'c' : 'b';
      n.rdev = st.st_rdev;
    }
    tree.nodes[name] = n;
  }
  for (const auto& [ino, names] : inodes) tree.hard_links.insert(names);
  return tree;
}

std::string describe(const Tree& t) {
  std::string s;
  for (const auto& [name, n] : t.nodes)
    s += std::string(1, n.kind) + " " + std::to_string(n.mode) + " " + name +
         (n.kind == 'l' ? " -> " + n.data : " (" + std::to_string(n.data.size()) + " bytes)") + "\n";
  for (const auto& group : t.hard_links) {
    s += "linked:";
    for (const auto& name : group) s += " " + name;
    s += "\n";
  }
  return s;
}

// What the size pass must count for a tree: file data once per inode, 4096
// per directory, the target length per symbolic link.
vek_uint64_t expectedSize(const fs::path& root) {
  vek_uint64_t total = 0;
  std::set<ino_t> seen;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st;
    lstat(e.path().c_str(), &st);
    if (S_ISREG(st.st_mode) && seen.insert(st.st_ino).second) total += static_cast<vek_uint64_t>(st.st_size);
    if (S_ISDIR(st.st_mode)) total += 4096;
    if (S_ISLNK(st.st_mode)) total += fs::read_symlink(e.path()).string().size();
  }
  return total;
}

struct FdSource {
  int fd;
  static ssize_t read(void* ctx, void* buf, size_t count) {
    auto* self = static_cast<FdSource*>(static_cast<untar_context*>(ctx)->source);
    ssize_t n;
    do {
      n = ::read(self->fd, buf, count);
    } while (n == -1 && errno == EINTR);
    return n;
  }
};

// Runs the reader on an archive file with the given table, in `dir`.
bool readArchive(const fs::path& archive, const fs::path& dir, untartest::Ops kind, vek_uint64_t* bytes) {
  fs::path saved = fs::current_path();
  fs::create_directories(dir);
  fs::current_path(dir);
  FdSource source{open(archive.c_str(), O_RDONLY)};
  EXPECT_NE(-1, source.fd);
  untar_ops ops{};
  ops.read = FdSource::read;
  if (kind == untartest::Ops::kFile)
    init_file_untar_ops(&ops);
  else
    init_size_untar_ops(&ops);
  untar_context ctx{};
  ctx.source = &source;
  bool ok = extract_tar(&ops, &ctx);
  ok = finish_file_untar_ops(&ctx, ok) && ok;
  close(source.fd);
  fs::current_path(saved);
  if (bytes) *bytes = ctx.written_bytes;
  return ok;
}

struct ToolCase {
  const char* tool;
  std::string create;  // shell command; $SRC, $OUT and $NAMES are replaced
  unsigned features;
};

std::string expand(std::string command, const fs::path& src, const fs::path& out, const std::string& names) {
  for (auto [key, value] :
       {std::pair<std::string, std::string>{"$SRC", src.string()}, {"$OUT", out.string()}, {"$NAMES", names}})
    for (size_t at; (at = command.find(key)) != std::string::npos;) command.replace(at, key.size(), value);
  return command;
}

const char* const kPython =
    "cd '$SRC' && python3 -c 'import sys, tarfile\n"
    "with tarfile.open(sys.argv[1], \"w\", format=tarfile.%s) as t:\n"
    "    [t.add(n) for n in sys.argv[2:]]' '$OUT' $NAMES";

std::string python(const char* format) {
  char buf[512];
  snprintf(buf, sizeof buf, kPython, format);
  return buf;
}

std::vector<ToolCase> toolCases() {
  const unsigned all = kNamesOver255 | kLongLinkTargets | (geteuid() == 0 ? unsigned{kDevices} : 0u);
  const unsigned ustar = (geteuid() == 0 ? unsigned{kDevices} : 0u);
  return {
      {"GNU tar gnu", "tar --format=gnu -C '$SRC' -cf '$OUT' $NAMES", all},
      {"GNU tar oldgnu", "tar --format=oldgnu -C '$SRC' -cf '$OUT' $NAMES", all},
      {"GNU tar ustar", "tar --format=ustar -C '$SRC' -cf '$OUT' $NAMES", ustar},
      {"GNU tar ustar, no record padding", "tar --format=ustar -b 1 -C '$SRC' -cf '$OUT' $NAMES", ustar},
      {"bsdtar gnutar", "bsdtar --format=gnutar -C '$SRC' -cf '$OUT' $NAMES", all},
      {"bsdtar ustar", "bsdtar --format=ustar -C '$SRC' -cf '$OUT' $NAMES", ustar},
      {"busybox tar", "busybox tar -C '$SRC' -cf '$OUT' $NAMES", all},
      {"python tarfile gnu", python("GNU_FORMAT"), all},
      {"python tarfile ustar", python("USTAR_FORMAT"), ustar},
  };
}

TEST(UntarTools, ExtractsWhatGnuTarExtracts) {
  for (const auto& c : toolCases()) {
    SCOPED_TRACE(c.tool);
    vektest::TempDir dir;
    const fs::path src = dir.path() / "src", archive = dir.path() / "a.tar";
    auto names = makeSourceTree(src, c.features);
    ASSERT_EQ(0, run(expand(c.create, src, archive, join(names))));
    const fs::path ref_dir = dir.path() / "ref";
    fs::create_directory(ref_dir);
    ASSERT_EQ(0, run("tar --no-same-permissions -C '" + ref_dir.string() + "' -xf '" + archive.string() + "'"));
    ASSERT_TRUE(readArchive(archive, dir.path() / "ours", untartest::Ops::kFile, nullptr));
    Tree ref = snapshot(dir.path() / "ref"), ours = snapshot(dir.path() / "ours");
    EXPECT_TRUE(ref == ours) << "tar -x:\n" << describe(ref) << "ours:\n" << describe(ours);
    EXPECT_FALSE(ref.hard_links.empty());
    vek_uint64_t counted = 0;
    EXPECT_TRUE(readArchive(archive, dir.path() / "sizes", untartest::Ops::kSize, &counted));
    EXPECT_EQ(expectedSize(dir.path() / "ref"), counted);
    EXPECT_TRUE(fs::is_empty(dir.path() / "sizes")) << "the size pass creates nothing";
  }
}

// Archives whose entries come in an order tools do not write: links before
// their targets, a directory after its files.
TEST(UntarTools, OrderOfEntriesDoesNotMatter) {
  vektest::TempDir dir;
  const fs::path src = dir.path() / "src", archive = dir.path() / "a.tar";
  makeSourceTree(src, kBasic);
  ASSERT_EQ(0, run("cd '" + src.string() +
                   "' && python3 -c 'import sys, tarfile\n"
                   "with tarfile.open(sys.argv[1], \"w\", format=tarfile.GNU_FORMAT) as t:\n"
                   "    for n in [\"rel\", \"d/f.txt\", \"f10241\", \"d\"]: t.add(n, recursive=False)\n"
                   "    h = t.gettarinfo(\"f10241\"); h.name = \"hard_before\"; h.type = tarfile.LNKTYPE;"
                   " h.linkname = \"late\"; h.size = 0; t.addfile(h)\n"
                   "    t.add(\"f10240\", arcname=\"late\")' '" +
                   archive.string() + "'"));
  ASSERT_TRUE(readArchive(archive, dir.path() / "ours", untartest::Ops::kFile, nullptr));
  const fs::path ours = dir.path() / "ours";
  EXPECT_EQ("d/f.txt", fs::read_symlink(ours / "rel").string());
  EXPECT_EQ("hello\n", vektest::readFile((ours / "rel").string()));
  EXPECT_TRUE(fs::equivalent(ours / "hard_before", ours / "late"));
  EXPECT_EQ(pattern(10240), vektest::readFile((ours / "hard_before").string()));
  EXPECT_EQ(pattern(10241), vektest::readFile((ours / "f10241").string()));
}

// Regression: a directory entry after the files inside it, as these
// commands write it, kept the mode its parent creation gave it. Read-only
// directories come first in the usual order; tar -x still extracts into them.
TEST(UntarTools, DirectoryModesMatchGnuTarWhateverTheOrder) {
  const char* const commands[] = {
      "tar --format=gnu --no-recursion -C '$SRC' -cf '$OUT' d/f.txt d ro/sub/f ro/sub ro",
      "tar --format=gnu -C '$SRC' -cf '$OUT' d/f.txt ro/sub/f && "
      "tar --format=gnu --no-recursion -C '$SRC' -rf '$OUT' ro/sub d ro",
      "bsdtar --format=gnutar -n -C '$SRC' -cf '$OUT' d/f.txt d ro/sub/f ro ro/sub",
      "tar --format=ustar -C '$SRC' -cf '$OUT' d ro",
  };
  for (const char* command : commands) {
    SCOPED_TRACE(command);
    vektest::TempDir dir;
    const fs::path src = dir.path() / "src", archive = dir.path() / "a.tar";
    makeSourceTree(src, kBasic);
    fs::create_directories(src / "ro/sub");
    writeFile(src / "ro/sub/f", "read-only\n", 0444);
    chmod((src / "ro/sub").c_str(), 0500);
    chmod((src / "ro").c_str(), 0555);
    ASSERT_EQ(0, run(expand(command, src, archive, "")));
    const fs::path ref_dir = dir.path() / "ref";
    fs::create_directory(ref_dir);
    ASSERT_EQ(0, run("tar --no-same-permissions -C '" + ref_dir.string() + "' -xf '" + archive.string() + "'"));
    ASSERT_TRUE(readArchive(archive, dir.path() / "ours", untartest::Ops::kFile, nullptr));
    Tree ref = snapshot(ref_dir), ours = snapshot(dir.path() / "ours");
    EXPECT_TRUE(ref == ours) << "tar -x:\n" << describe(ref) << "ours:\n" << describe(ours);
    EXPECT_EQ(0750u & ~currentMask(), ours.nodes["d"].mode);
    EXPECT_EQ(0500u & ~currentMask(), ours.nodes["ro/sub"].mode);
    run("chmod -R u+rwx '" + dir.path().string() + "'");  // removable by a user who is not root
  }
}

// Extended headers are a dialect the installer does not read: refused, not
// misread as files.
TEST(UntarTools, PaxArchivesAreRefused) {
  const char* const commands[] = {
      "tar --format=posix -C '$SRC' -cf '$OUT' $NAMES",
      "bsdtar --format=pax -C '$SRC' -cf '$OUT' $NAMES",
  };
  for (const char* command : commands) {
    SCOPED_TRACE(command);
    vektest::TempDir dir;
    const fs::path src = dir.path() / "src", archive = dir.path() / "a.tar";
    auto names = makeSourceTree(src, kNamesOver255);
    ASSERT_EQ(0, run(expand(command, src, archive, join(names))));
    EXPECT_FALSE(readArchive(archive, dir.path() / "sizes", untartest::Ops::kSize, nullptr));
    EXPECT_FALSE(readArchive(archive, dir.path() / "ours", untartest::Ops::kFile, nullptr));
  }
}

// Hostile names written by Python's tarfile, which stores them as given.
TEST(UntarTools, HostileArchivesFromTarfileAreRefused) {
  // "/ABS/" stands for the test's own directory, so that a fault cannot
  // write anywhere else.
  const char* const names[] = {"../victim", "/ABS/victim", "/ABS/ex/../victim", "a/../../victim",
                               "../"
                               "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
                               "aaaaaaaaaaaaaaaaaaaaaaa/victim"};
  for (std::string name : names) {
    SCOPED_TRACE(name);
    untartest::ExtractionDir dir;
    if (name.starts_with("/ABS/")) name.replace(0, 5, dir.root().string() + "/");
    const fs::path archive = dir.root() / "a.tar";
    ASSERT_EQ(0, run("python3 -c 'import io, sys, tarfile\n"
                     "with tarfile.open(sys.argv[1], \"w\", format=tarfile.GNU_FORMAT) as t:\n"
                     "    i = tarfile.TarInfo(sys.argv[2]); i.size = 1; t.addfile(i, io.BytesIO(b\"x\"))' '" +
                     archive.string() + "' '" + name + "'"));
    EXPECT_FALSE(readArchive(archive, dir.ex(), untartest::Ops::kFile, nullptr));
    EXPECT_FALSE(fs::exists(dir.root() / "victim"));
    EXPECT_TRUE(fs::is_empty(dir.ex()));
  }
}

}  // namespace
