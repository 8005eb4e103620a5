// The installer's payload reader in-process: the table of contents (and its
// trailer before a signature), the reader of one entry bounded by its
// extent, and the decoder of bounded members with its worker threads, on
// crafted installer files.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <functional>
#include <memory>

#include "member_format.h"
#include "payload.h"
#include "payload_test_support.h"
#include "size_untar_ops.h"
#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace {

using payloadtest::bounded_member;
using payloadtest::bounded_members;
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

  // Counts every entry with the size operations, as the extract pass reads
  // it (every member decoded, or with `size_pass` as the size pass counts
  // it): per entry the byte count, or -1 when the entry failed.
  std::vector<long long> count_entries(const std::string& path, bool* toc_failed = nullptr, bool size_pass = false) {
    std::vector<long long> counts;
    toc_entries toc;
    if (!init_toc(path.c_str(), &toc, &options_)) return {-2};
    untar_ops ops;
    init_size_untar_ops(&ops);
    ops.read = read_func;
    toc_entry entry;
    while (read_entry_from_toc(&toc, &entry)) {
      vek_uint64_t bytes = 0;
      bool ok = size_pass ? size_entry(&entry, &ops, &bytes) : extract_tarball(&entry, &ops, &bytes);
      counts.push_back(ok ? (long long)bytes : -1);
    }
    if (toc_failed) *toc_failed = toc.failed;
    close_toc(&toc);
    return counts;
  }

  // What every reading of count_entries passes to the reader: the decoder's
  // threads, and the size budget a test lends.
  payload_options_t options_ = PAYLOAD_DEFAULTS;
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
      {"zero padding, then garbage", good + std::string(100, '\0') + "x"},
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
      {"table past the end",
       variant([&](std::string& f) { set_value(f, f.size() - 8, (int64_t)f.size() + 64); }),
       {},
       true},
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
  ASSERT_TRUE(init_toc(path.c_str(), &toc, nullptr));
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
  { std::ofstream out(path, std::ios::binary); }
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
  ASSERT_TRUE(init_toc(path.c_str(), &toc, nullptr));
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
  ASSERT_TRUE(entry_stream_open(stream.get(), fd, 2, (int64_t)file.size() - 4, nullptr));
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

// ---- Endings, bounded members, signatures --------------------------------------

// Reads a whole entry [offset, end) of `path` through an entry stream.
std::string read_entry(const std::string& path, int64_t offset, int64_t end, ssize_t* last = nullptr,
                       const payload_options_t* options = nullptr) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return "<cannot open>";
  auto stream = std::make_unique<entry_stream_t>();
  std::string out;
  ssize_t got = -1;
  if (entry_stream_open(stream.get(), fileno(f), offset, end, options)) {
    std::vector<char> buffer(10240);
    while ((got = entry_stream_read(stream.get(), buffer.data(), buffer.size())) > 0)
      out.append(buffer.data(), (size_t)got);
  }
  entry_stream_close(stream.get());
  std::fclose(f);
  if (last) *last = got;
  return out;
}

// gzip -d ignores zero bytes after the last member; so does the reader, for
// either kind of member, however far the zeros reach.
TEST_F(Payload, ZeroPaddingAfterTheLastMemberIsAccepted) {
  for (std::string kind : {"zlib", "bounded"}) {
    std::string members = kind == "zlib" ? gzip_member(kSmallTar) : bounded_members(kSmallTar, 1000);
    for (size_t zeros : {1u, 512u, 70000u}) {
      SCOPED_TRACE(kind + " + " + std::to_string(zeros) + " zero bytes");
      std::string path = installer({members + std::string(zeros, '\0'), gzip_member(tar_of({{"c.txt", "xyz"}}))});
      EXPECT_EQ(count_entries(path), (std::vector<long long>{kSmallCount, 3}));
      if (kind == "bounded") {
        EXPECT_EQ(count_entries(path, nullptr, true), (std::vector<long long>{(long long)kSmallTar.size(), 3}));
      }
    }
  }
}

