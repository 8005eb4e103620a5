// Builds an installer (stub + gzip entries + table of contents + trailer)
// and lists an existing one.
#ifndef MKINSTALLER_PAYLOAD_WRITER_H
#define MKINSTALLER_PAYLOAD_WRITER_H

#include <cstdio>
#include <string>
#include <vector>

#include "tar_writer.h"

struct installer_spec_t {
  std::string stub;                  // installer executable of any target, copied unchanged
  std::vector<std::string> entries;  // directories to archive or existing .tar.gz files, in order
  bool keep_gzip = false;            // copy .tar.gz entries as they are instead of re-compressing
                                     // their tar data into bounded members
  std::vector<bool> rewritten;       // per entry: an archive already rewritten into bounded members
  std::string output;                // installer to write (mode 0755)
  tar_options_t tar;                 // how directories are archived
  bool verbose = false;              // show every message of the installer's reader
};

// Writes spec.output: the stub (a signed Windows stub loses its signature,
// with a notice on standard error: the installer is signed after packing),
// the entries in bounded gzip members, the table of contents, zero bytes up
// to a multiple of 8 (so that a signing tool adds no padding of its own) and
// the trailer. Every entry is read back with the installer's own reader in
// counting mode first; nothing appears at spec.output unless all of them
// pass. False with *error set otherwise.
bool write_installer(const installer_spec_t& spec, std::string* error);

// Prints each table-of-contents entry with its offset and extent, and the
// files it holds. False with *error set when the installer is unreadable.
bool list_installer(const std::string& path, FILE* out, std::string* error);

#endif  // MKINSTALLER_PAYLOAD_WRITER_H
