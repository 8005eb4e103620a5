// Where a Windows executable's image ends and where its Authenticode
// certificate table lies. A signature is a table appended after everything
// else in the file (the payload included), so the installer's payload then
// ends where the table starts; the packaging tool strips the table from a
// stub that was signed before packing.
#ifndef INSTALLER_PE_LAYOUT_H
#define INSTALLER_PE_LAYOUT_H

#include <stdbool.h>
#include <stdint.h>

// Data directory 4 of the optional header: the certificate table, whose
// "address" is a file offset.
#define PE_CERTIFICATE_DIRECTORY 4

typedef struct pe_layout_t {
  int64_t image_end;          // first byte past the headers and every section's raw data
  int64_t cert_offset;        // file offset of the certificate table; 0 when there is none
  int64_t cert_size;          // its size in bytes; 0 when there is none
  int64_t cert_entry_offset;  // file offset of data directory 4 (8 bytes: offset, size)
  int64_t checksum_offset;    // file offset of the optional header's CheckSum (4 bytes)
} pe_layout_t;

// Reads the layout of the PE file open on fd, whose size is file_size. False
// when it is no PE file (an ELF installer, say) or its headers are malformed
// or point outside the file; nothing outside [0, file_size) is ever read.
bool read_pe_layout(int fd, int64_t file_size, pe_layout_t* pe);

// The same, over a file held in memory.
bool parse_pe_layout(const unsigned char* file, int64_t file_size, pe_layout_t* pe);

#endif  // INSTALLER_PE_LAYOUT_H
