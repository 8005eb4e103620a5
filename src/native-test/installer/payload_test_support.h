// Helpers of the payload tests: gzip members (plain, and bounded members with
// their length subfield, made here with zlib independently of the packaging
// tool) and tar blocks made in memory, a minimal Windows executable to sign,
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

inline void put_le32(std::string* out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*out)[at + (size_t)i] = (char)((value >> (8 * i)) & 0xff);
}

// One bounded member holding `data`: a gzip header whose extra field carries
// the subfield 'V' 'M' with the member's whole length. `announced` replaces
// that length when it is not 0 (a lying header).
inline std::string bounded_member(const std::string& data, uint32_t announced = 0) {
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  deflateInit2(&zs, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string body(deflateBound(&zs, (uLong)data.size()) + 16, '\0');
  zs.next_in = (Bytef*)const_cast<char*>(data.data());
  zs.avail_in = (uInt)data.size();
  zs.next_out = (Bytef*)&body[0];
  zs.avail_out = (uInt)body.size();
  deflate(&zs, Z_FINISH);
  body.resize(zs.total_out);
  deflateEnd(&zs);
  std::string member("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x08\0VM\x04\0\0\0\0\0", 20);
  member += body;
  member.append(8, '\0');
  put_le32(&member, member.size() - 8, (uint32_t)crc32(0, (const Bytef*)data.data(), (uInt)data.size()));
  put_le32(&member, member.size() - 4, (uint32_t)data.size());
  put_le32(&member, 16, announced ? announced : (uint32_t)member.size());
  return member;
}

// A bounded member whose header also carries the size subfield with `bytes`
// (member_format.h), as the packer writes an entry's first member.
inline std::string with_recorded_size(std::string member, uint64_t bytes) {
  std::string subfield("VS\x08\0", 4);
  for (int i = 0; i < 8; ++i) subfield += (char)((bytes >> (8 * i)) & 0xff);
  member.insert(20, subfield);
  member[10] = 20;  // XLEN: both subfields
  put_le32(&member, 16, (uint32_t)member.size());
  return member;
}

// `data` cut into bounded members of `chunk` bytes each.
inline std::string bounded_members(const std::string& data, size_t chunk = 1 << 20) {
  std::string out;
  for (size_t at = 0; at < data.size() || at == 0; at += chunk) out += bounded_member(data.substr(at, chunk));
  return out;
}

// An old-GNU header block for `name` (at most 99 characters).
inline std::string tar_header(const std::string& name, unsigned long long size, char type = '0', int mode = 0644) {
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

// Lays the pieces out again as the packaging tool does, with `padding`
// zero bytes between the table and the trailer; `version` and
// `table_shift` allow damaging the trailer.
inline std::string join_installer(const Layout& layout, int64_t version = 1, int64_t table_shift = 0,
                                  size_t padding = 0) {
  std::string file = layout.stub;
  std::string table;
  for (const std::string& entry : layout.entries) {
    put_be64(&table, (int64_t)file.size());
    file += entry;
  }
  int64_t table_offset = (int64_t)file.size();
  put_be64(&table, 0);
  file += table;
  file.append(padding, '\0');
  put_be64(&file, version);
  put_be64(&file, table_offset + table_shift);
  return file;
}

// The smallest PE32+ image the installer's reader accepts as one: DOS
// header, PE signature, file header, an optional header with `directories`
// data directories (the certificate table is number 4) and one section whose
// raw data ends the image at 0x400. Fields a test wants to break are set
// afterwards with put_le32.
namespace pe {
const size_t kNtAt = 0x80;  // e_lfanew
const size_t kOptionalAt = kNtAt + 24;
const size_t kCertEntryAt = kOptionalAt + 112 + 8 * 4;
const size_t kImageEnd = 0x400;
}  // namespace pe

inline std::string minimal_pe(uint32_t directories = 16) {
  std::string image(pe::kImageEnd, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  put_le32(&image, 0x3c, (uint32_t)pe::kNtAt);
  image.replace(pe::kNtAt, 4, std::string("PE\0\0", 4));
  image[pe::kNtAt + 4] = (char)0x64;  // machine: x86-64
  image[pe::kNtAt + 5] = (char)0x86;
  image[pe::kNtAt + 6] = 1;  // one section
  uint32_t optional_size = 112 + 8 * directories;
  image[pe::kNtAt + 20] = (char)(optional_size & 0xff);
  image[pe::kNtAt + 21] = (char)(optional_size >> 8);
  image[pe::kOptionalAt] = 0x0b;  // PE32+
  image[pe::kOptionalAt + 1] = 0x02;
  put_le32(&image, pe::kOptionalAt + 60, 0x200);  // SizeOfHeaders
  put_le32(&image, pe::kOptionalAt + 108, directories);
  size_t section = pe::kOptionalAt + optional_size;
  put_le32(&image, section + 16, 0x200);  // SizeOfRawData
  put_le32(&image, section + 20, 0x200);  // PointerToRawData
  return image;
}

// `file` signed the way a signing tool lays it out: `padding` zero bytes,
// then a certificate table of `table_size` bytes that data directory 4 names.
inline std::string with_certificate(std::string file, size_t padding, uint32_t table_size = 0x300) {
  file.append(padding, '\0');
  put_le32(&file, pe::kCertEntryAt, (uint32_t)file.size());
  put_le32(&file, pe::kCertEntryAt + 4, table_size);
  file.append(table_size, '\x5a');
  return file;
}

}  // namespace payloadtest

#endif  // PAYLOAD_TEST_SUPPORT_H
