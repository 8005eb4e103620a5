// PE headers read just far enough to know where the image ends and where the
// certificate table lies. Every read is checked against the file's size
// first: the headers of a damaged or crafted file may point anywhere.
#include "pe_layout.h"

#include <string.h>
#include <sys/types.h>

#include "payload_platform.h"

namespace {

const uint16_t PE32_MAGIC = 0x10b;
const uint16_t PE32_PLUS_MAGIC = 0x20b;
const uint32_t MAX_SECTIONS = 96;  // the loader's own limit
const size_t SECTION_HEADER_SIZE = 40;
const int64_t SIZE_OF_HEADERS_AT = 60;  // in the optional header, both forms
const int64_t CHECKSUM_AT = 64;

// The file being examined: a descriptor or bytes in memory.
struct pe_source_t {
  int fd;                    // read with platform_read_at when mem is NULL
  const unsigned char* mem;  // the whole file, or NULL
  int64_t size;              // the file's size
};

bool read_exact(const pe_source_t& src, int64_t offset, void* buf, size_t len) {
  if (offset < 0 || (int64_t)len > src.size || offset > src.size - (int64_t)len) return false;
  if (src.mem) {
    memcpy(buf, src.mem + offset, len);
    return true;
  }
  return platform_read_at(src.fd, buf, len, offset) == (ssize_t)len;
}

uint32_t le16(const unsigned char* p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8); }
uint32_t le32(const unsigned char* p) { return le16(p) | (le16(p + 2) << 16); }

// The end of the image: the headers and the raw data of every section.
bool read_image_end(const pe_source_t& src, int64_t sections_at, uint32_t sections, int64_t headers_end,
                    int64_t* image_end) {
  if (sections > MAX_SECTIONS) return false;
  *image_end = headers_end;
  for (uint32_t i = 0; i < sections; ++i) {
    unsigned char section[SECTION_HEADER_SIZE];
    if (!read_exact(src, sections_at + (int64_t)i * (int64_t)SECTION_HEADER_SIZE, section, sizeof(section)))
      return false;
    uint32_t raw_size = le32(section + 16);
    int64_t raw_end = (int64_t)le32(section + 20) + raw_size;
    if (raw_size != 0 && raw_end > *image_end) *image_end = raw_end;
  }
  return true;
}

bool parse(const pe_source_t& src, pe_layout_t* pe) {
  memset(pe, 0, sizeof(*pe));
  unsigned char dos[64];
  if (!read_exact(src, 0, dos, sizeof(dos)) || dos[0] != 'M' || dos[1] != 'Z') return false;
  int64_t nt_at = le32(dos + 0x3c);
  unsigned char nt[24];
  if (!read_exact(src, nt_at, nt, sizeof(nt)) || memcmp(nt, "PE\0\0", 4) != 0) return false;
  uint32_t sections = le16(nt + 6);
  int64_t optional_size = le16(nt + 20);
  int64_t optional_at = nt_at + (int64_t)sizeof(nt);
  unsigned char magic[2];
  if (optional_size < 2 || !read_exact(src, optional_at, magic, sizeof(magic))) return false;
  int64_t count_at, directories_at;
  if (le16(magic) == PE32_MAGIC) {
    count_at = 92, directories_at = 96;
  } else if (le16(magic) == PE32_PLUS_MAGIC) {
    count_at = 108, directories_at = 112;
  } else {
    return false;
  }
  int64_t cert_entry_at = directories_at + 8 * PE_CERTIFICATE_DIRECTORY;
  if (optional_size < cert_entry_at + 8) return false;  // fewer than 5 directories fit
  unsigned char fields[8], count[4], cert[8];
  if (!read_exact(src, optional_at + SIZE_OF_HEADERS_AT, fields, sizeof(fields)) ||
      !read_exact(src, optional_at + count_at, count, sizeof(count)) || le32(count) <= PE_CERTIFICATE_DIRECTORY ||
      !read_exact(src, optional_at + cert_entry_at, cert, sizeof(cert)))
    return false;
  if (!read_image_end(src, optional_at + optional_size, sections, le32(fields), &pe->image_end)) return false;
  pe->cert_entry_offset = optional_at + cert_entry_at;
  pe->checksum_offset = optional_at + CHECKSUM_AT;
  if (le32(cert + 4) != 0) {
    pe->cert_offset = le32(cert);
    pe->cert_size = le32(cert + 4);
  }
  return true;
}

}  // namespace

bool read_pe_layout(int fd, int64_t file_size, pe_layout_t* pe) { return parse({fd, nullptr, file_size}, pe); }

bool parse_pe_layout(const unsigned char* file, int64_t file_size, pe_layout_t* pe) {
  return parse({-1, file, file_size}, pe);
}