TEST_F(Payload, BoundedMembersDecodeAlikeOnAnyNumberOfWorkers) {
  std::string data(3 << 20, '\0');
  std::mt19937 random(7);
  for (size_t i = 0; i < data.size(); i += 2) data[i] = (char)(random() % 7);  // half compressible
  std::string tar = tar_of({{"big.bin", data}, {"small.txt", "small"}});
  std::string entry = bounded_members(tar, 64 << 10);
  std::string path = dir_.file("members");
  vektest::writeFile(path, "xx" + entry + "NEXT");
  for (int workers : {0, 1, 2, 3}) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    options_.decode_workers = workers;
    ssize_t last = -1;
    EXPECT_TRUE(read_entry(path, 2, 2 + (int64_t)entry.size(), &last, &options_) == tar) << "decoded bytes differ";
    EXPECT_EQ(last, 0);
    EXPECT_EQ(count_entries(installer({entry})), (std::vector<long long>{(long long)data.size() + 5}));
  }
}

// Each row damages a run of bounded members (a good entry follows, which
// must stay good). The extract pass fails every row; the size pass, which
// reads only headers and trailers, fails those whose structure is broken and
// counts the others (their damage is found when they are decoded).
TEST_F(Payload, DamagedBoundedMembersFail) {
  const std::string first = bounded_member(kSmallTar.substr(0, 1000));
  const std::string second = bounded_member(kSmallTar.substr(1000, 1000));
  const std::string rest = bounded_members(kSmallTar.substr(2000), 1000);
  auto flip = [](std::string member, size_t from_end, unsigned char mask) {
    member[member.size() - from_end] ^= (char)mask;
    return member;
  };
  std::string over_full(MEMBER_MAX_DATA + 1, 'o');
  struct Case {
    const char* name;
    std::string entry;
    bool counted;  // the size pass still counts it
  };
  const Case cases[] = {
      {"flipped CRC", first + flip(second, 8, 0x01) + rest, true},
      {"length one more than the data", first + flip(second, 4, 0x01) + rest, true},
      {"flipped deflate data", first + flip(second, 20, 0x55) + rest, true},
      {"announced length one short",
       first + bounded_member(kSmallTar.substr(1000, 1000), (uint32_t)second.size() - 1) + rest, false},
      {"announced length one long",
       first + bounded_member(kSmallTar.substr(1000, 1000), (uint32_t)second.size() + 1) + rest, false},
      {"member reaching past the extent", first + second + bounded_member(kSmallTar.substr(2000), 1 << 19), false},
      {"announced length of 4 GiB", first + bounded_member(kSmallTar.substr(1000, 1000), 0xffffffffu) + rest, false},
      {"gzip member without its length", first + gzip_member(kSmallTar.substr(1000, 1000)) + rest, false},
      {"last member cut short", first + second + rest.substr(0, rest.size() - 3), false},
      {"more data than a member holds", first + bounded_member(over_full) + rest, false},
      {"claims more than a member holds", first + flip(second, 2, 0x40) + rest, false},
      {"garbage after the last member", first + second + rest + "junk", false},
  };
  std::string good = gzip_member(tar_of({{"c.txt", "xyz"}}));
  for (int workers : {0, 2}) {
    options_.decode_workers = workers;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(workers) + " workers");
      std::string path = installer({c.entry, good});
      EXPECT_EQ(count_entries(path), (std::vector<long long>{-1, 3}));
      std::vector<long long> sized = count_entries(path, nullptr, true);
      ASSERT_EQ(sized.size(), 2u);
      EXPECT_EQ(sized[0] != -1, c.counted);
      EXPECT_EQ(sized[1], 3);
    }
  }
}

