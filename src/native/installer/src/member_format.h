// Bounded gzip members: how the packaging tool cuts an entry's tar stream.
// Each member is plain RFC 1952 gzip (gzip -d and tar -xz read a run of them
// as one stream) holding at most MEMBER_MAX_DATA bytes of tar data, and its
// header carries an extra subfield with the member's own length, so that a
// reader finds the next member without inflating this one:
//
//   offset  size  content
//        0     3  1f 8b 08        gzip magic, deflate
//        3     1  04              FLG: FEXTRA only
//        4     4  0               MTIME: none
//        8     1  0               XFL
//        9     1  ff              OS: unknown
//       10     2  8               XLEN, little-endian
//       12     2  'V' 'M'         subfield id
//       14     2  4               subfield length
//       16     4  member length   header, deflate data and trailer, little-endian
//       20     n  raw deflate data
//   20 + n     4  CRC-32 of the data
//   24 + n     4  data length (ISIZE)
//
// The first member of an entry also carries, in a second subfield, the bytes
// the extracted entry takes as the size pass counts them (file data, 4096
// per directory, the target's length per symbolic link), so that the size
// pass need not inflate the entry; all bits set means not recorded:
//
//       20     2  'V' 'S'         subfield id (XLEN is then 20)
//       22     2  8               subfield length
//       24     8  required bytes  little-endian
//       32     n  raw deflate data
//
// A reader accepts the subfields anywhere in the extra field, and the other
// optional header fields (name, comment, header CRC) after it.
#ifndef INSTALLER_MEMBER_FORMAT_H
#define INSTALLER_MEMBER_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#define MEMBER_ID1 0x1f
#define MEMBER_ID2 0x8b
#define MEMBER_CM_DEFLATE 8
#define MEMBER_FLG_FTEXT 0x01
#define MEMBER_FLG_FHCRC 0x02
#define MEMBER_FLG_FEXTRA 0x04
#define MEMBER_FLG_FNAME 0x08
#define MEMBER_FLG_FCOMMENT 0x10
#define MEMBER_FLG_RESERVED 0xe0
#define MEMBER_OS_UNKNOWN 0xff
#define MEMBER_SI1 'V'
#define MEMBER_SI2 'M'
#define MEMBER_SUBFIELD_LEN 4
#define MEMBER_SIZE_SI1 'V'
#define MEMBER_SIZE_SI2 'S'
#define MEMBER_SIZE_SUBFIELD_LEN 8
// The size subfield's value before the packer has counted the entry.
#define MEMBER_SIZE_UNRECORDED UINT64_MAX

// The header the packaging tool writes; readers accept longer ones.
#define MEMBER_HEADER_SIZE 20
// The header of an entry's first member, with the size subfield.
#define MEMBER_FIRST_HEADER_SIZE 32
// Fixed part of every gzip header, up to and including XLEN.
#define MEMBER_FIXED_HEADER 12
#define MEMBER_TRAILER_SIZE 8

// Tar data per member: what the packer writes and the most a reader accepts.
// The reader holds a few members in memory at once (two buffers each), so
// this bounds its memory: 512 KiB keeps the 32-bit installer's peak near
// 6 MiB; the size costs no measurable compression (a dictionary restart per
// half megabyte) and no speed (a thread hand-off per member).
#define MEMBER_MAX_DATA (1u << 19)
// The longest member a reader accepts: deflate's worst case for
// MEMBER_MAX_DATA (stored blocks, 5 bytes per 64 KiB) with room for the
// longest extra field and a name and comment.
#define MEMBER_MAX_SIZE (MEMBER_MAX_DATA + (1u << 17))

// Whether `avail` bytes start with the gzip magic: what the reader, the
// trailer search and the packer take for compressed data.
static inline int member_has_gzip_magic(const unsigned char* bytes, size_t avail) {
  return avail >= 2 && bytes[0] == MEMBER_ID1 && bytes[1] == MEMBER_ID2;
}

static inline uint32_t member_get_le32(const unsigned char* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static inline void member_put_le32(unsigned char* p, uint32_t value) {
  p[0] = (unsigned char)value;
  p[1] = (unsigned char)(value >> 8);
  p[2] = (unsigned char)(value >> 16);
  p[3] = (unsigned char)(value >> 24);
}

static inline uint64_t member_get_le64(const unsigned char* p) {
  return (uint64_t)member_get_le32(p) | ((uint64_t)member_get_le32(p + 4) << 32);
}

static inline void member_put_le64(unsigned char* p, uint64_t value) {
  member_put_le32(p, (uint32_t)value);
  member_put_le32(p + 4, (uint32_t)(value >> 32));
}

#endif  // INSTALLER_MEMBER_FORMAT_H
