// The tar format as the installer reads it and the packer writes it: the
// header block, its limits and its constants, kept in one place so that the
// two cannot drift apart.
#ifndef INSTALLER_TAR_FORMAT_H
#define INSTALLER_TAR_FORMAT_H

// One header block as stored; numeric fields are ASCII octal (or GNU
// base-256 when the first byte has its high bit set). Text fields are
// NUL-terminated only when shorter than their width.
typedef struct tar_header_t {
  char name[100];      // entry name; the ustar prefix, when present, goes before it
  char mode[8];        // permission and type bits
  char uid[8];         // owner id: not applied
  char gid[8];         // group id: not applied
  char size[12];       // bytes of data following the header
  char mtime[12];      // modification time: not applied
  char chksum[8];      // header checksum: not verified
  char typeflag;       // entry kind: TAR_TYPE_*
  char linkname[100];  // target of a hard ('1') or symbolic ('2') link
  char magic[6];       // TAR_USTAR_MAGIC (ustar) or the first 6 bytes of TAR_OLDGNU_MAGIC (old GNU)
  char version[2];     // "00" or NUL NUL (ustar); the last 2 bytes of TAR_OLDGNU_MAGIC (old GNU)
  char uname[32];      // owner name: not used
  char gname[32];      // group name: not used
  char devmajor[8];    // device major number
  char devminor[8];    // device minor number
  char prefix[155];    // ustar name prefix, used when its first byte is not NUL
} tar_header_t;
typedef tar_header_t tar_header;

#define TAR_BLOCK_SIZE 512

typedef union tar_block_t {
  char data[TAR_BLOCK_SIZE];  // the raw block
  tar_header_t header;        // the same block read as a header (first 500 bytes)
} tar_block_t;
typedef tar_block_t tar_block;

// Entry kinds (typeflag).
#define TAR_TYPE_FILE '0'
#define TAR_TYPE_HARDLINK '1'
#define TAR_TYPE_SYMLINK '2'
#define TAR_TYPE_CHAR_DEVICE '3'
#define TAR_TYPE_BLOCK_DEVICE '4'
#define TAR_TYPE_DIRECTORY '5'
#define TAR_TYPE_FIFO '6'
#define TAR_TYPE_LONG_LINK 'K'  // GNU: the data is the next header's link target
#define TAR_TYPE_LONG_NAME 'L'  // GNU: the data is the next header's name

// Magic and version: ustar is TAR_USTAR_MAGIC with its NUL in `magic`; old
// GNU is TAR_OLDGNU_MAGIC with its NUL over `magic` and `version`.
#define TAR_USTAR_MAGIC "ustar"
#define TAR_OLDGNU_MAGIC "ustar  "

// The name a GNU long name or long link record carries in its own header.
#define TAR_LONG_NAME_TAG "././@LongLink"
// The largest data of a GNU long name or long link record (the text and its
// NUL): the reader refuses more before allocating anything, the packer
// refuses to write more. No real path comes near it.
#define TAR_MAX_LONG_NAME (1024 * 1024)

// Archives are written in whole records of this size, as tar tools write
// them; the reader accepts any number of blocks after the end.
#define TAR_RECORD_SIZE 10240

#endif  // INSTALLER_TAR_FORMAT_H
