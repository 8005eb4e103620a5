// Deterministic gzip-compressed tar archives of a directory tree, in the old
// GNU format that the installer reads.
#ifndef MKINSTALLER_TAR_WRITER_H
#define MKINSTALLER_TAR_WRITER_H

#include <cstdint>
#include <string>

#include "member_writer.h"
#include "output_file.h"

struct tar_options_t {
  int64_t mtime = 0;  // stored on every entry: SOURCE_DATE_EPOCH or 0
  int level = MEMBER_LEVEL_DEFAULT;  // compression level, MEMBER_LEVEL_MIN to MEMBER_LEVEL_MAX
};

// Appends bounded gzip members holding a tar archive of the contents of `dir`
// (names relative to it, sorted bytewise, owner 0/0, `options.mtime`) to
// `out`. The same tree always gives the same bytes. Keeps symbolic links,
// hard links (same inode), FIFOs and devices; sockets are skipped with a
// warning. False with *error set on any failure.
bool write_directory_archive(const std::string& dir, const tar_options_t& options, output_file_t& out,
                             std::string* error);

#endif  // MKINSTALLER_TAR_WRITER_H
