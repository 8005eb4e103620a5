// The packaging tool as a program: the layout it writes, deterministic
// archives, the tree kinds it keeps (read back by the installer's own
// extraction), the entries it refuses, and its listing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>

#include "file_untar_ops.h"
#include "payload.h"
#include "payload_test_support.h"
#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string output;
};

class MkInstaller : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool started = false;
    if (!started) vek_lifecycleInit();
    started = true;
  }

  Result mkinstaller(const std::string& args, const std::string& env = "") {
    std::string out = dir_.file("mk-output");
    int rc = std::system((env + " " MKINSTALLER_PATH " " + args + " >" + out + " 2>&1").c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, vektest::readFile(out)};
  }

  std::string pack(const std::string& entries, const std::string& name = "out", const std::string& env = "") {
    std::string out = dir_.file(name);
    Result r = mkinstaller("-s " INSTALLER_PATH " -o " + out + " " + entries, env);
    EXPECT_EQ(r.status, 0) << r.output;
    return out;
  }

  // The configuration programs the installers start, for either stub.
  static void add_programs(const std::string& root) {
    fs::create_directories(root + "/bin");
    vektest::writeFile(root + "/bin/zorva", "#!/bin/sh\nexit 0\n");
    chmod((root + "/bin/zorva").c_str(), 0755);
    vektest::writeFile(root + "/bin/zorva.exe", "MZ");
  }

  // A second payload entry holding only the configuration programs.
  std::string programs() {
    std::string root = dir_.file("programs");
    add_programs(root);
    return root;
  }

  // A tree with every kind the payload keeps.
  std::string make_tree() {
    std::string root = dir_.file("tree");
    add_programs(root);
    fs::create_directories(root + "/empty");
    vektest::writeFile(root + "/bin/tool", "#!/bin/sh\nexit 0\n");
    chmod((root + "/bin/tool").c_str(), 0750);
    std::string deep = root + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
    fs::create_directories(deep);
    vektest::writeFile(deep + "/long-named-file.txt", "deep");
    symlink(("../" + std::string(60, 'd') + "/" + std::string(60, 'e') + "/long-named-file.txt").c_str(),
            (root + "/bin/long-link").c_str());
    symlink("tool", (root + "/bin/short-link").c_str());
    vektest::writeFile(root + "/data", "shared");
    link((root + "/data").c_str(), (root + "/data-again").c_str());
    mkfifo((root + "/pipe").c_str(), 0640);
    if (geteuid() == 0) mknod((root + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3));
    return root;
  }

  vektest::TempDir dir_;
};

std::string inflate_all(const std::string& gz) {
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  inflateInit2(&zs, 16 + MAX_WBITS);
  std::string out;
  char buffer[65536];
  zs.next_in = (Bytef*)const_cast<char*>(gz.data());
  zs.avail_in = (uInt)gz.size();
  int rc;
  do {
    zs.next_out = (Bytef*)buffer;
    zs.avail_out = sizeof buffer;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - zs.avail_out);
  } while (rc == Z_OK);
  inflateEnd(&zs);
  return out;
}