// The size pass sums a bounded entry's trailers (the tar data's length) and
// counts any other entry with the tar reader (file data and directories).
TEST_F(Payload, SizePassSumsBoundedTrailersAndCountsOtherEntries) {
  std::string path = installer({bounded_members(kSmallTar, 1000), gzip_member(kSmallTar), kSmallTar});
  EXPECT_EQ(count_entries(path, nullptr, true),
            (std::vector<long long>{(long long)kSmallTar.size(), kSmallCount, kSmallCount}));
}

// Regression: the trailer sum counts a directory as its 512-byte header
// where the disk takes 4096 bytes, so a tree of many directories passed the
// space check and then filled the disk. The count the packer records in the
// first member is taken; the members are still walked for damage.
TEST_F(Payload, SizePassTakesTheCountRecordedInTheFirstMember) {
  std::string first = bounded_member(kSmallTar.substr(0, 1000));
  std::string rest = bounded_member(kSmallTar.substr(1000));
  struct Case {
    const char* what;
    std::string entry;
    long long expected;  // size pass; -1 when it fails
    vek_uint64_t budget;
  };
  const Case cases[] = {
      {"recorded", payloadtest::with_recorded_size(first, 123456) + rest, 123456, VEK_UINT64_UNKNOWN},
      {"not recorded yet", payloadtest::with_recorded_size(first, UINT64_MAX) + rest, (long long)kSmallTar.size(),
       VEK_UINT64_UNKNOWN},
      {"recorded beyond 4 GiB", payloadtest::with_recorded_size(first, 5ull << 30) + rest, 5ll << 30,
       VEK_UINT64_UNKNOWN},
      {"recorded, a later member damaged", payloadtest::with_recorded_size(first, 123456) + rest.substr(0, 40), -1,
       VEK_UINT64_UNKNOWN},
      {"recorded beyond the free space", payloadtest::with_recorded_size(first, 123456) + rest, -1, 100000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = installer({c.entry});
    size_budget_t budget = NO_SIZE_BUDGET;
    budget.available = c.budget;
    options_.budget = &budget;
    std::vector<long long> counts = count_entries(path, nullptr, true);
    options_.budget = nullptr;
    EXPECT_EQ(counts, std::vector<long long>{c.expected});
    EXPECT_EQ(budget.exhausted, c.budget != VEK_UINT64_UNKNOWN);
    if (c.expected != -1) {
      EXPECT_EQ(count_entries(path), std::vector<long long>{kSmallCount}) << "the extract pass";
    }
  }
}

// Regression: the bytes after the archive's end were inflated without a
// look at the size budget, so an entry padded with a few kilobytes of gzip
// holding gigabytes of zeros was decoded whole in the size pass.
TEST_F(Payload, TailAfterTheArchiveIsBoundByTheSizeBudget) {
  std::string path = installer({gzip_member(kSmallTar + std::string(64 << 20, '\0'))});
  size_budget_t budget = NO_SIZE_BUDGET;
  budget.available = 1 << 20;
  options_.budget = &budget;
  std::vector<long long> counts = count_entries(path, nullptr, true);
  options_.budget = nullptr;
  EXPECT_EQ(counts, std::vector<long long>{-1});
  EXPECT_TRUE(budget.exhausted);
  EXPECT_EQ(count_entries(path, nullptr, true), std::vector<long long>{kSmallCount}) << "without a budget";
}

// The budget is the size pass's own, lent through the options of the table
// it reads: a second table of the same file, read meanwhile without one,
// counts in full (the budget was once a global that every reading shared).
TEST_F(Payload, ABudgetBindsOnlyTheTableItWasLentTo) {
  std::string path = installer({gzip_member(kSmallTar)});
  size_budget_t budget = NO_SIZE_BUDGET;
  budget.available = 100;
  const payload_options_t budgeted = {0, &budget};
  toc_entries limited, unlimited;
  ASSERT_TRUE(init_toc(path.c_str(), &limited, &budgeted));
  ASSERT_TRUE(init_toc(path.c_str(), &unlimited, nullptr));
  toc_entry in_limited, in_unlimited;
  ASSERT_TRUE(read_entry_from_toc(&limited, &in_limited));
  ASSERT_TRUE(read_entry_from_toc(&unlimited, &in_unlimited));
  untar_ops ops;
  init_size_untar_ops(&ops);
  ops.read = read_func;
  vek_uint64_t limited_bytes = 0, unlimited_bytes = 0;
  EXPECT_FALSE(size_entry(&in_limited, &ops, &limited_bytes));
  EXPECT_TRUE(size_entry(&in_unlimited, &ops, &unlimited_bytes));
  EXPECT_TRUE(budget.exhausted);
  EXPECT_EQ(unlimited_bytes, (vek_uint64_t)kSmallCount);
  close_toc(&limited);
  close_toc(&unlimited);
}

// Regression guard for the 32-bit build: the trailer sum is 64-bit. 8,200
// members of 512 KiB of zeros claim 4.3 GB in a file of 4 MB.
TEST_F(Payload, TrailerSumGoesBeyondFourGigabytes) {
  std::string zeros = bounded_member(std::string(MEMBER_MAX_DATA, '\0'));
  std::string entry;
  const size_t members = 8200;
  entry.reserve(zeros.size() * members);
  for (size_t i = 0; i < members; ++i) entry += zeros;
  EXPECT_EQ(count_entries(installer({entry}), nullptr, true),
            (std::vector<long long>{(long long)members * MEMBER_MAX_DATA}));
}

TEST_F(Payload, SizeBudgetStopsTheTrailerWalk) {
  std::string path = installer({bounded_members(kSmallTar, 1000)});
  size_budget_t budget = NO_SIZE_BUDGET;
  budget.available = 2500;
  options_.budget = &budget;
  std::vector<long long> counts = count_entries(path, nullptr, true);
  options_.budget = nullptr;
  EXPECT_EQ(counts, (std::vector<long long>{-1}));
  EXPECT_TRUE(budget.exhausted);
  EXPECT_EQ(budget.reached, 3000u) << "stops at the first member that reaches the budget";
}

// Regression: the last entry's extent ran to the end of the file when the
// table came first, so the trailer counted as data after its last member.
TEST_F(Payload, LastExtentEndsAtTheTrailerOrTheTable) {
  for (size_t padding : {0u, 5u}) {
    SCOPED_TRACE(std::to_string(padding) + " bytes between table and trailer");
    std::string a = bounded_members(kSmallTar, 1000), b = gzip_member(tar_of({{"c.txt", "xyz"}}));
    std::string file = "stub";
    int64_t table = (int64_t)file.size();
    payloadtest::put_be64(&file, table + 24);
    payloadtest::put_be64(&file, table + 24 + (int64_t)a.size());
    payloadtest::put_be64(&file, 0);
    file += a + b;
    file.append(padding, '\0');
    int64_t trailer = (int64_t)file.size();
    payloadtest::put_be64(&file, 1);
    payloadtest::put_be64(&file, table);
    std::string path = dir_.file("table-first");
    vektest::writeFile(path, file);
    toc_entries toc;
    ASSERT_TRUE(init_toc(path.c_str(), &toc, nullptr));
    EXPECT_EQ(toc.trailer_offset, trailer);
    toc_entry entry;
    ASSERT_TRUE(read_entry_from_toc(&toc, &entry));
    ASSERT_TRUE(read_entry_from_toc(&toc, &entry));
    EXPECT_EQ(entry.end_offset, trailer);
    close_toc(&toc);
    EXPECT_EQ(count_entries(path), (std::vector<long long>{kSmallCount, 3}));
  }
}

// A signature appended to a Windows installer: the reader finds the trailer
// before the certificate table and its zero padding, or else reads the
// file's end as always (which then fails: it holds the table). Crafted
// headers never crash the reader or make it read outside the file.
TEST_F(Payload, TrailerBeforeACertificateTable) {
  auto installer_on = [](const std::string& stub, size_t padding_to_eight = 0) {
    Layout layout{stub, {bounded_members(kSmallTar, 1000)}};
    std::string file = payloadtest::join_installer(layout, 1, 0, padding_to_eight);
    return file;
  };
  std::string pe = payloadtest::minimal_pe();
  std::string unsigned_file = installer_on(pe);
  auto set = [](std::string file, size_t at, uint32_t value) {
    payloadtest::put_le32(&file, at, value);
    return file;
  };
  struct Case {
    std::string name;
    std::string file;
    bool readable;
  };
  std::vector<Case> cases = {{"unsigned", unsigned_file, true}};
  for (size_t padding = 0; padding <= 7; ++padding)
    cases.push_back(
        {"signed, padding " + std::to_string(padding), payloadtest::with_certificate(unsigned_file, padding), true});
  std::string signed3 = payloadtest::with_certificate(unsigned_file, 3);
  std::string nonzero = signed3;
  nonzero[unsigned_file.size() + 1] = 'x';
  cases.push_back({"padding with a non-zero byte", nonzero, false});
  cases.push_back({"eight bytes of padding", payloadtest::with_certificate(unsigned_file, 8), false});
  cases.push_back({"table inside the image", set(signed3, payloadtest::pe::kCertEntryAt, 0x100), false});
  cases.push_back({"table short of the end", set(signed3, payloadtest::pe::kCertEntryAt + 4, 0x2ff), false});
  cases.push_back(
      {"offset and size overflowing",
       set(set(signed3, payloadtest::pe::kCertEntryAt, 0xffffff00u), payloadtest::pe::kCertEntryAt + 4, 0x200), false});
  cases.push_back({"e_lfanew past the end", set(signed3, 0x3c, 0x7ffffff0u), false});
  cases.push_back(
      {"four data directories", payloadtest::with_certificate(installer_on(payloadtest::minimal_pe(4)), 3), false});
  cases.push_back({"bad optional header magic", set(signed3, payloadtest::pe::kOptionalAt, 0x999), false});
  cases.push_back(
      {"section past the payload", set(signed3, payloadtest::pe::kOptionalAt + 112 + 8 * 16 + 16, 0x7fffffff), false});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.file("signed" + std::to_string(files_++));
    vektest::writeFile(path, c.file);
    if (c.readable) {
      EXPECT_EQ(count_entries(path), (std::vector<long long>{kSmallCount}));
      EXPECT_EQ(count_entries(path, nullptr, true), (std::vector<long long>{(long long)kSmallTar.size()}));
    } else {
      EXPECT_EQ(count_entries(path), (std::vector<long long>{-2}));
    }
  }
}

// Workers told to stop (as the end of a run cut short by a bus error does)
// finish the member they hold; the reader then fails instead of waiting.
TEST_F(Payload, CancelledDecodersFailTheReaderInsteadOfHanging) {
  const payload_options_t two_workers = {2, nullptr};
  std::string tar = tar_of({{"big.bin", std::string(4 << 20, 'x')}});
  std::string entry = bounded_members(tar, 64 << 10);
  std::string path = dir_.file("cancelled");
  vektest::writeFile(path, entry);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  auto stream = std::make_unique<entry_stream_t>();
  ASSERT_TRUE(entry_stream_open(stream.get(), fileno(f), 0, (int64_t)entry.size(), &two_workers));
  char buffer[4096];
  ASSERT_EQ(entry_stream_read(stream.get(), buffer, sizeof buffer), (ssize_t)sizeof buffer);
  payload_cancel_decoders();
  ssize_t got;
  size_t total = sizeof buffer;
  while ((got = entry_stream_read(stream.get(), buffer, sizeof buffer)) > 0) total += (size_t)got;
  EXPECT_EQ(got, -1);
  EXPECT_LT(total, tar.size());
  entry_stream_close(stream.get());  // joins the workers
  std::fclose(f);
}

}  // namespace
