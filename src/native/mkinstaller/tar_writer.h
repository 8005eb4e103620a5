// Deterministic gzip-compressed tar archives in the old GNU form that the
// installer reads: directory trees packed by mkinstaller and archives of any
// format rewritten entry by entry.
#ifndef MKINSTALLER_TAR_WRITER_H
#define MKINSTALLER_TAR_WRITER_H

#include <cstdint>
#include <string>

#include "member_writer.h"
#include "output_file.h"
#include "tar_format.h"

struct tar_options_t {
  int64_t mtime = 0;                 // stored on every entry: SOURCE_DATE_EPOCH or 0
  int level = MEMBER_LEVEL_DEFAULT;  // compression level, MEMBER_LEVEL_MIN to MEMBER_LEVEL_MAX
  bool windows = false;              // the payload is for the Windows installer, which cannot make devices or FIFOs
};

// One entry as the installer's reader takes it.
struct tar_entry_t {
  std::string name;           // relative name; directories are stored with a trailing '/'
  char type = TAR_TYPE_FILE;  // TAR_TYPE_FILE, _HARDLINK, _SYMLINK, _CHAR_DEVICE, _BLOCK_DEVICE,
                              // _DIRECTORY or _FIFO (tar_format.h)
  int mode = 0644;            // permission bits (07777)
  uint64_t size = 0;          // data bytes of a file; 0 for every other type
  std::string link;           // target of a hard or symbolic link
  unsigned major = 0;         // device numbers of types '3' and '4'
  unsigned minor = 0;
};

// Why the installer could not extract `entry` from a payload made with
// `options`, or "" when it can: names it cannot hold or that leave the
// extraction directory, and kinds the target cannot make.
std::string unrepresentable_reason(const tar_entry_t& entry, const tar_options_t& options);

// Writes a tar stream into an output as bounded gzip members. Names longer
// than a header holds go in GNU 'L' records, long link targets in 'K'
// records; a link with a long name always gets a 'K' record first (K, L,
// header), the only long-link form the installer's reader accepts.
class tar_stream_t {
 public:
  tar_stream_t(output_file_t& out, const tar_options_t& options);
  tar_stream_t(const tar_stream_t&) = delete;
  tar_stream_t& operator=(const tar_stream_t&) = delete;

  // Each false with *error set; after a failure the stream is unusable.
  // The headers of one entry; a file's data follows with add_data, exactly
  // entry.size bytes in all.
  bool add_entry(const tar_entry_t& entry, std::string* error);
  bool add_data(const void* data, size_t size, std::string* error);
  // Ends the archive (end-of-archive blocks) and writes the last members.
  bool finish(std::string* error);

 private:
  bool put(const void* data, size_t size, std::string* error);
  bool put_header(const tar_entry_t& entry, char type, const std::string& name, uint64_t size, std::string* error);
  bool put_long_record(char type, const std::string& text, std::string* error);
  bool pad_block(std::string* error);

  tar_options_t options_;
  member_writer_t members_;  // compresses the tar bytes on every processor
  uint64_t written_ = 0;     // tar bytes so far
  uint64_t data_left_ = 0;   // data still owed to the current file
};

// Appends bounded gzip members holding a tar archive of the contents of `dir`
// (names relative to it, sorted bytewise, owner 0/0, `options.mtime`) to
// `out`. The same tree always gives the same bytes. Keeps symbolic links,
// hard links (same inode), FIFOs and devices; sockets are skipped with a
// warning. False with *error set on any failure, naming the entry.
bool write_directory_archive(const std::string& dir, const tar_options_t& options, output_file_t& out,
                             std::string* error);

// Shows "Packing: N entries, M MiB" for every stream of the run on the
// status line (when it is on), at most ten times a second unless forced.
void show_packing_progress(bool force);

#endif  // MKINSTALLER_TAR_WRITER_H
