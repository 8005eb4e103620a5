// How much debugging information an installer stub still carries. A release
// stub is stripped: its debugging sections would travel with every installer
// made from it, together with the build machine's source paths.
#ifndef MKINSTALLER_STUB_DEBUG_INFO_H
#define MKINSTALLER_STUB_DEBUG_INFO_H

#include <stdint.h>

#include <string>

// Bytes of the debugging sections (".debug_*", ".zdebug_*") of an ELF (32-
// or 64-bit, little-endian) or PE file held in `file`; 0 for a stripped file,
// for any other kind of file and for headers that point outside the file.
uint64_t stub_debug_bytes(const std::string& file);

// Reads the stub at `path` and, when it carries debugging information, writes
// a warning with its size to standard error. Says nothing when the file
// cannot be read: packing reports that itself.
void warn_about_stub_debug_info(const std::string& path);

#endif  // MKINSTALLER_STUB_DEBUG_INFO_H
