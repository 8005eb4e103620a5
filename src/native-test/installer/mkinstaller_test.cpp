// The packaging tool as a program: the layout it writes, deterministic
// archives, the tree kinds it keeps (read back by the installer's own
// extraction), the entries it refuses, and its listing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utime.h>
#include <zlib.h>

#include <cstdlib>
#include <regex>

#include "file_untar_ops.h"
#include "installer.h"
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

  // A tree with every kind the payload keeps.
  std::string make_tree() {
    std::string root = dir_.file("tree");
    fs::create_directories(root + "/bin");
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
  EXPECT_TRUE(payloadtest::join_installer(layout, 1, 0, padding) == bytes) << "table and trailer differ from the format";
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
    ASSERT_TRUE(payloadtest::split_installer(vektest::readFile(pack(tree)), &layout));
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
  ASSERT_TRUE(init_toc(installer.c_str(), &toc));
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
  ASSERT_EQ(std::system(("mkfifo " + src + "/fifo && bsdtar -cf " + devices + " -C " + src + " fifo && rm " + src +
                         "/fifo").c_str()),
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
  if (!init_toc(installer.c_str(), &toc) || !read_entry_from_toc(&toc, &entry)) return {};
  close_toc(&toc);
  std::string tar = inflate_all(vektest::readFile(installer).substr((size_t)entry.offset,
                                                                     (size_t)(entry.end_offset - entry.offset)));
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
  fs::create_symlink("t", root + "/s" + long_name);             // long name, short target
  fs::create_symlink("t" + long_name, root + "/short");        // short name, long target
  fs::create_hard_link(root + "/t", root + "/x" + long_name);  // hard link with a long name
  std::vector<std::string> sequence = header_sequence(pack(root));
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
    std::string command = std::regex_replace(std::regex_replace(c.command, std::regex("ARCHIVE"), archive),
                                             std::regex("SRC"), src);
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string installer = pack("--keep-gzip " + archive);
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
  fs::create_directories(tree + "/bin");
  vektest::writeFile(tree + "/bin/zorva", "#!/bin/sh\n");
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

}  // namespace