TEST_F(MkInstaller, LayoutIsStubEntriesTableAndTrailer) {
  std::string tree = make_tree();
  std::string installer = pack(tree + " " + tree);
  struct stat st;
  ASSERT_EQ(stat(installer.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  std::string bytes = vektest::readFile(installer);
  std::string stub = vektest::readFile(INSTALLER_PATH);
  ASSERT_GT(bytes.size(), stub.size() + 16);
  EXPECT_EQ(bytes.substr(0, stub.size()), stub);
  payloadtest::Layout layout;
  ASSERT_TRUE(payloadtest::split_installer(bytes, &layout));
  EXPECT_EQ(layout.stub, stub);
  ASSERT_EQ(layout.entries.size(), 2u);
  EXPECT_EQ(layout.entries[0], layout.entries[1]);
  // Zero bytes between the table and the trailer make the file a multiple of
  // 8 bytes, so that a signing tool adds no padding of its own.
  EXPECT_EQ(bytes.size() % 8, 0u);
  size_t padding = (8 - (stub.size() + 2 * layout.entries[0].size() + 24 + 16) % 8) % 8;
  EXPECT_TRUE(payloadtest::join_installer(layout, 1, 0, padding) == bytes)
      << "table and trailer differ from the format";
  // gzip header: only the extra field (the member's length), zero time
  EXPECT_EQ((unsigned char)layout.entries[0][3], 0x04);
  EXPECT_EQ(layout.entries[0].substr(4, 4), std::string(4, '\0'));
}

// The end of the archive (two zero blocks, then zeros to a whole record)
// for every position of the last entry within a record.
TEST_F(MkInstaller, ArchiveEndsWithZerosOnAWholeRecord) {
  std::string tree = dir_.file("sized");
  for (size_t blocks = 0; blocks < 20; ++blocks) {
    SCOPED_TRACE("data blocks: " + std::to_string(blocks));
    fs::remove_all(tree);
    fs::create_directories(tree);
    std::string data(blocks * 512, 'x');
    vektest::writeFile(tree + "/f", data);
    payloadtest::Layout layout;
    ASSERT_TRUE(payloadtest::split_installer(vektest::readFile(pack(tree + " " + programs())), &layout));
    std::string tar = inflate_all(layout.entries[0]);
    ASSERT_EQ(tar.size() % 10240, 0u);
    size_t end = tar.find(data, 512) + data.size();
    ASSERT_GE(tar.size() - end, 1024u);
    EXPECT_EQ(tar.find_first_not_of('\0', end), std::string::npos);
  }
}

TEST_F(MkInstaller, ArchivesAreDeterministic) {
  std::string tree = make_tree();
  std::string first = vektest::readFile(pack(tree, "first"));
  struct utimbuf times = {12345, 67890};
  utime((tree + "/data").c_str(), &times);
  chown((tree + "/bin/tool").c_str(), 1000, 1000);
  EXPECT_EQ(vektest::readFile(pack(tree, "second")), first) << "times or owners leaked into the archive";

  std::string dated = vektest::readFile(pack(tree, "dated", "SOURCE_DATE_EPOCH=1234567890"));
  payloadtest::Layout layout;
  ASSERT_TRUE(payloadtest::split_installer(dated, &layout));
  std::string tar = inflate_all(layout.entries[0]);
  ASSERT_GE(tar.size(), 512u);
  char expected_mtime[12];
  snprintf(expected_mtime, sizeof expected_mtime, "%011o", 1234567890u);
  EXPECT_EQ(tar.substr(136, 11), expected_mtime);
  EXPECT_EQ(tar.substr(257, 8), std::string("ustar  \0", 8)) << "not the old GNU format";
  EXPECT_EQ(tar.substr(108, 7), "0000000");  // uid
  EXPECT_EQ(tar.substr(116, 7), "0000000");  // gid
  EXPECT_NE(tar.find("././@LongLink"), std::string::npos);

  Result bad = mkinstaller("-s " INSTALLER_PATH " -o " + dir_.file("x") + " " + tree, "SOURCE_DATE_EPOCH=soon");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.output.find("SOURCE_DATE_EPOCH"), std::string::npos);
}

// What the installer's own extraction makes of a packed tree.
TEST_F(MkInstaller, InstallerExtractsEveryKindOfEntry) {
  std::string tree = make_tree();
  std::string installer = pack(tree);
  std::string dest = dir_.file("dest");
  fs::create_directories(dest);
  std::string cwd = fs::current_path().string();
  ASSERT_EQ(chdir(dest.c_str()), 0);
  toc_entries toc;
  ASSERT_TRUE(init_toc(installer.c_str(), &toc, nullptr));
  untar_ops ops;
  init_file_untar_ops(&ops);
  ops.read = read_func;
  toc_entry entry;
  ASSERT_TRUE(read_entry_from_toc(&toc, &entry));
  EXPECT_TRUE(extract_tarball(&entry, &ops, nullptr));
  close_toc(&toc);
  ASSERT_EQ(chdir(cwd.c_str()), 0);

  std::string long_file = "/" + std::string(60, 'd') + "/" + std::string(60, 'e') + "/long-named-file.txt";
  EXPECT_EQ(vektest::readFile(dest + long_file), "deep");
  EXPECT_EQ(fs::read_symlink(dest + "/bin/long-link"), fs::read_symlink(tree + "/bin/long-link"));
  EXPECT_EQ(vektest::readFile(dest + "/bin/long-link"), "deep");
  EXPECT_EQ(fs::read_symlink(dest + "/bin/short-link"), "tool");
  EXPECT_TRUE(fs::is_directory(dest + "/empty"));
  struct stat a, b, tool, pipe;
  ASSERT_EQ(stat((dest + "/data").c_str(), &a), 0);
  ASSERT_EQ(stat((dest + "/data-again").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino) << "hard link not kept";
  ASSERT_EQ(stat((dest + "/bin/tool").c_str(), &tool), 0);
  EXPECT_EQ(tool.st_mode & 0777, 0750u);
  ASSERT_EQ(lstat((dest + "/pipe").c_str(), &pipe), 0);
  EXPECT_TRUE(S_ISFIFO(pipe.st_mode));
  if (geteuid() == 0) {
    struct stat dev;
    ASSERT_EQ(lstat((dest + "/null").c_str(), &dev), 0);
    EXPECT_TRUE(S_ISCHR(dev.st_mode));
    EXPECT_EQ(dev.st_rdev, makedev(1, 3));
  }
}

// Archives are taken as they are only when the installer's reader takes
// them; what cannot be represented is refused with the entry's name.
TEST_F(MkInstaller, RefusesWhatTheInstallerCannotExtract) {
  std::string src = dir_.file("src");
  fs::create_directories(src);
  vektest::writeFile(src + "/file", "content");
  std::string good = payloadtest::gzip_member(payloadtest::tar_of({{"file", "content"}}));
  std::string cut = dir_.file("cut.tar.gz");
  vektest::writeFile(cut, good.substr(0, good.size() - 4));
  auto archive_of = [&](const std::string& name, const std::string& tar) {
    std::string path = dir_.file(name);
    vektest::writeFile(path, payloadtest::gzip_member(tar));
    return path;
  };
  std::string absolute = archive_of("abs.tar.gz", payloadtest::tar_of({{"/etc/evil", "x"}}));
  std::string parent = archive_of("up.tar.gz", payloadtest::tar_of({{"a/../../evil", "x"}}));
  std::string devices = dir_.file("dev.tar");
  ASSERT_EQ(
      std::system(
          ("mkfifo " + src + "/fifo && bsdtar -cf " + devices + " -C " + src + " fifo && rm " + src + "/fifo").c_str()),
      0);
  std::string windows_stub = dir_.file("stub.exe");
  vektest::writeFile(windows_stub, "MZ" + std::string(1000, '\0'));
  struct Case {
    const char* name;
    std::string stub;
    std::string entry;
    const char* message;
  };
  const Case cases[] = {
      {"truncated gzip", INSTALLER_PATH, cut, "cut.tar.gz"},
      {"missing", INSTALLER_PATH, dir_.file("nothing.tar.gz"), "cannot read"},
      {"not an archive", INSTALLER_PATH, windows_stub, "cannot read"},
      {"absolute name", INSTALLER_PATH, absolute, "entry /etc/evil: absolute names are refused"},
      {"parent reference", INSTALLER_PATH, parent, "entry a/../../evil: names with a \"..\" component"},
      {"FIFO in a Windows payload", windows_stub, devices, "entry fifo: the Windows installer cannot create"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = dir_.file("refused");
    Result r = mkinstaller("-s " + c.stub + " -o " + out + " " + src + " " + c.entry);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(out)) << "an unusable installer was written";
  }
  for (const auto& item : fs::directory_iterator(dir_.str()))
    EXPECT_EQ(item.path().filename().string().rfind("refused.", 0), std::string::npos) << "temporary file left";
}

// The GNU records before each header of the first tar stream of `installer`.
std::vector<std::string> header_sequence(const std::string& installer) {
  toc_entries toc;
  toc_entry entry;
  if (!init_toc(installer.c_str(), &toc, nullptr) || !read_entry_from_toc(&toc, &entry)) return {};
  close_toc(&toc);
  std::string tar =
      inflate_all(vektest::readFile(installer).substr((size_t)entry.offset, (size_t)(entry.end_offset - entry.offset)));
  std::vector<std::string> sequence;
  std::string pending;
  for (size_t at = 0; at + 512 <= tar.size();) {
    char type = tar[at + 156];
    if (tar[at] == '\0') break;
    uint64_t size = std::strtoull(tar.substr(at + 124, 12).c_str(), nullptr, 8);
    pending += type;
    if (type != 'K' && type != 'L') {
      sequence.push_back(pending + " " + tar.substr(at, strnlen(&tar[at], 100)).substr(0, 12));
      pending.clear();
    }
    at += 512 + (size + 511) / 512 * 512;
  }
  return sequence;
}

// Regression: a link with a long name was written as an 'L' record and the
// link header, which the reader refuses, so such a tree could not be packed.
TEST_F(MkInstaller, LongNamedLinksAreWrittenAsTheReaderTakesThem) {
  std::string root = dir_.file("links");
  fs::create_directories(root);
  vektest::writeFile(root + "/t", "target");
  const std::string long_name(120, 'n');
  fs::create_symlink("t", root + "/s" + long_name);            // long name, short target
  fs::create_symlink("t" + long_name, root + "/short");        // short name, long target
  fs::create_hard_link(root + "/t", root + "/x" + long_name);  // hard link with a long name
  std::vector<std::string> sequence = header_sequence(pack(root + " " + programs()));
  const std::vector<std::string> expected = {"K2 short", "KL2 snnnnnnnnnnn", "0 t", "KL1 xnnnnnnnnnnn"};
  EXPECT_EQ(sequence, expected);
}

// With --keep-gzip, archives the reader takes go in byte for byte; others
// are rewritten all the same.
TEST_F(MkInstaller, ReadableArchivesAreKeptOthersRewritten) {
  std::string src = dir_.file("src");
  fs::create_directories(src);
  vektest::writeFile(src + "/file", "content");
  struct Case {
    const char* what;
    std::string command;  // writes ARCHIVE from src
    bool kept;
  };
  const Case cases[] = {
      {"GNU tar, gzip", "tar --format=gnu -czf ARCHIVE -C SRC file", true},
      {"ustar, gzip", "tar --format=ustar -czf ARCHIVE -C SRC file", true},
      {"pax, gzip", "bsdtar --format pax -czf ARCHIVE -C SRC file", false},
      {"GNU tar, not compressed", "tar --format=gnu -cf ARCHIVE -C SRC file", false},
      {"GNU tar, xz", "tar --format=gnu -cJf ARCHIVE -C SRC file", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string archive = dir_.file("archive");
    std::string command =
        std::regex_replace(std::regex_replace(c.command, std::regex("ARCHIVE"), archive), std::regex("SRC"), src);
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string installer = pack("--keep-gzip " + archive + " " + programs());
    std::string original = vektest::readFile(archive);
    EXPECT_EQ(vektest::readFile(installer).find(original) != std::string::npos, c.kept);
    EXPECT_EQ(header_sequence(installer), std::vector<std::string>{"0 file"});
    fs::remove(archive);
  }
}

TEST_F(MkInstaller, ListsEntriesWithOffsetsAndFiles) {
  std::string tree = make_tree();
  std::string installer = pack(tree + " " + tree);
  Result r = mkinstaller("-l " + installer);
  ASSERT_EQ(r.status, 0) << r.output;
  std::string stub_size = std::to_string(fs::file_size(INSTALLER_PATH));
  EXPECT_NE(r.output.find("entry 1: offset " + stub_size + ","), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("entry 2: offset "), std::string::npos);
  EXPECT_NE(r.output.find("bin/short-link -> tool"), std::string::npos);
  EXPECT_NE(r.output.find("data-again link to data"), std::string::npos);

  Result bad = mkinstaller("-l " INSTALLER_PATH);
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.output.find("carries no readable payload"), std::string::npos) << bad.output;
}

// ---- Bounded members, re-compression, signed stubs ----------------------------

// Runs a shell command; its standard output.
std::string shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  pclose(pipe);
  return out;
}

uint32_t le32_at(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | (unsigned char)bytes[at + (size_t)i];
  return value;
}

// Every member of a packed entry announces its own length, holds at most
// 512 KiB of tar data (all but the last exactly that much), and the whole is
// plain gzip that gzip -d and tar read.
TEST_F(MkInstaller, EntriesAreBoundedMembersThatGzipReads) {
  std::string tree = dir_.file("big-tree");
  add_programs(tree);
  std::string noise(2500000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = (char)((i * 2654435761u) >> 13);
  vektest::writeFile(tree + "/noise.bin", noise);
  vektest::writeFile(tree + "/text.txt", std::string(1500000, 't'));
  std::string installer = pack(tree);
  payloadtest::Layout layout;
  ASSERT_TRUE(payloadtest::split_installer(vektest::readFile(installer), &layout));
  const std::string& entry = layout.entries[0];
  std::vector<uint32_t> lengths;
  for (size_t at = 0; at < entry.size();) {
    ASSERT_GE(entry.size() - at, 28u);
    ASSERT_EQ(entry.substr(at, 4), std::string("\x1f\x8b\x08\x04", 4)) << "member at " << at;
    ASSERT_EQ(entry.substr(at + 12, 4), std::string("VM\x04\0", 4)) << "member at " << at;
    uint32_t size = le32_at(entry, at + 16);
    ASSERT_LE(at + size, entry.size());
    lengths.push_back(le32_at(entry, at + size - 4));
    at += size;
  }
  ASSERT_GE(lengths.size(), 8u);
  for (size_t i = 0; i + 1 < lengths.size(); ++i) EXPECT_EQ(lengths[i], 1u << 19) << "member " << i;
  EXPECT_LE(lengths.back(), 1u << 19);
  std::string gz = dir_.file("entry.tar.gz");
  vektest::writeFile(gz, entry);
  std::string listing = shell("gzip -dc " + gz + " | tar -tvf - 2>&1");
  EXPECT_NE(listing.find("2500000"), std::string::npos) << listing;
  EXPECT_NE(listing.find("text.txt"), std::string::npos) << listing;
  EXPECT_EQ(shell("gzip -dc " + gz + " | tar -xOf - noise.bin"), noise);
}

// A .tar.gz is re-compressed into bounded members with the same tar data
// (zero padding after its last member accepted, as gzip -d does), or copied
// byte for byte with --keep-gzip; damage is refused either way.
TEST_F(MkInstaller, TarGzEntriesAreRecompressedUnlessKept) {
  std::string src = make_tree();
  fs::remove(src + "/pipe");
  if (fs::exists(src + "/null")) fs::remove(src + "/null");
  std::string archive = dir_.file("gnu.tar.gz");
  ASSERT_EQ(std::system(("tar --format=gnu -C " + src + " -cf - . | gzip -9 >" + archive).c_str()), 0);
  std::string original = vektest::readFile(archive);
  std::string tar = shell("gzip -dc " + archive);
  ASSERT_FALSE(tar.empty());

  payloadtest::Layout layout;
  ASSERT_TRUE(payloadtest::split_installer(vektest::readFile(pack(archive, "recompressed")), &layout));
  EXPECT_EQ(layout.entries[0].substr(12, 2), "VM") << "not re-compressed into bounded members";
  std::string again = dir_.file("again.tar.gz");
  vektest::writeFile(again, layout.entries[0]);
  EXPECT_TRUE(shell("gzip -dc " + again) == tar) << "the tar data changed";

  ASSERT_TRUE(payloadtest::split_installer(vektest::readFile(pack("--keep-gzip " + archive, "kept")), &layout));
  EXPECT_TRUE(layout.entries[0] == original) << "--keep-gzip changed the entry";

  std::string padded = dir_.file("padded.tar.gz");
  vektest::writeFile(padded, original + std::string(300, '\0'));
  ASSERT_TRUE(payloadtest::split_installer(vektest::readFile(pack(padded, "padded")), &layout));
  vektest::writeFile(again, layout.entries[0]);
  EXPECT_TRUE(shell("gzip -dc " + again) == tar);

  std::string junk = dir_.file("junk.tar.gz");
  vektest::writeFile(junk, original + std::string(10, '\0') + "junk");
  Result r = mkinstaller("-s " INSTALLER_PATH " -o " + dir_.file("junk-out") + " " + junk);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("data after the last gzip member"), std::string::npos) << r.output;
}

// A signed stub's certificate table would end up inside the installer, where
// it signs nothing: it is cut off with a notice, and the table's directory
// entry cleared. A table that does not end the stub cannot be cut off.
TEST_F(MkInstaller, SignedStubLosesItsSignature) {
  std::string tree = make_tree();
  fs::remove(tree + "/pipe");  // a Windows payload holds no FIFOs or devices
  fs::remove(tree + "/null");
  std::string pe = payloadtest::minimal_pe();
  std::string stub = dir_.file("signed-stub.exe");
  vektest::writeFile(stub, payloadtest::with_certificate(pe, 0));
  std::string out = dir_.file("from-signed");
  Result r = mkinstaller("-s " + stub + " -o " + out + " " + tree);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("is signed; its signature is removed"), std::string::npos) << r.output;
  std::string bytes = vektest::readFile(out);
  EXPECT_EQ(bytes.substr(0, pe.size()), pe) << "the stub must be the unsigned image";
  EXPECT_EQ(bytes.size() % 8, 0u);
  EXPECT_EQ(mkinstaller("-l " + out).status, 0);

  std::string odd = payloadtest::with_certificate(pe, 0);
  payloadtest::put_le32(&odd, payloadtest::pe::kCertEntryAt + 4, 0x100);  // ends before the file does
  vektest::writeFile(stub, odd);
  r = mkinstaller("-s " + stub + " -o " + dir_.file("refused") + " " + tree);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("certificate table that does not end the file"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(dir_.file("refused")));
}

