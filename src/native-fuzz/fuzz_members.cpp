// The reader of one entry over bounded gzip members (and whatever else an
// entry may hold): the input's first byte says how many of its last bytes lie
// beyond the entry's extent, so that members can claim or cross the extent's
// end; the rest is the file. Each input is read three ways:
//   - through an entry stream with the members inflated on the reading
//     thread, and (for every input whose length is a multiple of 4: starting
//     threads under the sanitizers costs ten times the rest of a run) again
//     with two worker threads: both must deliver the same bytes and end the
//     same way (the pool never reorders, loses or invents);
//   - by the size pass, which takes the count the first member records or
//     else sums the members' trailers, without inflating: when the stream
//     verified every member, the count must be the recorded one, or the sum
//     what it delivered;
//   - the first member alone through member_decode, from memory.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "fuzz_support.h"
#include "member_decoder.h"
#include "payload.h"
#include "size_untar_ops.h"

namespace {

struct reading_t {
  std::string bytes;  // what the stream delivered
  bool clean;         // it ended with 0, not -1
};

reading_t read_stream(int fd, int64_t end, int workers) {
  const payload_options_t options = {workers, nullptr};
  auto stream = std::make_unique<entry_stream_t>();
  reading_t result{std::string(), false};
  if (entry_stream_open(stream.get(), fd, 0, end, &options)) {
    char buffer[10240];
    ssize_t got;
    while ((got = entry_stream_read(stream.get(), buffer, sizeof(buffer))) > 0) {
      result.bytes.append(buffer, (size_t)got);
      if (result.bytes.size() > (64u << 20)) abort();  // far more than any input here can hold
    }
    result.clean = got == 0;
  }
  entry_stream_close(stream.get());
  return result;
}

void decode_first_member(const uint8_t* data, size_t size) {
  uint32_t length = 0;
  if (member_probe(data, size, &length) != MEMBER_BOUNDED || length > size) return;
  // Kept for the whole run: mapping a fresh megabyte per input would cost
  // more than the decoding.
  static member_inflater_t* inflater = member_inflater_new();
  static unsigned char* out = new unsigned char[MEMBER_MAX_DATA];
  size_t out_len = 0;
  const char* why = nullptr;
  bool ok = member_decode(inflater, data, length, out, &out_len, &why);
  if (ok ? out_len > MEMBER_MAX_DATA : why == nullptr) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vekfuzz::start_library();
  vekfuzz::InputFile::make("fuzz-members", "entry");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t beyond = data[0];
  const uint8_t* file = data + 1;
  size_t file_size = size - 1;
  int64_t end = beyond < file_size ? (int64_t)(file_size - beyond) : 0;
  vekfuzz::InputFile::write(file, file_size);
  int fd = open(vekfuzz::InputFile::name().c_str(), O_RDONLY);
  if (fd < 0) abort();
  reading_t inline_read = read_stream(fd, end, 0);
  if (size % 4 == 0) {
    reading_t pooled_read = read_stream(fd, end, 2);
    if (inline_read.clean != pooled_read.clean || inline_read.bytes != pooled_read.bytes) abort();
  }

  // The reader decides by the first 64 bytes whether an entry is bounded.
  uint32_t length = 0;
  size_t head = end < 64 ? (size_t)end : 64;
  if (member_probe(file, head, &length) == MEMBER_BOUNDED) {
    uint64_t recorded = 0;
    uint64_t expected = member_recorded_size(file, head, &recorded) ? recorded : inline_read.bytes.size();
    toc_entry entry = {fd, 0, end, PAYLOAD_DEFAULTS};
    untar_ops ops;
    init_size_untar_ops(&ops);
    ops.read = read_func;
    vek_uint64_t counted = 0;
    bool sized = size_entry(&entry, &ops, &counted);
    if (inline_read.clean && (!sized || counted != expected)) abort();
  }
  close(fd);
  decode_first_member(file, (size_t)end);
  return 0;
}
