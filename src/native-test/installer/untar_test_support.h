// Helpers of the tar reader tests: an in-memory tar writer for crafted and
// hostile archives, stream sources for the read slot, and a guard that runs
// a test inside its own extraction directory.
#ifndef UNTAR_TEST_SUPPORT_H
#define UNTAR_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "file_untar_ops.h"
#include "size_untar_ops.h"
#include "untar.h"
#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace untartest {

// Starts the library once per test program, as the installer's main does.
class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { vek_lifecycleInit(); }
};

enum class Dialect { kUstar, kOldGnu };

// Writes tar archives byte by byte, so that tests can make any header a
// real tool would refuse to write. Checksums are filled in for the benefit
// of tools reading the result; the reader under test ignores them.
class TarBuilder {
 public:
  explicit TarBuilder(Dialect dialect = Dialect::kOldGnu) : dialect_(dialect) {}

  // A header block; fields not named stay as a well-formed entry of `type`.
  tar_block header(const std::string& name, char type, unsigned long long size, int mode = 0644) const {
    tar_block b;
    memset(&b, 0, sizeof b);
    memcpy(b.header.name, name.data(), std::min(name.size(), sizeof b.header.name));
    octal(b.header.mode, sizeof b.header.mode, mode);
    octal(b.header.uid, sizeof b.header.uid, 0);
    octal(b.header.gid, sizeof b.header.gid, 0);
    octal(b.header.size, sizeof b.header.size, size);
    octal(b.header.mtime, sizeof b.header.mtime, 0);
    b.header.typeflag = type;
    if (dialect_ == Dialect::kUstar) {
      memcpy(b.header.magic, "ustar", 6);
      memcpy(b.header.version, "00", 2);
    } else {
      memcpy(b.data + offsetof(tar_header, magic), "ustar  ", 8);  // magic and version: "ustar  " and NUL
    }
    return b;
  }

  TarBuilder& add(tar_block b, const std::string& data = "") {
    checksum(&b);
    bytes_.append(b.data, sizeof b.data);
    appendPadded(data);
    return *this;
  }
  TarBuilder& file(const std::string& name, const std::string& content, int mode = 0644) {
    return add(header(name, '0', content.size(), mode), content);
  }
  TarBuilder& directory(const std::string& name, int mode = 0755) { return add(header(name, '5', 0, mode)); }
  TarBuilder& link(char type, const std::string& name, const std::string& target) {
    tar_block b = header(name, type, 0, 0777);
    memcpy(b.header.linkname, target.data(), std::min(target.size(), sizeof b.header.linkname));
    return add(b);
  }
  TarBuilder& symlink(const std::string& name, const std::string& target) { return link('2', name, target); }
  TarBuilder& hardlink(const std::string& name, const std::string& target) { return link('1', name, target); }
  // GNU 'L' (long name) or 'K' (long link target) record; the real header follows.
  TarBuilder& gnuLong(char type, const std::string& text) {
    return add(header("././@LongLink", type, text.size() + 1, 0), text + std::string(1, '\0'));
  }
  TarBuilder& raw(const std::string& bytes) {
    bytes_ += bytes;
    return *this;
  }
  TarBuilder& end() { return raw(std::string(2 * TAR_BLOCK_SIZE, '\0')); }
  const std::string& bytes() const { return bytes_; }

  static void octal(char* field, size_t width, unsigned long long value) {
    std::string digits(width - 1, '0');
    for (size_t i = width - 1; i-- > 0 && value != 0; value >>= 3) digits[i] = char('0' + (value & 7));
    memcpy(field, digits.c_str(), width);  // width - 1 digits and a NUL
  }
  static void checksum(tar_block* b) {
    memset(b->header.chksum, ' ', sizeof b->header.chksum);
    unsigned sum = 0;
    for (unsigned char c : b->data) sum += c;
    octal(b->header.chksum, 7, sum);
  }

 private:
  void appendPadded(const std::string& data) {
    bytes_ += data;
    size_t rest = data.size() % TAR_BLOCK_SIZE;
    if (rest != 0) bytes_.append(TAR_BLOCK_SIZE - rest, '\0');
  }

  Dialect dialect_;
  std::string bytes_;
};

// The read slot over a string: at most `max_read` bytes per call, and a
// read error (-1, EIO) once `fail_at` bytes have been delivered.
struct MemorySource {
  std::string data;
  size_t offset = 0;
  size_t max_read = SIZE_MAX;
  size_t fail_at = SIZE_MAX;

  static ssize_t read(void* ctx, void* buf, size_t count) {
    auto* self = static_cast<MemorySource*>(static_cast<untar_context*>(ctx)->source);
    if (self->offset >= self->fail_at) {
      errno = EIO;
      return -1;
    }
    size_t n = std::min({count, self->max_read, self->data.size() - self->offset, self->fail_at - self->offset});
    memcpy(buf, self->data.data() + self->offset, n);
    self->offset += n;
    return static_cast<ssize_t>(n);
  }
};

enum class Ops { kFile, kSize };

inline untar_ops makeOps(Ops kind) {
  untar_ops ops{};
  ops.read = MemorySource::read;
  if (kind == Ops::kFile)
    init_file_untar_ops(&ops);
  else
    init_size_untar_ops(&ops);
  return ops;
}

struct RunResult {
  bool ok;
  vek_uint64_t written_bytes;
  size_t consumed;  // bytes the reader took from the stream
};

inline RunResult runArchive(const std::string& bytes, Ops kind, size_t max_read = SIZE_MAX, size_t fail_at = SIZE_MAX) {
  MemorySource source{bytes, 0, max_read, fail_at};
  untar_ops ops = makeOps(kind);
  untar_context ctx{};
  ctx.source = &source;
  ctx.written_bytes = 12345;  // the reader must reset it
  bool ok = extract_tar(&ops, &ctx);
  ok = finish_file_untar_ops(&ctx, ok) && ok;
  return {ok, ctx.written_bytes, source.offset};
}

// A fresh directory holding "ex", the extraction directory, which is the
// working directory for the test's lifetime; "outside" is a sibling that
// hostile archives aim at.
class ExtractionDir {
 public:
  ExtractionDir() : saved_(std::filesystem::current_path()) {
    std::filesystem::create_directory(root_.path() / "ex");
    std::filesystem::create_directory(root_.path() / "outside");
    std::filesystem::current_path(root_.path() / "ex");
  }
  ~ExtractionDir() { std::filesystem::current_path(saved_); }
  ExtractionDir(const ExtractionDir&) = delete;
  ExtractionDir& operator=(const ExtractionDir&) = delete;

  std::filesystem::path root() const { return root_.path(); }
  std::filesystem::path ex() const { return root_.path() / "ex"; }
  std::filesystem::path outside() const { return root_.path() / "outside"; }
  // The generic (forward-slash) form, as a tar entry would name it.
  std::string outsideName(const std::string& leaf) const { return (outside() / leaf).generic_string(); }
  bool outsideIsEmpty() const { return std::filesystem::is_empty(outside()); }

 private:
  vektest::TempDir root_;
  std::filesystem::path saved_;
};

}  // namespace untartest

#endif  // UNTAR_TEST_SUPPORT_H