// ---- What the installer would make, checked at packing time -------------------

// One entry of an archive written by Python's tarfile: 'f' file (mode
// 0644), 'x' executable file, 'd' directory, 's' symbolic link, 'h' hard link;
// `arg` is the content or the link's target. Names are bytes, as given.
struct Item {
  char kind;
  std::string name;
  std::string arg;
};

const char* const TARFILE_SCRIPT = R"(import io, sys, tarfile
with tarfile.open(sys.argv[1], 'w:gz', format=tarfile.GNU_FORMAT, encoding='utf-8', errors='surrogateescape') as t:
    for item in sys.argv[2:]:
        kind, name, arg = item.split('\t')
        i = tarfile.TarInfo(name)
        i.mode = 0o755 if kind in 'xd' else 0o644
        i.type = {'f': tarfile.REGTYPE, 'x': tarfile.REGTYPE, 'd': tarfile.DIRTYPE, 's': tarfile.SYMTYPE, 'h': tarfile.LNKTYPE}[kind]
        data = arg.encode('utf-8', 'surrogateescape') if kind in 'fx' else b''
        if kind in 'sh': i.linkname = arg
        i.size = len(data)
        t.addfile(i, io.BytesIO(data))
)";

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Every entry below root as kind, mode, content or target; hard-link groups.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> tree;
  std::map<ino_t, std::string> groups;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    struct stat st;
    if (lstat(item.path().c_str(), &st) != 0) continue;
    std::string name = item.path().string().substr(root.size());
    std::string what = S_ISDIR(st.st_mode)   ? "dir"
                       : S_ISLNK(st.st_mode) ? "link " + fs::read_symlink(item.path()).string()
                                             : "file " + vektest::readFile(item.path().string());
    if (!S_ISLNK(st.st_mode)) what += " mode " + std::to_string(st.st_mode & 07777);
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) groups[st.st_ino] += name + " ";
    tree[name] = what;
  }
  for (const auto& [ino, names] : groups) tree["linked: " + names] = "";
  return tree;
}

