// Helpers of the payload tests: gzip members and tar blocks made in memory,
// and the installer layout (stub, entries, table of contents, trailer) taken
// apart and put together again, so that a test can damage one piece of an
// installer that the packaging tool wrote.
#ifndef PAYLOAD_TEST_SUPPORT_H
#define PAYLOAD_TEST_SUPPORT_H

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace payloadtest {

// One complete gzip member (no name, no time) holding `data`.
inline std::string gzip_member(const std::string& data, int level = 6) {
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  deflateInit2(&zs, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, (uLong)data.size()) + 32, '\0');
  zs.next_in = (Bytef*)const_cast<char*>(data.data());
  zs.avail_in = (uInt)data.size();
  zs.next_out = (Bytef*)&out[0];
  zs.avail_out = (uInt)out.size();
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// An old-GNU header block for `name` (at most 99 characters).
inline std::string tar_header(const std::string& name, unsigned long long size, char type = '0',
                              int mode = 0644) {
  std::string block(512, '\0');
  memcpy(&block[0], name.data(), name.size());
  snprintf(&block[100], 8, "%07o", (unsigned)mode);
  snprintf(&block[108], 8, "%07o", 0u);
  snprintf(&block[116], 8, "%07o", 0u);
  snprintf(&block[124], 12, "%011llo", size);
  snprintf(&block[136], 12, "%011o", 0u);
  block[156] = type;
  memcpy(&block[257], "ustar  ", 8);
  memset(&block[148], ' ', 8);
  unsigned sum = 0;
  for (unsigned char c : block) sum += c;
  snprintf(&block[148], 8, "%06o", sum);
  return block;
}

// A whole tar stream of regular files, each padded to its block.
inline std::string tar_of(const std::vector<std::pair<std::string, std::string>>& files) {
  std::string tar;
  for (const auto& [name, data] : files) {
    tar += tar_header(name, data.size());
    tar += data;
    tar.append((512 - data.size() % 512) % 512, '\0');
  }
  tar.append(1024, '\0');
  return tar;
}

inline void put_be64(std::string* out, int64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out->push_back((char)(((uint64_t)value >> shift) & 0xff));
}

inline int64_t get_be64(const std::string& bytes, size_t at) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value = (value << 8) | (unsigned char)bytes[at + i];
  return (int64_t)value;
}

// An installer taken apart along its table of contents.
struct Layout {
  std::string stub;                  // everything before the first entry
  std::vector<std::string> entries;  // each entry's bytes, in table order
};

// Splits an installer whose entries lie back to back after the stub.
inline bool split_installer(const std::string& file, Layout* layout) {
  if (file.size() < 16 || get_be64(file, file.size() - 16) != 1) return false;
  size_t table = (size_t)get_be64(file, file.size() - 8);
  std::vector<size_t> offsets;
  for (size_t pos = table; pos + 8 <= file.size() - 16; pos += 8) {
    int64_t value = get_be64(file, pos);
    if (value == 0) break;
    offsets.push_back((size_t)value);
  }
  if (offsets.empty()) return false;
  layout->stub = file.substr(0, offsets[0]);
  layout->entries.clear();
  for (size_t i = 0; i < offsets.size(); ++i) {
    size_t end = i + 1 < offsets.size() ? offsets[i + 1] : table;
    layout->entries.push_back(file.substr(offsets[i], end - offsets[i]));
  }
  return true;
}

// Lays the pieces out again as the packaging tool does; `version` and
// `table_shift` allow damaging the trailer.
inline std::string join_installer(const Layout& layout, int64_t version = 1, int64_t table_shift = 0) {
  std::string file = layout.stub;
  std::string table;
  for (const std::string& entry : layout.entries) {
    put_be64(&table, (int64_t)file.size());
    file += entry;
  }
  int64_t table_offset = (int64_t)file.size();
  put_be64(&table, 0);
  file += table;
  put_be64(&file, version);
  put_be64(&file, table_offset + table_shift);
  return file;
}

}  // namespace payloadtest

#endif  // PAYLOAD_TEST_SUPPORT_H
