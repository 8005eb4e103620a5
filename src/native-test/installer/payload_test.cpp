// The installer's payload reader in-process: the table of contents and the
// reader of one entry, bounded by its extent, on crafted installer files.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>

#include "payload.h"
#include "payload_test_support.h"
#include "size_untar_ops.h"
#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace {

using payloadtest::gzip_member;
using payloadtest::Layout;
using payloadtest::tar_of;

class Payload : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool started = false;
    if (!started) vek_lifecycleInit();
    started = true;
  }

  // Writes an installer made of a small stub and `entries`.
  std::string installer(const std::vector<std::string>& entries, int64_t version = 1) {
    Layout layout{"#!stub\n", entries};
    std::string path = dir_.file("installer" + std::to_string(files_++));
    vektest::writeFile(path, payloadtest::join_installer(layout, version));
    return path;
  }

  // Counts every entry with the size operations, as the size pass does:
  // per entry the byte count, or -1 when the entry failed.
  std::vector<long long> count_entries(const std::string& path, bool* toc_failed = nullptr) {
    std::vector<long long> counts;
    toc_entries toc;
    if (!init_toc(path.c_str(), &toc)) return {-2};
    untar_ops ops;
    init_size_untar_ops(&ops);
    ops.read = read_func;
    toc_entry entry;
    while (read_entry_from_toc(&toc, &entry)) {
      vek_uint64_t bytes = 0;
      counts.push_back(extract_tarball(&entry, &ops, &bytes) ? (long long)bytes : -1);
    }
    if (toc_failed) *toc_failed = toc.failed;
    close_toc(&toc);
    return counts;
  }

  vektest::TempDir dir_;
  int files_ = 0;
};

const std::string kSmallTar = tar_of({{"a.txt", "hello"}, {"dir/b.txt", std::string(3000, 'b')}});
const long long kSmallCount = 5 + 3000;

TEST_F(Payload, EntriesAreCountedOneByOne) {
  std::string second = tar_of({{"c.txt", "xyz"}});
  EXPECT_EQ(count_entries(installer({gzip_member(kSmallTar), gzip_member(second)})),
            (std::vector<long long>{kSmallCount, 3}));
}

// zlib's own reader runs on into the member behind: an entry without its
// end-of-archive blocks would have been completed by the next entry.
TEST_F(Payload, ReadingStopsAtTheEntrysExtent) {
  std::string cut = kSmallTar.substr(0, kSmallTar.size() - 1024);
  bool toc_failed = true;
  EXPECT_EQ(count_entries(installer({gzip_member(cut), gzip_member(tar_of({{"c.txt", "xyz"}}))}), &toc_failed),
            (std::vector<long long>{-1, 3}));
  EXPECT_FALSE(toc_failed);
}

TEST_F(Payload, EveryMemberOfAnEntryIsRead) {
  std::string members;
  for (size_t at = 0; at < kSmallTar.size(); at += 700) members += gzip_member(kSmallTar.substr(at, 700));
  members += gzip_member("");  // an empty member, as bgzip ends its files
  EXPECT_EQ(count_entries(installer({members})), (std::vector<long long>{kSmallCount}));
}

TEST_F(Payload, EntryWithoutGzipMagicIsPlainTar) {
  EXPECT_EQ(count_entries(installer({kSmallTar, gzip_member(kSmallTar)})),
            (std::vector<long long>{kSmallCount, kSmallCount}));
}