class PackingChecks : public MkInstaller {
 protected:
  std::string archive(const std::vector<Item>& items) {
    std::string path = dir_.file("a" + std::to_string(++archives_) + ".tar.gz");
    std::string command = "python3 -c " + quoted(TARFILE_SCRIPT) + " " + path;
    for (const Item& item : items)
      command += " " + quoted(std::string(1, item.kind) + "\t" + item.name + "\t" + item.arg);
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
  }

  std::string windows_stub() {
    std::string stub = dir_.file("stub.exe");
    vektest::writeFile(stub, "MZ" + std::string(1000, '\0'));
    return stub;
  }

  // Extracts every entry of `installer` into `dest` with the installer's own
  // file-writing operations, as its extraction pass does.
  bool install_in_process(const std::string& installer, const std::string& dest) {
    fs::create_directories(dest);
    std::string cwd = fs::current_path().string();
    if (chdir(dest.c_str()) != 0) return false;
    toc_entries toc;
    bool ok = init_toc(installer.c_str(), &toc, nullptr);
    untar_ops ops;
    init_file_untar_ops(&ops);
    ops.read = read_func;
    toc_entry entry;
    while (ok && read_entry_from_toc(&toc, &entry)) ok = extract_tarball(&entry, &ops, nullptr);
    if (ok) close_toc(&toc);
    return chdir(cwd.c_str()) == 0 && ok;
  }

