// Table-of-contents reader over a file: the input is a whole installer file
// (image, entries, table and trailer). It is written to a file in a private
// temporary directory, and every entry the table lists is run through
// extract_tarball with the size-counting operations, as the size pass does.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "payload.h"
#include "size_untar_ops.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vekfuzz::start_library();
  vekfuzz::InputFile::make("fuzz-toc", "installer");
  return 0;
}

// Bounded members are inflated on the reading thread here: the worker pool
// has a target of its own (fuzz_members), and starting threads per input
// would slow this one down tenfold.
const payload_options_t kInlineDecoding = {0, nullptr};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vekfuzz::InputFile::write(data, size);
  toc_entries toc;
  if (!init_toc(vekfuzz::InputFile::name().c_str(), &toc, &kInlineDecoding)) return 0;
  untar_ops ops;
  init_size_untar_ops(&ops);
  ops.read = read_func;
  toc_entry entry;
  // Each value read takes 8 bytes of the file, so the walk is bounded by it.
  size_t entries = 0;
  while (read_entry_from_toc(&toc, &entry)) {
    if (++entries > size / 8 + 1) abort();
    if (entry.offset < 0 || entry.offset > (int64_t)size || entry.end_offset > (int64_t)size) abort();
    off_t cursor = lseek(toc.fd, 0, SEEK_CUR);
    vek_uint64_t bytes = 0;
    extract_tarball(&entry, &ops, &bytes);
    // Extracting never moves the table's cursor.
    if (lseek(toc.fd, 0, SEEK_CUR) != cursor) abort();
  }
  close_toc(&toc);
  return 0;
}