TEST_F(Payload, DamagedEntriesFail) {
  std::string good = gzip_member(kSmallTar);
  struct Case {
    const char* name;
    std::string entry;
  };
  std::string crc = good;
  crc[crc.size() - 8] ^= 0x01;
  std::string length = good;
  length[length.size() - 1] ^= 0x01;
  std::string body = good;
  body[body.size() / 2] ^= 0x55;
  const Case cases[] = {
      {"trailer cut off", good.substr(0, good.size() - 8)},
      {"one byte missing", good.substr(0, good.size() - 1)},
      {"cut in the middle", good.substr(0, good.size() / 2)},
      {"flipped CRC", crc},
      {"flipped length", length},
      {"flipped data", body},
      {"garbage behind the member", good + "garbage"},
      {"zero padding behind the member", good + std::string(512, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The good entry behind must not rescue or be harmed by the damaged one.
    EXPECT_EQ(count_entries(installer({c.entry, good})), (std::vector<long long>{-1, kSmallCount}));
  }
}

TEST_F(Payload, TableOfContentsChecks) {
  std::string good = installer({gzip_member(kSmallTar)});
  std::string bytes = vektest::readFile(good);
  size_t table = (size_t)payloadtest::get_be64(bytes, bytes.size() - 8);
  auto variant = [&](const std::function<void(std::string&)>& change) {
    std::string copy = bytes;
    change(copy);
    std::string path = dir_.file("variant" + std::to_string(files_++));
    vektest::writeFile(path, copy);
    return path;
  };
  auto set_value = [](std::string& file, size_t at, int64_t value) {
    std::string be;
    payloadtest::put_be64(&be, value);
    file.replace(at, 8, be);
  };
  struct Case {
    const char* name;
    std::string path;
    std::vector<long long> counts;  // {-2}: the table cannot be opened
    bool toc_failed;
  };
  const Case cases[] = {
      {"short file", variant([](std::string& f) { f.resize(10); }), {-2}, false},
      {"version 2", variant([&](std::string& f) { set_value(f, f.size() - 16, 2); }), {-2}, false},
      {"no entries", variant([&](std::string& f) { set_value(f, table, 0); }), {}, false},
      {"offset past the end", variant([&](std::string& f) { set_value(f, table, (int64_t)f.size() + 1); }), {}, true},
      {"negative offset", variant([&](std::string& f) { set_value(f, table, -5); }), {}, true},
      {"offset at the end", variant([&](std::string& f) { set_value(f, table, (int64_t)f.size()); }), {-1}, false},
      {"table past the end", variant([&](std::string& f) { set_value(f, f.size() - 8, (int64_t)f.size() + 64); }),
       {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool toc_failed = false;
    EXPECT_EQ(count_entries(c.path, &toc_failed), c.counts);
    EXPECT_EQ(toc_failed, c.toc_failed);
  }
}

// The extent of an entry is found from the table, not from file order.
TEST_F(Payload, ExtentEndsAtNearestGreaterOffsetOrTable) {
  std::string a = gzip_member(kSmallTar), b = gzip_member(tar_of({{"c.txt", "xyz"}}));
  std::string file = "stub" + a + b;
  int64_t table = (int64_t)file.size();
  payloadtest::put_be64(&file, 4 + (int64_t)a.size());  // b first, then a
  payloadtest::put_be64(&file, 4);
  payloadtest::put_be64(&file, 0);
  payloadtest::put_be64(&file, 1);
  payloadtest::put_be64(&file, table);
  std::string path = dir_.file("reordered");
  vektest::writeFile(path, file);
  toc_entries toc;
  ASSERT_TRUE(init_toc(path.c_str(), &toc));
  toc_entry first, second;
  ASSERT_TRUE(read_entry_from_toc(&toc, &first));
  ASSERT_TRUE(read_entry_from_toc(&toc, &second));
  EXPECT_EQ(first.end_offset, table);
  EXPECT_EQ(second.offset, 4);
  EXPECT_EQ(second.end_offset, 4 + (int64_t)a.size());
  close_toc(&toc);
  EXPECT_EQ(count_entries(path), (std::vector<long long>{3, kSmallCount}));
}

// The bound of the offsets is the file's 64-bit size on every build (the
// Windows build used a 32-bit status call).
TEST_F(Payload, OffsetsBeyondFourGigabytesAreAccepted) {
  const int64_t size = (5LL << 30) + 4096;
  const int64_t offset = (9LL << 29);  // 4.5 GiB
  std::string path = dir_.file("sparse");
  {
    std::ofstream out(path, std::ios::binary);
  }
  std::filesystem::resize_file(path, (uintmax_t)size);
  {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    std::string tail;
    payloadtest::put_be64(&tail, offset);
    payloadtest::put_be64(&tail, 0);
    payloadtest::put_be64(&tail, 1);
    payloadtest::put_be64(&tail, size - 32);
    f.seekp((std::streamoff)(size - 32));
    f.write(tail.data(), (std::streamsize)tail.size());
  }
  ASSERT_EQ((int64_t)std::filesystem::file_size(path), size);
  toc_entries toc;
  ASSERT_TRUE(init_toc(path.c_str(), &toc));
  EXPECT_EQ(toc.max_offset, size);
  toc_entry entry;
  ASSERT_TRUE(read_entry_from_toc(&toc, &entry));
  EXPECT_EQ(entry.offset, offset);
  EXPECT_EQ(entry.end_offset, size - 32);
  close_toc(&toc);
}

TEST_F(Payload, ReaderDeliversEachMemberAndStopsAtTheEnd) {
  std::string file = "xx" + gzip_member("first ") + gzip_member("") + gzip_member("second") + "NEXT";
  std::string path = dir_.file("members");
  vektest::writeFile(path, file);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  int fd = fileno(f);
  auto stream = std::make_unique<entry_stream_t>();
  ASSERT_TRUE(entry_stream_open(stream.get(), fd, 2, (int64_t)file.size() - 4));
  std::string out;
  char buffer[5];
  ssize_t got;
  while ((got = entry_stream_read(stream.get(), buffer, sizeof buffer)) > 0) out.append(buffer, (size_t)got);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(out, "first second");
  EXPECT_EQ(stream->next_offset, (int64_t)file.size() - 4) << "read past the extent";
  entry_stream_close(stream.get());
  std::fclose(f);
}

}  // namespace