  // Packs `archive` (followed by the configuration programs unless it
  // holds them) and installs it in process; what bsdtar extracts from the
  // same entries must be what the installer made.
  void expect_installed_as_bsdtar_extracts(const std::string& archive, bool with_programs) {
    std::string reference = dir_.file("ref" + std::to_string(++archives_));
    fs::create_directories(reference);
    std::string entries = archive + (with_programs ? " " + programs() : "");
    ASSERT_EQ(std::system(("bsdtar -xpf " + archive + " -C " + reference).c_str()), 0);
    if (with_programs) {
      ASSERT_EQ(std::system(("cp -a " + programs() + "/. " + reference).c_str()), 0);
    }
    std::string installer = pack(entries, "installer" + std::to_string(archives_));
    std::string dest = dir_.file("dest" + std::to_string(archives_));
    ASSERT_TRUE(install_in_process(installer, dest));
    auto expected = snapshot(reference), got = snapshot(dest);
    EXPECT_EQ(got, expected);
  }

  int archives_ = 0;
};

// Regression: the read-back ran the size operations, which take any name,
// so installers were written that the installer then refused or extracted
// wrongly. Each case is refused at packing time, naming the entry.
TEST_F(PackingChecks, RefusesWhatTheInstallerWouldRefuseOrMakeWrongly) {
  struct Case {
    const char* what;
    bool windows;
    std::vector<std::vector<Item>> archives;
    bool with_programs;  // a last entry holds the configuration programs
    const char* message;
  };
  const std::string hard_to = "hard links to an absolute target or one with a \"..\" component";
  const std::string reserved = "reserved device name";
  const std::string character = "a character Windows cannot hold";
  const std::vector<Case> cases = {
      {"hard link to an absolute target", false, {{{'h', "x", "/etc/passwd"}}}, true, hard_to.c_str()},
      {"hard link upwards", false, {{{'h', "x", "../../x"}}}, true, hard_to.c_str()},
      {"hard link to nothing",
       false,
       {{{'h', "x", "nothing"}}},
       true,
       "refusing x: the link's target nothing is made by no entry"},
      {"path under a link of an earlier archive",
       false,
       {{{'s', "lib", "/usr/lib"}}, {{'f', "lib/x.jar", "x"}}},
       true,
       "refusing lib/x.jar: path goes through symbolic link lib"},
      {"link and a path under it in one archive",
       false,
       {{{'s', "lib", "/usr/lib"}, {'f', "lib/x.jar", "x"}}},
       true,
       "refusing lib: the installer cannot make a symbolic link where an earlier entry made a directory"},
      {"name below a file",
       false,
       {{{'f', "a", "x"}, {'f', "a/b", "y"}}},
       true,
       "refusing a/b: a is a file made by an earlier entry, not a directory"},
      {"file where a directory stands",
       false,
       {{{'d', "a", ""}, {'f', "a", "y"}}},
       true,
       "refusing a: the installer cannot make a file where an earlier entry made a directory"},
      {"no configuration program",
       false,
       {{{'f', "README", "x"}}},
       false,
       "no entry holds the configuration program the Linux installer starts, bin/zorva"},
      {"configuration program not executable",
       false,
       {{{'f', "bin/zorva", "x"}}},
       false,
       "the configuration program bin/zorva is not executable (mode 0644)"},
      {"CON", true, {{{'f', "CON", "x"}}}, true, reserved.c_str()},
      {"nul.txt", true, {{{'f', "nul.txt", "x"}}}, true, reserved.c_str()},
      {"inc/aux.h", true, {{{'f', "inc/aux.h", "x"}}}, true, reserved.c_str()},
      {"Com1 as a directory", true, {{{'f', "Com1/x", "x"}}}, true, reserved.c_str()},
      {"LPT9.log", true, {{{'f', "LPT9.log", "x"}}}, true, reserved.c_str()},
      {"CONIN$", true, {{{'f', "CONIN$", "x"}}}, true, reserved.c_str()},
      {"conout$.txt", true, {{{'f', "conout$.txt", "x"}}}, true, reserved.c_str()},
      {"<", true, {{{'f', "a<b", "x"}}}, true, character.c_str()},
      {"?", true, {{{'f', "what?", "x"}}}, true, character.c_str()},
      {"*", true, {{{'f', "star*", "x"}}}, true, character.c_str()},
      {"|", true, {{{'f', "pipe|", "x"}}}, true, character.c_str()},
      {"quote", true, {{{'f', "say\"", "x"}}}, true, character.c_str()},
      {"control character", true, {{{'f', "bell\a", "x"}}}, true, "refusing bell\\x07"},
      {"three dots", true, {{{'f', "a/.../b", "x"}}}, true, "parent directory reference in a/.../b"},
      {"names differing in case",
       true,
       {{{'f', "Docs/a", "x"}, {'f', "docs/b", "y"}}},
       true,
       "docs and Docs differ only in case or in trailing dots or blanks"},
      {"names differing in a trailing dot",
       true,
       {{{'f', "readme.", "x"}}, {{'f', "readme", "y"}}},
       true,
       "readme and readme. differ only in case or in trailing dots or blanks"},
      {"name that is not UTF-8", true, {{{'f', "caf\xe9", "x"}}}, true, "not valid UTF-8"},
      {"no Windows configuration program",
       true,
       {{{'f', "bin/zorva", "x"}}},
       false,
       "no entry holds the configuration program the Windows installer starts, bin/zorva.exe"},
      {"symbolic link out of the tree",
       true,
       {{{'s', "jdk", "/usr/lib/jvm"}}},
       true,
       "symbolic link jdk leads out of the tree"},
      {"cycle of symbolic links", true, {{{'d', "d", ""}, {'s', "d/loop", ".."}}}, true, "is part of a cycle of links"},
  };
  std::string stub = windows_stub();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string entries;
    for (const auto& items : c.archives) entries += " " + archive(items);
    if (c.with_programs) entries += " " + programs();
    std::string out = dir_.file("refused");
    Result r = mkinstaller("-s " + (c.windows ? stub : std::string(INSTALLER_PATH)) + " -o " + out + entries);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(out)) << "an unusable installer was written";
  }
  for (const auto& item : fs::directory_iterator(dir_.str()))
    EXPECT_EQ(item.path().filename().string().rfind("refused.", 0), std::string::npos) << "temporary left";
}

// Regression: cpio "newc" (and so an RPM's payload) gives a hard-link
// group's data with its last name; every name was written empty.
TEST_F(PackingChecks, HardLinkedDataOfCpioAndRpmArchivesIsKept) {
  std::string src = dir_.file("linked");
  fs::create_directories(src + "/d");
  vektest::writeFile(src + "/a", "shared data\n");
  fs::create_hard_link(src + "/a", src + "/b");
  fs::create_hard_link(src + "/a", src + "/d/c");
  vektest::writeFile(src + "/empty", "");
  fs::create_hard_link(src + "/empty", src + "/empty-too");
  vektest::writeFile(src + "/d/plain", "plain\n");
  fs::create_symlink("../a", src + "/d/s");
  std::string cpio = dir_.file("newc.cpio");
  ASSERT_EQ(std::system(("cd " + src + " && find . | bsdcpio -o -H newc --quiet >" + cpio).c_str()), 0);
  // An RPM: its lead, an empty signature and header, and a gzip-compressed
  // newc payload; no rpm tool is needed to make one.
  std::string rpm = dir_.file("package.rpm");
  ASSERT_EQ(std::system(("python3 -c " + quoted(R"(import gzip, struct, sys
lead = b'\xed\xab\xee\xdb' + bytes([3, 0]) + struct.pack('>hh', 0, 1) + b'moravel'.ljust(66, b'\0') + struct.pack('>hh', 1, 5) + bytes(16)
header = b'\x8e\xad\xe8\x01' + bytes(4) + struct.pack('>ii', 0, 0)
open(sys.argv[2], 'wb').write(lead + header + header + gzip.compress(open(sys.argv[1], 'rb').read()))
)") + " " + cpio + " " + rpm)
                            .c_str()),
            0);
  for (const std::string& archive : {cpio, rpm}) {
    SCOPED_TRACE(archive);
    expect_installed_as_bsdtar_extracts(archive, true);
  }
}

// Regression: archives the installer's reader cannot read as they stand were
// refused, and GNU incremental archives (times where the reader looks for a
// name prefix) installed under a directory named after a number. They are
// rewritten, and install as bsdtar extracts them.
TEST_F(PackingChecks, ArchivesTheReaderMisreadsAreRewritten) {
  std::string src = dir_.file("product");
  add_programs(src);
  fs::create_directories(src + "/docs");
  vektest::writeFile(src + "/docs/readme.txt", "readme\n");
  fs::create_hard_link(src + "/docs/readme.txt", src + "/docs/hard.txt");
  {
    std::ofstream holes(src + "/docs/holes.bin", std::ios::binary);
    holes.seekp(1 << 20);
    holes << "middle";
    holes.seekp(3 << 20);
    holes << "end";
  }
  const std::string out = dir_.str() + "/";
  const std::string python = "python3 -c ";
  // The forms a Java archiver writes (a hard link whose header gives the
  // size of its target, with no data after it) and a redundant GNU long-name
  // record (an 'L' record that the next 'L' record replaces), laid out byte
  // by byte.
  const std::string crafted = R"(import gzip, sys, tarfile
def header(name, kind, size=0, mode=0o644, link='', form=tarfile.USTAR_FORMAT):
    i = tarfile.TarInfo(name); i.type = kind; i.size = size; i.mode = mode; i.linkname = link
    return i.tobuf(format=form)
def padded(data): return data + bytes(-len(data) % 512)
def long_name(name): return header('././@LongLink', tarfile.GNUTYPE_LONGNAME, len(name) + 1, form=tarfile.GNU_FORMAT) + padded(name.encode() + b'\0')
zorva = open('bin/zorva', 'rb').read()
if sys.argv[1] == 'java':
    body = header('bin/zorva', tarfile.REGTYPE, len(zorva), 0o755) + padded(zorva)
    body += header('bin/zorva-again', tarfile.LNKTYPE, len(zorva), 0o755, 'bin/zorva')
else:
    body = long_name('bin/ignored-' + 'x' * 120) + long_name('bin/zorva') + header('bin/zorva', tarfile.REGTYPE, len(zorva), 0o755, form=tarfile.GNU_FORMAT) + padded(zorva)
open(sys.argv[2], 'wb').write(gzip.compress(body + bytes(1024)))
)";
  struct Case {
    const char* what;
    const char* archive;
    std::string command;  // run in the product tree
  };
  const Case cases[] = {
      {"pax global header", "pax-global.tar.gz",
       python +
           quoted("import tarfile, sys\nwith tarfile.open(sys.argv[1], 'w:gz', format=tarfile.PAX_FORMAT, "
                  "pax_headers={'comment': 'moravel'}) as t: t.add('.')") +
           " " + out + "pax-global.tar.gz"},
      {"GNU volume label", "label.tar.gz", "tar --format=gnu -V 'Moravel 1.0' -czf " + out + "label.tar.gz ."},
      {"sparse entry", "sparse.tar.gz", "tar --sparse --format=gnu -czf " + out + "sparse.tar.gz ."},
      {"redundant long-name record", "long.tar.gz", python + quoted(crafted) + " long " + out + "long.tar.gz"},
      {"Java archiver", "java.tar.gz", python + quoted(crafted) + " java " + out + "java.tar.gz"},
      {"GNU incremental", "incremental.tar.gz", "tar -g " + out + "snapshot -czf " + out + "incremental.tar.gz ."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(std::system(("cd " + src + " && " + c.command).c_str()), 0);
    expect_installed_as_bsdtar_extracts(out + c.archive, false);
  }
}

// Regression: a signed stub whose certificate table starts inside the
// headers made the packer clear fields past the end of what it kept.
TEST_F(PackingChecks, CertificateTableInsideTheHeadersIsRefused) {
  std::string pe = payloadtest::minimal_pe();
  payloadtest::put_le32(&pe, payloadtest::pe::kOptionalAt + 60, 0);                 // SizeOfHeaders
  payloadtest::put_le32(&pe, payloadtest::pe::kOptionalAt + 112 + 8 * 16 + 16, 0);  // the section's raw size
  payloadtest::put_le32(&pe, payloadtest::pe::kCertEntryAt, 0x40);
  payloadtest::put_le32(&pe, payloadtest::pe::kCertEntryAt + 4, (uint32_t)pe.size() - 0x40);
  std::string stub = dir_.file("crafted.exe");
  vektest::writeFile(stub, pe);
  Result r = mkinstaller("-s " + stub + " -o " + dir_.file("refused") + " " + programs());
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("certificate table that does not end the file"), std::string::npos) << r.output;
}

// Regression: the packer left its temporaries behind when a signal ended it.
// It is held reading an entry that is a FIFO, after an archive was rewritten.
TEST_F(PackingChecks, TemporariesAreRemovedWhateverSignalEndsTheRun) {
  std::string plain = dir_.file("plain.tar");
  ASSERT_EQ(std::system(("tar -cf " + plain + " -C " + programs() + " .").c_str()), 0);
  std::string fifo = dir_.file("held.tar");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string work = dir_.file("work");
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal_number));
    fs::create_directories(work);
    pid_t pid = fork();
    if (pid == 0) {
      execl(MKINSTALLER_PATH, MKINSTALLER_PATH, "-s", INSTALLER_PATH, "-o", (work + "/out").c_str(), plain.c_str(),
            fifo.c_str(), (char*)nullptr);
      _exit(127);
    }
    // Opening the FIFO's other end succeeds once the packer reads it.
    int writer = -1;
    for (int tries = 0; writer < 0 && tries < 6000; ++tries) {
      writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer < 0) usleep(10000);
    }
    ASSERT_GE(writer, 0) << "the packer never read the FIFO";
    EXPECT_FALSE(fs::is_empty(work)) << "the rewritten archive should be there by now";
    kill(pid, signal_number);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(writer);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
    EXPECT_TRUE(fs::is_empty(work)) << "temporaries left: " << fs::directory_iterator(work)->path();
    fs::remove_all(work);
  }
}

}  // namespace
